// The records in which a board keeps acquired spectra and their statistics.
//
// stats_block is the counter set that every spectrum record header carries;
// a spectrum keeps four of them because single-spectrum and map acquisitions
// derive their statistics differently (running sums versus the difference
// between the first and the last record of a map point). adv_stats is what a
// board read hands to the exported data functions, which turn it into the
// public `statistics` record or into plain arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Time counter and the ten counters of a record header, in wire order.
struct stats_block {
    uint64_t time = 0;  // microseconds
    uint32_t detected = 0;
    uint32_t measured = 0;
    uint32_t edge_dt = 0;
    uint32_t filt1_dt = 0;
    uint32_t zerocounts = 0;
    uint32_t baselines_value = 0;
    uint32_t pup_value = 0;
    uint32_t pup_f1_value = 0;
    uint32_t pup_notf1_value = 0;
    uint32_t reset_counter_value = 0;

    // The board's counters wrap, so sums and differences wrap with them.
    stats_block& operator+=(const stats_block& other) {
        time += other.time;
        detected += other.detected;
        measured += other.measured;
        edge_dt += other.edge_dt;
        filt1_dt += other.filt1_dt;
        zerocounts += other.zerocounts;
        baselines_value += other.baselines_value;
        pup_value += other.pup_value;
        pup_f1_value += other.pup_f1_value;
        pup_notf1_value += other.pup_notf1_value;
        reset_counter_value += other.reset_counter_value;
        return *this;
    }

    friend bool operator==(const stats_block& a, const stats_block& b) {
        return a.time == b.time && a.detected == b.detected && a.measured == b.measured &&
               a.edge_dt == b.edge_dt && a.filt1_dt == b.filt1_dt && a.zerocounts == b.zerocounts &&
               a.baselines_value == b.baselines_value && a.pup_value == b.pup_value &&
               a.pup_f1_value == b.pup_f1_value && a.pup_notf1_value == b.pup_notf1_value &&
               a.reset_counter_value == b.reset_counter_value;
    }
    friend bool operator!=(const stats_block& a, const stats_block& b) { return !(a == b); }
};

// Statistics as a board read returns them. Which fields a read fills depends
// on the kind of data (single spectrum, list, map point); a read leaves the
// others as the caller had them.
struct adv_stats {
    uint32_t reserved;  // 0 wherever a read sets it
    uint64_t time;      // board time counter, microseconds
    uint32_t period;    // map: length of the map point, microseconds (low 32 bits)
    uint32_t detected;
    uint32_t measured;
    uint32_t edge_dt;
    uint32_t filt1_dt;
    uint32_t zerocounts;
    uint32_t baselines_value;
    uint32_t pup_value;
    uint32_t pup_f1_value;
    uint32_t pup_notf1_value;
    uint32_t reset_counter_value;
    uint32_t header_word9;
    uint32_t header_word8;  // map: low 12 bits of the record's header word 8
    uint8_t aux_flags[4];   // map: auxiliary input states, 0 or 1 each
    uint32_t header_word11;
    uint32_t header_word10;
    uint32_t header_word13;
    uint32_t header_word12;
};

// One spectrum of the store: bins accumulated in place plus what the decoders
// recorded from the last record saved into it. T is the bin type.
template <typename T>
struct spectrum {
    explicit spectrum(uint32_t bins_wanted = 4096) : bin_count(bins_wanted), bins(bins_wanted, 0) {}

    // Adds `value` to bin `bin`. A bin index the spectrum does not have changes
    // nothing and gives false, so a record longer than the spectrum cannot
    // write past it.
    bool add(unsigned int bin, T value) {
        if (bin >= bin_count || bin >= bins.size()) {
            return false;
        }
        bins[bin] += value;
        return true;
    }

    // Closes the spectrum: the running statistics move into the totals.
    // `current` is zero afterwards, which makes a repeated call harmless.
    void set_complete() {
        total += current;
        current = stats_block{};
        complete = true;
    }

    uint32_t bin_count;
    std::vector<T> bins;
    uint16_t packet_count = 0;
    uint16_t spectrum_id = 0;
    uint32_t header_word8 = 0;
    uint32_t header_word9 = 0;
    uint32_t header_word10 = 0;
    uint32_t header_word11 = 0;
    uint32_t header_word12 = 0;
    uint32_t header_word13 = 0;
    uint32_t next_aux = 0;  // map: auxiliary input bits of the last record saved
    uint32_t curr_aux = 0;
    stats_block total;    // single spectrum: sum of completed `current` blocks
    stats_block current;  // single spectrum: statistics of the newest record
    stats_block start;    // map: statistics when the map point began
    stats_block end;      // map: statistics of the last record of the map point
    bool complete = false;
};
