// Turns the byte stream a host writes to port 8000 into requests, undoing the
// byte stuffing. Survives any input: what is not a well-formed frame is
// counted as malformed and skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxnsim {

struct Request {
    enum class Kind : uint8_t { read, write, reset };
    Kind kind = Kind::read;
    uint8_t board = 0;
    uint8_t packet_id = 0;
    uint8_t address = 0;
    uint8_t count = 0;  // read: registers asked for; write: words that follow
    std::vector<uint32_t> words;

    bool operator==(const Request& o) const {
        return kind == o.kind && board == o.board && packet_id == o.packet_id &&
               address == o.address && count == o.count && words == o.words;
    }
};

class RequestParser {
  public:
    // Frames longer than this cannot be a request (255 words plus the header).
    static constexpr std::size_t kMaxBody = 8 + 4 * 255;

    // Appends every request completed by these bytes to `out`, in order.
    void feed(const uint8_t* data, std::size_t size, std::vector<Request>& out);

    uint64_t malformed() const { return malformed_; }
    // Why the last malformed frame was refused (empty when none was).
    const std::string& last_problem() const { return last_problem_; }

  private:
    enum class State : uint8_t {
        idle,
        idle_escape,
        after_stop,
        after_stop_escape,
        body,
        body_escape,
    };

    void finish_body(std::vector<Request>& out);
    void reject(const std::string& why);
    void begin_body();

    State state_ = State::idle;
    std::vector<uint8_t> body_;
    uint64_t malformed_ = 0;
    std::string last_problem_;
};

}  // namespace vxnsim
