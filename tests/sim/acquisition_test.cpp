// What each board sends during an acquisition, driven with a simulated
// clock: record timing and layout, cumulative statistics, map points from
// the auxiliary input, list streams and waveforms.
#include "vxnsim/acquisition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vxnsim/chain_options.h"
#include "vxnsim/records.h"
#include "vxnsim/wire.h"

namespace vxnsim {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t* p) {
    return wire::get_be32(p);
}

struct CapturingSink : FrameSink {
    struct Sent {
        Bytes frame;
        unsigned board;
        DataCounters delta;
    };
    std::vector<Sent> frames;
    bool full = false;
    bool skip = false;

    bool push(std::vector<uint8_t>&& frame, unsigned board, const DataCounters& delta) override {
        frames.push_back({std::move(frame), board, delta});
        return true;
    }
    std::vector<uint8_t> take_buffer() override { return {}; }
    bool memory_full() override { return full; }
    bool take_skip(unsigned) override { return std::exchange(skip, false); }

    DataCounters total() const {
        DataCounters t;
        for (const auto& f : frames) {
            t += f.delta;
        }
        return t;
    }
};

struct Record {
    uint16_t packet_count, spectrum_id;
    uint64_t time_us;
    uint32_t detected, measured, filt1_dt, edge_dt, pileup;
    bool next_aux, curr_aux;
    uint8_t status;
    uint64_t bin_sum;
    std::vector<uint32_t> bins;
};

Record decode_header(const uint8_t* h) {
    Record r{};
    r.packet_count = static_cast<uint16_t>(be32(h) >> 16);
    r.spectrum_id = static_cast<uint16_t>(be32(h));
    r.time_us = be32(h + 4) | (uint64_t{be32(h + 92)} << 32);
    r.detected = be32(h + 8);
    r.measured = be32(h + 12);
    r.edge_dt = be32(h + 16);
    r.filt1_dt = be32(h + 20);
    r.pileup = be32(h + 64);
    r.next_aux = h[32] & 0x20;
    r.curr_aux = h[32] & 0x40;
    r.status = h[59];
    return r;
}

// Records of all spectrum frames, checking the frame around them.
std::vector<Record> records(const CapturingSink& sink, uint8_t code, unsigned depth) {
    std::vector<Record> out;
    for (const auto& f : sink.frames) {
        EXPECT_EQ(f.frame[2], code);
        const std::size_t words = (std::size_t{f.frame[5]} << 16) | (f.frame[6] << 8) | f.frame[7];
        EXPECT_EQ(f.frame.size(), 8 + 4 * words);
        EXPECT_EQ((f.frame.size() - 8) % spectrum_record_size(depth), 0u);
        for (std::size_t at = 8; at < f.frame.size(); at += spectrum_record_size(depth)) {
            Record r = decode_header(f.frame.data() + at);
            for (unsigned j = 0; j < depth / 2; ++j) {
                const uint32_t w = be32(f.frame.data() + at + 128 + 4 * j);
                r.bins.push_back(w & 0xFFFF);
                r.bins.push_back(w >> 16);
            }
            for (uint32_t c : r.bins) {
                r.bin_sum += c;
            }
            out.push_back(std::move(r));
        }
    }
    return out;
}

BoardPlan plan(unsigned mode, uint32_t acq_ms, uint32_t tps_ms) {
    BoardPlan p;
    p.mode = mode;
    p.acq_time_ms = acq_ms;
    p.time_per_spectrum_ms = tps_ms;
    return p;
}

SourceSettings rate(double cps) {
    SourceSettings s;
    s.count_rate = cps;
    s.aux_period_ms = 100;
    return s;
}

TEST(PlanFromRegisters, DecodesModeDepthDecimationAndGating) {
    struct Case {
        uint32_t mode_config, wave_length, map_gating;
        unsigned mode, depth, decimation, wave, points, gating;
        bool disabled;
    };
    const Case cases[] = {
        {0x0000, 0, 0, 0, 4096, 1, 1, 0, 0, false},
        {0x1001, 0, 25, 1, 1024, 1, 1, 25, 0, false},
        {0x0802, 0, 0x07000005, 2, 2048, 1, 1, 5, 3, false},
        {0x00FB, 0x7FF, 0x80000000, 3, 4096, 32, 2048, 0, 0, true},
        {0x1804, 3, 0x0E000000, 4, 1024, 1, 4, 0, 0, false},  // gating code 7 is not a mode
    };
    for (const Case& c : cases) {
        Board b(0x00040201, 1);
        b.write(reg::kModeConfig, {c.mode_config, c.wave_length});
        b.write(reg::kMapGating, {c.map_gating});
        b.write(reg::kAcqTime, {1234});
        b.write(reg::kTimePerSpectrum, {56});
        const BoardPlan p = plan_from_registers(4, b);
        SCOPED_TRACE(c.mode_config);
        EXPECT_EQ(p.board, 4u);
        EXPECT_EQ(p.mode, c.mode);
        EXPECT_EQ(p.depth, c.depth);
        EXPECT_EQ(p.decimation, c.decimation);
        EXPECT_EQ(p.wave_length, c.wave);
        EXPECT_EQ(p.points, c.points);
        EXPECT_EQ(p.gating, c.gating);
        EXPECT_EQ(p.disabled, c.disabled);
        EXPECT_EQ(p.acq_time_ms, 1234u);
        EXPECT_EQ(p.time_per_spectrum_ms, 56u);
    }
}

