// The conversions of the exported data functions from a board's adv_stats.
#include "data_conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Ten counters with distinct values, so a swapped pair shows.
adv_stats counters_101_to_110() {
    adv_stats s{};
    s.detected = 101;
    s.measured = 102;
    s.edge_dt = 103;
    s.filt1_dt = 104;
    s.zerocounts = 105;
    s.baselines_value = 106;
    s.pup_value = 107;
    s.pup_f1_value = 108;
    s.pup_notf1_value = 109;
    s.reset_counter_value = 110;
    return s;
}

void expect_counters_copied(const statistics& out, const adv_stats& in) {
    EXPECT_EQ(out.detected, in.detected);
    EXPECT_EQ(out.measured, in.measured);
    EXPECT_EQ(out.edge_dt, in.edge_dt);
    EXPECT_EQ(out.filt1_dt, in.filt1_dt);
    EXPECT_EQ(out.zerocounts, in.zerocounts);
    EXPECT_EQ(out.baselines_value, in.baselines_value);
    EXPECT_EQ(out.pup_value, in.pup_value);
    EXPECT_EQ(out.pup_f1_value, in.pup_f1_value);
    EXPECT_EQ(out.pup_notf1_value, in.pup_notf1_value);
    EXPECT_EQ(out.reset_counter_value, in.reset_counter_value);
}

TEST(to_statistics, rates_from_the_time_counter) {
    adv_stats s{};
    s.time = 1000000;
    s.filt1_dt = 1000;
    s.measured = 50000;
    const statistics out = to_statistics(s);
    EXPECT_EQ(out.real_time, 1000000u);
    EXPECT_EQ(out.last_timestamp, 1000000u);
    EXPECT_EQ(out.live_time, 996000u);
    EXPECT_NEAR(out.ICR, 50.2008032, 1e-6);
    EXPECT_DOUBLE_EQ(out.OCR, 50.0);
}

TEST(to_statistics, copies_the_counters_in_order) {
    adv_stats s = counters_101_to_110();
    s.time = 1u << 20;
    expect_counters_copied(to_statistics(s), s);
}

TEST(to_statistics, live_time_is_64_bit_and_wraps_when_the_dead_time_exceeds_the_time) {
    adv_stats s{};
    s.time = 0x200000000ULL;   // above 32 bits
    s.filt1_dt = 0x40000000u;  // four times this is 2^32: a 32-bit product would be 0
    EXPECT_EQ(to_statistics(s).live_time, 0x200000000ULL - 0x100000000ULL);

    s.time = 100;
    s.filt1_dt = 30;
    EXPECT_EQ(to_statistics(s).live_time, uint64_t{100} - 120);  // wraps, as the API promises
}

TEST(to_statistics, zero_time_gives_unguarded_floating_results) {
    adv_stats s{};
    s.measured = 5;
    const statistics out = to_statistics(s);
    EXPECT_TRUE(std::isinf(out.ICR));
    EXPECT_TRUE(std::isinf(out.OCR));
    s.measured = 0;
    EXPECT_TRUE(std::isnan(to_statistics(s).OCR));
}

TEST(to_map_statistics, rates_from_the_period) {
    struct map_case {
        uint32_t period;
        uint32_t filt1_dt;
        uint32_t measured;
        uint64_t live_time;
        double icr;  // NAN: infinite expected
        double ocr;
    };
    const map_case cases[] = {
        {100000, 1000, 5000, 96000, 5000.0 / 96000 * 1000, 50.0},
        {4000, 1000, 10, 0, NAN, 2.5},  // dead time equals the period
        {3999, 1000, 10, 0, NAN, 10.0 / 3999 * 1000},
        // The product is taken at 32 bits: 4 x 0x40000001 is 4.
        {100, 0x40000001u, 10, 96, 10.0 / 96 * 1000, 100.0},
    };
    for (const auto& c : cases) {
        adv_stats s = counters_101_to_110();
        s.time = 0x123456789ULL;
        s.period = c.period;
        s.filt1_dt = c.filt1_dt;
        s.measured = c.measured;
        const statistics out = to_map_statistics(s);
        EXPECT_EQ(out.real_time, c.period);
        EXPECT_EQ(out.last_timestamp, 0x123456789ULL);
        EXPECT_EQ(out.live_time, c.live_time) << c.period;
        if (std::isnan(c.icr)) {
            EXPECT_TRUE(std::isinf(out.ICR)) << c.period;
        } else {
            EXPECT_DOUBLE_EQ(out.ICR, c.icr) << c.period;
        }
        EXPECT_DOUBLE_EQ(out.OCR, c.ocr) << c.period;
        expect_counters_copied(out, s);
    }
}

