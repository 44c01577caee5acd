// Bytes on the wire between a host and a chain's master board: the request
// frames a host sends (with their byte stuffing) and the unstuffed frames a
// board sends back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxnsim {
namespace wire {

constexpr uint8_t kEscape = 0xDD;
constexpr uint8_t kFrameStart = 0xAA;  // after kEscape: a request frame begins
constexpr uint8_t kFrameStop = 0x55;   // after kEscape: a request frame ends
constexpr uint8_t kResetByte = 0xEE;   // DD 55 DD EE resets the chain
constexpr uint8_t kHeader0 = 0xAA;
constexpr uint8_t kHeader1 = 0xEE;

constexpr uint8_t kRead = 0xD0;
constexpr uint8_t kWrite = 0xD1;
constexpr uint8_t kSpectrum = 0xD2;
constexpr uint8_t kWaveform = 0xD3;
constexpr uint8_t kList = 0xD4;
constexpr uint8_t kListWave = 0xD5;
constexpr uint8_t kMap = 0xD6;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kBlockSize = 1460;
constexpr std::size_t kStripeSize = 2 * kBlockSize;
constexpr unsigned kPortCount = 4;
constexpr uint16_t kFirstPort = 8000;
// Largest payload a 24-bit word count can announce.
constexpr uint32_t kMaxPayloadWords = 0xFFFFFF;

inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Writes the 8-byte header of a board frame. Throws std::length_error when
// the word count does not fit the 24-bit length field.
void encode_header(uint8_t* out, uint8_t code, uint8_t board, uint8_t packet_id,
                   uint32_t payload_words);

// A whole board frame: header plus the words, most significant byte first.
std::vector<uint8_t> make_frame(uint8_t code, uint8_t board, uint8_t packet_id,
                                const std::vector<uint32_t>& words);

// A whole board frame around a payload given as bytes (a multiple of 4;
// std::invalid_argument otherwise).
std::vector<uint8_t> make_frame_bytes(uint8_t code, uint8_t board, uint8_t packet_id,
                                      const std::vector<uint8_t>& payload);

// True when the three bytes at p are a board frame header start.
inline bool is_header_at(const uint8_t* p) {
    return p[0] == kHeader0 && p[1] == kHeader1 && (p[2] & 0xF0) == 0xD0;
}

}  // namespace wire
}  // namespace vxnsim
