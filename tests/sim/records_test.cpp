// Payload layouts: spectrum records, list and list-wave units and statistics
// packets, waveform words, and the network block.
#include "vxnsim/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vxnsim/detector_model.h"
#include "vxnsim/network_block.h"

namespace vxnsim {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32_at(const Bytes& b, std::size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           b[at + 3];
}

RecordHeader sample_header() {
    RecordHeader h;
    h.packet_count = 0x1234;
    h.spectrum_id = 0x5678;
    h.stats.time_us = 0x0000000A'BCDEF012ull;
    h.stats.detected = 0x11111111;
    h.stats.measured = 0x22222222;
    h.stats.edge_dt = 0x33333333;
    h.stats.filt1_dt = 0x44444444;
    h.stats.zerocounts = 0x55555555;
    h.stats.baselines = 0x66666666;
    h.stats.pileup = 0x77777777;
    h.stats.pileup_f1 = 0x88888888;
    h.stats.pileup_not_f1 = 0x99999999;
    h.stats.resets = 0xAAAAAAAA;
    h.next_aux = true;
    h.curr_aux = false;
    h.status = 0x2C;
    return h;
}

struct Field {
    const char* name;
    std::size_t offset;
    uint32_t value;
};

// Where the decoders read each field in the 128-byte header.
const std::vector<Field> kHeaderFields = {
    {"packet count and spectrum id", 0, 0x12345678},
    {"time low", 4, 0xBCDEF012},
    {"detected", 8, 0x11111111},
    {"measured", 12, 0x22222222},
    {"edge_dt", 16, 0x33333333},
    {"filt1_dt", 20, 0x44444444},
    {"zerocounts", 24, 0x55555555},
    {"word 8: next aux", 32, 0x20000000},
    {"word 14: status byte 59", 56, 0x0000002C},
    {"baselines", 60, 0x66666666},
    {"pup", 64, 0x77777777},
    {"pup_f1", 68, 0x88888888},
    {"pup_notf1", 72, 0x99999999},
    {"reset counter", 84, 0xAAAAAAAA},
    {"time high", 92, 0x0000000A},
};

TEST(SpectrumRecord, HeaderFieldsSitWhereTheDecoderReadsThem) {
    Bytes out(kRecordHeaderSize, 0xEE);
    encode_record_header(sample_header(), out.data());
    std::vector<bool> used(kRecordHeaderSize / 4);
    for (const Field& f : kHeaderFields) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(be32_at(out, f.offset), f.value);
        used[f.offset / 4] = true;
    }
    for (std::size_t w = 0; w < used.size(); ++w) {
        if (!used[w]) {
            EXPECT_EQ(be32_at(out, 4 * w), 0u) << "word " << w;
        }
    }
}

TEST(SpectrumRecord, AuxiliaryBits) {
    struct Case {
        bool next, curr;
        uint8_t byte32;
    };
    for (const Case& c : {Case{false, false, 0x00}, Case{true, false, 0x20},
                          Case{false, true, 0x40}, Case{true, true, 0x60}}) {
        RecordHeader h;
        h.next_aux = c.next;
        h.curr_aux = c.curr;
        Bytes out(kRecordHeaderSize);
        encode_record_header(h, out.data());
        EXPECT_EQ(out[kAuxByte], c.byte32);
    }
}

TEST(SpectrumRecord, BinWordCarriesOddBinHighEvenBinLow) {
    const std::vector<uint32_t> counts = {1, 3, 0xFFFF, 70000};
    Bytes out(4);
    encode_bins(counts.data(), 2, out.data());
    EXPECT_EQ(out, (Bytes{0x00, 0x03, 0x00, 0x01}));
    Bytes clamped(8);
    encode_bins(counts.data(), 4, clamped.data());
    EXPECT_EQ(be32_at(clamped, 4), 0xFFFFFFFFu);
    EXPECT_EQ(spectrum_record_size(1024), 2176u);
    EXPECT_EQ(spectrum_record_size(4096), 8320u);
}

TEST(ListPayload, StatisticsPacketLayout) {
    const RecordHeader h = sample_header();
    for (bool last : {false, true}) {
        SCOPED_TRACE(last ? "last packet" : "more data");
        Bytes p(kStatsPacketSize);
        encode_list_stats_packet(h, last, p.data());
        EXPECT_TRUE(is_list_marker(p.data()));
        EXPECT_EQ(p[1] & 0x08, last ? 0 : 0x08);
        EXPECT_EQ(p[10], 0x56);  // list id
        EXPECT_EQ(p[11], 0x78);
        EXPECT_EQ(be32_at(p, 12), 0xBCDEF012u);
        EXPECT_EQ(be32_at(p, 16), 0x11111111u);
        EXPECT_EQ(be32_at(p, 20), 0x22222222u);
        EXPECT_EQ(be32_at(p, 24), 0x33333333u);
        EXPECT_EQ(be32_at(p, 28), 0x44444444u);
        EXPECT_EQ(be32_at(p, 32), 0x55555555u);
        EXPECT_EQ(p[67], 0x2C);
        EXPECT_EQ(be32_at(p, 68), 0x66666666u);
        EXPECT_EQ(be32_at(p, 72), 0x77777777u);
        EXPECT_EQ(be32_at(p, 76), 0x88888888u);
        EXPECT_EQ(be32_at(p, 80), 0x99999999u);
        EXPECT_EQ(be32_at(p, 92), 0xAAAAAAAAu);
        EXPECT_EQ(be32_at(p, 100), 0x0000000Au);
    }
}