adv_stats all_data_entry(uint32_t base) {
    adv_stats s{};
    s.reserved = base + 11;
    s.time = (uint64_t{1} << 40) + base;
    s.period = 100000 + base;
    s.detected = base + 1;
    s.measured = 5000 + base;
    s.edge_dt = base + 3;
    s.filt1_dt = 1000 + base;
    s.zerocounts = base + 5;
    s.baselines_value = base + 6;
    s.pup_value = base + 7;
    s.pup_f1_value = base + 8;
    s.pup_notf1_value = base + 9;
    s.reset_counter_value = base + 10;
    s.header_word9 = base + 12;
    s.header_word8 = base + 13;
    s.aux_flags[0] = 1;
    s.aux_flags[1] = 0;
    s.aux_flags[2] = 1;
    s.aux_flags[3] = 1;
    s.header_word11 = base + 18;
    s.header_word10 = base + 19;
    s.header_word13 = base + 20;
    s.header_word12 = base + 21;
    return s;
}

TEST(fill_all_data_arrays, three_entries_fill_12_rates_and_66_counters) {
    const adv_stats entries[3] = {all_data_entry(0), all_data_entry(100), all_data_entry(200)};
    std::vector<double> rates(13, -1.0);
    std::vector<unsigned long> counters(67, 0xAAAA);
    fill_all_data_arrays(entries, 3, rates.data(), counters.data());

    for (unsigned int i = 0; i < 3; ++i) {
        const adv_stats& s = entries[i];
        const double* r = &rates[4 * i];
        const double live = static_cast<double>(s.period) - 4.0 * s.filt1_dt;
        EXPECT_DOUBLE_EQ(r[0], s.period);
        EXPECT_DOUBLE_EQ(r[1], live);
        EXPECT_DOUBLE_EQ(r[2], s.measured / live * 1000);
        EXPECT_DOUBLE_EQ(r[3], static_cast<double>(s.measured) / s.period * 1000);

        const unsigned long* c = &counters[22 * i];
        const std::vector<unsigned long> expected = {s.time,
                                                     s.detected,
                                                     s.measured,
                                                     s.edge_dt,
                                                     s.filt1_dt,
                                                     s.zerocounts,
                                                     s.baselines_value,
                                                     s.pup_value,
                                                     s.pup_f1_value,
                                                     s.pup_notf1_value,
                                                     s.reset_counter_value,
                                                     s.reserved,
                                                     s.header_word9,
                                                     s.header_word8,
                                                     1,
                                                     0,
                                                     1,
                                                     1,
                                                     s.header_word11,
                                                     s.header_word10,
                                                     s.header_word13,
                                                     s.header_word12};
        EXPECT_EQ(std::vector<unsigned long>(c, c + 22), expected) << "entry " << i;
    }
    EXPECT_EQ(rates[12], -1.0);
    EXPECT_EQ(counters[66], 0xAAAAu);
}

TEST(fill_all_data_arrays, live_time_is_0_when_the_dead_time_covers_the_period) {
    adv_stats s = all_data_entry(0);
    s.period = 1000;
    s.filt1_dt = 300;
    double rates[4];
    unsigned long counters[22];
    fill_all_data_arrays(&s, 1, rates, counters);
    EXPECT_EQ(rates[1], 0.0);
    EXPECT_TRUE(std::isinf(rates[2]));
}

TEST(fill_all_data_arrays, count_0_writes_nothing) {
    const adv_stats s = all_data_entry(0);
    double rate = -1.0;
    unsigned long counter = 7;
    fill_all_data_arrays(&s, 0, &rate, &counter);
    EXPECT_EQ(rate, -1.0);
    EXPECT_EQ(counter, 7u);
}

}  // namespace
