// A bare host for the benchmarks: connects a chain's four ports, starts a
// list acquisition with plain register writes, and takes the stripes in
// rotation as a host does, following the frames only far enough to see each
// board's last statistics packet.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace bare {

constexpr std::size_t kStripe = 2920;

inline int connect_port(const char* address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address, &addr.sin_addr);
    const int rcvbuf = 8192000;  // what a host asks for
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval tv{5, 0};  // a stalled stream ends the run instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot connect port " + std::to_string(port));
    }
    return fd;
}

inline void put_stuffed(std::vector<uint8_t>& f, uint8_t b) {
    f.push_back(b);
    if (b == 0xDD) {
        f.push_back(0xDD);
    }
}

inline std::vector<uint8_t> write_frame(uint8_t board, uint8_t id, uint8_t address, uint32_t word) {
    std::vector<uint8_t> f = {0xDD, 0xAA, 0xAA, 0xEE, 0xD1};
    for (uint8_t b : {board, id, address, uint8_t{1}, uint8_t{0}}) {
        put_stuffed(f, b);
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        put_stuffed(f, static_cast<uint8_t>(word >> shift));
    }
    f.push_back(0xDD);
    f.push_back(0x55);
    return f;
}

// Follows frames across stripes: skips payloads by their length, counts
// list events and notices each board's last statistics packet.
class FrameWalker {
  public:
    explicit FrameWalker(unsigned boards) : last_seen_(boards, false) {}

    void feed(const uint8_t* p, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            if (skip_ > 0) {
                const std::size_t take = std::min(skip_, n - i);
                if (tail_wanted_) {
                    // Keep the payload's last 136 bytes: its final unit is
                    // a statistics packet when the board has finished.
                    const std::size_t from = skip_ > 136 ? skip_ - 136 : 0;
                    if (from < take) {
                        tail_.insert(tail_.end(), p + i + from, p + i + take);
                    }
                }
                skip_ -= take;
                i += take;
                if (skip_ == 0 && tail_wanted_) {
                    finish_list_frame();
                }
                continue;
            }
            header_[have_++] = p[i++];
            if (have_ == 1 && header_[0] != 0xAA) {
                have_ = 0;
            } else if (have_ == 2 && header_[1] != 0xEE) {
                have_ = header_[1] == 0xAA ? 1 : 0;
                header_[0] = 0xAA;
            } else if (have_ == 3 && (header_[2] & 0xF0) != 0xD0) {
                have_ = header_[2] == 0xAA ? 1 : 0;
                header_[0] = 0xAA;
            } else if (have_ == 8) {
                have_ = 0;
                const std::size_t words =
                    (std::size_t{header_[5]} << 16) | (std::size_t{header_[6]} << 8) | header_[7];
                skip_ = 4 * words;
                payload_bytes_ += skip_;
                tail_wanted_ = header_[2] == 0xD4 && skip_ >= 136;
                board_ = header_[3];
                tail_.clear();
                if (header_[2] == 0xD4) {
                    list_bytes_ += skip_;
                }
            }
        }
    }

    bool all_done() const {
        for (bool b : last_seen_) {
            if (!b) {
                return false;
            }
        }
        return true;
    }
    uint64_t payload_bytes() const { return payload_bytes_; }
    uint64_t list_bytes() const { return list_bytes_; }

  private:
    void finish_list_frame() {
        tail_wanted_ = false;
        if (tail_.size() == 136 && (tail_[0] & 0xC0) == 0xC0 && (tail_[4] & 0xC0) == 0xC0 &&
            (tail_[1] & 0x08) == 0 && board_ < last_seen_.size()) {
            last_seen_[board_] = true;
        }
    }

    uint8_t header_[8] = {};
    std::size_t have_ = 0;
    std::size_t skip_ = 0;
    bool tail_wanted_ = false;
    unsigned board_ = 0;
    std::vector<uint8_t> tail_;
    std::vector<bool> last_seen_;
    uint64_t payload_bytes_ = 0;
    uint64_t list_bytes_ = 0;
};

struct run {
    double seconds = 0;          // from the start command to the last stripe
    uint64_t stripe_bytes = 0;   // everything received, padding included
    uint64_t payload_bytes = 0;  // frame payloads
};

// Streams a list acquisition of `seconds` from the chain at `address`.
inline run read_list_stream(const char* address, unsigned boards, unsigned seconds) {
    int fds[4];
    for (unsigned p = 0; p < 4; ++p) {
        fds[p] = connect_port(address, static_cast<uint16_t>(8000 + p));
    }
    const auto broadcast = static_cast<uint8_t>(159 + boards);
    std::vector<uint8_t> setup;
    for (const auto& f : {write_frame(broadcast, 1, 7, 4),               // list mode
                          write_frame(broadcast, 2, 5, seconds * 1000),  // acquisition time
                          write_frame(broadcast, 3, 10, 100),            // statistics period
                          write_frame(0, 4, 4, 1)}) {                    // start
        setup.insert(setup.end(), f.begin(), f.end());
    }
    if (send(fds[0], setup.data(), setup.size(), 0) != static_cast<ssize_t>(setup.size())) {
        throw std::runtime_error("cannot send the set-up");
    }

    FrameWalker walker(boards);
    std::vector<uint8_t> stripe(kStripe);
    uint64_t received = 0;
    unsigned port = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (!walker.all_done()) {
        std::size_t got = 0;
        while (got < kStripe) {
            const ssize_t n = recv(fds[port], stripe.data() + got, kStripe - got, 0);
            if (n <= 0) {
                throw std::runtime_error("stream stalled or closed");
            }
            got += static_cast<std::size_t>(n);
        }
        walker.feed(stripe.data(), kStripe);
        received += kStripe;
        port = (port + 1) % 4;
    }
    run result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    result.stripe_bytes = received;
    result.payload_bytes = walker.payload_bytes();
    for (int fd : fds) close(fd);
    return result;
}

}  // namespace bare