TEST(ListPayload, MemoryFullBitsAreSeenByBothDecoders) {
    // A record tests bits 2-3 (0x0C), a statistics packet bits 2-4 (0x1C).
    EXPECT_EQ(status::kMemoryFull & 0x0C, status::kMemoryFull);
    EXPECT_NE(status::kMemoryFull & 0x1C, 0);
    // "More data" must not look like memory full in a statistics packet.
    EXPECT_EQ(status::kMoreData & 0x1C, 0);
}

TEST(ListWavePayload, MarkerIsExact) {
    Bytes p(kStatsPacketSize);
    encode_listwave_stats_packet(sample_header(), p.data());
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), (Bytes{0xC0, 0, 0, 0, 0xC0, 0, 0, 0}));
    EXPECT_TRUE(is_listwave_marker(p.data()));
    const Bytes near = {0xC0, 0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0x00};
    EXPECT_FALSE(is_listwave_marker(near.data()));
}

TEST(ListPayload, UnitValueIsLowHalfFirst) {
    Bytes u(8);
    encode_unit((uint64_t{1} << 32) + 5, u.data());
    EXPECT_EQ(u, (Bytes{0, 0, 0, 5, 0, 0, 0, 1}));
    const Bytes event = {0xC5, 0, 0, 0, 0x40, 0, 0, 0};
    const Bytes marker = {0xC5, 0, 0, 0, 0xC1, 0, 0, 0};
    EXPECT_FALSE(is_list_marker(event.data()));
    EXPECT_TRUE(is_list_marker(marker.data()));
}

TEST(ListPayload, EventsAndWaveUnitsNeverLookLikeMarkers) {
    Rng rng(99);
    Bytes u(8);
    const uint64_t extremes[] = {0, kTimestampMask, kTimestampMask - 1, 0x3FFFFFFFull << 14};
    for (int i = 0; i < 20000; ++i) {
        const uint64_t ticks = i < 4 ? extremes[i] : rng.next();
        const auto energy = static_cast<uint16_t>(i < 4 ? 0xFFFF : rng.next());
        const uint64_t v = make_list_event(energy, ticks);
        encode_unit(v, u.data());
        ASSERT_FALSE(is_list_marker(u.data())) << std::hex << v;
        ASSERT_FALSE(is_listwave_marker(u.data())) << std::hex << v;
        ASSERT_EQ(v & 0xFFFF, energy);
        encode_unit(make_wave_unit(static_cast<uint16_t>(i), energy), u.data());
        ASSERT_FALSE(is_list_marker(u.data()));
        ASSERT_FALSE(is_listwave_marker(u.data()));
    }
}

TEST(WaveformPayload, FirstSampleInLowHalf) {
    const std::vector<uint16_t> samples = {2, 1, 0x1234, 0xABCD, 7};
    Bytes out(waveform_bytes(samples.size()));
    ASSERT_EQ(out.size(), 12u);
    encode_waveform(samples.data(), samples.size(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(be32_at(out, 4), 0xABCD1234u);
    EXPECT_EQ(be32_at(out, 8), 7u);  // odd count: high half left 0
}

TEST(NetworkBlock, DecodesTheCommittedWords) {
    const std::vector<uint32_t> words = {0x0100A8C0, 0x00FFFFFF, 0x00585602, 0xA8C00A00, 0x401F0A00,
                                         0x421F411F, 0x0000431F, 0,          0};
    const auto s = decode_network_words(words);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(describe(*s),
              "ip 192.168.0.10 mask 255.255.255.0 gateway 192.168.0.1 mac 02:56:58:00:00:0a "
              "ports 8000 8001 8002 8003");
    // The newest nine words count; fewer than nine decode to nothing.
    std::vector<uint32_t> longer = {0xDEADBEEF};
    longer.insert(longer.end(), words.begin(), words.end());
    EXPECT_EQ(describe(*decode_network_words(longer)), describe(*s));
    EXPECT_FALSE(decode_network_words(std::vector<uint32_t>(words.begin(), words.end() - 1)));
}

}  // namespace
}  // namespace vxnsim
