// A board's data stores: the payload decoders that fill them and the reads
// that copy data out.
#include "board_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Boost_Log.h"
#include "boards.h"
#include "exceptions.h"
#include "globals.h"
#include "payload_builder.h"

namespace {

namespace logging = boost::log;
using payload::bytes;
using payload::header;
using namespace std::chrono_literals;

// --- Log capture ----------------------------------------------------------------

struct log_entry {
    std::string channel;
    int severity;
    std::string message;
};

class capture_backend
    : public logging::sinks::basic_sink_backend<logging::sinks::synchronized_feeding> {
  public:
    void consume(const logging::record_view& rec) {
        log_entry e{"", -1, ""};
        if (auto channel = logging::extract<std::string>("Channel", rec))
            e.channel = *channel;
        if (auto level = logging::extract<severity_level>("Severity", rec)) {
            e.severity = static_cast<int>(*level);
        }
        if (auto message = logging::extract<std::string>("Message", rec))
            e.message = *message;
        std::lock_guard<std::mutex> l(mutex_);
        entries_.push_back(e);
    }
    std::vector<log_entry> entries() {
        std::lock_guard<std::mutex> l(mutex_);
        return entries_;
    }

  private:
    std::mutex mutex_;
    std::vector<log_entry> entries_;
};

// Every record of the library goes to memory while the object lives.
class captured_log {
  public:
    captured_log() : backend_(boost::make_shared<capture_backend>()) {
        sink_ = boost::make_shared<logging::sinks::synchronous_sink<capture_backend>>(backend_);
        logging::core::get()->add_sink(sink_);
        logging::core::get()->set_logging_enabled(true);
        vxn_log_enabled = true;
    }
    ~captured_log() {
        vxn_log_enabled = false;
        logging::core::get()->remove_sink(sink_);
    }
    // Records on `channel` at `severity` whose text starts with `prefix`.
    std::vector<std::string> find(const std::string& channel, severity_level severity,
                                  const std::string& prefix) {
        std::vector<std::string> found;
        for (const log_entry& e : backend_->entries()) {
            if (e.channel == channel && e.severity == severity &&
                e.message.compare(0, prefix.size(), prefix) == 0) {
                found.push_back(e.message);
            }
        }
        return found;
    }
    std::size_t count(const std::string& channel, severity_level severity,
                      const std::string& prefix) {
        return find(channel, severity, prefix).size();
    }

  private:
    boost::shared_ptr<capture_backend> backend_;
    boost::shared_ptr<logging::sinks::synchronous_sink<capture_backend>> sink_;
};

// --- Helpers ----------------------------------------------------------------------

template <typename Exception>
std::string thrown_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "nothing thrown";
}

// Holds a board's data lock on a thread of its own until release().
class lock_holder {
  public:
    explicit lock_holder(board_data& board) {
        auto released = released_.get_future();
        thread_ = std::thread([this, &board, released = std::move(released)] {
            auto held = board.hold_data_lock();
            taken_.set_value();
            released.wait();
        });
        taken_.get_future().wait();
    }
    ~lock_holder() { release(); }
    void release() {
        if (thread_.joinable()) {
            released_.set_value();
            thread_.join();
        }
    }

  private:
    std::promise<void> taken_;
    std::promise<void> released_;
    std::thread thread_;
};

class board_data_test : public ::testing::Test {
  protected:
    void SetUp() override { globals::set_last_error(EC_NONE); }

    static board_data_options quick_lock() {
        board_data_options o;
        o.lock_wait = 50ms;
        return o;
    }

    std::vector<unsigned long> live_spectrum(board_data& board, unsigned int depth,
                                             adv_stats* stats_out = nullptr,
                                             unsigned int* id_out = nullptr) {
        std::vector<unsigned long> data(depth, 0xABCD);
        unsigned int id = 0;
        adv_stats stats = stats_out ? *stats_out : adv_stats{};
        unsigned int size = depth;
        board.getLiveData(data.data(), id, stats, size);
        if (stats_out)
            *stats_out = stats;
        if (id_out)
            *id_out = id;
        return data;
    }

    captured_log log;
};

std::vector<uint16_t> ramp(unsigned int n, uint16_t step) {
    std::vector<uint16_t> v(n);
    for (unsigned int k = 0; k < n; ++k) v[k] = static_cast<uint16_t>(k * step);
    return v;
}

header numbered(uint16_t packet_count, uint16_t spectrum_id = 1) {
    header h;
    h.packet_count = packet_count;
    h.spectrum_id = spectrum_id;
    return h;
}

// --- Single spectrum -------------------------------------------------------------------

TEST_F(board_data_test, single_spectrum_records_accumulate_with_the_newest_statistics) {
    board_data board(quick_lock());
    board.set_spect_depth(1024);
    header first = numbered(1, 7);
    first.time = 500;
    first.detected = 11;
    header second = numbered(2, 8);
    second.time = 0x0000000500000010ULL;  // high word in header word 23
    second.detected = 21;
    second.measured = 22;
    second.edge_dt = 23;
    second.filt1_dt = 24;
    second.zerocounts = 25;
    second.baselines_value = 26;
    second.pup_value = 27;
    second.pup_f1_value = 28;
    second.pup_notf1_value = 29;
    second.reset_counter_value = 30;
    second.word8 = 0x12345678;
    second.word9 = 9;
    second.word13 = 13;

    const auto a = ramp(1024, 1);
    const auto b = ramp(1024, 3);
    board.UpdateSingleSpectData(payload::spectrum_record(first, 1024, a));
    board.UpdateSingleSpectData(payload::spectrum_record(second, 1024, b));

    adv_stats stats{};
    stats.period = 0x5A5A;
    unsigned int id = 0;
    const auto bins = live_spectrum(board, 1024, &stats, &id);
    for (unsigned int k = 0; k < 1024; ++k) {
        ASSERT_EQ(bins[k], static_cast<unsigned long>(a[k]) + b[k]) << "bin " << k;
    }
    EXPECT_EQ(id, 8u);
    EXPECT_EQ(stats.time, 0x0000000500000010ULL);
    EXPECT_EQ(std::vector<uint32_t>({stats.detected, stats.measured, stats.edge_dt, stats.filt1_dt,
                                     stats.zerocounts, stats.baselines_value, stats.pup_value,
                                     stats.pup_f1_value, stats.pup_notf1_value,
                                     stats.reset_counter_value}),
              std::vector<uint32_t>({21, 22, 23, 24, 25, 26, 27, 28, 29, 30}));
    EXPECT_EQ(stats.period, 0x5A5Au);  // not a single-spectrum field

    const auto stored = board.spectra_snapshot();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].header_word8, 0x00345678u);  // bytes 33-35 only
    EXPECT_EQ(stored[0].header_word9, 9u);
    EXPECT_EQ(stored[0].header_word13, 13u);
    EXPECT_FALSE(stored[0].complete);
    EXPECT_EQ(globals::get_last_error(), EC_NONE);

    // Reading does not remove: the same data comes back.
    EXPECT_EQ(live_spectrum(board, 1024), bins);
}

TEST_F(board_data_test, bin_word_carries_the_odd_bin_in_its_high_half) {
    board_data board(quick_lock());
    board.set_spect_depth(1024);
    bytes record = payload::spectrum_record(numbered(1), 1024);
    const unsigned char word[] = {0x00, 0x03, 0x00, 0x01};
    std::copy(word, word + 4, record.begin() + 128);
    board.UpdateSingleSpectData(record);
    const auto bins = live_spectrum(board, 1024);
    EXPECT_EQ(bins[0], 1u);
    EXPECT_EQ(bins[1], 3u);
    EXPECT_EQ(bins[2], 0u);
}

TEST_F(board_data_test, payload_with_half_a_record_uses_the_whole_ones) {
    struct length_case {
        const char* name;
        std::function<void(board_data&, const bytes&)> decode;
        unsigned short mode;
    };
    const length_case cases[] = {
        {"single", [](board_data& b, const bytes& p) { b.UpdateSingleSpectData(p); },
         boards::NORMAL_MODE},
        {"map", [](board_data& b, const bytes& p) { b.UpdateMapData(p); }, boards::MAP_NORMAL_MODE},
    };
    for (const auto& c : cases) {
        globals::set_last_error(EC_NONE);
        board_data board(quick_lock());
        board.select_mode(c.mode);
        board.set_spect_depth(1024);
        bytes third = payload::spectrum_record(numbered(3), 1024, std::vector<uint16_t>(1024, 100));
        third.resize(third.size() / 2);
        const bytes p = payload::join({payload::spectrum_record(numbered(1), 1024, {1}),
                                       payload::spectrum_record(numbered(2), 1024, {2}), third});
        const std::size_t errors_before =
            log.count("Functions", ERR, "Functions. Incorrect payload length.");
        c.decode(board, p);
        EXPECT_EQ(globals::get_last_error(), EC_PAYLOAD_LENGTH) << c.name;
        EXPECT_EQ(log.count("Functions", ERR, "Functions. Incorrect payload length."),
                  errors_before + 1)
            << c.name;
        const auto stored = board.spectra_snapshot();
        ASSERT_EQ(stored.size(), 1u) << c.name;
        EXPECT_EQ(stored[0].bins[0], 3u) << c.name;
        EXPECT_EQ(stored[0].bins[1], 0u) << c.name;
        EXPECT_EQ(stored[0].packet_count, 2u) << c.name;
    }
}

