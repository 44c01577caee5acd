#include "frames.h"

namespace {

using namespace commands;

// Appends one body byte, doubling the escape so that the board never mistakes
// a data byte for a marker.
void put_stuffed(std::vector<uint8_t>& frame, uint8_t byte) {
    frame.push_back(byte);
    if (byte == DTE_CMD)
        frame.push_back(byte);
}

std::vector<uint8_t> frame_head(uint8_t command, unsigned short board, uint8_t packet_id,
                                unsigned short address, unsigned int count) {
    std::vector<uint8_t> frame{DTE_CMD, DTE_STRT, PKT_START_HIGH_BYTE, PKT_START_LOW_BYTE, command};
    put_stuffed(frame, static_cast<uint8_t>(board));
    put_stuffed(frame, packet_id);
    put_stuffed(frame, static_cast<uint8_t>(address));
    put_stuffed(frame, static_cast<uint8_t>(count));
    put_stuffed(frame, 0x00);
    return frame;
}

void frame_tail(std::vector<uint8_t>& frame) {
    frame.push_back(DTE_CMD);
    frame.push_back(DTE_STOP);
}

}  // namespace

std::vector<uint8_t> build_read_frame(unsigned short board, unsigned short address,
                                      unsigned short count, uint8_t packet_id) {
    auto frame = frame_head(CMD_READ, board, packet_id, address, count);
    frame_tail(frame);
    return frame;
}

std::vector<uint8_t> build_write_frame(unsigned short board, unsigned short address,
                                       const std::vector<unsigned int>& words, uint8_t packet_id) {
    auto frame =
        frame_head(CMD_WRITE, board, packet_id, address, static_cast<unsigned int>(words.size()));
    frame.reserve(frame.size() + 4 * words.size() + 2);
    for (unsigned int word : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            put_stuffed(frame, static_cast<uint8_t>(word >> shift));
    frame_tail(frame);
    return frame;
}

std::vector<uint8_t> build_reset_frame() {
    return {DTE_CMD, DTE_STOP, DTE_CMD, RESET};
}