TEST(SingleSpectrum, RecordsEveryPeriodUntilTheAcquisitionTime) {
    BoardState state(11, 0);
    BoardPlan p = plan(mode::kSingle, 300, 100);
    p.depth = 1024;
    auto src = make_source(p, state, rate(100000));
    CapturingSink sink;
    ASSERT_TRUE(src->advance(99999, sink));
    EXPECT_TRUE(sink.frames.empty());
    EXPECT_EQ(src->next_due_us(), 100000u);
    ASSERT_TRUE(src->advance(100000, sink));
    EXPECT_EQ(sink.frames.size(), 1u);
    ASSERT_TRUE(src->advance(5000000, sink));
    EXPECT_TRUE(src->done());
    EXPECT_EQ(src->next_due_us(), BoardSource::kNever);

    const auto recs = records(sink, wire::kSpectrum, 1024);
    ASSERT_EQ(recs.size(), 3u);
    uint64_t measured = 0;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const Record& r = recs[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.packet_count, 1 + i);
        EXPECT_EQ(r.spectrum_id, 0);
        EXPECT_EQ(r.time_us, 100000 * (i + 1));
        EXPECT_EQ(r.status, i + 1 < recs.size() ? status::kMoreData : 0);
        // Bins are per record, counters cumulative.
        measured += r.bin_sum;
        EXPECT_EQ(r.measured, measured);
        EXPECT_GE(r.detected, r.measured);
        EXPECT_EQ(r.detected - r.measured, r.pileup);
        // Dead time: filt1_dt in 4 us units, a few percent of the time.
        const double dead = 4.0 * r.filt1_dt / static_cast<double>(r.time_us);
        EXPECT_GT(dead, 0.01);
        EXPECT_LT(dead, 0.10);
        EXPECT_LT(r.edge_dt, r.filt1_dt);
    }
    // 100 kcps in, minus about 5 % pile-up.
    EXPECT_NEAR(recs.back().measured / 0.3, 95000.0, 3000.0);
    EXPECT_EQ(sink.total().spectrum_records, 3u);
    EXPECT_EQ(sink.total().frames, 3u);
}

TEST(SingleSpectrum, LooksLikeLinesOnAContinuum) {
    BoardState state(5, 0);
    auto src = make_source(plan(mode::kSingle, 1000, 1000), state, rate(1e6));
    CapturingSink sink;
    src->advance(1000000, sink);
    const auto recs = records(sink, wire::kSpectrum, 4096);
    ASSERT_EQ(recs.size(), 1u);
    const auto& bins = recs[0].bins;
    const auto window = [&](double at) {
        uint64_t sum = 0;
        const auto c = static_cast<unsigned>(at * 4096);
        for (unsigned i = c - 10; i <= c + 10; ++i) {
            sum += bins[i];
        }
        return sum;
    };
    // The strongest line stands far above the continuum between lines.
    EXPECT_GT(window(0.110), 20 * window(0.22));
    EXPECT_GT(window(0.320), 5 * window(0.22));
    EXPECT_GT(window(0.22), 0u);
}

TEST(SingleSpectrum, SameSeedSameDataOtherSeedOtherData) {
    const auto run = [](uint64_t seed) {
        BoardState state(seed, 1);
        BoardPlan p = plan(mode::kSingle, 200, 100);
        p.board = 1;
        auto src = make_source(p, state, rate(50000));
        CapturingSink sink;
        src->advance(1000000, sink);
        Bytes all;
        for (const auto& f : sink.frames) {
            all.insert(all.end(), f.frame.begin(), f.frame.end());
        }
        return all;
    };
    EXPECT_EQ(run(42), run(42));
    EXPECT_NE(run(42), run(43));
}