TEST_F(board_data_test, single_spectrum_packet_count_gaps) {
    struct gap_case {
        uint16_t previous;
        uint16_t next;
        const char* logged;  // nullptr: no gap
    };
    const gap_case cases[] = {
        {5, 6, nullptr},
        {5, 7, "Functions. Missed spectra. Expected ID: 6. Actual: 7"},
        {65535, 0, "Functions. Missed spectra. Expected ID: 65536. Actual: 0"},
        {7, 5, "Functions. Missed spectra. Expected ID: 8. Actual: 5"},
    };
    for (const auto& c : cases) {
        globals::set_last_error(EC_NONE);
        board_data board(quick_lock());
        board.set_spect_depth(1024);
        const auto before = log.find("Functions", ERR, "Functions. Missed spectra.");
        board.UpdateSingleSpectData(payload::spectrum_record(numbered(c.previous), 1024, {1}));
        board.UpdateSingleSpectData(payload::spectrum_record(numbered(c.next), 1024, {1}));
        const auto after = log.find("Functions", ERR, "Functions. Missed spectra.");
        if (c.logged == nullptr) {
            EXPECT_EQ(globals::get_last_error(), EC_NONE) << c.previous << " " << c.next;
            EXPECT_EQ(after.size(), before.size());
        } else {
            EXPECT_EQ(globals::get_last_error(), EC_MISSED_SPECTRUM) << c.logged;
            ASSERT_EQ(after.size(), before.size() + 1) << c.logged;
            EXPECT_EQ(after.back(), c.logged);
        }
        // The record after a gap is used all the same.
        EXPECT_EQ(live_spectrum(board, 1024)[0], 2u);
    }
}

TEST_F(board_data_test, status_byte_sets_the_end_flags) {
    struct status_case {
        uint8_t status;
        bool last_data;
        bool transmission_ended;
    };
    const status_case cases[] = {
        {0x20, false, false}, {0x30, false, false}, {0x10, true, false}, {0x00, true, true}};
    for (bool map : {false, true}) {
        for (const auto& c : cases) {
            board_data board(quick_lock());
            board.set_spect_depth(1024);
            header h = numbered(1);
            h.status = c.status;
            if (map) {
                board.UpdateMapData(payload::spectrum_record(h, 1024));
            } else {
                board.UpdateSingleSpectData(payload::spectrum_record(h, 1024));
            }
            bool last = !c.last_data;
            bool ended = !c.transmission_ended;
            board.isLastDataReceived(last);
            board.isTransmissionEnded(ended);
            EXPECT_EQ(last, c.last_data) << int(c.status) << (map ? " map" : " single");
            EXPECT_EQ(ended, c.transmission_ended) << int(c.status) << (map ? " map" : " single");

            board.start_flags();
            board.isLastDataReceived(last);
            board.isTransmissionEnded(ended);
            EXPECT_FALSE(last);
            EXPECT_FALSE(ended);
        }
    }
    EXPECT_EQ(log.count("Global", TRC, "isLastDataReceived"), 16u);
    EXPECT_EQ(log.count("Global", TRC, "isTransmissionEnded"), 16u);
}

TEST_F(board_data_test, memory_full_bits_of_a_spectrum_record) {
    struct full_case {
        uint8_t status;
        bool map;
        bool reported;
    };
    const full_case cases[] = {
        {0x24, true, true},  {0x28, true, true},   {0x30, true, false},
        {0x20, true, false}, {0x04, false, false},  // single-spectrum records are not checked
    };
    for (const auto& c : cases) {
        globals::set_last_error(EC_NONE);
        board_data board(quick_lock());
        board.set_spect_depth(1024);
        header h = numbered(1);
        h.status = c.status;
        const std::size_t before =
            log.count("Functions", ERR, "Functions. Hardware memory went full during acquisition.");
        if (c.map) {
            board.UpdateMapData(payload::spectrum_record(h, 1024, {9}));
        } else {
            board.UpdateSingleSpectData(payload::spectrum_record(h, 1024, {9}));
        }
        const std::size_t logged =
            log.count("Functions", ERR,
                      "Functions. Hardware memory went full during acquisition.") -
            before;
        EXPECT_EQ(globals::get_last_error(), c.reported ? EC_HW_MEMORY_FULL : EC_NONE)
            << int(c.status);
        EXPECT_EQ(logged, c.reported ? 1u : 0u) << int(c.status);
        const auto stored = board.spectra_snapshot();
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0].bins[0], 9u) << "the record is stored all the same";
    }
}

// --- Map decoding -------------------------------------------------------------------

// One row of a gating decision table: the auxiliary bits as the table gives
// them (after inversion for the falling-edge and active-low modes), the store
// state and the status, and the actions the table prescribes, in order:
// P open from the previous record, T open from this record, S save, C complete.
struct gating_row {
    int n, c;
    bool empty, last;
    const char* actions;
};

// What the store should look like after a sequence of actions. Each spectrum
// is described by its start time, the sum of bin 0 (which tells which records
// went into it) and whether it is complete.
struct model_spectrum {
    uint64_t start_time;
    unsigned long bin0;
    bool complete;
};

std::vector<model_spectrum> apply_actions(std::vector<model_spectrum> store, const char* actions,
                                          uint64_t previous_time, uint64_t this_time,
                                          unsigned long this_bin0) {
    for (const char* a = actions; *a; ++a) {
        switch (*a) {
            case 'P':
            case 'T':
                if (!store.empty())
                    store.back().complete = true;
                store.push_back({*a == 'P' ? previous_time : this_time, 0, false});
                break;
            case 'S':
                store.back().bin0 += this_bin0;
                break;
            case 'C':
                store.back().complete = true;
                break;
        }
    }
    return store;
}

TEST_F(board_data_test, map_gating_decision_tables) {
    // TriggerRising and TriggerFalling.
    const gating_row trigger[] = {
        {0, 0, true, false, "PS"}, {0, 0, true, true, "PSC"},   {0, 0, false, false, "S"},
        {0, 0, false, true, "SC"}, {0, 1, true, false, "PS"},   {0, 1, true, true, "PSC"},
        {0, 1, false, false, "S"}, {0, 1, false, true, "SC"},   {1, 0, true, false, "PSCT"},
        {1, 0, true, true, "PSC"}, {1, 0, false, false, "SCT"}, {1, 0, false, true, "SC"},
        {1, 1, true, false, "PS"}, {1, 1, true, true, "PSC"},   {1, 1, false, false, "S"},
        {1, 1, false, true, "SC"},
    };
    // TriggerBoth.
    const gating_row both[] = {
        {0, 0, true, false, "PS"},  {0, 0, true, true, "PSC"},   {0, 0, false, false, "S"},
        {0, 0, false, true, "SC"},  {0, 1, true, false, "PST"},  {0, 1, true, true, "PSC"},
        {0, 1, false, false, "ST"}, {0, 1, false, true, "SCT"},  {1, 0, true, false, "PSCT"},
        {1, 0, true, true, "PSC"},  {1, 0, false, false, "SCT"}, {1, 0, false, true, "SC"},
        {1, 1, true, false, "PS"},  {1, 1, true, true, "PSC"},   {1, 1, false, false, "ST"},
        {1, 1, false, true, "SC"},
    };
    // GatedHigh and GatedLow.
    const gating_row gated[] = {
        {0, 0, true, false, ""},   {0, 0, true, true, ""},    {0, 0, false, false, ""},
        {0, 0, false, true, "C"},  {0, 1, true, false, "TS"}, {0, 1, true, true, "TSC"},
        {0, 1, false, false, "S"}, {0, 1, false, true, "SC"}, {1, 0, true, false, "T"},
        {1, 0, true, true, ""},    {1, 0, false, false, "T"}, {1, 0, false, true, "C"},
        {1, 1, true, false, "TS"}, {1, 1, true, true, "TSC"}, {1, 1, false, false, "S"},
        {1, 1, false, true, "SC"},
    };
    struct table {
        uint32_t gating;
        bool inverted;
        const gating_row* rows;
    };
    const table tables[] = {
        {TriggerRising, false, trigger},
        {TriggerFalling, true, trigger},
        {TriggerBoth, false, both},
        {GatedHigh, false, gated},
        {GatedLow, true, gated},
        {9, false, gated},  // unknown codes are gated like GatedHigh
    };
    constexpr uint64_t priming_time = 1000;
    constexpr uint64_t record_time = 5000;
    constexpr uint16_t priming_bin0 = 1;
    constexpr uint16_t record_bin0 = 10;

    for (const table& t : tables) {
        for (int r = 0; r < 16; ++r) {
            const gating_row& row = t.rows[r];
            const std::string where = "gating " + std::to_string(t.gating) + " N" +
                                      std::to_string(row.n) + " C" + std::to_string(row.c) +
                                      (row.empty ? " empty" : " not empty") +
                                      (row.last ? " last" : " more");
            board_data board(quick_lock());
            board.select_mode(boards::MAP_NORMAL_MODE);
            board.set_spect_depth(1024);
            board.set_gating_mode(t.gating);
            std::vector<model_spectrum> expected;

            uint64_t previous_time = 0;  // a new board: the previous record's statistics are 0
            if (!row.empty) {
                // A record that opens a spectrum and goes into it in every
                // mode: N 0, C 1 as the table reads them, more data to come.
                const gating_row& priming = t.rows[4];
                ASSERT_TRUE(priming.n == 0 && priming.c == 1 && priming.empty && !priming.last);
                header p = numbered(1);
                p.time = priming_time;
                p.next_aux = t.inverted;
                p.curr_aux = !t.inverted;
                board.UpdateMapData(payload::spectrum_record(p, 1024, {priming_bin0}));
                expected = apply_actions(expected, priming.actions, 0, priming_time, priming_bin0);
                previous_time = priming_time;
            }
            header h = numbered(2);
            h.time = record_time;
            h.status = row.last ? payload::last_data : payload::more_data;
            h.next_aux = (row.n != 0) != t.inverted;
            h.curr_aux = (row.c != 0) != t.inverted;
            board.UpdateMapData(payload::spectrum_record(h, 1024, {record_bin0}));
            expected =
                apply_actions(expected, row.actions, previous_time, record_time, record_bin0);

            const auto stored = board.spectra_snapshot();
            ASSERT_EQ(stored.size(), expected.size()) << where;
            for (std::size_t k = 0; k < stored.size(); ++k) {
                EXPECT_EQ(stored[k].start.time, expected[k].start_time) << where << " #" << k;
                EXPECT_EQ(stored[k].bins[0], expected[k].bin0) << where << " #" << k;
                EXPECT_EQ(stored[k].complete, expected[k].complete) << where << " #" << k;
            }
            EXPECT_EQ(globals::get_last_error(), EC_NONE) << where;
        }
    }
}

