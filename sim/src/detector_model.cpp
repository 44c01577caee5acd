#include "vxnsim/detector_model.h"

#include <algorithm>
#include <cmath>

namespace vxnsim {

namespace {

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

constexpr double kPi = 3.14159265358979323846;
constexpr double kBaseline = 2000.0;

}  // namespace

uint64_t mix_seed(uint64_t seed, uint64_t a, uint64_t b) {
    uint64_t x = seed;
    uint64_t h = splitmix(x);
    x = h ^ (a * 0xD6E8FEB86659FD93ull);
    h = splitmix(x);
    x = h ^ (b * 0xA0761D6478BD642Full);
    return splitmix(x);
}

Rng::Rng(uint64_t seed) {
    uint64_t x = seed;
    for (auto& s : s_) {
        s = splitmix(x);
    }
}

uint64_t Rng::next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Rng::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

double Rng::gauss() {
    const double u1 = 1.0 - uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

double Rng::exponential() {
    return -std::log(1.0 - uniform());
}

uint64_t Rng::poisson(double mean) {
    if (mean <= 0) {
        return 0;
    }
    if (mean < 30) {
        const double limit = std::exp(-mean);
        uint64_t k = 0;
        double p = uniform();
        while (p > limit) {
            ++k;
            p *= uniform();
        }
        return k;
    }
    // Large means: the normal approximation is indistinguishable here.
    const double v = std::round(mean + std::sqrt(mean) * gauss());
    return v < 0 ? 0 : static_cast<uint64_t>(v);
}

SpectrumShape::SpectrumShape(unsigned depth, uint64_t variant)
    : probability_(depth), alias_threshold_(depth), alias_(depth) {
    Rng rng(mix_seed(variant, 0x5eed));
    const double gain = 1.0 + 0.01 * (rng.uniform() - 0.5);
    // Line positions as fractions of the range, with relative intensities,
    // a light-element pair, a heavier pair and one high line.
    struct Line {
        double position;
        double intensity;
    };
    const Line lines[] = {{0.110, 1.00}, {0.122, 0.18}, {0.320, 0.55},
                          {0.355, 0.10}, {0.610, 0.25}, {0.780, 0.06}};
    const double d = depth;
    for (unsigned c = 0; c < depth; ++c) {
        const double x = (c + 0.5) / d;
        // Continuum: falling bremsstrahlung-like background plus a small
        // noise peak at the low end.
        double v = 0.004 * std::exp(-x / 0.35) + 0.0008;
        v += 0.02 * std::exp(-0.5 * std::pow(x / 0.006, 2));
        for (const Line& line : lines) {
            const double mu = line.position * gain;
            // Width grows with energy like a semiconductor detector's.
            const double sigma = 0.0025 + 0.004 * std::sqrt(mu);
            v += line.intensity * 0.01 / sigma * std::exp(-0.5 * std::pow((x - mu) / sigma, 2));
        }
        probability_[c] = v;
    }
    double total = 0;
    for (double p : probability_) {
        total += p;
    }
    for (double& p : probability_) {
        p /= total;
    }
    // Walker's alias method.
    std::vector<double> scaled(depth);
    std::vector<uint32_t> small, large;
    for (unsigned c = 0; c < depth; ++c) {
        scaled[c] = probability_[c] * d;
        (scaled[c] < 1.0 ? small : large).push_back(c);
    }
    while (!small.empty() && !large.empty()) {
        const uint32_t s = small.back();
        small.pop_back();
        const uint32_t l = large.back();
        alias_threshold_[s] = scaled[s];
        alias_[s] = l;
        scaled[l] -= 1.0 - scaled[s];
        if (scaled[l] < 1.0) {
            large.pop_back();
            small.push_back(l);
        }
    }
    for (uint32_t c : small) {
        alias_threshold_[c] = 1.0;
        alias_[c] = c;
    }
    for (uint32_t c : large) {
        alias_threshold_[c] = 1.0;
        alias_[c] = c;
    }
}

unsigned SpectrumShape::draw(Rng& rng) const {
    const double u = rng.uniform() * static_cast<double>(alias_.size());
    const auto c = static_cast<unsigned>(u);
    return (u - c) < alias_threshold_[c] ? c : alias_[c];
}

void SpectrumShape::fill(Rng& rng, double mean_counts, std::vector<uint32_t>& bins) const {
    bins.assign(depth(), 0);
    if (mean_counts <= 4.0 * depth()) {
        const uint64_t n = rng.poisson(mean_counts);
        for (uint64_t i = 0; i < n; ++i) {
            ++bins[draw(rng)];
        }
        return;
    }
    for (unsigned c = 0; c < depth(); ++c) {
        bins[c] = static_cast<uint32_t>(rng.poisson(mean_counts * probability_[c]));
    }
}

CounterModel::CounterModel(double input_rate) : input_rate_(input_rate) {
    const double kept = std::exp(-input_rate * 0.5e-6);
    output_rate_ = input_rate * kept;
    rejected_per_measured_ = (1.0 - kept) / kept;
}

Statistics CounterModel::at(uint64_t time_us, uint64_t measured) const {
    Statistics s;
    s.time_us = time_us;
    const double rejected = std::floor(static_cast<double>(measured) * rejected_per_measured_);
    const double detected = static_cast<double>(measured) + rejected;
    const double seconds = static_cast<double>(time_us) * 1e-6;
    s.detected = static_cast<uint32_t>(static_cast<uint64_t>(detected));
    s.measured = static_cast<uint32_t>(measured);
    s.pileup = static_cast<uint32_t>(static_cast<uint64_t>(rejected));
    s.pileup_f1 = static_cast<uint32_t>(static_cast<uint64_t>(std::floor(rejected * 0.6)));
    s.pileup_not_f1 = s.pileup - s.pileup_f1;
    s.filt1_dt = static_cast<uint32_t>(static_cast<uint64_t>(detected * 0.4 / 4.0));
    s.edge_dt = static_cast<uint32_t>(static_cast<uint64_t>(detected * 0.1 / 4.0));
    s.zerocounts = static_cast<uint32_t>(static_cast<uint64_t>(std::floor(detected * 0.01)));
    s.baselines = static_cast<uint32_t>(kBaseline);
    s.resets = static_cast<uint32_t>(static_cast<uint64_t>(seconds * 500.0));
    (void)input_rate_;
    return s;
}

PulseSynth::PulseSynth(const SpectrumShape& shape, double rate, unsigned decimation, uint64_t seed)
    : shape_(shape), rng_(seed), noise_(1024), sample_ns_(10.0 * std::max(1u, decimation)) {
    for (double& n : noise_) {
        n = 2.0 * rng_.gauss();
    }
    mean_gap_samples_ = 1e9 / (rate * sample_ns_);
    next_pulse_in_ = rng_.exponential() * mean_gap_samples_;
    // Shaped pulses: 2 us decay, so that pulses stand on the baseline
    // instead of piling into a ramp at high rates.
    decay_ = std::exp(-sample_ns_ / 2000.0);
}

void PulseSynth::samples(uint16_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        next_pulse_in_ -= 1.0;
        while (next_pulse_in_ <= 0) {
            tail_ += 2.0 * shape_.draw(rng_) * 4096.0 / shape_.depth();
            next_pulse_in_ += rng_.exponential() * mean_gap_samples_;
        }
        tail_ *= decay_;
        const double v = kBaseline + tail_ + noise();
        out[i] = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
    }
}

void PulseSynth::pulse(unsigned channel, uint16_t* out, std::size_t count) {
    const double amplitude = 2.0 * channel * 4096.0 / shape_.depth();
    double tail = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == 8) {
            tail = amplitude;
        }
        const double v = kBaseline + tail + noise();
        out[i] = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
        tail *= decay_;
    }
}

}  // namespace vxnsim
