// The arithmetic of configure, against references computed here from the
// definitions, and the big-integer type it uses.
#include "dpp_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "InfInt.h"

namespace {

configuration record(double max_risetime, double gain, uint32_t edge_peaking_time,
                     uint32_t edge_flat_top, uint32_t fast_filter_thr) {
    configuration cfg{};
    cfg.max_risetime = max_risetime;
    cfg.gain = gain;
    cfg.edge_peaking_time = edge_peaking_time;
    cfg.edge_flat_top = edge_flat_top;
    cfg.fast_filter_thr = fast_filter_thr;
    cfg.peaking_time = 10;
    return cfg;
}

// The rise-time figure straight from its definition: a Gaussian current
// pulse integrated into a step, filtered by the full convolution with the
// trapezoid kernel, and the part of the response above the threshold
// relative to its peak.
uint32_t reference_figure(const configuration& c) {
    const double dt = 8e-9;
    const double T = c.max_risetime * dt, mu = 10 * T, sigma = T / 6;
    const double A = 4000 / c.gain / std::sqrt(2 * M_PI) / sigma * dt;
    std::vector<double> t;
    for (double v = 0; v <= 20 * T; v += dt) t.push_back(v);
    std::vector<double> y(t.size());
    for (size_t i = 1; i < y.size(); ++i)
        y[i] = y[i - 1] + A * std::exp(-0.5 * std::pow((t[i - 1] - mu) / sigma, 2));
    const long P = c.edge_peaking_time, F = c.edge_flat_top;
    auto h = [&](long k) { return k < P ? 1.0 : k < P + F ? 0.0 : -1.0; };
    double S = 0, M = 0;
    for (long n = 0; n < long(y.size()); ++n) {
        double out = 0;
        for (long k = 0; k < 2 * P + F && k <= n; ++k) out += h(k) * y[n - k];
        if (out > c.fast_filter_thr)
            S += out;
        M = std::max(M, out);
    }
    return static_cast<uint32_t>(static_cast<int64_t>(S / M * 1024));
}

TEST(dpp_math, rise_time_figure_matches_its_definition) {
    const configuration records[] = {
        record(40, 1, 8, 2, 100),  // a realistic set-up
        record(40, 1, 8, 2, 0),   record(12, 2.5, 4, 0, 30), record(100, 0.5, 16, 5, 1000),
        record(3, 1, 1, 1, 10),   record(40, 1, 1, 0, 5),
    };
    for (const auto& c : records) {
        const uint32_t figure = dpp_math::rise_time_figure(c);
        EXPECT_EQ(figure, reference_figure(c))
            << c.max_risetime << " " << c.gain << " " << c.edge_peaking_time << " "
            << c.edge_flat_top << " " << c.fast_filter_thr;
        EXPECT_GT(figure, 0u);
    }
    // With a threshold of 0 every positive output counts: the area over the peak.
    EXPECT_GT(dpp_math::rise_time_figure(record(40, 1, 8, 2, 0)),
              dpp_math::rise_time_figure(record(40, 1, 8, 2, 100)));
}

TEST(dpp_math, records_that_make_no_sense_are_refused) {
    const configuration ok = record(40, 1, 8, 2, 100);
    EXPECT_NO_THROW(dpp_math::validate(ok));
    struct bad_case {
        const char* what;
        configuration cfg;
    };
    std::vector<bad_case> cases;
    auto with = [&](const char* what, auto change) {
        configuration c = ok;
        change(c);
        cases.push_back({what, c});
    };
    with("empty fast-filter kernel",
         [](configuration& c) { c.edge_peaking_time = c.edge_flat_top = 0; });
    with("fast-filter kernel of zeros only", [](configuration& c) { c.edge_peaking_time = 0; });
    with("negative rise-time limit", [](configuration& c) { c.max_risetime = -1; });
    with("rise-time limit not a number", [](configuration& c) { c.max_risetime = NAN; });
    with("rise-time limit beyond any simulation", [](configuration& c) { c.max_risetime = 1e9; });
    with("gain 0", [](configuration& c) { c.gain = 0; });
    with("gain infinite", [](configuration& c) { c.gain = INFINITY; });
    with("peaking time 0 divides the gain", [](configuration& c) { c.peaking_time = 0; });
    for (const auto& c : cases)
        EXPECT_THROW(dpp_math::validate(c.cfg), std::out_of_range) << c.what;

    configuration no_limit = ok;
    no_limit.max_risetime = 0;
    no_limit.edge_peaking_time = no_limit.edge_flat_top = 0;  // no simulation: fine
    EXPECT_NO_THROW(dpp_math::validate(no_limit));
}

TEST(dpp_math, decay_factor) {
    EXPECT_EQ(dpp_math::decay_factor(0), 0u);
    EXPECT_EQ(dpp_math::decay_factor(50e-6),
              uint32_t(std::llround(std::exp(-8e-9 / 50e-6) * 33554432.0)));
    EXPECT_THROW(dpp_math::decay_factor(-1e-12), std::out_of_range);
}

TEST(dpp_math, trunc32_cuts_toward_zero_and_keeps_the_low_bits) {
    EXPECT_EQ(dpp_math::trunc32(2.9, "x"), 2u);
    EXPECT_EQ(dpp_math::trunc32(-2.9, "x"), uint32_t(-2));
    EXPECT_EQ(dpp_math::trunc32(4294967296.0 + 5, "x"), 5u);
    EXPECT_THROW(dpp_math::trunc32(NAN, "x"), std::out_of_range);
    EXPECT_THROW(dpp_math::trunc32(1e30, "x"), std::out_of_range);
}

const std::array<uint16_t, 16> table{0, 8, 16, 32, 64, 128, 256, 512, 1};

struct stage_case {
    uint32_t B, P;
    std::array<uint32_t, 8> L;
};

TEST(dpp_math, baseline_stages_for_each_relation_of_length_and_peaking_time) {
    const stage_case cases[] = {
        {64, 64, {0, 0, 0, 0, 64, 0, 0, 0}},  // B = P
        // B > P: below P a length becomes P when twice it passes P, else 0.
        {64, 20, {0, 0, 20, 32, 64, 0, 0, 0}},
        {64, 10, {0, 10, 16, 32, 64, 0, 0, 0}},
        {16, 600, {0, 0, 16, 32, 64, 128, 256, 512}},  // B < P, 512 <= P
        // B < P < 512: above P a length becomes P while its half is below P.
        {16, 100, {0, 0, 16, 32, 64, 100, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dpp_math::baseline_stages(table, c.B, c.P), c.L) << c.B << "/" << c.P;
    EXPECT_THROW(dpp_math::baseline_stages(table, 100, 64), std::out_of_range);
    EXPECT_THROW(dpp_math::baseline_stages(table, 0, 64), std::out_of_range);
}

TEST(dpp_math, baseline_weights_are_exact) {
    const auto w8 = dpp_math::baseline_weights(8);
    EXPECT_EQ(w8.x, (12ull << 46) / 504);
    EXPECT_EQ(w8.y, (6ull << 37) / 72);
    for (uint32_t N : {16u, 64u, 512u, 1000u}) {
        const auto w = dpp_math::baseline_weights(N);
        const unsigned __int128 n = N;
        EXPECT_EQ(w.x, uint64_t((unsigned __int128)(12ull << 46) / (n * n * n - n))) << N;
        EXPECT_EQ(w.y, uint64_t((unsigned __int128)(6ull << 37) / (n * (n + 1)))) << N;
    }
}

TEST(InfInt, products_and_quotients_agree_with_128_bit_arithmetic) {
    std::mt19937_64 random(7);
    for (int k = 0; k < 2000; ++k) {
        const long a = static_cast<long>(random() >> (1 + random() % 40)) * (k % 3 == 0 ? -1 : 1);
        const unsigned long b = (random() >> (1 + random() % 40)) | 1;
        const unsigned long c = (random() >> (20 + random() % 40)) | 1;
        InfInt x = a;
        x *= InfInt(b);
        x /= InfInt(c);
        const __int128 expected = static_cast<__int128>(a) * static_cast<__int128>(b) /
                                  static_cast<__int128>(c);  // truncates toward zero too
        if (expected >= 0 && expected <= static_cast<__int128>(~0ull)) {
            EXPECT_EQ(x.toUnsignedLongLong(), static_cast<unsigned long long>(expected));
        } else if (expected < 0) {
            EXPECT_TRUE(x.is_negative());
            EXPECT_THROW(x.toUnsignedLongLong(), std::out_of_range);
        } else {
            EXPECT_THROW(x.toUnsignedLongLong(), std::out_of_range);
        }
    }
}

TEST(InfInt, edges) {
    InfInt zero = 0;
    EXPECT_TRUE(zero.is_zero());
    EXPECT_EQ(zero.toUnsignedLongLong(), 0u);
    InfInt minus = -7;
    minus /= InfInt(2);
    EXPECT_TRUE(minus.is_negative());  // -3, truncated toward zero
    minus *= InfInt(-1);
    EXPECT_EQ(minus.toUnsignedLongLong(), 3u);
    InfInt max = static_cast<unsigned long>(~0ul);
    EXPECT_EQ(max.toUnsignedLongLong(), ~0ull);
    max *= InfInt(2);
    EXPECT_THROW(max.toUnsignedLongLong(), std::out_of_range);
    InfInt lowest = static_cast<long>(INT64_MIN);
    lowest /= InfInt(-1);  // 2^63
    EXPECT_EQ(lowest.toUnsignedLongLong(), 1ull << 63);
    EXPECT_THROW(InfInt(1) /= InfInt(0), std::domain_error);
}

}  // namespace
