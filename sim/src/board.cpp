#include "vxnsim/board.h"

namespace vxnsim {

uint32_t link_status_for(unsigned index, unsigned boards, bool last_followed_by_master) {
    if (index + 1 < boards) {
        return reg::kDrrCalibDone | reg::kSxPresent | reg::kDxPresent | reg::kSerdesCalibSx |
               reg::kSerdesCalibDx;
    }
    uint32_t s = reg::kDrrCalibDone | (index > 0 ? reg::kSxPresent : 0);
    if (last_followed_by_master) {
        // The next board is the master of another chain: present and
        // calibrated, but flagged so that discovery stops here.
        s |= reg::kDxPresent | reg::kSerdesCalibSx | reg::kDxIsMaster;
    }
    return s;
}

Board::Board(uint32_t fw_release, uint32_t link_status, uint32_t flash_size) : flash_(flash_size) {
    regs_[reg::kFwRelease] = fw_release;
    regs_[reg::kLinkStatus] = link_status;
    regs_[reg::kFlashData] = flash_.data_register();
}

uint32_t Board::read(unsigned address) const {
    if (address >= reg::kCount) {
        return 0;
    }
    if (address == reg::kAcqControl) {
        return (regs_[address] & ~reg::kRunningBit) | (running_ ? reg::kRunningBit : 0);
    }
    return regs_[address];
}

Board::Command Board::write(unsigned address, const std::vector<uint32_t>& words) {
    Command command = Command::none;
    for (std::size_t k = 0; k < words.size(); ++k) {
        const unsigned a = address + static_cast<unsigned>(k);
        if (a >= reg::kCount) {
            break;
        }
        const uint32_t v = words[k];
        switch (a) {
            case reg::kFwRelease:
            case reg::kLinkStatus:
            case reg::kFlashData:
                break;  // read-only
            case reg::kParamStrobe:
                regs_[a] = v;
                param_commits_.push_back({regs_[reg::kParamIndex], regs_[reg::kParamValue]});
                params_[regs_[reg::kParamIndex]] = regs_[reg::kParamValue];
                break;
            case reg::kAcqControl:
                // The running bit is the board's own; a host only writes commands.
                regs_[a] = v & ~reg::kRunningBit;
                if ((v & reg::kCommandMask) == reg::kCommandStart) {
                    command = Command::start;
                } else if ((v & reg::kCommandMask) == reg::kCommandStop) {
                    command = Command::stop;
                }
                break;
            case reg::kNetConfigStrobe:
                regs_[a] = v;
                net_words_.push_back(regs_[reg::kNetConfigData]);
                break;
            case reg::kFlashCommand:
                regs_[a] = v;
                if (!flash_.execute(v, words.data() + k + 1, words.size() - k - 1)) {
                    ++refused_flash_commands_;
                }
                regs_[reg::kFlashData] = flash_.data_register();
                return command;
            default:
                regs_[a] = v;
                break;
        }
    }
    return command;
}

}  // namespace vxnsim
