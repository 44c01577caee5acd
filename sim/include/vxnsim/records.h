// Payload layouts a board sends during an acquisition: spectrum records
// (0xD2, 0xD6), list and list-wave units with their statistics packets
// (0xD4, 0xD5) and waveform words (0xD3). Everything big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vxnsim {

// Counters a board keeps since its acquisition started. `time_us` and the
// counters are cumulative; `baselines` is the current baseline level.
struct Statistics {
    uint64_t time_us = 0;
    uint32_t detected = 0;
    uint32_t measured = 0;
    uint32_t edge_dt = 0;
    uint32_t filt1_dt = 0;
    uint32_t zerocounts = 0;
    uint32_t baselines = 0;
    uint32_t pileup = 0;
    uint32_t pileup_f1 = 0;
    uint32_t pileup_not_f1 = 0;
    uint32_t resets = 0;
};

namespace status {
// Status byte (record byte 59, statistics packet byte 67).
constexpr uint8_t kMoreData = 0x20;
// Bits 2-3: set in both kinds of payload, both decoders see them.
constexpr uint8_t kMemoryFull = 0x0C;
}  // namespace status

// The 128-byte header shared by spectrum records and statistics packets.
struct RecordHeader {
    uint16_t packet_count = 0;
    uint16_t spectrum_id = 0;  // list id in a statistics packet
    Statistics stats;
    bool next_aux = false;
    bool curr_aux = false;
    uint8_t status = status::kMoreData;
};

constexpr std::size_t kRecordHeaderSize = 128;
constexpr std::size_t kUnitSize = 8;
constexpr std::size_t kMarkerSize = 8;
constexpr std::size_t kStatsPacketSize = kMarkerSize + kRecordHeaderSize;
// Byte offsets inside the 128-byte header.
constexpr std::size_t kAuxByte = 32;
constexpr std::size_t kStatusByte = 59;

inline std::size_t spectrum_record_size(unsigned depth) {
    return kRecordHeaderSize + 2 * depth;
}

// Writes the 128-byte header.
void encode_record_header(const RecordHeader& h, uint8_t* out);

// Writes depth/2 bin words: bin 2j in the low half of word j, bin 2j+1 in
// its high half. Counts above 0xFFFF are clamped (a bin holds 16 bits).
void encode_bins(const uint32_t* counts, unsigned depth, uint8_t* out);

// Writes a list statistics packet (marker + header, 136 bytes). Marker byte 1
// bit 3 is set while more data follows and clear in the last packet.
void encode_list_stats_packet(const RecordHeader& h, bool last, uint8_t* out);

// Writes a list-wave statistics packet; its marker is always exactly
// C0 00 00 00 C0 00 00 00.
void encode_listwave_stats_packet(const RecordHeader& h, uint8_t* out);

// Writes one 8-byte unit: BE32(low half) then BE32(high half).
void encode_unit(uint64_t value, uint8_t* out);

// Event value layout of this board: bits 0-15 energy, bits 16-61 time stamp in
// 10 ns ticks, bits 62-63 clear. Bit 63 clear keeps byte 4 below 0x80, so an
// event is never taken for a list marker (nor for the list-wave marker).
constexpr unsigned kTickNs = 10;
constexpr uint64_t kTimestampMask = (uint64_t{1} << 46) - 1;
inline uint64_t make_list_event(uint16_t energy, uint64_t ticks) {
    return uint64_t{energy} | ((ticks & kTimestampMask) << 16);
}

// A waveform unit in list-wave data: bit 62 marks it, bits 16-26 carry the
// sample's index in the event's waveform, bits 0-15 the sample.
constexpr uint64_t kWaveUnitFlag = uint64_t{1} << 62;
inline uint64_t make_wave_unit(uint16_t index, uint16_t sample) {
    return kWaveUnitFlag | (uint64_t{index & 0x7FFu} << 16) | sample;
}

// What a list decoder takes for a statistics marker: the two top bits of byte
// 0 and of byte 4 set.
inline bool is_list_marker(const uint8_t* unit) {
    return (unit[0] & 0xC0) == 0xC0 && (unit[4] & 0xC0) == 0xC0;
}
bool is_listwave_marker(const uint8_t* unit);

// Writes samples two per word: sample 2j in bytes 2-3, sample 2j+1 in bytes
// 0-1. An odd count leaves 0 in the last word's high half.
void encode_waveform(const uint16_t* samples, std::size_t count, uint8_t* out);
inline std::size_t waveform_bytes(std::size_t samples) {
    return 4 * ((samples + 1) / 2);
}

}  // namespace vxnsim
