// Thin POSIX socket helpers for the chain's listeners and connections.
#pragma once

#include <cstdint>
#include <string>

namespace vxnsim {
namespace net {

// A listening TCP socket on ip:port (SO_REUSEADDR, non-blocking). Throws
// std::invalid_argument for an address outside 127.0.0.0/8 and
// std::system_error naming the address when it cannot listen.
int listen_on(const std::string& ip, uint16_t port);
// Accepts one pending connection, non-blocking; -1 when none.
int accept_connection(int listener);
void set_send_buffer(int fd, int bytes);
void close_fd(int& fd);

}  // namespace net
}  // namespace vxnsim
