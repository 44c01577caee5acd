// Acquisitions in every mode from simulated chains, read out through the
// shared library and checked against what the simulator says it sent.
// Addresses 127.0.26.x.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "VXN_DPP.h"
#include "api_peer.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using vxntest::boards_of;
using vxntest::eventually;
using vxntest::last_error;
using vxntest::start_sim;

class acquisition : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(InitLibrary()); }
    void TearDown() override { CloseLibrary(); }

    void connect(const char* ip, unsigned boards, double rate = 100000) {
        vxnsim::ChainOptions o;
        o.ip = ip;
        o.boards = boards;
        o.count_rate = rate;
        sim = std::make_unique<vxnsim::SimChain>(o);
        sim->start();
        add_to_query(ip);
        ASSERT_TRUE(eventually([&] { return boards_of(ip) == int(boards); }, 20s));
        resetLastError();
    }
    // Waits until the board has received its last data.
    void wait_last_data(const char* ip, unsigned short board) {
        ASSERT_TRUE(sim->wait_acquisition_end(20s));
        ASSERT_TRUE(eventually(
            [&] {
                bool received = false;
                return isLastDataReceived(ip, board, received) && received;
            },
            10s));
    }
    // Reads list (or list-wave) values until the board's last data was read.
    std::vector<unsigned long> drain(const char* ip, unsigned short board, bool list_wave) {
        std::vector<unsigned long> all;
        std::vector<unsigned long> buffer;
        bool last = false;
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < end) {
            // List-wave data carries no last-data mark: the simulator says
            // when everything was sent.
            if (!last)
                last = list_wave ? !sim->acquiring() && sim->acquisitions_ended() > 0 &&
                                       all.size() >= sim->sent(board).listwave_units
                                 : isLastDataReceived(ip, board, last) && last;
            unsigned int available = 0;
            EXPECT_TRUE(getAvailableData(ip, board, available));
            if (available == 0) {
                if (last)
                    break;
                std::this_thread::sleep_for(5ms);
                continue;
            }
            buffer.assign(available, 0);
            unsigned int id = 0, size = available;
            statistics stats{};
            const bool ok =
                list_wave ? getListWaveData(ip, board, buffer.data(), nullptr, id, stats, size)
                          : getData(ip, board, buffer.data(), id, stats, size);
            EXPECT_TRUE(ok);
            all.insert(all.end(), buffer.begin(), buffer.end());
        }
        return all;
    }
    std::unique_ptr<vxnsim::SimChain> sim;
};

TEST_F(acquisition, single_spectrum) {
    connect("127.0.26.2", 2);
    ASSERT_NE(start("127.0.26.2", 0.5, 1024), 0u);
    for (unsigned short b = 0; b < 2; ++b) {
        wait_last_data("127.0.26.2", b);
        std::vector<unsigned long> bins(4096, 7);
        unsigned int id = 99, size = 4096;
        statistics stats{};
        EXPECT_FALSE(getData("127.0.26.2", b, bins.data(), id, stats, size));
        EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
        EXPECT_EQ(size, 1024u);
        ASSERT_TRUE(getData("127.0.26.2", b, bins.data(), id, stats, size));
        const unsigned long counts = std::accumulate(bins.begin(), bins.begin() + 1024, 0ul);
        EXPECT_GT(counts, 10000u);
        EXPECT_EQ(bins[1024], 7u);  // nothing past the spectrum
        EXPECT_EQ(stats.real_time, 500000u);
        EXPECT_LT(stats.live_time, stats.real_time);
        EXPECT_GT(stats.ICR, stats.OCR);
        EXPECT_GT(stats.OCR, 10.0);  // counts per millisecond
        EXPECT_LE(stats.measured, stats.detected);
        // A second read gives the same spectrum: it stays in the store.
        std::vector<unsigned long> again(1024);
        ASSERT_TRUE(getData("127.0.26.2", b, again.data(), id, stats, size));
        EXPECT_TRUE(std::equal(again.begin(), again.end(), bins.begin()));
        unsigned int available = 9;
        ASSERT_TRUE(getAvailableData("127.0.26.2", b, available));
        EXPECT_EQ(available, 0u);
    }
    unsigned short code = last_error();
    EXPECT_TRUE(code == EC_NONE || code == EC_OUT_OF_RANGE) << code;
}

