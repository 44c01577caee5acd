#include "data_conversions.h"

#include <cstddef>

namespace {

// Live time of a map point: its period less four times the fast filter's
// dead time, or 0 when the dead time covers the whole period. The product is
// taken at the counters' own 32-bit width.
uint32_t map_live_time(const adv_stats& s) {
    const uint32_t dead = 4u * s.filt1_dt;
    return s.period >= dead ? s.period - dead : 0;
}

double per_ms(uint32_t counts, double microseconds) {
    return static_cast<double>(counts) / microseconds * 1000.0;
}

void copy_counters(statistics& out, const adv_stats& s) {
    out.detected = s.detected;
    out.measured = s.measured;
    out.edge_dt = s.edge_dt;
    out.filt1_dt = s.filt1_dt;
    out.zerocounts = s.zerocounts;
    out.baselines_value = s.baselines_value;
    out.pup_value = s.pup_value;
    out.pup_f1_value = s.pup_f1_value;
    out.pup_notf1_value = s.pup_notf1_value;
    out.reset_counter_value = s.reset_counter_value;
}

}  // namespace

statistics to_statistics(const adv_stats& s) {
    statistics out{};
    out.real_time = s.time;
    out.last_timestamp = s.time;
    // 64-bit arithmetic throughout, wrapping like the board's counters.
    out.live_time = s.time - 4 * uint64_t{s.filt1_dt};
    out.ICR = per_ms(s.measured, static_cast<double>(out.live_time));
    out.OCR = per_ms(s.measured, static_cast<double>(out.real_time));
    copy_counters(out, s);
    return out;
}

statistics to_map_statistics(const adv_stats& s) {
    statistics out{};
    out.real_time = s.period;
    out.last_timestamp = s.time;
    out.live_time = map_live_time(s);
    out.ICR = per_ms(s.measured, static_cast<double>(out.live_time));
    out.OCR = per_ms(s.measured, static_cast<double>(s.period));
    copy_counters(out, s);
    return out;
}

void fill_all_data_arrays(const adv_stats* stats, unsigned int count, double* rates,
                          unsigned long* counters) {
    for (unsigned int i = 0; i < count; ++i) {
        const adv_stats& s = stats[i];
        double* r = rates + 4 * std::size_t{i};
        const uint32_t live = map_live_time(s);
        r[0] = static_cast<double>(s.period);
        r[1] = static_cast<double>(live);
        r[2] = per_ms(s.measured, static_cast<double>(live));
        r[3] = per_ms(s.measured, static_cast<double>(s.period));

        unsigned long* c = counters + 22 * std::size_t{i};
        c[0] = s.time;
        c[1] = s.detected;
        c[2] = s.measured;
        c[3] = s.edge_dt;
        c[4] = s.filt1_dt;
        c[5] = s.zerocounts;
        c[6] = s.baselines_value;
        c[7] = s.pup_value;
        c[8] = s.pup_f1_value;
        c[9] = s.pup_notf1_value;
        c[10] = s.reset_counter_value;
        c[11] = s.reserved;
        c[12] = s.header_word9;
        c[13] = s.header_word8;
        c[14] = s.aux_flags[0];
        c[15] = s.aux_flags[1];
        c[16] = s.aux_flags[2];
        c[17] = s.aux_flags[3];
        c[18] = s.header_word11;
        c[19] = s.header_word10;
        c[20] = s.header_word13;
        c[21] = s.header_word12;
    }
}
