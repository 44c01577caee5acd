#include "vxnsim/chain_options.h"

#include <arpa/inet.h>

#include <cmath>
#include <stdexcept>

namespace vxnsim {

bool is_loopback_address(const std::string& ip) {
    in_addr a{};
    if (inet_pton(AF_INET, ip.c_str(), &a) != 1) {
        return false;
    }
    return (ntohl(a.s_addr) >> 24) == 127;
}

void validate(const ChainOptions& o) {
    if (!is_loopback_address(o.ip)) {
        throw std::invalid_argument("address " + o.ip +
                                    " is not a loopback address (127.0.0.0/8); the simulator "
                                    "serves loopback addresses only");
    }
    if (o.boards < 1 || o.boards > kMaxBoards) {
        throw std::invalid_argument("a chain has 1 to 160 boards");
    }
    if (!(o.count_rate > 0) || std::isnan(o.count_rate)) {
        throw std::invalid_argument("the count rate must be positive");
    }
    if (o.aux_period_ms == 0 || o.aux_period_ms > 3600000) {
        throw std::invalid_argument("the auxiliary input period must be 1 ms to 1 h");
    }
}

std::string describe_release(uint32_t v) {
    return std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string(v & 0xFF) + " type " + std::to_string(v >> 24);
}

}  // namespace vxnsim
