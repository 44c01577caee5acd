// What a simulated chain is made of.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace vxnsim {

// count_rate value for "stream list and list-wave data as fast as the
// connections take it" (spectrum and waveform modes then use 1 Mcps).
constexpr double kAsFastAsPossible = std::numeric_limits<double>::infinity();

struct ChainOptions {
    std::string ip = "127.0.0.2";      // a 127.0.0.0/8 address, nothing else
    unsigned boards = 1;               // 1..160
    uint32_t fw_release = 0x00040201;  // FW_RELEASE of every board: 4.2.1, type 0
    double count_rate = 100000.0;      // input counts per second per board
    uint64_t seed = 1;
    bool last_followed_by_master = false;
    // Period of the simulated auxiliary input (low for the first half, high
    // for the second); rounded up to a multiple of 20 ms.
    unsigned aux_period_ms = 100;
    // Malformed requests and connection events are always counted; this
    // also prints them.
    bool log_to_stderr = false;
    uint32_t flash_size = 4u << 20;
};

constexpr unsigned kMaxBoards = 160;

// True for a dotted IPv4 text inside 127.0.0.0/8.
bool is_loopback_address(const std::string& ip);

// Throws std::invalid_argument naming what is wrong with the options.
void validate(const ChainOptions& options);

// "4.2.1 type 0"
std::string describe_release(uint32_t fw_release);

}  // namespace vxnsim