TEST_F(board_data_test, free_running_map_opens_a_spectrum_per_spectrum_id) {
    struct free_case {
        const char* name;
        std::vector<std::pair<uint16_t, bool>> records;  // spectrum id, last data
        std::vector<model_spectrum> expected;            // start time = previous record's
    };
    // Record k (from 1) has time 1000 k and bin 0 = k.
    const free_case cases[] = {
        {"ids 4 4 5", {{4, false}, {4, false}, {5, false}}, {{0, 3, true}, {2000, 3, false}}},
        {"last data completes the newest", {{4, false}, {4, true}}, {{0, 3, true}}},
        {"same id after last data stays in the completed spectrum",
         {{4, true}, {4, false}},
         {{0, 3, true}}},
        {"new id after last data", {{4, true}, {6, true}}, {{0, 1, true}, {1000, 2, true}}},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        board.set_spect_depth(1024);
        uint16_t k = 0;
        for (const auto& [id, last] : c.records) {
            ++k;
            header h = numbered(k, id);
            h.time = 1000 * k;
            h.status = last ? payload::last_data : payload::more_data;
            h.next_aux = k % 2 == 0;  // ignored in this mode
            board.UpdateMapData(payload::spectrum_record(h, 1024, {k}));
        }
        const auto stored = board.spectra_snapshot();
        ASSERT_EQ(stored.size(), c.expected.size()) << c.name;
        for (std::size_t s = 0; s < stored.size(); ++s) {
            EXPECT_EQ(stored[s].start.time, c.expected[s].start_time) << c.name << " #" << s;
            EXPECT_EQ(stored[s].bins[0], c.expected[s].bin0) << c.name << " #" << s;
            EXPECT_EQ(stored[s].complete, c.expected[s].complete) << c.name << " #" << s;
        }
    }
}

TEST_F(board_data_test, map_record_is_saved_whole_with_its_raw_aux_bits) {
    board_data board(quick_lock());
    board.select_mode(boards::MAP_TRIGGER_MODE);
    board.set_spect_depth(1024);
    board.set_gating_mode(GatedLow);  // bits inverted for the decision only
    header h = numbered(3, 12);
    h.word8 = 0x8ABCDEF1;
    h.word10 = 10;
    h.word11 = 11;
    h.word12 = 12;
    h.next_aux = true;  // N 1 C 0, read as N 0 C 1: open and save
    h.curr_aux = false;
    h.time = 777;
    h.reset_counter_value = 5;
    board.UpdateMapData(payload::spectrum_record(h, 1024, {4}));
    const auto stored = board.spectra_snapshot();
    ASSERT_EQ(stored.size(), 1u);
    const auto& s = stored[0];
    EXPECT_EQ(s.header_word8, (0x8ABCDEF1u & ~0x60000000u) | 0x20000000u);
    EXPECT_EQ(s.next_aux, 1u);
    EXPECT_EQ(s.curr_aux, 0u);
    EXPECT_EQ(s.header_word10, 10u);
    EXPECT_EQ(s.header_word11, 11u);
    EXPECT_EQ(s.header_word12, 12u);
    EXPECT_EQ(s.packet_count, 3u);
    EXPECT_EQ(s.spectrum_id, 12u);
    EXPECT_EQ(s.end.time, 777u);
    EXPECT_EQ(s.end.reset_counter_value, 5u);
    EXPECT_EQ(s.start.time, 777u);  // opened from this record
    EXPECT_EQ(s.start.reset_counter_value, 0u) << "only time and words 1-6 are kept per record";
}

TEST_F(board_data_test, map_packet_count_gaps) {
    struct gap_case {
        const char* name;
        uint32_t gating;
        std::vector<uint16_t> counts;
        std::vector<std::string> logged;
    };
    const gap_case cases[] = {
        {"consecutive", FreeRunning, {1, 2, 3}, {}},
        {"5 then 7",
         FreeRunning,
         {5, 7},
         {"Functions. Missed spectra. i: 1. Expected ID: 6. Actual: 7"}},
        {"65535 then 0",
         FreeRunning,
         {65535, 0},
         {"Functions. Missed spectra. i: 1. Expected ID: 65536. Actual: 0"}},
        // After a record with count 0 there is nothing to compare with.
        {"0 then 5", FreeRunning, {0, 5}, {}},
        // Gated records that are never saved still count; the store may be
        // empty when the gap shows.
        {"gate closed",
         GatedHigh,
         {4, 9},
         {"Functions. Missed spectra. i: 1. Expected ID: 5. Actual: 9"}},
    };
    for (const auto& c : cases) {
        globals::set_last_error(EC_NONE);
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        board.set_spect_depth(1024);
        board.set_gating_mode(c.gating);
        bytes p;
        for (uint16_t count : c.counts) {
            p = payload::join({p, payload::spectrum_record(numbered(count), 1024, {1})});
        }
        const auto before = log.find("Functions", ERR, "Functions. Missed spectra.");
        board.UpdateMapData(p);
        const auto after = log.find("Functions", ERR, "Functions. Missed spectra.");
        EXPECT_EQ(std::vector<std::string>(after.begin() + before.size(), after.end()), c.logged)
            << c.name;
        EXPECT_EQ(globals::get_last_error(), c.logged.empty() ? EC_NONE : EC_MISSED_SPECTRUM)
            << c.name;
        EXPECT_EQ(board.last_packet_count(), c.counts.back()) << c.name;
    }
}

TEST_F(board_data_test, a_new_acquisition_does_not_compare_with_the_previous_ones_count) {
    struct reset_case {
        const char* name;
        std::function<void(board_data&)> between;
        bool gap_reported;
    };
    const reset_case cases[] = {
        {"clear", [](board_data& b) { b.clear(); }, false},
        {"select_mode", [](board_data& b) { b.select_mode(boards::MAP_NORMAL_MODE); }, false},
        // Only the store is dropped: the next record is still compared, and
        // the empty store must not be looked into.
        {"set_spect_depth", [](board_data& b) { b.set_spect_depth(1024); }, true},
    };
    for (const auto& c : cases) {
        globals::set_last_error(EC_NONE);
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        board.set_spect_depth(1024);
        board.UpdateMapData(payload::join({payload::spectrum_record(numbered(1), 1024),
                                           payload::spectrum_record(numbered(2), 1024)}));
        c.between(board);
        board.UpdateMapData(payload::spectrum_record(numbered(1), 1024, {5}));
        EXPECT_EQ(globals::get_last_error(), c.gap_reported ? EC_MISSED_SPECTRUM : EC_NONE)
            << c.name;
        const auto stored = board.spectra_snapshot();
        ASSERT_EQ(stored.size(), 1u) << c.name;
        EXPECT_EQ(stored[0].bins[0], 5u) << c.name;
    }
}

