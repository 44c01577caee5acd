#include "dpp_math.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "InfInt.h"

namespace dpp_math {

namespace {

constexpr double sample_time = 8e-9;
constexpr double sqrt_two_pi = 2.5066282746310002;
// Points times kernel taps of the rise-time simulation; about a second of
// work at most.
constexpr double simulation_budget = 2e8;

}  // namespace

uint32_t trunc32(double value, const char* what) {
    if (!std::isfinite(value) || std::fabs(value) >= 9.2e18)
        throw std::out_of_range(what);
    return static_cast<uint32_t>(static_cast<int64_t>(value));
}

void validate(const configuration& cfg) {
    if (!std::isfinite(cfg.gain) || cfg.gain == 0)
        throw std::out_of_range("configure: gain");
    if (!std::isfinite(cfg.max_risetime) || cfg.max_risetime < 0)
        throw std::out_of_range("configure: max_risetime");
    if (cfg.max_risetime != 0) {
        // Without a peaking time the kernel is all zeros (or empty) and the
        // filter never responds: there is no figure to compute.
        if (cfg.edge_peaking_time == 0)
            throw std::out_of_range("configure: max_risetime with no fast filter");
        const double kernel = 2.0 * cfg.edge_peaking_time + cfg.edge_flat_top;
        const double points = 20.0 * cfg.max_risetime + 1;
        if (points * kernel > simulation_budget)
            throw std::out_of_range("configure: max_risetime");
    }
    if (cfg.max_peaking_time == 0 && cfg.peaking_time == 0)
        throw std::out_of_range("configure: peaking_time");
}

uint32_t rise_time_figure(const configuration& cfg) {
    const double T = cfg.max_risetime * sample_time;
    const double mu = 10 * T;
    const double sigma = T / 6;
    const double A = 4000 / cfg.gain / sqrt_two_pi / sigma * sample_time;

    // The time axis, built by repeated addition as the board's firmware
    // designers tabulated it.
    std::vector<double> t;
    const double end = 20 * T;
    for (double v = 0; v <= end; v += sample_time) t.push_back(v);

    // The preamplifier step: the integral of a Gaussian current pulse.
    std::vector<double> y(t.size(), 0.0);
    for (size_t i = 1; i < t.size(); ++i) {
        const double z = (t[i - 1] - mu) / sigma;
        y[i] = y[i - 1] + A * std::exp(-0.5 * z * z);
    }

    // The fast trapezoidal filter: +1 over the peaking time, 0 over the flat
    // top, -1 over the peaking time again.
    std::vector<double> h;
    h.insert(h.end(), cfg.edge_peaking_time, 1.0);
    h.insert(h.end(), cfg.edge_flat_top, 0.0);
    h.insert(h.end(), cfg.edge_peaking_time, -1.0);

    double above = 0;
    double peak = 0;
    for (size_t n = 0; n < y.size(); ++n) {
        double out = 0;
        for (size_t k = 0; k < h.size() && k <= n; ++k) out += h[k] * y[n - k];
        if (out > cfg.fast_filter_thr)
            above += out;
        peak = std::max(peak, out);
    }
    return trunc32(above / peak * 1024, "configure: max_risetime");
}

uint32_t decay_factor(double time_constant) {
    return trunc32(std::round(std::exp(-sample_time / time_constant) * 33554432.0),
                   "configure: time_constant");
}

std::array<uint32_t, 8> baseline_stages(const std::array<uint16_t, 16>& table, uint32_t B,
                                        uint32_t P) {
    if (std::find(table.begin() + 1, table.begin() + 8, B) == table.begin() + 8)
        throw std::out_of_range("configure: baseline samples");
    std::array<uint32_t, 8> L{};
    for (int k = 1; k < 8; ++k) {
        const uint32_t t = table[k];
        if (B == P) {
            L[k] = t == B ? t : 0;
        } else if (B > P) {
            if (t == B)
                L[k] = t;
            else if (t > B)
                L[k] = 0;
            else if (t < P)
                L[k] = 2 * t > P ? P : 0;
            else
                L[k] = t;
        } else if (table[7] <= P) {
            L[k] = t >= B ? t : 0;
        } else {
            if (t == B)
                L[k] = t;
            else if (t < B)
                L[k] = 0;
            else if (t <= P)
                L[k] = t;
            else
                L[k] = t / 2 < P ? P : 0;
        }
    }
    return L;
}

line_fit_weights baseline_weights(uint32_t N) {
    InfInt x = 12;
    x *= InfInt(1ul << 46);
    // N^3 - N, as a product: N (N - 1) (N + 1).
    InfInt denominator = static_cast<unsigned long>(N);
    denominator *= InfInt(static_cast<unsigned long>(N) - 1);
    denominator *= InfInt(static_cast<unsigned long>(N) + 1);
    x /= denominator;

    InfInt y = 6;
    y *= InfInt(1ul << 37);
    InfInt pairs = static_cast<unsigned long>(N);
    pairs *= InfInt(static_cast<unsigned long>(N) + 1);
    y /= pairs;
    return {x.toUnsignedLongLong(), y.toUnsignedLongLong()};
}

}  // namespace dpp_math
