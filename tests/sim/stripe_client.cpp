#include "stripe_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace simtest {

using Clock = std::chrono::steady_clock;

const std::vector<uint8_t> kResetSequence = {0xDD, 0x55, 0xDD, 0xEE};

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

namespace {

void put_stuffed(std::vector<uint8_t>& out, uint8_t b) {
    out.push_back(b);
    if (b == 0xDD) {
        out.push_back(0xDD);
    }
}

int remaining_ms(Clock::time_point deadline) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

}  // namespace

std::vector<uint8_t> encode_read(uint8_t board, uint8_t packet_id, uint8_t address, uint8_t count) {
    std::vector<uint8_t> f = {0xDD, 0xAA, 0xAA, 0xEE, 0xD0};
    for (uint8_t b : {board, packet_id, address, count, uint8_t{0}}) {
        put_stuffed(f, b);
    }
    f.push_back(0xDD);
    f.push_back(0x55);
    return f;
}

std::vector<uint8_t> encode_write(uint8_t board, uint8_t packet_id, uint8_t address,
                                  const std::vector<uint32_t>& words) {
    std::vector<uint8_t> f = {0xDD, 0xAA, 0xAA, 0xEE, 0xD1};
    for (uint8_t b : {board, packet_id, address, static_cast<uint8_t>(words.size()), uint8_t{0}}) {
        put_stuffed(f, b);
    }
    for (uint32_t w : words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            put_stuffed(f, static_cast<uint8_t>(w >> shift));
        }
    }
    f.push_back(0xDD);
    f.push_back(0x55);
    return f;
}

int connect_to(const std::string& ip, uint16_t port, std::chrono::milliseconds timeout) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        errno = EINVAL;  // the tests talk to loopback only
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            const int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            close(fd);
            errno = err ? err : ETIMEDOUT;
            return -1;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

StripeClient::StripeClient(const std::string& ip) {
    for (unsigned p = 0; p < 4; ++p) {
        fds_[p] = connect_to(ip, static_cast<uint16_t>(8000 + p));
        if (fds_[p] < 0) {
            const int e = errno;
            for (int& fd : fds_) {
                if (fd >= 0) {
                    close(fd);
                    fd = -1;
                }
            }
            throw std::runtime_error("cannot connect " + ip + ":" + std::to_string(8000 + p) +
                                     ": errno " + std::to_string(e));
        }
    }
}

StripeClient::~StripeClient() {
    for (int fd : fds_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void StripeClient::send(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fds_[0], bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::vector<uint8_t>> StripeClient::read_stripe(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<uint8_t> stripe(2920);
    std::size_t got = 0;
    while (got < stripe.size()) {
        pollfd p{fds_[port_], POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) != 1) {
            if (got != 0) {
                throw std::runtime_error("stripe cut short");
            }
            return std::nullopt;
        }
        const ssize_t n = recv(fds_[port_], stripe.data() + got, stripe.size() - got, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    port_ = (port_ + 1) % 4;
    stream_.insert(stream_.end(), stripe.begin(), stripe.end());
    return stripe;
}

bool StripeClient::fill(std::chrono::milliseconds timeout) {
    return read_stripe(timeout).has_value();
}

std::optional<Frame> StripeClient::next_frame(std::chrono::milliseconds timeout) {
    if (!held_.empty()) {
        Frame f = std::move(held_.front());
        held_.pop_front();
        return f;
    }
    return parse_next(timeout);
}

std::optional<Frame> StripeClient::parse_next(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        while (cursor_ + 3 <= stream_.size()) {
            const uint8_t* p = stream_.data() + cursor_;
            if (p[0] == 0xAA && p[1] == 0xEE && (p[2] & 0xF0) == 0xD0) {
                break;
            }
            ++cursor_;
        }
        if (cursor_ + 8 <= stream_.size()) {
            const uint8_t* p = stream_.data() + cursor_;
            const std::size_t words = (std::size_t{p[5]} << 16) | (std::size_t{p[6]} << 8) | p[7];
            const std::size_t end = cursor_ + 8 + 4 * words;
            if (end <= stream_.size()) {
                Frame f;
                f.code = p[2];
                f.board = p[3];
                f.packet_id = p[4];
                f.payload.assign(stream_.begin() + static_cast<std::ptrdiff_t>(cursor_ + 8),
                                 stream_.begin() + static_cast<std::ptrdiff_t>(end));
                f.offset = cursor_;
                cursor_ = end;
                return f;
            }
        }
        if (!fill(std::chrono::milliseconds(remaining_ms(deadline)))) {
            return std::nullopt;
        }
    }
}

std::optional<Frame> StripeClient::answer(uint8_t packet_id, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto f = parse_next(std::chrono::milliseconds(remaining_ms(deadline)));
        if (!f) {
            return std::nullopt;
        }
        if ((f->code == 0xD0 || f->code == 0xD1) && f->packet_id == packet_id) {
            return f;
        }
        held_.push_back(std::move(*f));
    }
}

uint32_t StripeClient::read_register(uint8_t board, uint8_t address) {
    const uint8_t id = next_id_++;
    send(encode_read(board, id, address, 1));
    auto f = answer(id);
    if (!f || f->code != 0xD0 || f->payload.size() != 4) {
        throw std::runtime_error("no answer to a register read");
    }
    return f->word(0);
}

void StripeClient::write_register(uint8_t board, uint8_t address, std::vector<uint32_t> words) {
    const uint8_t id = next_id_++;
    send(encode_write(board, id, address, words));
    auto f = answer(id);
    if (!f || f->code != 0xD1) {
        throw std::runtime_error("no acknowledgement of a register write");
    }
}

bool StripeClient::sees_close(unsigned port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    uint8_t buf[4096];
    for (;;) {
        pollfd p{fds_[port], POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) != 1) {
            return false;
        }
        const ssize_t n = recv(fds_[port], buf, sizeof buf, 0);
        if (n <= 0) {
            return true;
        }
    }
}

}  // namespace simtest