TEST_F(board_data_test, map_decoder_logs_a_summary_per_record) {
    board_data board(quick_lock());
    board.select_mode(boards::MAP_NORMAL_MODE);
    board.set_spect_depth(1024);
    board.set_gating_mode(TriggerBoth);
    header a = numbered(1, 2);
    a.time = 1000;
    header b = numbered(2, 2);
    b.time = 3500;
    b.next_aux = true;
    b.zerocounts = 17;
    b.status = payload::last_data;
    board.UpdateMapData(
        payload::join({payload::spectrum_record(a, 1024), payload::spectrum_record(b, 1024)}));
    const auto lines = log.find("Functions", INF, "Payload - Gate: ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              "Payload - Gate: 3 - CurrentCount: 2 - CurrSpectrumID: 2 - NextAuxState: 1 - "
              "CurrAuxState: 0 - LastData: 1 - tstart_timestamp: 1 ms - tend_timestamp: 3.5 ms - "
              "Tperiod: 2.5 ms - ZeroCounts: 17.");
    EXPECT_EQ(log.find("Functions", INF, "PushNewSpectrumStruct - tstart_timestamp: "),
              std::vector<std::string>{"PushNewSpectrumStruct - tstart_timestamp: 0 ms"});
    EXPECT_EQ(log.count("Functions", DBG,
                        "Functions. Updating internal map objects with new data. Size: 4352."),
              1u);
    EXPECT_EQ(log.count("Functions", DBG, "Functions. Multiple spectra mode."), 1u);
}

// --- Waveform ----------------------------------------------------------------------------

TEST_F(board_data_test, waveform_word_stores_its_low_half_first) {
    board_data board(quick_lock());
    board.select_mode(boards::ANALOG_MODE);
    board.UpdateWaveData({0x00, 0x01, 0x00, 0x02, 0xFF});  // the odd byte is ignored
    std::vector<unsigned short> data(4096, 0xEEEE);
    unsigned int size = 4096;
    board.getWaveData(data.data(), size);
    EXPECT_EQ(data[0], 2u);
    EXPECT_EQ(data[1], 1u);
    EXPECT_EQ(data[2], 0u);
    EXPECT_EQ(board.wave_fill(), 2u);
    EXPECT_EQ(globals::get_last_error(), EC_NONE);
}

TEST_F(board_data_test, waveform_buffer_holds_one_sample_less_than_its_size) {
    board_data board(quick_lock());
    board.select_mode(boards::ANALOG_MODE);
    board.resize_waveform(16384);
    unsigned int available = 0;
    board.getAvailableData(available);
    EXPECT_EQ(available, 1u);

    // 8192 words in two payloads; the second continues where the first ended.
    std::vector<uint16_t> samples(16384);
    for (std::size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<uint16_t>(k + 1);
    const bytes all = payload::wave_words(samples);
    board.UpdateWaveData(bytes(all.begin(), all.begin() + 4 * 5000));
    EXPECT_EQ(board.wave_fill(), 10000u);
    board.UpdateWaveData(bytes(all.begin() + 4 * 5000, all.end()));
    EXPECT_EQ(board.wave_fill(), 16383u);
    board.UpdateWaveData(payload::wave_words({0xAAAA, 0xBBBB}));  // full: dropped
    EXPECT_EQ(board.wave_fill(), 16383u);
    board.getAvailableData(available);
    EXPECT_EQ(available, 16384u);

    std::vector<unsigned short> data(16384, 0xEEEE);
    unsigned int size = 16383;
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { board.getWaveData(data.data(), size); }),
              "getData: spectra_size");
    EXPECT_EQ(size, 16384u);
    board.getWaveData(data.data(), size);
    for (std::size_t k = 0; k < 16383; ++k) {
        ASSERT_EQ(data[k], samples[k]) << k;
    }
    EXPECT_EQ(data[16383], 0xEEEE) << "the last slot is not written";

    // Reading does not reset anything.
    std::vector<unsigned short> again(16384, 0xEEEE);
    board.getWaveData(again.data(), size);
    EXPECT_EQ(again, data);
    EXPECT_EQ(board.wave_fill(), 16383u);
}

TEST_F(board_data_test, waveform_buffer_without_samples_stores_nothing) {
    board_data board(quick_lock());
    board.select_mode(boards::ANALOG_MODE);
    board.resize_waveform(0);
    board.UpdateWaveData(payload::wave_words({1, 2, 3, 4}));
    EXPECT_EQ(board.wave_fill(), 0u);
    EXPECT_EQ(board.wave_samples(), 0u);
    unsigned int available = 99;
    board.getAvailableData(available);
    EXPECT_EQ(available, 0u);
    unsigned short untouched = 0xEEEE;
    unsigned int size = 0;
    board.getWaveData(&untouched, size);
    EXPECT_EQ(untouched, 0xEEEE);

    board.resize_waveform(1);  // one slot, which is never written
    board.UpdateWaveData(payload::wave_words({1, 2}));
    EXPECT_EQ(board.wave_fill(), 0u);
    board.getAvailableData(available);
    EXPECT_EQ(available, 1u);
}

TEST_F(board_data_test, waveform_resize_keeps_samples_and_restarts_filling) {
    board_data board(quick_lock());
    board.select_mode(boards::ANALOG_MODE);
    board.UpdateWaveData(payload::wave_words({7, 8, 9, 10}));
    board.resize_waveform(8);
    EXPECT_EQ(board.wave_fill(), 0u);
    board.UpdateWaveData(payload::wave_words({1}));
    std::vector<unsigned short> data(8, 0xEEEE);
    unsigned int size = 8;
    board.getWaveData(data.data(), size);
    EXPECT_EQ(data, (std::vector<unsigned short>{1, 0, 9, 10, 0, 0, 0, 0xEEEE}));
}

// --- List and list-wave decoding ---------------------------------------------------------------

std::vector<unsigned long> take_list(board_data& board, unsigned int n, unsigned int* id = nullptr,
                                     adv_stats* stats = nullptr) {
    std::vector<unsigned long> out(n + 1, 0xABCD);
    unsigned int spectrum_id = 0;
    adv_stats s{};
    unsigned int size = n;
    board.getLiveData(out.data(), spectrum_id, s, size);
    EXPECT_EQ(out[n], 0xABCDu) << "written past the values asked for";
    out.resize(n);
    if (id)
        *id = spectrum_id;
    if (stats)
        *stats = s;
    return out;
}

TEST_F(board_data_test, list_payload_of_20_bytes_stores_two_events) {
    board_data board(quick_lock());
    const bytes p = payload::join({payload::unit(1), payload::unit(2), {0xC0, 0, 0, 0}});
    board.UpdateListData(p);
    EXPECT_EQ(globals::get_last_error(), EC_PAYLOAD_LENGTH);
    EXPECT_EQ(log.count("Functions", ERR, "Functions. Incorrect payload length."), 1u);
    EXPECT_EQ(board.mode(), boards::LIST_MODE);
    EXPECT_EQ(take_list(board, 2), (std::vector<unsigned long>{1, 2}));
}

