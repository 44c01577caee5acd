// Decoded requests as the unit tests expect them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "vxnsim/request_parser.h"

namespace vxnsim {

inline Request read_req(uint8_t board, uint8_t id, uint8_t address, uint8_t count) {
    Request r;
    r.kind = Request::Kind::read;
    r.board = board;
    r.packet_id = id;
    r.address = address;
    r.count = count;
    return r;
}

inline Request write_req(uint8_t board, uint8_t id, uint8_t address, std::vector<uint32_t> words) {
    Request r;
    r.kind = Request::Kind::write;
    r.board = board;
    r.packet_id = id;
    r.address = address;
    r.count = static_cast<uint8_t>(words.size());
    r.words = std::move(words);
    return r;
}

}  // namespace vxnsim
