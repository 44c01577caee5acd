// The request side of a chain: which board a request reaches, what the
// boards' registers do with it and what (if anything) is answered. No
// threads and no sockets; the caller serialises access.
//
// Answers:
// - a read of board b gets one 0xD0 frame with board byte b, the request's
//   packet id and the register values in address order;
// - a write gets one 0xD1 frame without payload;
// - a write to the broadcast address 159 + n (recognised while that fits
//   the 8-bit board byte, i.e. n <= 96) reaches every board and is answered
//   once, by the last board (board byte n - 1), as the end of the chain
//   would; a read of the broadcast address is answered by nobody;
// - a request for any other board byte gets no answer: nobody is there.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vxnsim/board.h"
#include "vxnsim/chain_options.h"
#include "vxnsim/request_parser.h"

namespace vxnsim {

enum class Silence { none, all_boards, slaves_only };

class ChainModel {
  public:
    struct Outcome {
        std::optional<std::vector<uint8_t>> answer;
        Board::Command command = Board::Command::none;  // from board 0's ACQ_CONTROL
        bool reset = false;
    };

    explicit ChainModel(const ChainOptions& options);

    Outcome handle(const Request& request);

    unsigned boards() const { return static_cast<unsigned>(boards_.size()); }
    Board& board(unsigned i) { return boards_.at(i); }
    const Board& board(unsigned i) const { return boards_.at(i); }
    // The board byte that addresses every board, if the chain has one.
    std::optional<uint8_t> broadcast_address() const;

    // A silent board neither executes nor answers what it receives, like a
    // board that hung or a link that broke.
    Silence silence = Silence::none;
    // When set, a write is refused: it is not applied and is answered with a
    // 0xD0 frame carrying this one word under the write's packet id. A host
    // hands the waiting request the payload of a 0xD0 answer as it is, so
    // the request completes with this word instead of the 1 of an
    // acknowledgement.
    std::optional<uint32_t> write_answer_word;

  private:
    bool silent(unsigned board) const;

    std::vector<Board> boards_;
};

}  // namespace vxnsim
