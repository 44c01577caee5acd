// The conversions with which the exported data functions turn a board's
// adv_stats into what the application receives. Pure functions.
//
// Rates are counts per millisecond from microsecond times. Divisions are made
// in double precision and are deliberately not guarded: a zero time gives
// infinity or not-a-number, which tells the application more than a made-up 0.
#pragma once

#include "VXN_DPP.h"
#include "spectrum.h"

// getData and getListWaveData: the statistics of a whole acquisition (or of
// the list block), timed by the board's time counter.
statistics to_statistics(const adv_stats& s);

// getLiveDataMap: the statistics of one map point, timed by its period.
statistics to_map_statistics(const adv_stats& s);

// getAllData: for each of the `count` records, four rates at rates[4 i]
// (period, live time, ICR, OCR) and 22 counters at counters[22 i] (time, the
// ten counters, reserved, header words 9 and 8, the four aux flags, header
// words 11, 10, 13, 12). Nothing is written for count 0.
void fill_all_data_arrays(const adv_stats* stats, unsigned int count, double* rates,
                          unsigned long* counters);
