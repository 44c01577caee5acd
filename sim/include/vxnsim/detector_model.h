// What a detector and its pulse processor would produce: a spectrum of a few
// Gaussian lines on a continuum, Poisson counting, pile-up and dead time,
// pulses on a baseline. Everything is drawn from a seeded generator so that
// a seed gives the same data every time.
#pragma once

#include <cstdint>
#include <vector>

#include "vxnsim/records.h"

namespace vxnsim {

// xoshiro256**: fast, and the same sequence on every platform.
class Rng {
  public:
    explicit Rng(uint64_t seed);
    uint64_t next();
    double uniform();  // [0, 1)
    double gauss();    // mean 0, sigma 1
    double exponential();
    uint64_t poisson(double mean);

  private:
    uint64_t s_[4];
};

// Mixes a seed with stream numbers (board index, purpose) into a new seed.
uint64_t mix_seed(uint64_t seed, uint64_t a, uint64_t b = 0);

// Expected shape of a board's spectrum over `depth` channels, with Walker's
// alias table for drawing channels in constant time.
class SpectrumShape {
  public:
    // `variant` shifts the lines slightly, as boards' gains differ.
    SpectrumShape(unsigned depth, uint64_t variant);
    unsigned depth() const { return static_cast<unsigned>(probability_.size()); }
    double probability(unsigned channel) const { return probability_[channel]; }
    unsigned draw(Rng& rng) const;
    // Adds a Poisson number of counts with the given mean to `bins`.
    void fill(Rng& rng, double mean_counts, std::vector<uint32_t>& bins) const;

  private:
    std::vector<double> probability_;
    std::vector<double> alias_threshold_;
    std::vector<uint32_t> alias_;
};

// Turns elapsed time and processed counts into the board's counters. Dead
// time and pile-up follow the input rate: an input rate R loses a fraction
// 1 - exp(-R * 0.5 us) to pile-up and each detected pulse keeps the energy
// filter busy for 0.4 us (filt1_dt counts 4 us units, hence time - 4 *
// filt1_dt is live time).
class CounterModel {
  public:
    explicit CounterModel(double input_rate);
    // Output (measured) counts per second for the input rate.
    double output_rate() const { return output_rate_; }
    Statistics at(uint64_t time_us, uint64_t measured) const;

  private:
    double input_rate_;
    double output_rate_;
    double rejected_per_measured_;
};

// A preamplifier-like signal: exponential pulses on a noisy baseline.
class PulseSynth {
  public:
    PulseSynth(const SpectrumShape& shape, double rate, unsigned decimation, uint64_t seed);
    // Next `count` samples of the continuous signal.
    void samples(uint16_t* out, std::size_t count);
    // One pulse of the given energy channel starting at sample 8 of `count`.
    void pulse(unsigned channel, uint16_t* out, std::size_t count);

  private:
    double noise() { return noise_[rng_.next() >> 54]; }

    const SpectrumShape& shape_;
    Rng rng_;
    std::vector<double> noise_;  // 1024 Gaussian draws, cheaper than one per sample
    double sample_ns_;
    double mean_gap_samples_;
    double next_pulse_in_;
    double tail_ = 0;
    double decay_;
};

}  // namespace vxnsim
