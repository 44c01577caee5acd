// What one board has acquired, and the operations on it.
//
// The dispatcher thread decodes the payloads a board sends (spectrum records,
// map records, waveform words, list and list-wave units) into the stores
// below; the application's threads copy data out through the read operations,
// and the acquisition-control worker resets the stores between acquisitions.
// The board object owns one board_data and forwards its data operations here.
//
// Locking: every store is guarded by data_mutex_, a leaf lock (nothing else
// is taken while it is held). Decoders hold it for a whole payload; reads hold
// it only while they look at or change a store, because the spectrum and
// waveform decoders give up (and lose the payload) when they cannot get it in
// time. The mode, depth, gating mode, list-wave length and the two end flags
// are read without the lock, so they are atomics.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "list_store.h"
#include "spectrum.h"

struct board_data_options {
    // Longest wait for the data lock wherever a wait is bounded.
    std::chrono::milliseconds lock_wait{2000};
    // Ceiling of the list-wave store in values. Unset: the ceiling that
    // list_wave_capacity() computes from the list-wave length in force.
    std::optional<uint32_t> list_wave_limit;
};

class board_data {
  public:
    board_data();
    explicit board_data(const board_data_options& options);
    board_data(const board_data&) = delete;
    board_data& operator=(const board_data&) = delete;

    // --- Decoders (dispatcher thread) ---------------------------------------
    // Spectrum and waveform payloads are dropped with std::underflow_error
    // "Lock error." when the data lock is not had in time; list and list-wave
    // payloads wait for it as long as it takes.
    void UpdateSingleSpectData(const std::vector<unsigned char>& bytes);
    void UpdateMapData(const std::vector<unsigned char>& bytes);
    void UpdateWaveData(const std::vector<unsigned char>& bytes);
    void UpdateListData(const std::vector<unsigned char>& bytes);
    void UpdateListWaveData(const std::vector<unsigned char>& bytes);

    // --- Reads (application threads) ----------------------------------------
    // Wrong mode: std::domain_error; wrong size or count: std::out_of_range
    // (a wrong `size` is replaced by the right one); nothing stored or lock not
    // had: std::underflow_error, except getAvailableData and getAllData, which
    // throw lock_error(EC_DATA_LOCK) for the lock.
    void getLiveData(unsigned long* data, unsigned int& spectrum_id, adv_stats& stats,
                     unsigned int& size);
    void getLiveListWaveData(unsigned long* data, unsigned long* second_data,
                             unsigned int& spectrum_id, adv_stats& stats, unsigned int& size);
    void getWaveData(unsigned short* data, unsigned int& size);
    void getAvailableData(unsigned int& available);
    // `count` spectra are wanted and the caller has room for `count` x depth
    // bins, `count` ids and `count` records. On return `count` is the number
    // actually handed out, which can only be smaller when another reader took
    // spectra meanwhile.
    void getAllData(unsigned short* data, unsigned int* spectrum_ids, adv_stats* stats,
                    unsigned int& size, unsigned int& count);
    void getLiveDataMap(unsigned short* data, unsigned int& spectrum_id, adv_stats& stats,
                        unsigned int& size);
    // True once a single-spectrum or map record said the board has nothing more
    // to send, until the next start.
    void isTransmissionEnded(bool& ended);
    void isLastDataReceived(bool& received);

    // Empties every store and the map decoding state.
    void clear();

    // --- Acquisition control (worker thread) --------------------------------
    // Empties the stores for a new mode (a waveform acquisition keeps the
    // stored spectra) and records the mode. Does not check the value.
    void select_mode(unsigned short mode);
    // Records the depth and drops the stored spectra, which have another.
    void set_spect_depth(unsigned short depth);
    // Sizes the waveform buffer to `samples` (new samples 0) and starts
    // filling it from the beginning.
    void resize_waveform(std::size_t samples);
    void set_list_wave_length(uint32_t length);
    void set_gating_mode(uint32_t code);
    // A new acquisition begins: both end flags go down.
    void start_flags();

