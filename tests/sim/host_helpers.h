// What the chain tests do as a host: configure and start acquisitions with
// register writes, and count the data received per board.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "stripe_client.h"
#include "vxnsim/chain_options.h"
#include "vxnsim/data_counters.h"

namespace simtest {

inline vxnsim::ChainOptions options_for(const std::string& ip, unsigned boards = 1) {
    vxnsim::ChainOptions o;
    o.ip = ip;
    o.boards = boards;
    o.seed = 7;
    o.flash_size = 1u << 20;
    return o;
}

namespace reg {
constexpr uint8_t kParamIndex = 1, kParamStrobe = 3, kAcqControl = 4, kAcqTime = 5, kModeConfig = 7,
                  kWaveLength = 8, kMapGating = 9, kTimePerSpectrum = 10, kNetData = 11,
                  kNetStrobe = 13, kLinkStatus = 14, kFlashCommand = 18, kFlashData = 19;
}

struct AcquisitionSetup {
    uint32_t mode_config = 0;  // mode, decimation, depth bits
    uint32_t wave_length = 0;
    uint32_t map_gating = 0;
    uint32_t acq_time_ms = 0;
    uint32_t time_per_spectrum_ms = 100;
};

// Sets every board as a host does, then starts the chain on the master with
// a read-modify-write of ACQ_CONTROL.
inline void configure_and_start(StripeClient& host, unsigned boards, const AcquisitionSetup& s) {
    for (unsigned b = 0; b < boards; ++b) {
        const auto board = static_cast<uint8_t>(b);
        host.write_register(board, reg::kModeConfig, {s.mode_config, s.wave_length});
        host.write_register(board, reg::kMapGating, {s.map_gating});
        host.write_register(board, reg::kAcqTime, {s.acq_time_ms});
        host.write_register(board, reg::kTimePerSpectrum, {s.time_per_spectrum_ms});
    }
    const uint32_t control = host.read_register(0, reg::kAcqControl);
    host.write_register(0, reg::kAcqControl, {(control & ~3u) | 1u});
}

// Data a host received, per board, counted the way the simulator counts it.
inline void count_frame(const Frame& f, unsigned depth,
                        std::map<unsigned, vxnsim::DataCounters>& per_board) {
    vxnsim::DataCounters& c = per_board[f.board];
    const std::size_t n = f.payload.size();
    switch (f.code) {
        case 0xD2:
        case 0xD6: {
            const std::size_t records = n / (2 * depth + 128);
            (f.code == 0xD2 ? c.spectrum_records : c.map_records) += records;
            break;
        }
        case 0xD3:
            c.waveform_samples += n / 2;
            break;
        case 0xD4:
        case 0xD5:
            for (std::size_t at = 0; at + 8 <= n;) {
                const uint8_t* u = f.payload.data() + at;
                const bool marker = f.code == 0xD4
                                        ? ((u[0] & 0xC0) == 0xC0 && (u[4] & 0xC0) == 0xC0)
                                        : (u[0] == 0xC0 && u[1] == 0 && u[2] == 0 && u[3] == 0 &&
                                           u[4] == 0xC0 && u[5] == 0 && u[6] == 0 && u[7] == 0);
                if (marker) {
                    ++(f.code == 0xD4 ? c.list_stats : c.listwave_stats);
                    at += 136;
                } else {
                    ++(f.code == 0xD4 ? c.list_events : c.listwave_units);
                    at += 8;
                }
            }
            break;
        default:
            return;
    }
    ++c.frames;
}

}  // namespace simtest
