// Producing a board's acquisition data: one source per board, chosen by the
// mode its registers hold when the chain starts.
//
// Timing: records, statistics packets and events carry nominal times (the
// record period, the statistics period, Poisson arrivals at the count rate)
// and are released when real time reaches them, so a given seed gives the
// same content whatever the machine's load. Waveforms, and list data at
// kAsFastAsPossible, are not paced: they go out as fast as the connections
// take them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vxnsim/board.h"
#include "vxnsim/data_counters.h"
#include "vxnsim/detector_model.h"

namespace vxnsim {

namespace mode {
constexpr unsigned kSingle = 0;
constexpr unsigned kMapTimed = 1;
constexpr unsigned kMapTriggered = 2;
constexpr unsigned kWaveform = 3;
constexpr unsigned kList = 4;
constexpr unsigned kDigital = 5;
constexpr unsigned kListWave = 6;
}  // namespace mode

namespace gating {
constexpr unsigned kFreeRunning = 0;
constexpr unsigned kTriggerRising = 1;
constexpr unsigned kTriggerFalling = 2;
constexpr unsigned kTriggerBoth = 3;
constexpr unsigned kGatedHigh = 4;
constexpr unsigned kGatedLow = 5;
}  // namespace gating

// A board's acquisition settings, read from its registers at the start.
struct BoardPlan {
    unsigned board = 0;
    unsigned mode = mode::kSingle;
    unsigned depth = 4096;
    unsigned decimation = 1;
    unsigned wave_length = 1;  // WAVE_LENGTH bits 0-10, plus one
    uint32_t points = 0;
    unsigned gating = gating::kFreeRunning;
    bool disabled = false;
    uint32_t acq_time_ms = 0;
    uint32_t time_per_spectrum_ms = 0;
};

BoardPlan plan_from_registers(unsigned index, const Board& board);

struct SourceSettings {
    double count_rate = 100000.0;
    unsigned aux_period_ms = 100;
};

// Where a source hands its frames.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // Queues a whole frame (header included) carrying `delta`. Returns false
    // when the acquisition is being abandoned and the source should stop.
    virtual bool push(std::vector<uint8_t>&& frame, unsigned board, const DataCounters& delta) = 0;
    // An empty buffer, possibly recycled from a frame already sent.
    virtual std::vector<uint8_t> take_buffer() = 0;
    virtual bool memory_full() = 0;
    // True once after a packet-count skip was asked for this board.
    virtual bool take_skip(unsigned board) = 0;
};

// What a board keeps from one acquisition to the next.
struct BoardState {
    BoardState(uint64_t chain_seed, unsigned board);
    const SpectrumShape& shape(unsigned depth);
    // Packet count of the next record; counts run on across acquisitions.
    uint16_t next_packet_count(FrameSink& sink);

    unsigned board;
    uint64_t seed;
    Rng rng;
    uint16_t packet_count = 1;
    uint16_t list_id = 0;

  private:
    std::unique_ptr<SpectrumShape> shape_;
};

class BoardSource {
  public:
    static constexpr uint64_t kNever = UINT64_MAX;

    virtual ~BoardSource() = default;
    // Emits what is due at `now_us` (microseconds since the start). Sources
    // that are not paced emit one frame's worth per call. Returns false when
    // the sink refused a frame.
    virtual bool advance(uint64_t now_us, FrameSink& sink) = 0;
    // The chain was told to stop at `now_us`: emit the last data.
    virtual bool finish(uint64_t now_us, FrameSink& sink) = 0;
    // When the next data becomes due (0: now and always, kNever: never).
    virtual uint64_t next_due_us() const = 0;
    bool done() const { return done_; }

  protected:
    bool done_ = false;
};

std::unique_ptr<BoardSource> make_source(const BoardPlan& plan, BoardState& state,
                                         const SourceSettings& settings);

}  // namespace vxnsim
