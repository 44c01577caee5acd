#include "vxnsim/acquisition.h"

#include <algorithm>
#include <cmath>

#include "vxnsim/records.h"
#include "vxnsim/wire.h"

namespace vxnsim {

namespace {

constexpr uint64_t kNever = BoardSource::kNever;
constexpr uint64_t kTicksPerUs = 1000 / kTickNs;
// Spectrum-mode sources and waveforms need a finite rate; "as fast as
// possible" only changes how list data is paced.
constexpr double kUnpacedNominalRate = 1e6;
constexpr std::size_t kFrameTarget = 64 * 1024;
constexpr unsigned kWaveformChunk = 8192;
constexpr uint64_t kTriggeredRecordUs = 10000;

uint64_t sat_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > kNever / a) {
        return kNever;
    }
    return a * b;
}

uint64_t sat_add(uint64_t a, uint64_t b) {
    return a > kNever - b ? kNever : a + b;
}

uint64_t ms_or(uint32_t ms, uint32_t fallback_ms) {
    return uint64_t{ms ? ms : fallback_ms} * 1000;
}

double finite_rate(double rate) {
    return std::isfinite(rate) ? rate : kUnpacedNominalRate;
}

// Frame under construction: 8 header bytes reserved, payload appended.
class FrameBuilder {
  public:
    void begin(FrameSink& sink) {
        buf_ = sink.take_buffer();
        buf_.resize(wire::kHeaderSize);
        delta_ = DataCounters{};
    }
    uint8_t* grow(std::size_t n) {
        const std::size_t at = buf_.size();
        buf_.resize(at + n);
        return buf_.data() + at;
    }
    std::size_t size() const { return buf_.size(); }
    bool empty() const { return buf_.size() <= wire::kHeaderSize; }
    DataCounters& delta() { return delta_; }
    bool finish(FrameSink& sink, uint8_t code, unsigned board) {
        if (empty()) {
            return true;
        }
        wire::encode_header(buf_.data(), code, static_cast<uint8_t>(board), 0,
                            static_cast<uint32_t>((buf_.size() - wire::kHeaderSize) / 4));
        delta_.frames = 1;
        const bool ok = sink.push(std::move(buf_), board, delta_);
        buf_.clear();
        delta_ = DataCounters{};
        return ok;
    }

  private:
    std::vector<uint8_t> buf_;
    DataCounters delta_;
};

uint8_t status_byte(bool last, FrameSink& sink) {
    return static_cast<uint8_t>((last ? 0 : status::kMoreData) |
                                (sink.memory_full() ? status::kMemoryFull : 0));
}

// Single spectrum and both map modes.
class SpectrumSource final : public BoardSource {
  public:
    SpectrumSource(const BoardPlan& p, BoardState& st, const SourceSettings& s)
        : plan_(p),
          state_(st),
          shape_(st.shape(p.depth)),
          counters_(finite_rate(s.count_rate)),
          code_(p.mode == mode::kSingle ? wire::kSpectrum : wire::kMap),
          aux_driven_(p.mode == mode::kMapTriggered || p.gating != gating::kFreeRunning),
          half_aux_us_(uint64_t{(s.aux_period_ms + 19) / 20 * 10} * 1000) {
        switch (p.mode) {
            case mode::kSingle:
                record_us_ = ms_or(p.time_per_spectrum_ms, 100);
                end_us_ = p.acq_time_ms ? uint64_t{p.acq_time_ms} * 1000 : kNever;
                break;
            case mode::kMapTimed:
                point_us_ = ms_or(p.time_per_spectrum_ms, 100);
                record_us_ = std::min<uint64_t>(point_us_, 100000);
                end_us_ = p.points ? sat_mul(p.points, point_us_)
                                   : (p.acq_time_ms ? uint64_t{p.acq_time_ms} * 1000 : kNever);
                break;
            default:  // triggered map: the auxiliary input ends the points
                record_us_ = kTriggeredRecordUs;
                end_us_ = kNever;
                break;
        }
    }

    bool advance(uint64_t now_us, FrameSink& sink) override {
        while (!done_) {
            const uint64_t b = next_boundary();
            if (b > now_us) {
                break;
            }
            if (!emit(b, false, sink)) {
                return false;
            }
        }
        return true;
    }

    bool finish(uint64_t now_us, FrameSink& sink) override {
        if (done_) {
            return true;
        }
        return emit(std::max(now_us, t_prev_), true, sink);
    }

    uint64_t next_due_us() const override { return done_ ? kNever : next_boundary(); }

