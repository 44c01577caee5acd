// A bare host for the simulator tests: connects the four ports, writes
// request frames and reads the stream stripe by stripe in rotation, finding
// frames the way a host does (scan for AA EE Dx). Its request encoder is
// written here from the frame layout, independently of the simulator's
// parser, so the two check each other.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;

std::vector<uint8_t> encode_read(uint8_t board, uint8_t packet_id, uint8_t address, uint8_t count);
std::vector<uint8_t> encode_write(uint8_t board, uint8_t packet_id, uint8_t address,
                                  const std::vector<uint32_t>& words);
extern const std::vector<uint8_t> kResetSequence;

uint32_t be32(const uint8_t* p);

// Connects to ip:port with a bounded wait; -1 and errno set on failure.
int connect_to(const std::string& ip, uint16_t port, std::chrono::milliseconds timeout = 2s);

struct Frame {
    uint8_t code = 0;
    uint8_t board = 0;
    uint8_t packet_id = 0;
    std::vector<uint8_t> payload;
    std::size_t offset = 0;  // stream offset of the header
    uint32_t word(std::size_t i) const { return be32(payload.data() + 4 * i); }
};

class StripeClient {
  public:
    // Connects ports 8000..8003 in order; throws std::runtime_error.
    explicit StripeClient(const std::string& ip);
    ~StripeClient();
    StripeClient(const StripeClient&) = delete;
    StripeClient& operator=(const StripeClient&) = delete;

    void send(const std::vector<uint8_t>& bytes);
    // The next 2920-byte stripe from the port in turn; nothing on time-out
    // or when the connection closed.
    std::optional<std::vector<uint8_t>> read_stripe(std::chrono::milliseconds timeout = 3s);
    // The next frame of the stream (frames passed over by answer() first);
    // nothing on time-out.
    std::optional<Frame> next_frame(std::chrono::milliseconds timeout = 3s);
    // Next answer (0xD0/0xD1) with this packet id. Other frames on the way
    // are kept for next_frame(), so register access loses no data.
    std::optional<Frame> answer(uint8_t packet_id, std::chrono::milliseconds timeout = 3s);

    uint32_t read_register(uint8_t board, uint8_t address);
    void write_register(uint8_t board, uint8_t address, std::vector<uint32_t> words);

    // Bytes received so far, stripes in rotation order.
    const std::vector<uint8_t>& stream() const { return stream_; }
    unsigned next_port() const { return port_; }
    int fd(unsigned port) const { return fds_[port]; }
    // True when the port's connection was closed by the peer within the time.
    bool sees_close(unsigned port, std::chrono::milliseconds timeout);

  private:
    bool fill(std::chrono::milliseconds timeout);
    std::optional<Frame> parse_next(std::chrono::milliseconds timeout);

    int fds_[4] = {-1, -1, -1, -1};
    unsigned port_ = 0;
    std::vector<uint8_t> stream_;
    std::size_t cursor_ = 0;
    std::deque<Frame> held_;
    uint8_t next_id_ = 0x40;
};

}  // namespace simtest
