// Builds board payloads byte by byte from the wire layouts, for the decoder
// tests. Deliberately independent of the library's decoders: every offset is
// written out here from the record layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace payload {

using bytes = std::vector<unsigned char>;

inline void put_be32(bytes& b, std::size_t at, uint32_t v) {
    b[at] = static_cast<unsigned char>(v >> 24);
    b[at + 1] = static_cast<unsigned char>(v >> 16);
    b[at + 2] = static_cast<unsigned char>(v >> 8);
    b[at + 3] = static_cast<unsigned char>(v);
}

inline void put_be16(bytes& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<unsigned char>(v >> 8);
    b[at + 1] = static_cast<unsigned char>(v);
}

// Status byte values.
constexpr uint8_t more_data = 0x20;  // bit 5 set: more follows
constexpr uint8_t last_data = 0x00;  // bits 4 and 5 clear: last data, transmission over

// The 128-byte header of a spectrum record; list statistics packets carry the
// same header after their marker.
struct header {
    uint16_t packet_count = 0;
    uint16_t spectrum_id = 0;
    uint64_t time = 0;
    uint32_t detected = 0;
    uint32_t measured = 0;
    uint32_t edge_dt = 0;
    uint32_t filt1_dt = 0;
    uint32_t zerocounts = 0;
    uint32_t word8 = 0;  // byte 32 bits 5 and 6 are overridden by next_aux / curr_aux
    uint32_t word9 = 0;
    uint32_t word10 = 0;
    uint32_t word11 = 0;
    uint32_t word12 = 0;
    uint32_t word13 = 0;
    uint8_t status = more_data;  // byte 59
    uint32_t baselines_value = 0;
    uint32_t pup_value = 0;
    uint32_t pup_f1_value = 0;
    uint32_t pup_notf1_value = 0;
    uint32_t reset_counter_value = 0;
    bool next_aux = false;  // byte 32 bit 5
    bool curr_aux = false;  // byte 32 bit 6
};

inline bytes encode_header(const header& h) {
    bytes b(128, 0);
    put_be16(b, 0, h.packet_count);
    put_be16(b, 2, h.spectrum_id);
    put_be32(b, 4, static_cast<uint32_t>(h.time));
    put_be32(b, 8, h.detected);
    put_be32(b, 12, h.measured);
    put_be32(b, 16, h.edge_dt);
    put_be32(b, 20, h.filt1_dt);
    put_be32(b, 24, h.zerocounts);
    put_be32(b, 28, 0xDEADBEEF);  // word 7: not read
    put_be32(b, 32, h.word8);
    b[32] = static_cast<unsigned char>((b[32] & ~0x60) | (h.next_aux ? 0x20 : 0) |
                                       (h.curr_aux ? 0x40 : 0));
    put_be32(b, 36, h.word9);
    put_be32(b, 40, h.word10);
    put_be32(b, 44, h.word11);
    put_be32(b, 48, h.word12);
    put_be32(b, 52, h.word13);
    b[59] = h.status;
    put_be32(b, 60, h.baselines_value);
    put_be32(b, 64, h.pup_value);
    put_be32(b, 68, h.pup_f1_value);
    put_be32(b, 72, h.pup_notf1_value);
    put_be32(b, 76, 0xDEADBEEF);  // words 19, 20: not read
    put_be32(b, 80, 0xDEADBEEF);
    put_be32(b, 84, h.reset_counter_value);
    put_be32(b, 88, 0xDEADBEEF);  // word 22: not read
    put_be32(b, 92, static_cast<uint32_t>(h.time >> 32));
    return b;
}

// One spectrum record of `depth` bins: the header, then depth / 2 bin words,
// word j carrying bin 2j + 1 in its high half and bin 2j in its low half.
// `bins` may be shorter than the depth; missing bins are 0.
inline bytes spectrum_record(const header& h, unsigned int depth,
                             const std::vector<uint16_t>& bins = {}) {
    bytes b = encode_header(h);
    b.resize(128 + 2 * std::size_t{depth}, 0);
    auto bin = [&](std::size_t k) -> uint32_t { return k < bins.size() ? bins[k] : 0; };
    for (std::size_t j = 0; j < depth / 2; ++j) {
        put_be32(b, 128 + 4 * j, (bin(2 * j + 1) << 16) | bin(2 * j));
    }
    return b;
}

inline bytes join(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A list or list-wave data unit: the low half of the value first.
inline bytes unit(uint64_t value) {
    bytes b(8, 0);
    put_be32(b, 0, static_cast<uint32_t>(value));
    put_be32(b, 4, static_cast<uint32_t>(value >> 32));
    return b;
}

// The marker that opens a list statistics packet; byte 1 bit 3 set means more
// data follows.
inline bytes list_marker(bool more = true) {
    return {0xC0, static_cast<unsigned char>(more ? 0x08 : 0x00), 0, 0, 0xC0, 0, 0, 0};
}

inline bytes list_wave_marker() {
    return {0xC0, 0, 0, 0, 0xC0, 0, 0, 0};
}

// A statistics packet: the marker and a record header (136 bytes).
inline bytes stats_packet(const bytes& marker, const header& h) {
    return join({marker, encode_header(h)});
}

// Waveform words: each carries its first sample in bytes 2-3 and its second
// in bytes 0-1. An odd count leaves the last word's second sample 0.
inline bytes wave_words(const std::vector<uint16_t>& samples) {
    bytes b(4 * ((samples.size() + 1) / 2), 0);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const std::size_t word = k / 2;
        put_be16(b, 4 * word + (k % 2 == 0 ? 2 : 0), samples[k]);
    }
    return b;
}

}  // namespace payload