TEST_F(board_data_test, event_value_has_its_low_half_first) {
    board_data board(quick_lock());
    board.UpdateListData({0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(take_list(board, 1), std::vector<unsigned long>{4294967301UL});
}

TEST_F(board_data_test, markers_and_data_units) {
    struct unit_case {
        const char* name;
        bool list_wave;
        bytes first_unit;
        bool marker;
    };
    const unit_case cases[] = {
        {"list C5/40", false, {0xC5, 0, 0, 0, 0x40, 0, 0, 0}, false},
        {"list C5/C1", false, {0xC5, 0, 0, 0, 0xC1, 0, 0, 0}, true},
        {"list 80/C0", false, {0x80, 0, 0, 0, 0xC0, 0, 0, 0}, false},
        {"list-wave exact", true, {0xC0, 0, 0, 0, 0xC0, 0, 0, 0}, true},
        {"list-wave C0 00 00 01", true, {0xC0, 0, 0, 1, 0xC0, 0, 0, 0}, false},
        {"list-wave C5/C1", true, {0xC5, 0, 0, 0, 0xC1, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        header h;
        h.spectrum_id = 33;
        // As a marker: a statistics packet. As data: 17 units.
        const bytes p = payload::join({c.first_unit, payload::encode_header(h)});
        if (c.list_wave) {
            board.UpdateListWaveData(p);
        } else {
            board.UpdateListData(p);
        }
        const std::size_t held = c.list_wave ? board.list_wave_size() : board.list_size();
        EXPECT_EQ(held, c.marker ? 0u : 17u) << c.name;
        EXPECT_EQ(globals::get_last_error(), EC_NONE) << c.name;
    }
}

TEST_F(board_data_test, list_statistics_packet_fills_id_and_statistics) {
    struct packet_case {
        const char* name;
        bool list_wave;
    };
    for (const auto& c : {packet_case{"list", false}, packet_case{"list-wave", true}}) {
        board_data board(quick_lock());
        header h;
        h.spectrum_id = 0xBEEF;
        h.time = 0x0000000300000007ULL;
        h.detected = 1;
        h.measured = 2;
        h.edge_dt = 3;
        h.filt1_dt = 4;
        h.zerocounts = 5;
        h.baselines_value = 6;
        h.pup_value = 7;
        h.pup_f1_value = 8;
        h.pup_notf1_value = 9;
        h.reset_counter_value = 10;
        const bytes marker = c.list_wave ? payload::list_wave_marker() : payload::list_marker();
        const bytes p =
            payload::join({payload::unit(11), payload::stats_packet(marker, h), payload::unit(12)});
        if (c.list_wave) {
            board.UpdateListWaveData(p);
        } else {
            board.UpdateListData(p);
        }
        adv_stats stats{};
        stats.period = 0x5A5A;
        std::vector<unsigned long> values(2);
        unsigned int size = 2;
        unsigned int id = 0;
        if (c.list_wave) {
            unsigned long second = 0x1234;
            board.getLiveListWaveData(values.data(), &second, id, stats, size);
            EXPECT_EQ(second, 0x1234u) << "second_data is not written";
        } else {
            board.getLiveData(values.data(), id, stats, size);
        }
        EXPECT_EQ(values, (std::vector<unsigned long>{11, 12})) << c.name;
        EXPECT_EQ(id, 0xBEEFu) << c.name;
        EXPECT_EQ(stats.reserved, 0u);
        EXPECT_EQ(stats.time, 0x0000000300000007ULL) << c.name;
        EXPECT_EQ(std::vector<uint32_t>({stats.detected, stats.measured, stats.edge_dt,
                                         stats.filt1_dt, stats.zerocounts, stats.baselines_value,
                                         stats.pup_value, stats.pup_f1_value, stats.pup_notf1_value,
                                         stats.reset_counter_value}),
                  std::vector<uint32_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}))
            << c.name;
        EXPECT_EQ(stats.period, 0x5A5Au) << "not a list field";
    }
}

TEST_F(board_data_test, statistics_packet_cut_short_stops_the_payload) {
    // The marker and part of its header, a whole number of units each time.
    for (std::size_t header_bytes : {std::size_t{0}, std::size_t{104}, std::size_t{120}}) {
        for (bool list_wave : {false, true}) {
            globals::set_last_error(EC_NONE);
            board_data board(quick_lock());
            const bytes marker = list_wave ? payload::list_wave_marker() : payload::list_marker();
            bytes cut = payload::stats_packet(marker, header{});
            cut.resize(8 + header_bytes);
            const bytes p = payload::join({payload::unit(1), payload::unit(2), cut});
            const char* const text = "Functions. Received list mode incomplete statistics packet.";
            const std::size_t before = log.count("Functions", ERR, text);
            if (list_wave) {
                board.UpdateListWaveData(p);
            } else {
                board.UpdateListData(p);
            }
            const std::string where =
                std::to_string(header_bytes) + (list_wave ? " list-wave" : " list");
            EXPECT_EQ(globals::get_last_error(), EC_PAYLOAD_LENGTH) << where;
            EXPECT_EQ(log.count("Functions", ERR, text), before + 1) << where;
            EXPECT_EQ(list_wave ? board.list_wave_size() : board.list_size(), 2u)
                << where << ": the units before are kept, none after";
        }
    }
}

TEST_F(board_data_test, statistics_packet_status_reports_full_memory) {
    struct status_case {
        uint8_t status;
        bool reported;
    };
    const status_case cases[] = {
        {0x10, true}, {0x08, true}, {0x04, true}, {0x20, false}, {0x03, false}};
    for (bool list_wave : {false, true}) {
        for (const auto& c : cases) {
            globals::set_last_error(EC_NONE);
            board_data board(quick_lock());
            header h;
            h.status = c.status;
            h.spectrum_id = 4;
            const bytes marker = list_wave ? payload::list_wave_marker() : payload::list_marker();
            const bytes p = payload::stats_packet(marker, h);
            if (list_wave) {
                board.UpdateListWaveData(p);
            } else {
                board.UpdateListData(p);
            }
            EXPECT_EQ(globals::get_last_error(), c.reported ? EC_HW_MEMORY_FULL : EC_NONE)
                << int(c.status) << (list_wave ? " list-wave" : " list");
        }
    }
    EXPECT_EQ(
        log.count("Functions", ERR, "Functions. Hardware memory went full during acquisition."),
        6u);
}

TEST_F(board_data_test, last_data_bit_of_list_statistics_packets) {
    struct last_case {
        const char* name;
        bool list_wave;
        bool more;  // list marker byte 1 bit 3
        bool before;
        bool after;
    };
    const last_case cases[] = {
        {"list, more data", false, true, true, false},
        {"list, last data", false, false, false, true},
        // The list-wave marker has byte 1 clear; the flag is not its business.
        {"list-wave, flag down", true, false, false, false},
        {"list-wave, flag up", true, false, true, true},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        if (c.before) {
            board.UpdateListData(payload::stats_packet(payload::list_marker(false), header{}));
        }
        const bytes marker =
            c.list_wave ? payload::list_wave_marker() : payload::list_marker(c.more);
        const bytes p = payload::stats_packet(marker, header{});
        if (c.list_wave) {
            board.UpdateListWaveData(p);
        } else {
            board.UpdateListData(p);
        }
        bool received = !c.after;
        board.isLastDataReceived(received);
        EXPECT_EQ(received, c.after) << c.name;
    }
}

TEST_F(board_data_test, list_wave_ceiling) {
    EXPECT_EQ(board_data::list_wave_capacity(8), 48673407u);
    for (uint32_t length = 8; length <= 1256; length += 4) {
        const uint32_t q = board_data::list_wave_capacity(length);
        ASSERT_GE(q, 48673388u) << length;
        ASSERT_LE(q, 48673408u) << length;
    }
    // Lengths the board would refuse do not divide by zero.
    EXPECT_EQ(board_data::list_wave_capacity(0), 48673408u);
    EXPECT_EQ(board_data::list_wave_capacity(0xFFFFFFFFu), 0u);
}

TEST_F(board_data_test, full_list_wave_store_skips_whole_waveforms) {
    board_data_options o = quick_lock();
    o.list_wave_limit = 2;
    board_data board(o);
    board.set_list_wave_length(8);  // a skip is 9 units, 72 bytes

    header lost;
    lost.spectrum_id = 1;
    header kept;
    kept.spectrum_id = 2;
    // Units 0-1 fill the store. Unit 2 starts a skip over units 2-10, inside
    // which a statistics packet begins at unit 5; its header runs on to unit
    // 21, so units 11-21 are read as data: unit 11 skips 11-19 and unit 20
    // skips 20-28. The packet at unit 29 lies on a unit boundary and is read.
    bytes p = payload::join({payload::unit(100), payload::unit(101), payload::unit(102),
                             payload::unit(103), payload::unit(104),
                             payload::stats_packet(payload::list_wave_marker(), lost)});
    while (p.size() < 29 * 8) p = payload::join({p, payload::unit(200)});
    p = payload::join({p, payload::stats_packet(payload::list_wave_marker(), kept)});
    ASSERT_EQ(p.size(), 29 * 8 + 136u);

    board.UpdateListWaveData(p);
    EXPECT_EQ(globals::get_last_error(), EC_QUEUE_FULL);
    EXPECT_EQ(log.count("Functions", TRC,
                        "Functions. Maximum data in queue overcame. Discard next data."),
              3u);
    unsigned int id = 0;
    adv_stats stats{};
    std::vector<unsigned long> values(2);
    unsigned int size = 2;
    board.getLiveListWaveData(values.data(), nullptr, id, stats, size);
    EXPECT_EQ(values, (std::vector<unsigned long>{100, 101}));
    EXPECT_EQ(id, 2u) << "the packet inside the skipped stretch is lost";

    // Room again: the next units are taken, up to the ceiling.
    globals::set_last_error(EC_NONE);
    board.UpdateListWaveData(payload::join({payload::unit(4), payload::unit(5)}));
    EXPECT_EQ(board.list_wave_size(), 2u);
    EXPECT_EQ(globals::get_last_error(), EC_NONE);
}

TEST_F(board_data_test, list_payload_waits_for_a_reader_holding_the_lock) {
    board_data board(quick_lock());
    const auto waited = [&] {
        return log.count("Functions", ERR, "Functions. Update data lock error.");
    };
    auto holder = std::make_unique<lock_holder>(board);
    const auto start = std::chrono::steady_clock::now();
    std::thread decoder([&] {
        board.UpdateListData(payload::join({payload::unit(1), payload::unit(2)}));
    });
    while (waited() < 3 && std::chrono::steady_clock::now() - start < 10s) {
        std::this_thread::sleep_for(5ms);
    }
    const auto held_for = std::chrono::steady_clock::now() - start;
    holder.reset();
    decoder.join();
    EXPECT_GE(waited(), 3u);
    // One record per failed wait of 50 ms, not more.
    EXPECT_LE(waited(), static_cast<std::size_t>(held_for / 50ms) + 1);
    EXPECT_EQ(log.count("Functions", ERR, "Functions. Update data lock error. Data will be lost."),
              0u);
    EXPECT_EQ(take_list(board, 2), (std::vector<unsigned long>{1, 2}));
}

TEST_F(board_data_test, spectrum_and_waveform_payloads_are_dropped_when_the_lock_is_held) {
    struct drop_case {
        const char* name;
        std::function<void(board_data&)> decode;
    };
    const bytes record = payload::spectrum_record(numbered(1), 4096, {3});
    const drop_case cases[] = {
        {"single", [&](board_data& b) { b.UpdateSingleSpectData(record); }},
        {"map", [&](board_data& b) { b.UpdateMapData(record); }},
        {"wave",
         [&](board_data& b) {
             b.UpdateWaveData(payload::wave_words({5, 6}));
         }},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        const std::size_t before =
            log.count("Functions", ERR, "Functions. Update data lock error. Data will be lost.");
        {
            lock_holder holder(board);
            EXPECT_EQ(thrown_text<std::underflow_error>([&] { c.decode(board); }), "Lock error.")
                << c.name;
        }
        EXPECT_EQ(
            log.count("Functions", ERR, "Functions. Update data lock error. Data will be lost."),
            before + 1)
            << c.name;
        EXPECT_TRUE(board.spectra_snapshot().empty()) << c.name;
        EXPECT_EQ(board.wave_fill(), 0u) << c.name;
        EXPECT_EQ(board.mode(), boards::MAP_NORMAL_MODE) << c.name;
    }
}

// --- Reads -------------------------------------------------------------------------------------

TEST_F(board_data_test, reads_refuse_modes_they_do_not_serve) {
    const char* const any_read = "getAvailableData: wrong acquisition mode.";
    struct read_case {
        const char* name;
        std::vector<unsigned short> refused;
        const char* text;
        std::function<void(board_data&)> read;
    };
    std::vector<unsigned long> big(4096);
    std::vector<unsigned short> small(4096);
    const read_case cases[] = {
        {"getLiveData",
         {1, 2, 3, 5},
         any_read,
         [&](board_data& b) {
             unsigned int id, size = 4096;
             adv_stats s{};
             b.getLiveData(big.data(), id, s, size);
         }},
        {"getLiveListWaveData",
         {0, 1, 2, 3, 4, 5},
         any_read,
         [&](board_data& b) {
             unsigned int id, size = 0;
             adv_stats s{};
             b.getLiveListWaveData(big.data(), nullptr, id, s, size);
         }},
        {"getWaveData",
         {0, 1, 2, 4, 6},
         any_read,
         [&](board_data& b) {
             unsigned int size = 4096;
             b.getWaveData(small.data(), size);
         }},
        {"getAvailableData",
         {5},
         any_read,
         [&](board_data& b) {
             unsigned int available;
             b.getAvailableData(available);
         }},
        {"getAllData",
         {0, 3, 4, 5},
         "getAllData: wrong acquisition mode.",
         [&](board_data& b) {
             unsigned int ids[1], size = 4096, count = 0;
             adv_stats s[1];
             b.getAllData(small.data(), ids, s, size, count);
         }},
        {"getLiveDataMap",
         {0, 3, 4, 5},
         "getLiveDataMap: wrong acquisition mode.",
         [&](board_data& b) {
             unsigned int id, size = 4096;
             adv_stats s{};
             b.getLiveDataMap(small.data(), id, s, size);
         }},
    };
    for (const auto& c : cases) {
        for (unsigned short mode = 0; mode <= 6; ++mode) {
            board_data board(quick_lock());
            board.select_mode(mode);
            const bool refused =
                std::find(c.refused.begin(), c.refused.end(), mode) != c.refused.end();
            const std::string text = thrown_text<std::domain_error>([&] { c.read(board); });
            if (refused) {
                EXPECT_EQ(text, c.text) << c.name << " mode " << mode;
            } else {
                EXPECT_NE(text, c.text) << c.name << " mode " << mode;
            }
        }
    }
}

TEST_F(board_data_test, spectrum_reads_correct_a_wrong_size) {
    struct size_case {
        const char* name;
        unsigned short mode;
        const char* text;
        std::function<void(board_data&, unsigned int&)> read;
    };
    std::vector<unsigned long> big(4096);
    std::vector<unsigned short> small(4096);
    const size_case cases[] = {
        {"getLiveData", boards::NORMAL_MODE, "getData: spectra_size",
         [&](board_data& b, unsigned int& size) {
             unsigned int id;
             adv_stats s{};
             b.getLiveData(big.data(), id, s, size);
         }},
        {"getAllData", boards::MAP_NORMAL_MODE, "getAllData: spectra_size",
         [&](board_data& b, unsigned int& size) {
             unsigned int ids[1], count = 1;
             adv_stats s[1];
             b.getAllData(small.data(), ids, s, size, count);
         }},
        {"getLiveDataMap", boards::MAP_TRIGGER_MODE, "getLiveDataMap: spectra_size",
         [&](board_data& b, unsigned int& size) {
             unsigned int id;
             adv_stats s{};
             b.getLiveDataMap(small.data(), id, s, size);
         }},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(c.mode);
        board.set_spect_depth(2048);
        unsigned int size = 4096;
        EXPECT_EQ(thrown_text<std::out_of_range>([&] { c.read(board, size); }), c.text) << c.name;
        EXPECT_EQ(size, 2048u) << c.name;
    }
}

TEST_F(board_data_test, spectrum_reads_with_nothing_stored) {
    board_data board(quick_lock());
    board.set_spect_depth(1024);
    std::vector<unsigned long> big(1025, 0xABCD);
    unsigned int id = 77, size = 1024;
    adv_stats stats{};
    EXPECT_EQ(
        thrown_text<std::underflow_error>([&] { board.getLiveData(big.data(), id, stats, size); }),
        "getData: no spectrum available");
    EXPECT_EQ(std::count(big.begin(), big.begin() + 1024, 0UL), 1024);
    EXPECT_EQ(big[1024], 0xABCDu);
    EXPECT_EQ(id, 77u);

    board.select_mode(boards::MAP_NORMAL_MODE);
    std::vector<unsigned short> small(2049, 0xEEEE);
    unsigned int ids[2] = {5, 5};
    adv_stats many[2];
    unsigned int count = 1;
    EXPECT_EQ(thrown_text<std::underflow_error>(
                  [&] { board.getAllData(small.data(), ids, many, size, count); }),
              "getData: no spectrum available");
    EXPECT_EQ(std::count(small.begin(), small.begin() + 1024, 0), 1024);
    EXPECT_EQ(small[1024], 0xEEEE);
    EXPECT_EQ(thrown_text<std::underflow_error>(
                  [&] { board.getLiveDataMap(small.data(), id, stats, size); }),
              "getLiveDataMap: no spectrum available");
}

TEST_F(board_data_test, single_spectrum_is_never_counted_as_available) {
    board_data board(quick_lock());
    board.set_spect_depth(1024);
    board.UpdateSingleSpectData(payload::spectrum_record(numbered(1), 1024, {1}));
    header last = numbered(2);
    last.status = payload::last_data;
    board.UpdateSingleSpectData(payload::spectrum_record(last, 1024, {1}));
    unsigned int available = 99;
    board.getAvailableData(available);
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(log.count("Global", TRC, "GetAvailableData."), 1u);
    EXPECT_EQ(log.count("Global", TRC, "GetAvailableData Mutex retrieved."), 1u);
}

// A map store built in FreeRunning mode: one record per spectrum id, bin 0
// and bin 1 as given; `complete_newest` sends the last record as last data.
void fill_map(board_data& board, const std::vector<std::pair<uint16_t, uint16_t>>& records,
              bool complete_newest) {
    board.select_mode(boards::MAP_NORMAL_MODE);
    board.set_spect_depth(1024);
    uint16_t count = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        header h = numbered(++count, records[k].first);
        if (complete_newest && k + 1 == records.size())
            h.status = payload::last_data;
        board.UpdateMapData(payload::spectrum_record(h, 1024, {records[k].second, 1}));
    }
}

TEST_F(board_data_test, map_spectra_are_available_once_complete) {
    board_data board(quick_lock());
    fill_map(board, {{1, 0}, {2, 0}, {3, 0}}, false);
    unsigned int available = 0;
    board.getAvailableData(available);
    EXPECT_EQ(available, 2u);

    board.UpdateMapData(payload::spectrum_record(
        [] {
            header h = numbered(4, 3);
            h.status = payload::last_data;
            return h;
        }(),
        1024));
    board.getAvailableData(available);
    EXPECT_EQ(available, 3u);
}

TEST_F(board_data_test, get_all_data_hands_out_the_oldest_complete_spectra_once) {
    board_data board(quick_lock());
    // Two records of 35000 into spectrum 1 make 70000, beyond 16 bits.
    fill_map(board, {{1, 35000}, {1, 35000}, {2, 2}, {3, 3}}, false);

    constexpr unsigned int depth = 1024;
    std::vector<unsigned short> data(3 * depth, 0xEEEE);
    unsigned int ids[3] = {0, 0, 0xAAAA};
    adv_stats stats[3];
    stats[2].reserved = 0xAAAA;
    unsigned int size = depth;

    unsigned int count = 3;
    EXPECT_EQ(thrown_text<std::out_of_range>(
                  [&] { board.getAllData(data.data(), ids, stats, size, count); }),
              "getAllData: spectra_number");
    EXPECT_EQ(board.spectra_snapshot().size(), 3u) << "a refused request removes nothing";
    EXPECT_EQ(data[0], 0xEEEE);

    count = 2;
    board.getAllData(data.data(), ids, stats, size, count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(data[0], 4464u);  // 70000 cut to 16 bits
    EXPECT_EQ(data[1], 2u);
    EXPECT_EQ(data[depth], 2u);
    EXPECT_EQ(data[depth + 1], 1u);
    EXPECT_EQ(data[2 * depth], 0xEEEE) << "written past the spectra asked for";
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], 2u);
    EXPECT_EQ(ids[2], 0xAAAAu);
    EXPECT_EQ(stats[2].reserved, 0xAAAAu);
    const auto left = board.spectra_snapshot();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].spectrum_id, 3u);

    count = 1;
    EXPECT_EQ(thrown_text<std::out_of_range>(
                  [&] { board.getAllData(data.data(), ids, stats, size, count); }),
              "getAllData: spectra_number")
        << "the newest spectrum is still filling";
}

