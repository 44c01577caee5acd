// Cuts the chain's single ordered output stream into 2920-byte stripes that
// go, in turn, to the connections of ports 8000, 8001, 8002, 8003, 8000, ...
// A host reads each stripe whole before moving to the next port, so a stripe
// must always be completed: padding (0x00, which cannot start a header)
// fills the current stripe whenever there is nothing more to send.
//
// Bytes of a stripe are placed in the outbox of its port as soon as they are
// known; since a host reads the ports strictly in turn, the outboxes can then
// be written in any order and by any amount without changing what it sees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vxnsim/wire.h"

namespace vxnsim {

class Outbox {
  public:
    const uint8_t* data() const { return buf_.data(); }
    std::size_t size() const { return buf_.size(); }
    bool empty() const { return buf_.empty(); }
    void append(const uint8_t* p, std::size_t n) { buf_.insert(buf_.end(), p, p + n); }
    void append_fill(std::size_t n, uint8_t value) { buf_.insert(buf_.end(), n, value); }
    void clear() { buf_.clear(); }
    // Hands every byte over to `into` (replacing what it held) and goes on
    // in `into`'s former storage, so that a write in progress from `into`
    // is never moved by later appends and no buffer is reallocated anew.
    void take(std::vector<uint8_t>& into);

  private:
    std::vector<uint8_t> buf_;
};

class StripeStream {
  public:
    static constexpr uint8_t kPadding = 0x00;

    // A new session: the next stripe goes to port 8000; unsent bytes dropped.
    void reset();

    void append(const uint8_t* p, std::size_t n);
    // Completes the current stripe with padding, if one was started.
    void pad();
    // Pads the current stripe up to `fill` bytes (no-op if already there).
    void pad_to(std::size_t fill);
    // Completes the current stripe, then sends one stripe of padding.
    void pad_full_stripe();

    // Bytes already in the current stripe (0: at a stripe boundary).
    std::size_t fill() const { return fill_; }
    // Port index (0..3) of the current stripe.
    unsigned port() const { return port_; }
    uint64_t stripes_completed() const { return stripes_; }

    Outbox& outbox(unsigned port) { return outboxes_[port]; }
    std::size_t pending_bytes() const;

  private:
    std::array<Outbox, wire::kPortCount> outboxes_;
    unsigned port_ = 0;
    std::size_t fill_ = 0;
    uint64_t stripes_ = 0;
};

}  // namespace vxnsim
