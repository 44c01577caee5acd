#include "vxnsim/records.h"

#include <algorithm>
#include <cstring>

#include "vxnsim/wire.h"

namespace vxnsim {

using wire::put_be16;
using wire::put_be32;

void encode_record_header(const RecordHeader& h, uint8_t* out) {
    std::memset(out, 0, kRecordHeaderSize);
    const Statistics& s = h.stats;
    put_be16(out + 0, h.packet_count);
    put_be16(out + 2, h.spectrum_id);
    put_be32(out + 4, static_cast<uint32_t>(s.time_us));
    put_be32(out + 8, s.detected);
    put_be32(out + 12, s.measured);
    put_be32(out + 16, s.edge_dt);
    put_be32(out + 20, s.filt1_dt);
    put_be32(out + 24, s.zerocounts);
    out[kAuxByte] = static_cast<uint8_t>((h.next_aux ? 0x20 : 0) | (h.curr_aux ? 0x40 : 0));
    out[kStatusByte] = h.status;
    put_be32(out + 60, s.baselines);
    put_be32(out + 64, s.pileup);
    put_be32(out + 68, s.pileup_f1);
    put_be32(out + 72, s.pileup_not_f1);
    put_be32(out + 84, s.resets);
    put_be32(out + 92, static_cast<uint32_t>(s.time_us >> 32));
}

void encode_bins(const uint32_t* counts, unsigned depth, uint8_t* out) {
    for (unsigned j = 0; j < depth / 2; ++j) {
        const uint32_t lo = std::min<uint32_t>(counts[2 * j], 0xFFFF);
        const uint32_t hi = std::min<uint32_t>(counts[2 * j + 1], 0xFFFF);
        put_be32(out + 4 * j, (hi << 16) | lo);
    }
}

void encode_list_stats_packet(const RecordHeader& h, bool last, uint8_t* out) {
    const uint8_t marker[kMarkerSize] = {
        0xC0, static_cast<uint8_t>(last ? 0x00 : 0x08), 0, 0, 0xC0, 0, 0, 0};
    std::memcpy(out, marker, kMarkerSize);
    encode_record_header(h, out + kMarkerSize);
}

void encode_listwave_stats_packet(const RecordHeader& h, uint8_t* out) {
    const uint8_t marker[kMarkerSize] = {0xC0, 0, 0, 0, 0xC0, 0, 0, 0};
    std::memcpy(out, marker, kMarkerSize);
    encode_record_header(h, out + kMarkerSize);
}

bool is_listwave_marker(const uint8_t* unit) {
    static const uint8_t marker[kMarkerSize] = {0xC0, 0, 0, 0, 0xC0, 0, 0, 0};
    return std::memcmp(unit, marker, kMarkerSize) == 0;
}

void encode_unit(uint64_t value, uint8_t* out) {
    put_be32(out, static_cast<uint32_t>(value));
    put_be32(out + 4, static_cast<uint32_t>(value >> 32));
}

void encode_waveform(const uint16_t* samples, std::size_t count, uint8_t* out) {
    std::size_t j = 0;
    for (; j + 1 < count; j += 2) {
        put_be32(out + 2 * j, (uint32_t{samples[j + 1]} << 16) | samples[j]);
    }
    if (j < count) {
        put_be32(out + 2 * j, samples[j]);
    }
}

}  // namespace vxnsim
