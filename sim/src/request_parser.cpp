#include "vxnsim/request_parser.h"

#include "vxnsim/wire.h"

namespace vxnsim {

using namespace wire;

void RequestParser::begin_body() {
    body_.clear();
    state_ = State::body;
}

void RequestParser::reject(const std::string& why) {
    ++malformed_;
    last_problem_ = why;
    body_.clear();
}

void RequestParser::feed(const uint8_t* data, std::size_t size, std::vector<Request>& out) {
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        switch (state_) {
            case State::idle:
                // Bytes between frames carry nothing; only an escape can start one.
                if (b == kEscape) {
                    state_ = State::idle_escape;
                }
                break;
            case State::idle_escape:
                if (b == kFrameStart) {
                    begin_body();
                } else if (b == kFrameStop) {
                    state_ = State::after_stop;
                } else {
                    state_ = State::idle;
                }
                break;
            case State::after_stop:
                state_ = b == kEscape ? State::after_stop_escape : State::idle;
                break;
            case State::after_stop_escape:
                if (b == kResetByte) {
                    Request r;
                    r.kind = Request::Kind::reset;
                    out.push_back(std::move(r));
                    state_ = State::idle;
                } else if (b == kFrameStart) {
                    begin_body();
                } else if (b == kFrameStop) {
                    state_ = State::after_stop;
                } else {
                    state_ = State::idle;
                }
                break;
            case State::body:
                if (b == kEscape) {
                    state_ = State::body_escape;
                } else if (body_.size() >= kMaxBody) {
                    reject("frame longer than any request");
                    state_ = State::idle;
                } else {
                    body_.push_back(b);
                }
                break;
            case State::body_escape:
                if (b == kEscape) {
                    if (body_.size() >= kMaxBody) {
                        reject("frame longer than any request");
                        state_ = State::idle;
                    } else {
                        body_.push_back(kEscape);
                        state_ = State::body;
                    }
                } else if (b == kFrameStop) {
                    finish_body(out);
                    state_ = State::after_stop;
                } else if (b == kFrameStart) {
                    reject("frame cut short by a new start marker");
                    begin_body();
                } else {
                    reject("escape byte followed by an unknown byte inside a frame");
                    state_ = State::idle;
                }
                break;
        }
    }
}

void RequestParser::finish_body(std::vector<Request>& out) {
    if (body_.size() < 8) {
        reject("frame shorter than a request header");
        return;
    }
    if (body_[0] != kHeader0 || body_[1] != kHeader1) {
        reject("frame without the AA EE packet start");
        return;
    }
    if (body_[2] != kRead && body_[2] != kWrite) {
        reject("frame with an unknown command");
        return;
    }
    if (body_[7] != 0) {
        reject("frame whose reserved byte is not 0");
        return;
    }
    Request r;
    r.kind = body_[2] == kRead ? Request::Kind::read : Request::Kind::write;
    r.board = body_[3];
    r.packet_id = body_[4];
    r.address = body_[5];
    r.count = body_[6];
    const std::size_t expected = r.kind == Request::Kind::read ? 8 : 8 + 4 * std::size_t{r.count};
    if (body_.size() != expected) {
        reject(r.kind == Request::Kind::read
                   ? "read request with trailing bytes"
                   : "write request whose length does not match its count");
        return;
    }
    if (r.kind == Request::Kind::write) {
        r.words.reserve(r.count);
        for (std::size_t k = 0; k < r.count; ++k) {
            r.words.push_back(get_be32(body_.data() + 8 + 4 * k));
        }
    }
    body_.clear();
    out.push_back(std::move(r));
}

}  // namespace vxnsim