// Two readers at once, each asking for a little more than half of the stored
// spectra. The second one's check passes while the first is still taking
// spectra one by one, so it runs out before it has all it asked for: it must
// then say how many it handed out. Every spectrum goes to exactly one reader.
TEST_F(board_data_test, concurrent_get_all_data_hands_out_each_spectrum_once) {
    constexpr unsigned int depth = 64;  // small spectra: the test is about hand-out, not size
    constexpr unsigned int stored = 1000;
    constexpr unsigned int wanted = stored / 2 + 1;
    constexpr unsigned int no_id = 0xFFFF;
    // One record per spectrum id, bin 0 = id, the last one closing the newest.
    bytes records;
    for (uint16_t id = 1; id <= stored; ++id) {
        header h = numbered(id, id);
        if (id == stored)
            h.status = payload::last_data;
        const bytes record = payload::spectrum_record(h, depth, {id});
        records.insert(records.end(), record.begin(), record.end());
    }
    vxn_log_enabled = false;  // hundreds of records per round; their log is not the point here
    for (int round = 0; round < 30; ++round) {
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        board.set_spect_depth(depth);
        board.UpdateMapData(records);
        std::vector<unsigned int> taken;
        std::mutex taken_mutex;
        std::promise<void> go;
        std::shared_future<void> started = go.get_future().share();
        auto reader = [&] {
            std::vector<unsigned short> data(wanted * depth);
            std::vector<unsigned int> ids(wanted, no_id);
            std::vector<adv_stats> stats(wanted);
            unsigned int size = depth, count = wanted;
            started.wait();
            try {
                board.getAllData(data.data(), ids.data(), stats.data(), size, count);
            } catch (const std::out_of_range&) {
                count = 0;  // the other reader had already taken too many
            }
            std::lock_guard<std::mutex> l(taken_mutex);
            ASSERT_LE(count, wanted);
            for (unsigned int i = 0; i < count; ++i) {
                ASSERT_NE(ids[i], no_id) << "count names an entry that was not filled";
                ASSERT_EQ(data[std::size_t{i} * depth], ids[i]) << "bins of another spectrum";
                taken.push_back(ids[i]);
            }
        };
        std::thread a(reader), b(reader);
        go.set_value();
        a.join();
        b.join();
        std::sort(taken.begin(), taken.end());
        ASSERT_TRUE(std::adjacent_find(taken.begin(), taken.end()) == taken.end())
            << "a spectrum was handed out twice";
        ASSERT_EQ(taken.size() + board.spectra_snapshot().size(), stored) << "a spectrum was lost";
    }
}

