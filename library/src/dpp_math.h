// The arithmetic that turns a configuration record into DPP parameter values.
// Pure functions: no board, no register access.
#pragma once

#include <array>
#include <cstdint>

#include "VXN_DPP.h"

namespace dpp_math {

// A double cut toward zero, keeping the low 32 bits. std::out_of_range
// `what` when the value is not finite or beyond the 64-bit range, where the
// cut has no meaning.
uint32_t trunc32(double value, const char* what);

// Refuses, before anything is written, a record whose numbers make the
// parameters meaningless: a gain of 0 or not finite; a rise-time limit that is
// negative, not finite, too long to simulate in bounded time, or set without
// a fast-filter peaking time; a peaking time of 0 where it divides the gain.
// std::out_of_range naming the field.
void validate(const configuration& cfg);

// Parameter 207 for a non-zero max_risetime: how long the fast filter's
// response to a step as slow as the limit stays above the fast threshold,
// relative to its peak, times 1024.
uint32_t rise_time_figure(const configuration& cfg);

// Parameter 209: the preamplifier decay per 8 ns sample in 2^25 units.
uint32_t decay_factor(double time_constant);

// Baseline stage lengths L[0..7] for `baseline_samples` B and the peaking
// time P, from the board's table of lengths T[0..7]. std::out_of_range
// "configure: baseline samples" when B is not one of T[1..7].
std::array<uint32_t, 8> baseline_stages(const std::array<uint16_t, 16>& table,
                                        uint32_t baseline_samples, uint32_t peaking_time);

// The fixed-point weights of a least-squares line over N samples:
// X = 12 * 2^46 / (N^3 - N) and Y = 6 * 2^37 / (N (N + 1)), truncated.
struct line_fit_weights {
    uint64_t x;
    uint64_t y;
};
line_fit_weights baseline_weights(uint32_t samples);

}  // namespace dpp_math