    unsigned short mode() const { return mode_.load(); }
    unsigned short depth() const { return depth_.load(); }
    uint32_t gating_mode() const { return gating_mode_.load(); }
    uint32_t list_wave_length() const { return list_wave_length_.load(); }

    // Most values the list-wave store takes for a list-wave length: about
    // 390 MB of values whatever the length, kept to whole waveforms.
    static uint32_t list_wave_capacity(uint32_t length);

    // --- Inspection (tests and diagnostics; each takes the data lock) -------
    std::size_t wave_fill() const;
    std::size_t wave_samples() const;
    std::deque<spectrum<unsigned long>> spectra_snapshot() const;
    std::size_t list_size() const;
    std::size_t list_capacity() const;
    std::size_t list_wave_size() const;
    uint32_t last_packet_count() const;
    // Holds the data lock for the caller, as a reader in the middle of a read
    // would.
    std::unique_lock<std::timed_mutex> hold_data_lock();

  private:
    using lock = std::unique_lock<std::timed_mutex>;

    // The fields of a record header that the decoders use.
    struct record_header {
        uint16_t packet_count;
        uint16_t spectrum_id;
        stats_block stats;
        uint32_t word8, word9, word10, word11, word12, word13;
        uint8_t status;
    };
    static record_header parse_header(const unsigned char* header);

    // The bounded wait of the spectrum and waveform decoders.
    lock lock_or_drop_payload();
    // The unbounded wait of the list decoders.
    lock lock_retrying();
    lock lock_blocking() const { return lock(data_mutex_); }

    // Helpers below expect data_mutex_ held by the caller.
    void clear_spectra_locked();
    void clear_list_stores_locked();
    void clear_waveform_locked();
    void save_map_record(const record_header& h, const unsigned char* record, unsigned int depth);
    void open_map_spectrum(const stats_block& start, unsigned int depth, uint16_t id);
    void complete_newest();
    // Adds the bin words of the record at `record` into `s`.
    static void add_bins(spectrum<unsigned long>& s, const unsigned char* record,
                         unsigned int depth);
    void publish_list_counts();
    std::size_t complete_spectra_locked() const;
    adv_stats map_statistics(const spectrum<unsigned long>& s) const;
    void copy_bins_16(const spectrum<unsigned long>& s, unsigned short* dest,
                      unsigned int depth) const;

    void read_list_values(bool list_wave, unsigned long* data, unsigned int& spectrum_id,
                          adv_stats& stats, unsigned int size);

    const std::chrono::milliseconds lock_wait_;
    const std::optional<uint32_t> list_wave_limit_;

    mutable std::timed_mutex data_mutex_;

    // Written by acquisition control and by the decoders, read anywhere.
    std::atomic<unsigned short> mode_;
    std::atomic<unsigned short> depth_{4096};
    std::atomic<uint32_t> gating_mode_{0};
    std::atomic<uint32_t> list_wave_length_{0};
    std::atomic<bool> last_data_received_{false};
    std::atomic<bool> transmission_ended_{false};
    // Sizes of the two list stores as of the last change, so that a list read
    // can refuse an impossible request before it waits for the lock. Written
    // under data_mutex_.
    std::atomic<std::size_t> list_count_{0};
    std::atomic<std::size_t> list_wave_count_{0};
    // The waveform buffer's size, for the same reason. Written under data_mutex_.
    std::atomic<std::size_t> wave_size_{0};

    // Guarded by data_mutex_.
    std::deque<spectrum<unsigned long>> spectra_;  // newest at the back
    uint32_t last_packet_count_ = 0;               // map: previous record's count, 0 = none
    stats_block packet_stats_;                     // map: record being decoded
    stats_block previous_packet_stats_;            // map: the record before it

    // Guarded by data_mutex_.
    std::vector<uint16_t> wave_;  // S samples
    std::size_t wave_fill_ = 0;   // samples stored; never above S - 1

    // Guarded by data_mutex_.
    list<unsigned long> list_;
    uint32_t list_id_ = 0;
    stats_block list_stats_;
    list_wave<unsigned long> list_wave_;
    uint32_t list_wave_id_ = 0;
    stats_block list_wave_stats_;
};