TEST_F(board_data_test, get_live_data_map_returns_the_second_newest_and_keeps_it) {
    board_data board(quick_lock());
    fill_map(board, {{1, 70}}, false);
    std::vector<unsigned short> data(1024, 0xEEEE);
    unsigned int id = 0, size = 1024;
    adv_stats stats{};
    EXPECT_EQ(thrown_text<std::underflow_error>(
                  [&] { board.getLiveDataMap(data.data(), id, stats, size); }),
              "getLiveDataMap: no spectrum available");

    board.UpdateMapData(payload::spectrum_record(numbered(2, 2), 1024, {80}));
    board.getLiveDataMap(data.data(), id, stats, size);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(data[0], 70u);
    board.getLiveDataMap(data.data(), id, stats, size);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(board.spectra_snapshot().size(), 2u);
}

TEST_F(board_data_test, map_statistics_are_differences_over_the_map_point) {
    board_data board(quick_lock());
    board.select_mode(boards::MAP_NORMAL_MODE);
    board.set_spect_depth(1024);
    header start = numbered(1, 1);
    start.time = 1000;
    start.detected = 10;
    start.measured = 100;
    start.zerocounts = 3;
    start.baselines_value = 50;  // not kept as start statistics
    header end = numbered(2, 2);
    end.time = 101000;
    end.detected = 5;  // the counter wrapped
    end.measured = 150;
    end.edge_dt = 7;
    end.filt1_dt = 8;
    end.zerocounts = 4;
    end.baselines_value = 60;
    end.pup_value = 61;
    end.pup_f1_value = 62;
    end.pup_notf1_value = 63;
    end.reset_counter_value = 64;
    end.word8 = 0x1234ABCD;
    end.word9 = 9;
    end.word10 = 10;
    end.word11 = 11;
    end.word12 = 12;
    end.word13 = 13;
    board.UpdateMapData(
        payload::join({payload::spectrum_record(start, 1024), payload::spectrum_record(end, 1024),
                       payload::spectrum_record(numbered(3, 3), 1024)}));
    std::vector<unsigned short> data(1024);
    unsigned int id = 0, size = 1024;
    adv_stats s{};
    board.getLiveDataMap(data.data(), id, s, size);
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(s.reserved, 0u);
    EXPECT_EQ(s.time, 101000u);
    EXPECT_EQ(s.period, 100000u);
    EXPECT_EQ(std::vector<uint32_t>({s.detected, s.measured, s.edge_dt, s.filt1_dt, s.zerocounts,
                                     s.baselines_value, s.pup_value, s.pup_f1_value,
                                     s.pup_notf1_value, s.reset_counter_value}),
              std::vector<uint32_t>({0xFFFFFFFB, 50, 7, 8, 1, 60, 61, 62, 63, 64}));
    EXPECT_EQ(s.header_word8, 0xBCDu);
    EXPECT_EQ(std::vector<uint32_t>({s.header_word9, s.header_word10, s.header_word11,
                                     s.header_word12, s.header_word13}),
              std::vector<uint32_t>({9, 10, 11, 12, 13}));
}

