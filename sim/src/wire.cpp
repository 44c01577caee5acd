#include "vxnsim/wire.h"

#include <stdexcept>

namespace vxnsim {
namespace wire {

void encode_header(uint8_t* out, uint8_t code, uint8_t board, uint8_t packet_id,
                   uint32_t payload_words) {
    if (payload_words > kMaxPayloadWords) {
        throw std::length_error("frame payload longer than a 24-bit word count");
    }
    out[0] = kHeader0;
    out[1] = kHeader1;
    out[2] = code;
    out[3] = board;
    out[4] = packet_id;
    out[5] = static_cast<uint8_t>(payload_words >> 16);
    out[6] = static_cast<uint8_t>(payload_words >> 8);
    out[7] = static_cast<uint8_t>(payload_words);
}

std::vector<uint8_t> make_frame(uint8_t code, uint8_t board, uint8_t packet_id,
                                const std::vector<uint32_t>& words) {
    std::vector<uint8_t> frame(kHeaderSize + 4 * words.size());
    encode_header(frame.data(), code, board, packet_id, static_cast<uint32_t>(words.size()));
    for (std::size_t i = 0; i < words.size(); ++i) {
        put_be32(frame.data() + kHeaderSize + 4 * i, words[i]);
    }
    return frame;
}

std::vector<uint8_t> make_frame_bytes(uint8_t code, uint8_t board, uint8_t packet_id,
                                      const std::vector<uint8_t>& payload) {
    if (payload.size() % 4 != 0) {
        throw std::invalid_argument("frame payload must be a whole number of 32-bit words");
    }
    std::vector<uint8_t> frame(kHeaderSize + payload.size());
    encode_header(frame.data(), code, board, packet_id, static_cast<uint32_t>(payload.size() / 4));
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
    return frame;
}

}  // namespace wire
}  // namespace vxnsim
