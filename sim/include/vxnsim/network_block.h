// The 36-byte network block a host writes to a master, nine words through
// NET_CONFIG_DATA/NET_CONFIG_STROBE. Word k holds block bytes 4k..4k+3 with
// byte 4k as its least significant byte.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxnsim {

struct NetworkSettings {
    std::array<uint8_t, 4> gateway{};
    std::array<uint8_t, 4> mask{};
    std::array<uint8_t, 6> mac{};
    std::array<uint8_t, 4> ip{};
    std::array<uint16_t, 4> ports{};
};

constexpr unsigned kNetworkWords = 9;

// Decodes the last nine committed words; nothing when fewer were committed.
std::optional<NetworkSettings> decode_network_words(const std::vector<uint32_t>& words);

// "ip 192.168.0.10 mask 255.255.255.0 gateway 192.168.0.1 mac 02:56:58:00:00:0a
// ports 8000 8001 8002 8003"
std::string describe(const NetworkSettings& s);

}  // namespace vxnsim