TEST_F(board_data_test, aux_flags_follow_the_gating_mode_at_read_time) {
    struct aux_case {
        uint32_t gating;
        bool next, curr;
        std::vector<int> flags;
    };
    const aux_case cases[] = {
        {TriggerRising, true, false, {1, 0, 0, 0}}, {TriggerFalling, false, true, {0, 1, 0, 0}},
        {TriggerBoth, true, true, {1, 1, 0, 0}},    {FreeRunning, true, false, {0, 0, 0, 1}},
        {FreeRunning, false, true, {0, 0, 1, 0}},   {GatedHigh, true, false, {0, 0, 0, 1}},
        {GatedHigh, false, true, {0, 0, 1, 0}},     {GatedLow, true, true, {0, 0, 1, 0}},
        {GatedLow, false, false, {0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(boards::MAP_NORMAL_MODE);
        board.set_spect_depth(1024);
        header h = numbered(1, 1);
        h.next_aux = c.next;
        h.curr_aux = c.curr;
        board.UpdateMapData(payload::join(
            {payload::spectrum_record(h, 1024), payload::spectrum_record(numbered(2, 2), 1024)}));
        board.set_gating_mode(c.gating);
        std::vector<unsigned short> data(1024);
        unsigned int id = 0, size = 1024;
        adv_stats s{};
        board.getLiveDataMap(data.data(), id, s, size);
        EXPECT_EQ(std::vector<int>(s.aux_flags, s.aux_flags + 4), c.flags)
            << "gating " << c.gating << " N" << c.next << " C" << c.curr;
    }
}

TEST_F(board_data_test, list_reads_take_values_from_the_front) {
    board_data board(quick_lock());
    bytes p;
    for (unsigned long v = 1; v <= 10; ++v) p = payload::join({p, payload::unit(v)});
    board.UpdateListData(p);

    EXPECT_EQ(take_list(board, 4), (std::vector<unsigned long>{1, 2, 3, 4}));
    std::vector<unsigned long> out(7, 0xABCD);
    unsigned int id = 0, size = 7;
    adv_stats stats{};
    EXPECT_EQ(
        thrown_text<std::out_of_range>([&] { board.getLiveData(out.data(), id, stats, size); }),
        "getData: data number");
    EXPECT_EQ(out[0], 0xABCDu);
    unsigned int available = 0;
    board.getAvailableData(available);
    EXPECT_EQ(available, 6u);
    EXPECT_EQ(take_list(board, 6), (std::vector<unsigned long>{5, 6, 7, 8, 9, 10}));

    size = 0;
    EXPECT_EQ(
        thrown_text<std::underflow_error>([&] { board.getLiveData(out.data(), id, stats, size); }),
        "getData: no spectrum available");
    EXPECT_EQ(log.count("Global", TRC, "GetLiveData List mode."), 4u);
    EXPECT_EQ(log.count("Global", TRC, "Mutex retrieved List mode."), 2u);
}

TEST_F(board_data_test, reads_report_a_lock_they_cannot_get) {
    struct lock_case {
        const char* name;
        unsigned short mode;
        bool lock_error_expected;  // else std::underflow_error "Lock error."
        std::function<void(board_data&)> read;
    };
    std::vector<unsigned long> big(4096);
    std::vector<unsigned short> small(4096);
    const lock_case cases[] = {
        {"getLiveData spectrum", boards::NORMAL_MODE, false,
         [&](board_data& b) {
             unsigned int id, size = 4096;
             adv_stats s{};
             b.getLiveData(big.data(), id, s, size);
         }},
        {"getLiveData list", boards::LIST_MODE, false,
         [&](board_data& b) {
             unsigned int id, size = 1;
             adv_stats s{};
             b.getLiveData(big.data(), id, s, size);
         }},
        {"getLiveListWaveData", boards::LIST_WAVE_MODE, false,
         [&](board_data& b) {
             unsigned int id, size = 1;
             adv_stats s{};
             b.getLiveListWaveData(big.data(), nullptr, id, s, size);
         }},
        {"getWaveData", boards::ANALOG_MODE, false,
         [&](board_data& b) {
             unsigned int size = 4096;
             b.getWaveData(small.data(), size);
         }},
        {"getLiveDataMap", boards::MAP_NORMAL_MODE, false,
         [&](board_data& b) {
             unsigned int id, size = 4096;
             adv_stats s{};
             b.getLiveDataMap(small.data(), id, s, size);
         }},
        {"getAvailableData", boards::NORMAL_MODE, true,
         [&](board_data& b) {
             unsigned int available;
             b.getAvailableData(available);
         }},
        {"getAllData", boards::MAP_NORMAL_MODE, true,
         [&](board_data& b) {
             unsigned int ids[1], size = 4096, count = 1;
             adv_stats s[1];
             b.getAllData(small.data(), ids, s, size, count);
         }},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(c.mode);
        // A value to read, so that the list reads get as far as the lock.
        if (c.mode == boards::LIST_MODE)
            board.UpdateListData(payload::unit(1));
        if (c.mode == boards::LIST_WAVE_MODE)
            board.UpdateListWaveData(payload::unit(1));
        lock_holder holder(board);
        if (c.lock_error_expected) {
            try {
                c.read(board);
                ADD_FAILURE() << c.name << ": nothing thrown";
            } catch (const lock_error& e) {
                EXPECT_EQ(e.getError(), EC_DATA_LOCK) << c.name;
            } catch (const std::exception& e) {
                ADD_FAILURE() << c.name << ": " << e.what();
            }
        } else {
            EXPECT_EQ(thrown_text<std::underflow_error>([&] { c.read(board); }), "Lock error.")
                << c.name;
        }
    }
    EXPECT_EQ(log.count("Global", TRC, "GetAvailableData Mutex error."), 1u);
}

// --- Resets --------------------------------------------------------------------------------------

struct store_contents {
    std::size_t spectra;
    std::size_t list;
    std::size_t list_wave;
    std::size_t wave_fill;
    bool last_data;
};

store_contents contents(board_data& board) {
    bool last = false;
    board.isLastDataReceived(last);
    return {board.spectra_snapshot().size(), board.list_size(), board.list_wave_size(),
            board.wave_fill(), last};
}

void fill_every_store(board_data& board) {
    board.set_spect_depth(1024);
    header h = numbered(1);
    h.status = payload::last_data;
    board.UpdateSingleSpectData(payload::spectrum_record(h, 1024, {1}));
    board.UpdateWaveData(payload::wave_words({1, 2, 3, 4}));
    board.UpdateListWaveData(payload::join({payload::unit(1), payload::unit(2)}));
    board.UpdateListData(payload::join({payload::unit(1), payload::unit(2), payload::unit(3)}));
}

TEST_F(board_data_test, resets_empty_the_stores_they_own) {
    struct reset_case {
        const char* name;
        std::function<void(board_data&)> reset;
        store_contents after;
    };
    const reset_case cases[] = {
        {"clear", [](board_data& b) { b.clear(); }, {0, 0, 0, 0, false}},
        {"select_mode list",
         [](board_data& b) { b.select_mode(boards::LIST_MODE); },
         {0, 0, 0, 0, false}},
        {"select_mode waveform keeps the spectra",
         [](board_data& b) { b.select_mode(boards::ANALOG_MODE); },
         {1, 0, 0, 0, true}},
        {"set_spect_depth drops only the spectra",
         [](board_data& b) { b.set_spect_depth(2048); },
         {0, 3, 2, 4, true}},
        {"resize_waveform restarts the buffer",
         [](board_data& b) { b.resize_waveform(100); },
         {1, 3, 2, 0, true}},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        fill_every_store(board);
        const store_contents before = contents(board);
        ASSERT_EQ(before.spectra, 1u);
        ASSERT_EQ(before.list, 3u);
        ASSERT_EQ(before.list_wave, 2u);
        ASSERT_EQ(before.wave_fill, 4u);
        ASSERT_TRUE(before.last_data);
        c.reset(board);
        const store_contents after = contents(board);
        EXPECT_EQ(after.spectra, c.after.spectra) << c.name;
        EXPECT_EQ(after.list, c.after.list) << c.name;
        EXPECT_EQ(after.list_wave, c.after.list_wave) << c.name;
        EXPECT_EQ(after.wave_fill, c.after.wave_fill) << c.name;
        EXPECT_EQ(after.last_data, c.after.last_data) << c.name;
    }
}

TEST_F(board_data_test, resets_zero_the_waveform_and_the_list_statistics) {
    board_data board(quick_lock());
    header h;
    h.spectrum_id = 5;
    h.time = 99;
    board.UpdateListData(
        payload::join({payload::stats_packet(payload::list_marker(), h), payload::unit(1)}));
    board.select_mode(boards::LIST_MODE);
    board.UpdateListData(payload::unit(2));
    unsigned int id = 77;
    adv_stats stats{};
    EXPECT_EQ(take_list(board, 1, &id, &stats), std::vector<unsigned long>{2});
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(stats.time, 0u);

    board.UpdateWaveData(payload::wave_words({7, 7}));
    board.select_mode(boards::ANALOG_MODE);
    std::vector<unsigned short> data(4096, 0xEEEE);
    unsigned int size = 4096;
    board.getWaveData(data.data(), size);
    EXPECT_EQ(std::count(data.begin(), data.begin() + 4095, 0), 4095);
}

TEST_F(board_data_test, decoders_record_their_mode) {
    struct mode_case {
        std::function<void(board_data&)> decode;
        unsigned short mode;
    };
    const mode_case cases[] = {
        {[](board_data& b) { b.UpdateSingleSpectData({}); }, boards::NORMAL_MODE},
        {[](board_data& b) { b.UpdateWaveData({}); }, boards::ANALOG_MODE},
        {[](board_data& b) { b.UpdateListData({}); }, boards::LIST_MODE},
        {[](board_data& b) { b.UpdateListWaveData({}); }, boards::LIST_WAVE_MODE},
    };
    for (const auto& c : cases) {
        board_data board(quick_lock());
        board.select_mode(boards::MAP_TRIGGER_MODE);
        c.decode(board);
        EXPECT_EQ(board.mode(), c.mode);
    }
    board_data board(quick_lock());
    board.select_mode(boards::MAP_TRIGGER_MODE);
    board.UpdateMapData({});
    EXPECT_EQ(board.mode(), boards::MAP_TRIGGER_MODE) << "the map decoder keeps the map mode";
}

TEST_F(board_data_test, defaults) {
    board_data board;
    EXPECT_EQ(board.mode(), boards::NORMAL_MODE);
    EXPECT_EQ(board.depth(), 4096u);
    EXPECT_EQ(board.gating_mode(), 0u);
    EXPECT_EQ(board.list_wave_length(), 0u);
    EXPECT_EQ(board.wave_samples(), 4096u);
    EXPECT_EQ(board.wave_fill(), 0u);
    board.set_list_wave_length(12);
    EXPECT_EQ(board.list_wave_length(), 12u);
}

}  // namespace
