#include "socket_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace vxnsim {
namespace net {

int listen_on(const std::string& ip, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // Loopback only, whatever the caller checked: a simulator must never
    // be reachable from, or send to, another machine.
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        throw std::invalid_argument("address " + ip + " is not in 127.0.0.0/8");
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 16) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::system_error(e, std::generic_category(),
                                "listening on " + ip + ":" + std::to_string(port));
    }
    return fd;
}

int accept_connection(int listener) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void set_send_buffer(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace net
}  // namespace vxnsim
