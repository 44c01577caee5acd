// What a board handed to the connections, per kind of data.
#pragma once

#include <cstdint>

namespace vxnsim {

struct DataCounters {
    uint64_t spectrum_records = 0;  // records in 0xD2 frames
    uint64_t map_records = 0;       // records in 0xD6 frames
    uint64_t list_events = 0;       // event units in 0xD4 frames
    uint64_t list_stats = 0;        // statistics packets in 0xD4 frames
    uint64_t waveform_samples = 0;  // samples in 0xD3 frames
    uint64_t listwave_units = 0;    // data units (events and their samples) in 0xD5 frames
    uint64_t listwave_stats = 0;    // statistics packets in 0xD5 frames
    uint64_t frames = 0;            // data frames of any kind

    DataCounters& operator+=(const DataCounters& o) {
        spectrum_records += o.spectrum_records;
        map_records += o.map_records;
        list_events += o.list_events;
        list_stats += o.list_stats;
        waveform_samples += o.waveform_samples;
        listwave_units += o.listwave_units;
        listwave_stats += o.listwave_stats;
        frames += o.frames;
        return *this;
    }
    bool operator==(const DataCounters& o) const {
        return spectrum_records == o.spectrum_records && map_records == o.map_records &&
               list_events == o.list_events && list_stats == o.list_stats &&
               waveform_samples == o.waveform_samples && listwave_units == o.listwave_units &&
               listwave_stats == o.listwave_stats && frames == o.frames;
    }
    bool operator!=(const DataCounters& o) const { return !(*this == o); }
};

}  // namespace vxnsim