TEST(SingleSpectrum, StopSendsTheLastRecordAtOnce) {
    BoardState state(1, 0);
    auto src = make_source(plan(mode::kSingle, 0, 100), state, rate(100000));
    CapturingSink sink;
    src->advance(250000, sink);
    EXPECT_FALSE(src->done());  // no acquisition time: runs until stopped
    ASSERT_TRUE(src->finish(251000, sink));
    EXPECT_TRUE(src->done());
    const auto recs = records(sink, wire::kSpectrum, 4096);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].time_us, 251000u);
    EXPECT_EQ(recs[2].status & 0x30, 0);  // last data, end of transmission
}

TEST(SpectrumFaults, MemoryFullAndSkippedPacketCount) {
    BoardState state(1, 0);
    auto src = make_source(plan(mode::kSingle, 400, 100), state, rate(1000));
    CapturingSink sink;
    src->advance(100000, sink);
    sink.full = true;
    sink.skip = true;
    src->advance(200000, sink);
    sink.full = false;
    src->advance(400000, sink);
    const auto recs = records(sink, wire::kSpectrum, 4096);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].status & status::kMemoryFull, 0);
    EXPECT_EQ(recs[1].status & status::kMemoryFull, status::kMemoryFull);
    EXPECT_EQ(recs[2].status & status::kMemoryFull, 0);
    EXPECT_EQ(recs[0].packet_count, 1);
    EXPECT_EQ(recs[1].packet_count, 3);
    EXPECT_EQ(recs[2].packet_count, 4);
}

TEST(SpectrumState, PacketCountRunsOnAcrossAcquisitions) {
    BoardState state(1, 0);
    CapturingSink sink;
    make_source(plan(mode::kSingle, 200, 100), state, rate(1000))->advance(300000, sink);
    make_source(plan(mode::kMapTimed, 200, 100), state, rate(1000))->advance(300000, sink);
    std::vector<uint16_t> counts;
    for (const auto& f : sink.frames) {
        counts.push_back(static_cast<uint16_t>(be32(f.frame.data() + 8) >> 16));
    }
    EXPECT_EQ(counts, (std::vector<uint16_t>{1, 2, 3, 4}));
}

