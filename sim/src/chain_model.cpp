#include "vxnsim/chain_model.h"

#include "vxnsim/wire.h"

namespace vxnsim {

ChainModel::ChainModel(const ChainOptions& o) {
    boards_.reserve(o.boards);
    for (unsigned i = 0; i < o.boards; ++i) {
        boards_.emplace_back(o.fw_release, link_status_for(i, o.boards, o.last_followed_by_master),
                             o.flash_size);
    }
}

std::optional<uint8_t> ChainModel::broadcast_address() const {
    const unsigned address = 159 + boards();
    if (address > 0xFF) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(address);
}

bool ChainModel::silent(unsigned board) const {
    return silence == Silence::all_boards || (silence == Silence::slaves_only && board > 0);
}

ChainModel::Outcome ChainModel::handle(const Request& r) {
    Outcome out;
    if (r.kind == Request::Kind::reset) {
        if (!silent(0)) {
            out.reset = true;
        }
        return out;
    }
    const bool broadcast = broadcast_address() && r.board == *broadcast_address();
    if (!broadcast && r.board >= boards()) {
        return out;
    }
    if (r.kind == Request::Kind::read) {
        if (broadcast || silent(r.board)) {
            return out;
        }
        std::vector<uint32_t> values;
        values.reserve(r.count);
        for (unsigned k = 0; k < r.count; ++k) {
            values.push_back(boards_[r.board].read(r.address + k));
        }
        out.answer = wire::make_frame(wire::kRead, r.board, r.packet_id, values);
        return out;
    }

    const unsigned first = broadcast ? 0 : r.board;
    const unsigned last = broadcast ? boards() - 1 : r.board;
    if (write_answer_word) {
        if (!silent(last)) {
            out.answer = wire::make_frame(wire::kRead, static_cast<uint8_t>(last), r.packet_id,
                                          {*write_answer_word});
        }
        return out;
    }
    for (unsigned b = first; b <= last; ++b) {
        if (silent(b)) {
            continue;
        }
        const Board::Command c = boards_[b].write(r.address, r.words);
        if (b == 0) {
            out.command = c;
        }
    }
    if (!silent(last)) {
        out.answer = wire::make_frame(wire::kWrite, static_cast<uint8_t>(last), r.packet_id, {});
    }
    return out;
}

}  // namespace vxnsim