  private:
    uint64_t next_boundary() const {
        uint64_t b;
        if (plan_.mode == mode::kMapTimed) {
            const uint64_t point_start = t_prev_ / point_us_ * point_us_;
            b = point_start + ((t_prev_ - point_start) / record_us_ + 1) * record_us_;
            b = std::min(b, point_start + point_us_);
        } else {
            b = (t_prev_ / record_us_ + 1) * record_us_;
        }
        return std::min(b, end_us_);
    }

    bool aux_level(uint64_t t) const { return (t / half_aux_us_) % 2 == 1; }

    bool counts_edge(bool curr, bool next) const {
        const bool rising = !curr && next;
        const bool falling = curr && !next;
        switch (plan_.gating) {
            case gating::kTriggerFalling:
            case gating::kGatedHigh:
                return falling;
            case gating::kTriggerBoth:
                return rising || falling;
            default:
                return rising;
        }
    }

    bool emit(uint64_t end, bool last, FrameSink& sink) {
        RecordHeader h;
        if (aux_driven_) {
            h.curr_aux = aux_level(end > 0 ? end - 1 : 0);
            h.next_aux = aux_level(end);
        }
        switch (plan_.mode) {
            case mode::kSingle:
                h.spectrum_id = 0;
                break;
            case mode::kMapTimed:
                h.spectrum_id = static_cast<uint16_t>(t_prev_ / point_us_);
                break;
            default:
                h.spectrum_id = static_cast<uint16_t>(edges_);
                if (counts_edge(h.curr_aux, h.next_aux)) {
                    ++edges_;
                    if (plan_.points != 0 && edges_ >= plan_.points) {
                        last = true;
                    }
                }
                break;
        }
        last = last || end >= end_us_;
        const double mean = counters_.output_rate() * static_cast<double>(end - t_prev_) * 1e-6;
        shape_.fill(state_.rng, mean, bins_);
        for (uint32_t c : bins_) {
            measured_ += std::min<uint32_t>(c, 0xFFFF);
        }
        h.packet_count = state_.next_packet_count(sink);
        h.stats = counters_.at(end, measured_);
        h.status = status_byte(last, sink);

        frame_.begin(sink);
        uint8_t* p = frame_.grow(spectrum_record_size(plan_.depth));
        encode_record_header(h, p);
        encode_bins(bins_.data(), plan_.depth, p + kRecordHeaderSize);
        if (code_ == wire::kSpectrum) {
            frame_.delta().spectrum_records = 1;
        } else {
            frame_.delta().map_records = 1;
        }
        t_prev_ = end;
        if (last) {
            done_ = true;
        }
        return frame_.finish(sink, code_, plan_.board);
    }

    BoardPlan plan_;
    BoardState& state_;
    const SpectrumShape& shape_;
    CounterModel counters_;
    uint8_t code_;
    bool aux_driven_;
    uint64_t half_aux_us_;
    uint64_t record_us_ = 100000;
    uint64_t point_us_ = 100000;
    uint64_t end_us_ = kNever;
    uint64_t t_prev_ = 0;
    uint64_t measured_ = 0;
    uint32_t edges_ = 0;
    std::vector<uint32_t> bins_;
    FrameBuilder frame_;
};

// List (0xD4) and list-wave (0xD5) data.
class ListSource final : public BoardSource {
  public:
    ListSource(const BoardPlan& p, BoardState& st, const SourceSettings& s, bool with_waves)
        : plan_(p),
          state_(st),
          paced_(std::isfinite(s.count_rate)),
          counters_(finite_rate(s.count_rate)),
          code_(with_waves ? wire::kListWave : wire::kList),
          wave_length_(with_waves ? p.wave_length : 0),
          stats_us_(ms_or(p.time_per_spectrum_ms, 100)),
          end_us_(p.acq_time_ms ? uint64_t{p.acq_time_ms} * 1000 : kNever),
          next_stats_us_(std::min(stats_us_, end_us_)) {
        const SpectrumShape& shape = st.shape(4096);
        const double mean_gap_ticks = 1e6 * kTicksPerUs / counters_.output_rate();
        for (unsigned i = 0; i < kRing; ++i) {
            const unsigned channel = shape.draw(st.rng);
            energy_[i] = static_cast<uint16_t>(channel * 16 + (st.rng.next() & 15));
            gap_[i] =
                static_cast<uint32_t>(std::min(1.0 + st.rng.exponential() * mean_gap_ticks, 4e9));
        }
        next_ticks_ = gap_[kRing - 1];
        const std::size_t per_event = kUnitSize * (1 + wave_length_);
        block_events_ = std::max<std::size_t>(1, kFrameTarget / per_event);
        if (with_waves) {
            synth_ = std::make_unique<PulseSynth>(shape, counters_.output_rate(), p.decimation,
                                                  mix_seed(st.seed, p.board, 7));
            samples_.resize(wave_length_);
        }
    }