TEST_F(acquisition, timed_map) {
    connect("127.0.26.3", 2);
    ASSERT_NE(start_map("127.0.26.3", 100, 6, 2048), 0u);
    for (unsigned short b = 0; b < 2; ++b) {
        wait_last_data("127.0.26.3", b);
        unsigned int available = 0;
        ASSERT_TRUE(getAvailableData("127.0.26.3", b, available));
        EXPECT_EQ(available, 6u);
        std::vector<unsigned short> live(2048);
        unsigned int id = 0, size = 2048;
        statistics point{};
        ASSERT_TRUE(getLiveDataMap("127.0.26.3", b, live.data(), id, point, size));
        EXPECT_EQ(point.real_time, 100000u);  // one point of 100 ms

        unsigned int count = available;
        std::vector<unsigned short> data(count * 2048);
        std::vector<unsigned int> ids(count);
        std::vector<double> rates(4 * count);
        std::vector<unsigned long> counters(22 * count);
        ASSERT_TRUE(getAllData("127.0.26.3", b, data.data(), ids.data(), rates.data(),
                               counters.data(), size, count));
        ASSERT_EQ(count, 6u);
        for (unsigned int k = 0; k < count; ++k) {
            EXPECT_EQ(ids[k], k);
            EXPECT_EQ(rates[4 * k], 100000.0);               // the period of every point
            EXPECT_EQ(counters[22 * k], 100000u * (k + 1));  // its end time
        }
        ASSERT_TRUE(getAvailableData("127.0.26.3", b, available));
        EXPECT_EQ(available, 0u);
    }
    EXPECT_EQ(sim->sent(0).map_records, sim->sent(1).map_records);
    EXPECT_NE(last_error(), EC_MISSED_SPECTRUM);
}

TEST_F(acquisition, list_events_are_all_delivered_once_in_order) {
    connect("127.0.26.4", 2, 200000);
    ASSERT_NE(start_list("127.0.26.4", 0.5), 0u);
    for (unsigned short b = 0; b < 2; ++b) {
        const auto events = drain("127.0.26.4", b, false);
        EXPECT_EQ(events.size(), sim->sent(b).list_events) << "board " << b;
        EXPECT_GT(events.size(), 50000u);
        // Time stamps (bits 16-61) rise: nothing duplicated, nothing reordered.
        for (size_t k = 1; k < events.size(); ++k)
            ASSERT_LT((events[k - 1] >> 16) & ((1ul << 46) - 1),
                      (events[k] >> 16) & ((1ul << 46) - 1))
                << "at " << k;
    }
    EXPECT_NE(last_error(), EC_PAYLOAD_LENGTH);
}

TEST_F(acquisition, list_wave_units_are_all_delivered) {
    connect("127.0.26.5", 1, 20000);
    ASSERT_NE(start_listwave("127.0.26.5", 0.4, 1, 16, 0), 0u);
    const auto units = drain("127.0.26.5", 0, true);
    ASSERT_TRUE(sim->wait_acquisition_end(10s));
    EXPECT_EQ(units.size(), sim->sent(0).listwave_units);
    EXPECT_GT(units.size(), 1000u);
}

TEST_F(acquisition, waveform) {
    connect("127.0.26.6", 1);
    ASSERT_NE(start_waveform("127.0.26.6", 3, 1, 0, 0, 0.2, 1), 0u);
    ASSERT_TRUE(sim->wait_acquisition_end(20s));
    ASSERT_TRUE(eventually(
        [&] {
            unsigned int available = 0;
            return getAvailableData("127.0.26.6", 0, available) && available == 16384;
        },
        10s));
    EXPECT_EQ(sim->sent(0).waveform_samples, 16384u);
    std::vector<unsigned short> samples(16384, 0xFFFF);
    unsigned int size = 16384;
    ASSERT_TRUE(getWaveData("127.0.26.6", 0, samples.data(), size));
    EXPECT_EQ(samples.back(), 0xFFFF);  // the last slot is never filled
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end() - 1);
    EXPECT_LT(*low, *high);  // pulses on a baseline, not a flat line
    // Wrong mode for a list read.
    std::vector<unsigned long> events(1);
    unsigned int id = 0, one = 1;
    statistics stats{};
    EXPECT_FALSE(getData("127.0.26.6", 0, events.data(), id, stats, one));
    EXPECT_EQ(last_error(), EC_WRONG_MODE);
}

TEST_F(acquisition, data_read_refusals) {
    connect("127.0.26.7", 1);
    std::vector<unsigned long> bins(4096);
    unsigned int id = 0, size = 4096;
    statistics stats{};
    stats.real_time = 12345;
    // Nothing acquired yet: success, zeros, statistics untouched.
    ASSERT_TRUE(getData("127.0.26.7", 0, bins.data(), id, stats, size));
    EXPECT_EQ(stats.real_time, 12345u);
    EXPECT_FALSE(getData("127.0.26.7", 1, bins.data(), id, stats, size));
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    EXPECT_FALSE(getData("127.0.26.70", 0, bins.data(), id, stats, size));
    EXPECT_EQ(last_error(), EC_UNKNOWN_IDENTIFIER);
    EXPECT_FALSE(getData("127.0.26.7", 0, nullptr, id, stats, size));
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    unsigned short map[4096];
    EXPECT_FALSE(getLiveDataMap("127.0.26.7", 0, map, id, stats, size));
    EXPECT_EQ(last_error(), EC_WRONG_MODE);
}

}  // namespace