TEST(TimedMap, PointsSplitIntoRecordsWithThePointAsId) {
    BoardState state(3, 2);
    BoardPlan p = plan(mode::kMapTimed, 750, 250);
    p.points = 3;
    p.board = 2;
    p.depth = 2048;
    auto src = make_source(p, state, rate(20000));
    CapturingSink sink;
    src->advance(10000000, sink);
    EXPECT_TRUE(src->done());
    const auto recs = records(sink, wire::kMap, 2048);
    std::vector<uint64_t> times;
    std::vector<uint16_t> ids;
    for (const auto& r : recs) {
        times.push_back(r.time_us / 1000);
        ids.push_back(r.spectrum_id);
    }
    EXPECT_EQ(times, (std::vector<uint64_t>{100, 200, 250, 350, 450, 500, 600, 700, 750}));
    EXPECT_EQ(ids, (std::vector<uint16_t>{0, 0, 0, 1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(recs.back().status, 0);
    EXPECT_EQ(sink.total().map_records, 9u);
    for (const auto& f : sink.frames) {
        EXPECT_EQ(f.board, 2u);
        EXPECT_EQ(f.frame[3], 2);
    }
}

// The map decision tables a host applies to each record, reduced to what
// decides the number of map points: how many spectra get completed.
class MapPointCounter {
  public:
    explicit MapPointCounter(unsigned gating) : gating_(gating) {}

    void record(bool n, bool c, bool last, uint16_t id) {
        if (gating_ == gating::kTriggerFalling || gating_ == gating::kGatedLow) {
            n = !n;
            c = !c;
        }
        switch (gating_) {
            case gating::kFreeRunning:
                if (!open_ || id != id_) {
                    open();
                }
                id_ = id;
                if (last) {
                    complete();
                }
                break;
            case gating::kTriggerRising:
            case gating::kTriggerFalling:
                if (!open_ && !completed_any_) {
                    open();
                }
                if (n && !c) {
                    complete();
                    if (!last) {
                        open();
                    }
                } else if (last) {
                    complete();
                }
                break;
            case gating::kTriggerBoth:
                if (!open_ && !completed_any_) {
                    open();
                }
                if (n != c) {
                    complete();
                    if (!last || (!n && c)) {
                        open();
                    }
                } else if (last) {
                    complete();
                }
                break;
            default:  // gated
                if (n && !c) {
                    if (!last) {
                        open();
                    } else {
                        complete();
                    }
                } else if (c) {
                    if (!open_) {
                        open();
                    }
                    if (last) {
                        complete();
                    }
                } else if (last) {
                    complete();
                }
                break;
        }
    }
    unsigned completed() const { return completed_; }

  private:
    void open() {
        complete();
        open_ = true;
    }
    void complete() {
        if (open_) {
            ++completed_;
            completed_any_ = true;
            open_ = false;
        }
    }

    unsigned gating_;
    bool open_ = false;
    bool completed_any_ = false;
    unsigned completed_ = 0;
    uint16_t id_ = 0;
};

TEST(TriggeredMap, AuxiliaryInputEndsEachPointAndTheAcquisition) {
    for (unsigned g = gating::kFreeRunning; g <= gating::kGatedLow; ++g) {
        SCOPED_TRACE("gating " + std::to_string(g));
        BoardState state(8, 0);
        BoardPlan p = plan(mode::kMapTriggered, 0, 0);
        p.points = 4;
        p.gating = g;
        p.depth = 1024;
        auto src = make_source(p, state, rate(10000));
        CapturingSink sink;
        ASSERT_TRUE(src->advance(2000000, sink));
        ASSERT_TRUE(src->done());
        const auto recs = records(sink, wire::kMap, 1024);
        MapPointCounter counter(g);
        unsigned edges = 0;
        for (std::size_t i = 0; i < recs.size(); ++i) {
            const Record& r = recs[i];
            const bool last = (r.status & status::kMoreData) == 0;
            ASSERT_EQ(last, i + 1 == recs.size());
            EXPECT_EQ(r.time_us, 10000 * (i + 1));  // 10 ms records
            counter.record(r.next_aux, r.curr_aux, last, r.spectrum_id);
            edges += r.next_aux != r.curr_aux;
        }
        EXPECT_EQ(counter.completed(), 4u);
        EXPECT_GE(edges, 4u);
    }
}

TEST(TriggeredMap, WithoutPointsRunsUntilStopped) {
    BoardState state(8, 0);
    BoardPlan p = plan(mode::kMapTriggered, 0, 0);
    p.gating = gating::kTriggerRising;
    auto src = make_source(p, state, rate(1000));
    CapturingSink sink;
    src->advance(3000000, sink);
    EXPECT_FALSE(src->done());
    EXPECT_EQ(sink.frames.size(), 300u);
    src->finish(3000000, sink);
    EXPECT_TRUE(src->done());
}

struct Unit {
    bool marker;
    uint64_t value;
    const uint8_t* at;
};

std::vector<Unit> list_units(const CapturingSink& sink, uint8_t code, bool listwave) {
    std::vector<Unit> out;
    for (const auto& f : sink.frames) {
        EXPECT_EQ(f.frame[2], code);
        for (std::size_t at = 8; at < f.frame.size();) {
            const uint8_t* u = f.frame.data() + at;
            const bool marker = listwave ? is_listwave_marker(u) : is_list_marker(u);
            out.push_back({marker, be32(u) | (uint64_t{be32(u + 4)} << 32), u});
            at += marker ? kStatsPacketSize : kUnitSize;
            EXPECT_LE(at, f.frame.size());
        }
    }
    return out;
}

TEST(ListMode, PacedEventsWithStatisticsEveryPeriod) {
    BoardState state(21, 0);
    auto src = make_source(plan(mode::kList, 300, 100), state, rate(100000));
    CapturingSink sink;
    for (uint64_t t = 0; t <= 400000; t += 7000) {
        ASSERT_TRUE(src->advance(t, sink));
    }
    ASSERT_TRUE(src->done());
    const auto units = list_units(sink, wire::kList, false);
    uint64_t events = 0, last_ticks = 0;
    std::vector<uint64_t> stat_times;
    uint16_t expected_id = 0;
    for (const Unit& u : units) {
        if (u.marker) {
            const Record r = decode_header(u.at + 8);
            stat_times.push_back(r.time_us);
            EXPECT_EQ(r.measured, events);  // cumulative, matches the events before it
            EXPECT_EQ(r.spectrum_id, expected_id++);
            const bool last = (u.at[1] & 0x08) == 0;
            EXPECT_EQ(last, stat_times.size() == 3);
            EXPECT_EQ(u.at[67] & 0x1C, 0);
            continue;
        }
        const uint64_t ticks = (u.value >> 16) & kTimestampMask;
        EXPECT_GE(ticks, last_ticks);
        EXPECT_LT(ticks, 300000u * 100);
        last_ticks = ticks;
        ++events;
    }
    EXPECT_EQ(stat_times, (std::vector<uint64_t>{100000, 200000, 300000}));
    EXPECT_NEAR(static_cast<double>(events), 0.3 * 95000, 1500);
    EXPECT_EQ(sink.total().list_events, events);
    EXPECT_EQ(sink.total().list_stats, 3u);
}

TEST(ListMode, AsFastAsPossibleSpreadsBlocksOverRealTime) {
    BoardState state(2, 0);
    auto src = make_source(plan(mode::kList, 250, 100), state, rate(kAsFastAsPossible));
    EXPECT_EQ(src->next_due_us(), 0u);
    CapturingSink sink;
    uint64_t t = 0;
    while (!src->done()) {
        t += 20000;
        ASSERT_TRUE(src->advance(t, sink));
    }
    const auto units = list_units(sink, wire::kList, false);
    uint64_t events = 0;
    std::vector<uint64_t> stat_times;
    for (const Unit& u : units) {
        if (u.marker) {
            stat_times.push_back(decode_header(u.at + 8).time_us);
            EXPECT_EQ(decode_header(u.at + 8).measured, events);
        } else {
            ++events;
        }
    }
    EXPECT_EQ(stat_times, (std::vector<uint64_t>{100000, 200000, 250000}));
    EXPECT_EQ(events, sink.total().list_events);
    EXPECT_GT(events, 8000u * 12);  // a whole block per call
}

TEST(ListWaveMode, EachEventCarriesItsWaveformUnits) {
    BoardState state(4, 1);
    BoardPlan p = plan(mode::kListWave, 200, 100);
    p.wave_length = 16;
    p.board = 1;
    auto src = make_source(p, state, rate(20000));
    CapturingSink sink;
    src->advance(1000000, sink);
    ASSERT_TRUE(src->done());
    const auto units = list_units(sink, wire::kListWave, true);
    unsigned markers = 0, run = 0, events = 0;
    uint64_t data_units = 0;
    for (const Unit& u : units) {
        if (u.marker) {
            ++markers;
            EXPECT_EQ(run, 0u);
            continue;
        }
        ++data_units;
        const bool wave = (u.value & kWaveUnitFlag) != 0;
        if (!wave) {
            EXPECT_EQ(run, 0u);  // an event only after a whole waveform
            run = 16;
            ++events;
        } else {
            EXPECT_EQ((u.value >> 16) & 0x7FF, 16 - run);
            --run;
        }
    }
    EXPECT_EQ(markers, 2u);
    EXPECT_EQ(data_units, 17u * events);
    EXPECT_EQ(sink.total().listwave_units, data_units);
    EXPECT_EQ(sink.total().listwave_stats, 2u);
}

TEST(Waveform, SendsTheWholeBufferAsPulsesOnABaseline) {
    BoardState state(6, 0);
    BoardPlan p = plan(mode::kWaveform, 1000, 1);
    p.wave_length = 2;
    p.decimation = 4;
    auto src = make_source(p, state, rate(200000));
    CapturingSink sink;
    while (!src->done()) {
        ASSERT_TRUE(src->advance(0, sink));
    }
    std::vector<uint16_t> samples;
    for (const auto& f : sink.frames) {
        EXPECT_EQ(f.frame[2], wire::kWaveform);
        for (std::size_t at = 8; at < f.frame.size(); at += 4) {
            const uint32_t w = be32(f.frame.data() + at);
            samples.push_back(static_cast<uint16_t>(w));
            samples.push_back(static_cast<uint16_t>(w >> 16));
        }
    }
    ASSERT_EQ(samples.size(), 2u * 16384);
    EXPECT_EQ(sink.total().waveform_samples, 2u * 16384);
    std::vector<uint16_t> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const uint16_t median = sorted[sorted.size() / 2];
    EXPECT_NEAR(median, 2000, 600);          // the baseline dominates
    EXPECT_GT(sorted.back(), median + 200);  // with pulses on it
    EXPECT_GT(sorted.front(), 1900);         // and only noise below it
}

TEST(SilentModes, DigitalModeOnlyLastsItsTime) {
    BoardState state(6, 0);
    auto src = make_source(plan(mode::kDigital, 100, 100), state, rate(1000));
    CapturingSink sink;
    src->advance(50000, sink);
    EXPECT_FALSE(src->done());
    EXPECT_EQ(src->next_due_us(), 100000u);
    src->advance(100000, sink);
    EXPECT_TRUE(src->done());
    EXPECT_TRUE(sink.frames.empty());
}

}  // namespace
}  // namespace vxnsim