    bool advance(uint64_t now_us, FrameSink& sink) override {
        if (done_) {
            return true;
        }
        frame_.begin(sink);
        const uint64_t target = std::min(now_us, end_us_);
        return paced_ ? advance_paced(target, sink) : advance_unpaced(target, sink);
    }

    bool finish(uint64_t now_us, FrameSink& sink) override {
        if (done_) {
            return true;
        }
        frame_.begin(sink);
        put_stats(std::max(now_us, t_prev_), true, sink);
        return frame_.finish(sink, code_, plan_.board);
    }

    uint64_t next_due_us() const override {
        if (done_) {
            return kNever;
        }
        if (!paced_) {
            return 0;
        }
        return std::min(next_stats_us_, next_ticks_ / kTicksPerUs + 1);
    }

  private:
    static constexpr unsigned kRing = 16384;

    bool advance_paced(uint64_t target, FrameSink& sink) {
        const uint64_t target_ticks = sat_mul(target, kTicksPerUs);
        for (;;) {
            const uint64_t stats_ticks = sat_mul(next_stats_us_, kTicksPerUs);
            if (next_stats_us_ <= target && stats_ticks <= next_ticks_) {
                const bool last = next_stats_us_ >= end_us_;
                put_stats(next_stats_us_, last, sink);
                if (last) {
                    break;
                }
                next_stats_us_ = std::min(sat_add(next_stats_us_, stats_us_), end_us_);
            } else if (next_ticks_ < target_ticks) {
                put_event(next_ticks_);
                next_ticks_ += gap_[ring_pos_];
            } else {
                break;
            }
            if (frame_.size() >= kFrameTarget) {
                if (!frame_.finish(sink, code_, plan_.board)) {
                    return false;
                }
                frame_.begin(sink);
            }
        }
        t_prev_ = std::max(t_prev_, target);
        return frame_.finish(sink, code_, plan_.board);
    }

    bool advance_unpaced(uint64_t target, FrameSink& sink) {
        target = std::max(target, t_prev_);
        const uint64_t base = t_prev_ * kTicksPerUs;
        // Events spread evenly over the real time since the last block.
        const uint64_t step = ((target - t_prev_) * kTicksPerUs << 16) / block_events_;
        uint64_t acc = 0;
        for (std::size_t i = 0; i < block_events_; ++i) {
            acc += step;
            const uint64_t ticks = base + (acc >> 16);
            while (next_stats_us_ < end_us_ && next_stats_us_ * kTicksPerUs <= ticks) {
                put_stats(next_stats_us_, false, sink);
                next_stats_us_ = std::min(sat_add(next_stats_us_, stats_us_), end_us_);
            }
            put_event(ticks);
        }
        t_prev_ = target;
        if (target >= end_us_) {
            put_stats(end_us_, true, sink);
        }
        return frame_.finish(sink, code_, plan_.board);
    }

    void put_event(uint64_t ticks) {
        const uint16_t energy = energy_[ring_pos_];
        ring_pos_ = (ring_pos_ + 1) % kRing;
        uint8_t* p = frame_.grow(kUnitSize * (1 + wave_length_));
        encode_unit(make_list_event(energy, ticks), p);
        ++measured_;
        if (wave_length_ == 0) {
            ++frame_.delta().list_events;
            return;
        }
        synth_->pulse(energy / 16, samples_.data(), wave_length_);
        for (unsigned i = 0; i < wave_length_; ++i) {
            encode_unit(make_wave_unit(static_cast<uint16_t>(i), samples_[i]),
                        p + kUnitSize * (1 + i));
        }
        frame_.delta().listwave_units += 1 + wave_length_;
    }

    void put_stats(uint64_t time_us, bool last, FrameSink& sink) {
        RecordHeader h;
        h.packet_count = state_.next_packet_count(sink);
        h.spectrum_id = state_.list_id++;
        h.stats = counters_.at(time_us, measured_);
        h.status = status_byte(last, sink);
        uint8_t* p = frame_.grow(kStatsPacketSize);
        if (code_ == wire::kList) {
            encode_list_stats_packet(h, last, p);
            ++frame_.delta().list_stats;
        } else {
            encode_listwave_stats_packet(h, p);
            ++frame_.delta().listwave_stats;
        }
        if (last) {
            done_ = true;
        }
    }

    BoardPlan plan_;
    BoardState& state_;
    bool paced_;
    CounterModel counters_;
    uint8_t code_;
    unsigned wave_length_;
    uint64_t stats_us_;
    uint64_t end_us_;
    uint64_t next_stats_us_;
    uint64_t t_prev_ = 0;
    uint64_t next_ticks_ = 0;
    uint64_t measured_ = 0;
    std::size_t block_events_ = 1;
    unsigned ring_pos_ = 0;
    uint16_t energy_[kRing];
    uint32_t gap_[kRing];
    std::unique_ptr<PulseSynth> synth_;
    std::vector<uint16_t> samples_;
    FrameBuilder frame_;
};

