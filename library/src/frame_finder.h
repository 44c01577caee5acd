// Finds the frames in the byte stream received from one chain.
//
// Pure: bytes go in, frames come out, and the bytes that cannot be analysed
// yet (an incomplete header, answer or list payload, the incomplete part of
// a spectrum or waveform payload) are kept for the next chunk. No sockets, no
// registry, no locks: the dispatcher feeds it and routes what it finds.
//
// Spectrum and map payloads are handed out in whole records as they arrive,
// waveforms in whole 32-bit words, list and list-wave payloads only whole:
// a large payload never has to be held back entirely, and a decoder never sees
// a partial record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Data kinds of acquisition payloads (the acquisition mode they belong to).
namespace data_kind {
constexpr unsigned short spectrum = 0;   // 0xD2
constexpr unsigned short map = 1;        // 0xD6
constexpr unsigned short waveform = 3;   // 0xD3
constexpr unsigned short list = 4;       // 0xD4
constexpr unsigned short list_wave = 6;  // 0xD5
}  // namespace data_kind

struct found_frame {
    enum type_t { read_answer, write_answer, data };
    type_t type = data;
    uint8_t code = 0;
    uint16_t board = 0;
    uint8_t packet_id = 0;
    std::vector<unsigned int> words;   // read_answer: the register values
    unsigned short kind = 0;           // data: data_kind
    std::vector<unsigned char> bytes;  // data: whole records, words or payload
};

class frame_finder {
  public:
    // Analyses one received chunk after the bytes kept from the previous one.
    // `depth` is the chain's spectrum depth now; it sizes spectrum records.
    // Appends what it finds to `out`, in stream order.
    void feed(const unsigned char* data, size_t size, unsigned short depth,
              std::vector<found_frame>& out);

    // Forgets the kept bytes and the packet in progress.
    void reset();

    // Bytes kept for the next chunk.
    size_t kept_bytes() const { return kept_.size(); }
    // Payload bytes of a started spectrum or waveform packet still to come.
    uint32_t bytes_to_read() const { return pending_.bytes_to_read; }

  private:
    struct pending_read {
        uint32_t bytes_to_read = 0;  // payload bytes of the current packet not yet handed out
        uint16_t board = 0;
        unsigned short kind = 0;
        uint32_t min_read_size = 1;  // unit of a continuation: a record or a word
    };

    std::vector<unsigned char> kept_;
    pending_read pending_;
};

// True when the three bytes at `p` start a frame header: 0xAA 0xEE 0xDx.
inline bool is_frame_header(const unsigned char* p) {
    return p[0] == 0xAA && p[1] == 0xEE && (p[2] & 0xF0) == 0xD0;
}
