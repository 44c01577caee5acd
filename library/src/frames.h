// Request frames sent to a chain's master, and the constants of the frames it
// sends back.
#pragma once

#include <cstdint>
#include <vector>

namespace commands {

constexpr uint8_t DTE_CMD = 0xDD;   // escape: starts a start or stop marker; doubled in a body
constexpr uint8_t DTE_STRT = 0xAA;  // DTE_CMD DTE_STRT starts a frame
constexpr uint8_t DTE_STOP = 0x55;  // DTE_CMD DTE_STOP ends a frame
constexpr uint8_t PKT_START_HIGH_BYTE = 0xAA;
constexpr uint8_t PKT_START_LOW_BYTE = 0xEE;
constexpr uint8_t CMD_READ = 0xD0;
constexpr uint8_t CMD_WRITE = 0xD1;
constexpr uint8_t RESET = 0xEE;

// Codes of the frames a board sends on its own during an acquisition.
constexpr uint8_t DATA_SPECTRUM = 0xD2;
constexpr uint8_t DATA_WAVEFORM = 0xD3;
constexpr uint8_t DATA_LIST = 0xD4;
constexpr uint8_t DATA_LIST_WAVE = 0xD5;
constexpr uint8_t DATA_MAP = 0xD6;

}  // namespace commands

// Builds a register read request: `count` registers of `board` from
// `address`. Board, address and count are cut to their low 8 bits, as the
// frame carries one byte for each.
std::vector<uint8_t> build_read_frame(unsigned short board, unsigned short address,
                                      unsigned short count, uint8_t packet_id);

// Builds a register write request of `words` to `board` from `address`.
std::vector<uint8_t> build_write_frame(unsigned short board, unsigned short address,
                                       const std::vector<unsigned int>& words, uint8_t packet_id);

// The global reset sequence: closes any frame the board may be decoding, then
// resets the whole chain. Not answered.
std::vector<uint8_t> build_reset_frame();