// One waveform buffer: (WAVE_LENGTH + 1) x 16384 samples, then done.
class WaveformSource final : public BoardSource {
  public:
    WaveformSource(const BoardPlan& p, BoardState& st, const SourceSettings& s)
        : plan_(p),
          total_(uint64_t{p.wave_length} * 16384),
          synth_(st.shape(4096), finite_rate(s.count_rate), p.decimation,
                 mix_seed(st.seed, p.board, 3)),
          samples_(kWaveformChunk) {}

    bool advance(uint64_t, FrameSink& sink) override {
        if (done_) {
            return true;
        }
        const auto n = static_cast<std::size_t>(std::min<uint64_t>(kWaveformChunk, total_ - sent_));
        synth_.samples(samples_.data(), n);
        frame_.begin(sink);
        encode_waveform(samples_.data(), n, frame_.grow(waveform_bytes(n)));
        frame_.delta().waveform_samples = n;
        sent_ += n;
        done_ = sent_ >= total_;
        return frame_.finish(sink, wire::kWaveform, plan_.board);
    }

    bool finish(uint64_t, FrameSink&) override {
        done_ = true;
        return true;
    }

    uint64_t next_due_us() const override { return done_ ? kNever : 0; }

  private:
    BoardPlan plan_;
    uint64_t total_;
    uint64_t sent_ = 0;
    PulseSynth synth_;
    std::vector<uint16_t> samples_;
    FrameBuilder frame_;
};

// Modes that send nothing: the acquisition only lasts its time.
class SilentSource final : public BoardSource {
  public:
    explicit SilentSource(const BoardPlan& p)
        : end_us_(p.acq_time_ms ? uint64_t{p.acq_time_ms} * 1000 : kNever) {}
    bool advance(uint64_t now_us, FrameSink&) override {
        done_ = now_us >= end_us_;
        return true;
    }
    bool finish(uint64_t, FrameSink&) override {
        done_ = true;
        return true;
    }
    uint64_t next_due_us() const override { return done_ ? kNever : end_us_; }

  private:
    uint64_t end_us_;
};

}  // namespace

BoardPlan plan_from_registers(unsigned index, const Board& board) {
    BoardPlan p;
    p.board = index;
    const uint32_t mode_config = board.read(reg::kModeConfig);
    p.mode = mode_config & 0x7;
    p.decimation = ((mode_config >> 3) & 0x1F) + 1;
    p.depth = (mode_config & (1u << 12)) ? 1024 : (mode_config & (1u << 11)) ? 2048 : 4096;
    p.wave_length = (board.read(reg::kWaveLength) & 0x7FF) + 1;
    const uint32_t map_gating = board.read(reg::kMapGating);
    p.points = map_gating & 0xFFFFFF;
    p.gating = (map_gating >> 25) & 0x7;
    if (p.gating > gating::kGatedLow) {
        p.gating = gating::kFreeRunning;
    }
    p.disabled = (map_gating >> 31) != 0;
    p.acq_time_ms = board.read(reg::kAcqTime);
    p.time_per_spectrum_ms = board.read(reg::kTimePerSpectrum);
    return p;
}

BoardState::BoardState(uint64_t chain_seed, unsigned b)
    : board(b), seed(chain_seed), rng(mix_seed(chain_seed, b, 1)) {}

const SpectrumShape& BoardState::shape(unsigned depth) {
    if (!shape_ || shape_->depth() != depth) {
        shape_ = std::make_unique<SpectrumShape>(depth, mix_seed(seed, board));
    }
    return *shape_;
}

uint16_t BoardState::next_packet_count(FrameSink& sink) {
    if (sink.take_skip(board)) {
        ++packet_count;
    }
    return packet_count++;
}

std::unique_ptr<BoardSource> make_source(const BoardPlan& plan, BoardState& state,
                                         const SourceSettings& settings) {
    switch (plan.mode) {
        case mode::kSingle:
        case mode::kMapTimed:
        case mode::kMapTriggered:
            return std::make_unique<SpectrumSource>(plan, state, settings);
        case mode::kWaveform:
            return std::make_unique<WaveformSource>(plan, state, settings);
        case mode::kList:
            return std::make_unique<ListSource>(plan, state, settings, false);
        case mode::kListWave:
            return std::make_unique<ListSource>(plan, state, settings, true);
        default:
            return std::make_unique<SilentSource>(plan);
    }
}

}  // namespace vxnsim
