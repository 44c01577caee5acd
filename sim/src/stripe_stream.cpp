#include "vxnsim/stripe_stream.h"

#include <algorithm>

namespace vxnsim {

void Outbox::take(std::vector<uint8_t>& into) {
    into.clear();
    buf_.swap(into);
}

void StripeStream::reset() {
    for (auto& o : outboxes_) {
        o.clear();
    }
    port_ = 0;
    fill_ = 0;
}

void StripeStream::append(const uint8_t* p, std::size_t n) {
    while (n > 0) {
        const std::size_t take = std::min(n, wire::kStripeSize - fill_);
        outboxes_[port_].append(p, take);
        fill_ += take;
        p += take;
        n -= take;
        if (fill_ == wire::kStripeSize) {
            fill_ = 0;
            port_ = (port_ + 1) % wire::kPortCount;
            ++stripes_;
        }
    }
}

void StripeStream::pad_to(std::size_t fill) {
    if (fill_ < fill && fill <= wire::kStripeSize) {
        const std::size_t n = fill - fill_;
        outboxes_[port_].append_fill(n, kPadding);
        fill_ += n;
        if (fill_ == wire::kStripeSize) {
            fill_ = 0;
            port_ = (port_ + 1) % wire::kPortCount;
            ++stripes_;
        }
    }
}

void StripeStream::pad() {
    if (fill_ != 0) {
        pad_to(wire::kStripeSize);
    }
}

void StripeStream::pad_full_stripe() {
    pad();
    pad_to(wire::kStripeSize);
}

std::size_t StripeStream::pending_bytes() const {
    std::size_t n = 0;
    for (const auto& o : outboxes_) {
        n += o.size();
    }
    return n;
}

}  // namespace vxnsim
