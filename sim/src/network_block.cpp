#include "vxnsim/network_block.h"

#include <cstdio>

namespace vxnsim {

std::optional<NetworkSettings> decode_network_words(const std::vector<uint32_t>& words) {
    if (words.size() < kNetworkWords) {
        return std::nullopt;
    }
    std::array<uint8_t, 4 * kNetworkWords> block{};
    const std::size_t first = words.size() - kNetworkWords;
    for (unsigned k = 0; k < kNetworkWords; ++k) {
        const uint32_t w = words[first + k];
        for (unsigned b = 0; b < 4; ++b) {
            block[4 * k + b] = static_cast<uint8_t>(w >> (8 * b));
        }
    }
    NetworkSettings s;
    for (unsigned i = 0; i < 4; ++i) {
        s.gateway[i] = block[i];
        s.mask[i] = block[4 + i];
        s.ip[i] = block[14 + i];
        s.ports[i] = static_cast<uint16_t>((block[18 + 2 * i] << 8) | block[19 + 2 * i]);
    }
    for (unsigned i = 0; i < 6; ++i) {
        s.mac[i] = block[8 + i];
    }
    return s;
}

std::string describe(const NetworkSettings& s) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "ip %u.%u.%u.%u mask %u.%u.%u.%u gateway %u.%u.%u.%u "
                  "mac %02x:%02x:%02x:%02x:%02x:%02x ports %u %u %u %u",
                  s.ip[0], s.ip[1], s.ip[2], s.ip[3], s.mask[0], s.mask[1], s.mask[2], s.mask[3],
                  s.gateway[0], s.gateway[1], s.gateway[2], s.gateway[3], s.mac[0], s.mac[1],
                  s.mac[2], s.mac[3], s.mac[4], s.mac[5], s.ports[0], s.ports[1], s.ports[2],
                  s.ports[3]);
    return text;
}

}  // namespace vxnsim
