// One DPP board as its registers show it: the register file, the DPP
// parameter window, the network block strobe and the serial flash.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "vxnsim/nor_flash.h"

namespace vxnsim {

namespace reg {
constexpr uint8_t kFwRelease = 0;
constexpr uint8_t kParamIndex = 1;
constexpr uint8_t kParamValue = 2;
constexpr uint8_t kParamStrobe = 3;
constexpr uint8_t kAcqControl = 4;
constexpr uint8_t kAcqTime = 5;
constexpr uint8_t kModeConfig = 7;
constexpr uint8_t kWaveLength = 8;
constexpr uint8_t kMapGating = 9;
constexpr uint8_t kTimePerSpectrum = 10;
constexpr uint8_t kNetConfigData = 11;
constexpr uint8_t kNetConfigStrobe = 13;
constexpr uint8_t kLinkStatus = 14;
constexpr uint8_t kPositionLimit = 15;
constexpr uint8_t kTimestampConfig = 16;
constexpr uint8_t kInputConfig = 17;
constexpr uint8_t kFlashCommand = 18;
constexpr uint8_t kFlashData = 19;
constexpr unsigned kCount = 256;

// ACQ_CONTROL
constexpr uint32_t kCommandMask = 0x3;
constexpr uint32_t kCommandStart = 0x1;
constexpr uint32_t kCommandStop = 0x2;
constexpr uint32_t kRunningBit = 0x4;

// LINK_STATUS
constexpr uint32_t kDrrCalibDone = 1u << 0;
constexpr uint32_t kSxPresent = 1u << 1;
constexpr uint32_t kDxPresent = 1u << 2;
constexpr uint32_t kSerdesCalibSx = 1u << 3;
constexpr uint32_t kSerdesCalibDx = 1u << 4;
constexpr uint32_t kDxIsMaster = 1u << 6;
}  // namespace reg

// LINK_STATUS of board `index` in a chain of `boards`.
uint32_t link_status_for(unsigned index, unsigned boards, bool last_followed_by_master);

struct ParamCommit {
    uint32_t index = 0;
    uint32_t value = 0;
    bool operator==(const ParamCommit& o) const { return index == o.index && value == o.value; }
};

class Board {
  public:
    enum class Command { none, start, stop };

    Board(uint32_t fw_release, uint32_t link_status, uint32_t flash_size = NorFlash::kDefaultSize);

    // Register value as a host reads it.
    uint32_t read(unsigned address) const;
    // Applies a write of consecutive words; a word landing on FLASH_COMMAND
    // takes every word after it as the command's data. Returns the command
    // the write put into ACQ_CONTROL bits 0-1.
    Command write(unsigned address, const std::vector<uint32_t>& words);
    // Sets a register directly, bypassing its behaviour (read-only ones too).
    void poke(unsigned address, uint32_t value) { regs_[address % reg::kCount] = value; }

    void set_running(bool on) { running_ = on; }
    bool running() const { return running_; }

    const std::vector<ParamCommit>& param_commits() const { return param_commits_; }
    const std::map<uint32_t, uint32_t>& params() const { return params_; }
    const std::vector<uint32_t>& net_words() const { return net_words_; }
    const NorFlash& flash() const { return flash_; }
    uint64_t refused_flash_commands() const { return refused_flash_commands_; }

  private:
    std::array<uint32_t, reg::kCount> regs_{};
    bool running_ = false;
    std::vector<ParamCommit> param_commits_;
    std::map<uint32_t, uint32_t> params_;
    std::vector<uint32_t> net_words_;
    NorFlash flash_;
    uint64_t refused_flash_commands_ = 0;
};

}  // namespace vxnsim
