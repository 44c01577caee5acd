#include "board_data.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Boost_Log.h"
#include "VXN_DPP.h"
#include "boards.h"
#include "exceptions.h"
#include "globals.h"

namespace {

constexpr std::size_t header_bytes = 128;
constexpr std::size_t unit_bytes = 8;
constexpr std::size_t stats_packet_bytes = unit_bytes + header_bytes;

// Status byte of a record header.
constexpr uint8_t status_more_data = 0x20;        // clear: the board has sent its last data
constexpr uint8_t status_transmission = 0x30;     // both clear: transmission over
constexpr uint8_t status_record_mem_full = 0x0C;  // spectrum records
constexpr uint8_t status_packet_mem_full = 0x1C;  // list statistics packets

// Marker byte 1 of a list statistics packet: clear = last data.
constexpr uint8_t list_more_data = 0x08;

constexpr unsigned char list_wave_marker[unit_bytes] = {0xC0, 0, 0, 0, 0xC0, 0, 0, 0};

uint32_t be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// The first four bytes of a unit are the low half of the value.
unsigned long unit_value(const unsigned char* u) {
    return static_cast<unsigned long>(be32(u)) | (static_cast<unsigned long>(be32(u + 4)) << 32);
}

bool is_list_marker(const unsigned char* u) {
    return (u[0] & 0xC0) == 0xC0 && (u[4] & 0xC0) == 0xC0;
}

bool is_list_wave_marker(const unsigned char* u) {
    return std::memcmp(u, list_wave_marker, unit_bytes) == 0;
}

void put_counters(adv_stats& out, const stats_block& b) {
    out.detected = b.detected;
    out.measured = b.measured;
    out.edge_dt = b.edge_dt;
    out.filt1_dt = b.filt1_dt;
    out.zerocounts = b.zerocounts;
    out.baselines_value = b.baselines_value;
    out.pup_value = b.pup_value;
    out.pup_f1_value = b.pup_f1_value;
    out.pup_notf1_value = b.pup_notf1_value;
    out.reset_counter_value = b.reset_counter_value;
}

// List statistics: only the fields a list read owns are written.
void put_list_stats(adv_stats& out, const stats_block& b) {
    out.reserved = 0;
    out.time = b.time;
    put_counters(out, b);
}

// Map decision tables, indexed [N * 2 + C][column] with the auxiliary bits
// after the inversion of the falling-edge and active-low modes, and the
// column (store empty ? 0 : 2) + (last data ? 1 : 0). Each entry is the list
// of actions in order: P open a spectrum starting at the previous record,
// T open one starting at this record, S save the record, C complete the
// newest spectrum. In the trigger modes the record that shows the edge is
// saved first, so it closes its own map point; in the gated modes a record
// taken while the gate is closed (C = 0) is never saved.
const char* const trigger_actions[4][4] = {
    {"PS", "PSC", "S", "SC"},
    {"PS", "PSC", "S", "SC"},
    {"PSCT", "PSC", "SCT", "SC"},
    {"PS", "PSC", "S", "SC"},
};
const char* const both_edges_actions[4][4] = {
    {"PS", "PSC", "S", "SC"},
    {"PST", "PSC", "ST", "SCT"},
    {"PSCT", "PSC", "SCT", "SC"},
    {"PS", "PSC", "ST", "SC"},
};
const char* const gated_actions[4][4] = {
    {"", "", "", "C"},
    {"TS", "TSC", "S", "SC"},
    {"T", "", "T", "C"},
    {"TS", "TSC", "S", "SC"},
};

void set_error(error_code code) {
    globals::set_last_error(code);
}

}  // namespace

// --- Construction and settings ----------------------------------------------

board_data::board_data() : board_data(board_data_options{}) {}

board_data::board_data(const board_data_options& options)
    : lock_wait_(options.lock_wait),
      list_wave_limit_(options.list_wave_limit),
      mode_(boards::NORMAL_MODE),
      wave_size_(4096),
      wave_(4096, 0) {}

uint32_t board_data::list_wave_capacity(uint32_t length) {
    // Computed exactly this way, the reduction to 32 bits included: it is
    // what puts the ceiling at about 48.7 million values (390 MB) instead of
    // about 250 million. Widened before the + 1 so that no length divides by 0.
    const uint64_t units = uint64_t{length} + 1;
    const uint64_t whole = 16000000000ULL / units;
    const auto bytes =
        static_cast<uint64_t>(static_cast<double>(whole) * static_cast<double>(units));
    return static_cast<uint32_t>(bytes) >> 6;
}

void board_data::select_mode(unsigned short mode) {
    lock l = lock_blocking();
    // A waveform acquisition keeps the spectra, so that they can still be read
    // after looking at the input signal.
    if (mode != boards::ANALOG_MODE) {
        clear_spectra_locked();
        last_data_received_ = false;
    }
    clear_list_stores_locked();
    clear_waveform_locked();
    mode_ = mode;
}

void board_data::set_spect_depth(unsigned short depth) {
    // Under the lock, so that a decoder never pairs the new depth with
    // spectra of the old one.
    lock l = lock_blocking();
    depth_ = depth;
    std::deque<spectrum<unsigned long>>().swap(spectra_);
}

void board_data::resize_waveform(std::size_t samples) {
    lock l = lock_blocking();
    wave_.resize(samples, 0);
    wave_fill_ = 0;
    wave_size_ = samples;
}

void board_data::set_list_wave_length(uint32_t length) {
    list_wave_length_ = length;
}

void board_data::set_gating_mode(uint32_t code) {
    gating_mode_ = code;
}

void board_data::start_flags() {
    last_data_received_ = false;
    transmission_ended_ = false;
}

void board_data::clear() {
    lock l = lock_blocking();
    clear_spectra_locked();
    last_data_received_ = false;
    clear_list_stores_locked();
    clear_waveform_locked();
}

void board_data::clear_spectra_locked() {
    std::deque<spectrum<unsigned long>>().swap(spectra_);
    packet_stats_ = stats_block{};
    previous_packet_stats_ = stats_block{};
    // Boards count their records from the start of each acquisition; keeping
    // the last count of the previous one would report its first record as
    // missed data.
    last_packet_count_ = 0;
}

void board_data::clear_list_stores_locked() {
    list_.clear();
    list_id_ = 0;
    list_stats_ = stats_block{};
    list_wave_.clear();
    list_wave_id_ = 0;
    list_wave_stats_ = stats_block{};
    publish_list_counts();
}

void board_data::clear_waveform_locked() {
    std::fill(wave_.begin(), wave_.end(), uint16_t{0});
    wave_fill_ = 0;
}

void board_data::publish_list_counts() {
    list_count_ = list_.size();
    list_wave_count_ = list_wave_.size();
}

// --- Locking ------------------------------------------------------------------

board_data::lock board_data::lock_or_drop_payload() {
    lock l(data_mutex_, std::defer_lock);
    if (!l.try_lock_for(lock_wait_)) {
        VXN_LOG("Functions", ERR) << "Functions. Update data lock error. Data will be lost.";
        throw std::underflow_error("Lock error.");
    }
    return l;
}

board_data::lock board_data::lock_retrying() {
    lock l(data_mutex_, std::defer_lock);
    while (!l.try_lock_for(lock_wait_)) {
        VXN_LOG("Functions", ERR) << "Functions. Update data lock error.";
    }
    return l;
}

std::unique_lock<std::timed_mutex> board_data::hold_data_lock() {
    return lock_blocking();
}

// --- Spectrum and map decoding -------------------------------------------------

board_data::record_header board_data::parse_header(const unsigned char* h) {
    record_header r{};
    r.packet_count = be16(h);
    r.spectrum_id = be16(h + 2);
    r.stats.time = (uint64_t{be32(h + 92)} << 32) | be32(h + 4);
    r.stats.detected = be32(h + 8);
    r.stats.measured = be32(h + 12);
    r.stats.edge_dt = be32(h + 16);
    r.stats.filt1_dt = be32(h + 20);
    r.stats.zerocounts = be32(h + 24);
    r.word8 = be32(h + 32);
    r.word9 = be32(h + 36);
    r.word10 = be32(h + 40);
    r.word11 = be32(h + 44);
    r.word12 = be32(h + 48);
    r.word13 = be32(h + 52);
    r.status = h[59];
    r.stats.baselines_value = be32(h + 60);
    r.stats.pup_value = be32(h + 64);
    r.stats.pup_f1_value = be32(h + 68);
    r.stats.pup_notf1_value = be32(h + 72);
    r.stats.reset_counter_value = be32(h + 84);
    return r;
}

void board_data::add_bins(spectrum<unsigned long>& s, const unsigned char* record,
                          unsigned int depth) {
    const unsigned char* words = record + header_bytes;
    for (unsigned int j = 0; j < depth / 2; ++j) {
        const uint32_t w = be32(words + 4 * std::size_t{j});
        s.add(2 * j + 1, w >> 16);
        s.add(2 * j, w & 0xFFFF);
    }
}

void board_data::UpdateSingleSpectData(const std::vector<unsigned char>& bytes) {
    VXN_LOG("Functions", DBG)
        << "Functions. Updating internal spectrum object with new data. Size: " << bytes.size()
        << ".";
    lock l = lock_or_drop_payload();
    mode_ = boards::NORMAL_MODE;
    VXN_LOG("Functions", DBG) << "Functions. Single spectrum mode.";

    const unsigned int depth = depth_.load();
    const std::size_t record_bytes = 2 * std::size_t{depth} + header_bytes;
    if (bytes.size() % record_bytes != 0) {
        set_error(EC_PAYLOAD_LENGTH);
        VXN_LOG("Functions", ERR) << "Functions. Incorrect payload length.";
    }
    const std::size_t records = bytes.size() / record_bytes;
    for (std::size_t i = 0; i < records; ++i) {
        const unsigned char* r = bytes.data() + i * record_bytes;
        const record_header h = parse_header(r);
        if (spectra_.empty()) {
            VXN_LOG("Functions", DBG) << "Functions. First spectra added in the queue.";
            spectra_.emplace_back(depth);
        } else {
            // Widened: the count of the record after 65535 is 0, which is
            // reported like any other gap.
            const uint32_t expected = uint32_t{spectra_.back().packet_count} + 1;
            if (h.packet_count != expected) {
                set_error(EC_MISSED_SPECTRUM);
                VXN_LOG("Functions", ERR) << "Functions. Missed spectra. Expected ID: " << expected
                                          << ". Actual: " << h.packet_count;
            }
        }
        spectrum<unsigned long>& s = spectra_.back();
        s.packet_count = h.packet_count;
        s.spectrum_id = h.spectrum_id;
        s.current = h.stats;
        s.header_word8 = h.word8 & 0x00FFFFFF;
        s.header_word9 = h.word9;
        s.header_word10 = h.word10;
        s.header_word11 = h.word11;
        s.header_word12 = h.word12;
        s.header_word13 = h.word13;
        last_data_received_ = (h.status & status_more_data) == 0;
        transmission_ended_ = (h.status & status_transmission) == 0;
        add_bins(s, r, depth);
    }
    VXN_LOG("Functions", TRC) << "Functions. Updated data.";
}

void board_data::open_map_spectrum(const stats_block& start, unsigned int depth, uint16_t id) {
    complete_newest();
    spectra_.emplace_back(depth);
    spectra_.back().start = start;
    VXN_LOG("Functions", INF) << "PushNewSpectrumStruct - tstart_timestamp: "
                              << static_cast<double>(start.time) * 0.001 << " ms";
    VXN_LOG("Functions", TRC) << "Functions. Pushed a new spectra in the queue. ID: " << id
                              << ". Spectra_nb: " << spectra_.size();
}

void board_data::complete_newest() {
    if (!spectra_.empty()) {
        spectra_.back().set_complete();
    }
}

void board_data::save_map_record(const record_header& h, const unsigned char* record,
                                 unsigned int depth) {
    if (spectra_.empty()) {
        return;  // every table opens a spectrum before it saves into an empty store
    }
    spectrum<unsigned long>& s = spectra_.back();
    s.packet_count = h.packet_count;
    s.spectrum_id = h.spectrum_id;
    s.end = h.stats;
    s.header_word8 = h.word8;
    s.next_aux = (record[32] >> 5) & 1;
    s.curr_aux = (record[32] >> 6) & 1;
    s.header_word9 = h.word9;
    s.header_word10 = h.word10;
    s.header_word11 = h.word11;
    s.header_word12 = h.word12;
    s.header_word13 = h.word13;
    add_bins(s, record, depth);
}

void board_data::UpdateMapData(const std::vector<unsigned char>& bytes) {
    VXN_LOG("Functions", DBG) << "Functions. Updating internal map objects with new data. Size: "
                              << bytes.size() << ".";
    lock l = lock_or_drop_payload();
    VXN_LOG("Functions", DBG) << "Functions. Multiple spectra mode.";

    const unsigned int depth = depth_.load();
    const std::size_t record_bytes = 2 * std::size_t{depth} + header_bytes;
    if (bytes.size() % record_bytes != 0) {
        set_error(EC_PAYLOAD_LENGTH);
        VXN_LOG("Functions", ERR) << "Functions. Incorrect payload length.";
    }
    const std::size_t records = bytes.size() / record_bytes;
    for (std::size_t i = 0; i < records; ++i) {
        const unsigned char* r = bytes.data() + i * record_bytes;
        const record_header h = parse_header(r);
        const uint32_t gating = gating_mode_.load();
        unsigned int next = (r[32] >> 5) & 1;
        unsigned int curr = (r[32] >> 6) & 1;
        const bool last = (h.status & status_more_data) == 0;

        // The map point's statistics are differences between records, so only
        // the counters every record carries afresh are kept here.
        packet_stats_ = stats_block{};
        packet_stats_.time = h.stats.time;
        packet_stats_.detected = h.stats.detected;
        packet_stats_.measured = h.stats.measured;
        packet_stats_.edge_dt = h.stats.edge_dt;
        packet_stats_.filt1_dt = h.stats.filt1_dt;
        packet_stats_.zerocounts = h.stats.zerocounts;
        last_data_received_ = last;
        transmission_ended_ = (h.status & status_transmission) == 0;
        if ((h.status & status_record_mem_full) != 0) {
            set_error(EC_HW_MEMORY_FULL);
            VXN_LOG("Functions", ERR) << "Functions. Hardware memory went full during acquisition.";
        }
        VXN_LOG("Functions", INF) << "Payload - Gate: " << gating
                                  << " - CurrentCount: " << h.packet_count
                                  << " - CurrSpectrumID: " << h.spectrum_id
                                  << " - NextAuxState: " << next << " - CurrAuxState: " << curr
                                  << " - LastData: " << (last ? 1 : 0) << " - tstart_timestamp: "
                                  << static_cast<double>(previous_packet_stats_.time) * 0.001
                                  << " ms - tend_timestamp: "
                                  << static_cast<double>(packet_stats_.time) * 0.001
                                  << " ms - Tperiod: "
                                  << (static_cast<double>(packet_stats_.time) -
                                      static_cast<double>(previous_packet_stats_.time)) *
                                         0.001
                                  << " ms - ZeroCounts: " << h.stats.zerocounts << ".";

        if (last_packet_count_ != 0 && h.packet_count != last_packet_count_ + 1) {
            set_error(EC_MISSED_SPECTRUM);
            // The count compared against, which is also the newest spectrum's
            // whenever the previous record was saved; in the gated modes the
            // newest spectrum may lag behind or not exist at all.
            VXN_LOG("Functions", ERR) << "Functions. Missed spectra. i: " << i
                                      << ". Expected ID: " << uint64_t{last_packet_count_} + 1
                                      << ". Actual: " << h.packet_count;
        }
        last_packet_count_ = h.packet_count;

        const bool empty = spectra_.empty();
        if (gating == FreeRunning) {
            if (empty || h.spectrum_id != spectra_.back().spectrum_id) {
                open_map_spectrum(previous_packet_stats_, depth, h.spectrum_id);
            }
            save_map_record(h, r, depth);
            if (last) {
                complete_newest();
            }
        } else {
            if (gating == TriggerFalling || gating == GatedLow) {
                next ^= 1;
                curr ^= 1;
            }
            // Codes beyond the known ones are gated like GatedHigh, the mode
            // whose statistics rule they share.
            const auto table = gating <= TriggerFalling ? trigger_actions
                               : gating == TriggerBoth  ? both_edges_actions
                                                        : gated_actions;
            const char* steps = table[next * 2 + curr][(empty ? 0 : 2) + (last ? 1 : 0)];
            for (; *steps != '\0'; ++steps) {
                switch (*steps) {
                    case 'P':
                        open_map_spectrum(previous_packet_stats_, depth, h.spectrum_id);
                        break;
                    case 'T':
                        open_map_spectrum(packet_stats_, depth, h.spectrum_id);
                        break;
                    case 'S':
                        save_map_record(h, r, depth);
                        break;
                    default:  // 'C'
                        complete_newest();
                        break;
                }
            }
        }
        previous_packet_stats_ = packet_stats_;
    }
    VXN_LOG("Functions", TRC) << "Functions. Updated data.";
}

// --- Waveform, list and list-wave decoding ---------------------------------------

void board_data::UpdateWaveData(const std::vector<unsigned char>& bytes) {
    VXN_LOG("Functions", DBG) << "Functions. Updating internal wave object with new data. Size: "
                              << bytes.size() << ".";
    lock l = lock_or_drop_payload();
    mode_ = boards::ANALOG_MODE;
    VXN_LOG("Functions", TRC) << "Functions. Waveform mode.";

    // The last slot stays unused: the number of available samples is reported
    // as fill + 1, which reaches the buffer size exactly when it is full. A
    // buffer without samples takes nothing.
    const std::size_t samples = wave_.size();
    const std::size_t usable = samples == 0 ? 0 : samples - 1;
    const std::size_t words = bytes.size() / 4;
    for (std::size_t j = 0; j < words && wave_fill_ < usable; ++j) {
        const unsigned char* w = bytes.data() + 4 * j;
        wave_[wave_fill_++] = be16(w + 2);
        if (wave_fill_ < usable) {
            wave_[wave_fill_++] = be16(w);
        }
    }
    VXN_LOG("Functions", TRC) << "Functions. Waveform updated.";
}

void board_data::UpdateListData(const std::vector<unsigned char>& bytes) {
    VXN_LOG("Functions", DBG) << "Functions. Updating internal lsit object with new data. Size: "
                              << bytes.size() << ".";
    lock l = lock_retrying();
    mode_ = boards::LIST_MODE;
    VXN_LOG("Functions", TRC) << "Functions. List mode.";

    if (bytes.size() % unit_bytes != 0) {
        set_error(EC_PAYLOAD_LENGTH);
        VXN_LOG("Functions", ERR) << "Functions. Incorrect payload length.";
    }
    const std::size_t end = bytes.size() - bytes.size() % unit_bytes;
    list_.reserve_more(end / unit_bytes);
    std::size_t p = 0;
    while (p < end) {
        const unsigned char* u = bytes.data() + p;
        if (!is_list_marker(u)) {
            list_.push_back(unit_value(u));
            p += unit_bytes;
            continue;
        }
        if (end - p < stats_packet_bytes) {
            set_error(EC_PAYLOAD_LENGTH);
            VXN_LOG("Functions", ERR)
                << "Functions. Received list mode incomplete statistics packet.";
            break;
        }
        last_data_received_ = (u[1] & list_more_data) == 0;
        const record_header h = parse_header(u + unit_bytes);
        list_id_ = h.spectrum_id;
        list_stats_ = h.stats;
        if ((h.status & status_packet_mem_full) != 0) {
            set_error(EC_HW_MEMORY_FULL);
            VXN_LOG("Functions", ERR) << "Functions. Hardware memory went full during acquisition.";
        }
        VXN_LOG("Functions", TRC)
            << "Functions. Received list statistics and updated internal objects.";
        p += stats_packet_bytes;
    }
    publish_list_counts();
}

void board_data::UpdateListWaveData(const std::vector<unsigned char>& bytes) {
    VXN_LOG("Functions", DBG)
        << "Functions. Updating internal list wave object with new data. Size: " << bytes.size()
        << ".";
    lock l = lock_retrying();
    mode_ = boards::LIST_WAVE_MODE;
    VXN_LOG("Functions", TRC) << "Functions. List Wave mode.";

    if (bytes.size() % unit_bytes != 0) {
        set_error(EC_PAYLOAD_LENGTH);
        VXN_LOG("Functions", ERR) << "Functions. Incorrect payload length.";
    }
    const std::size_t end = bytes.size() - bytes.size() % unit_bytes;
    const uint32_t length = list_wave_length_.load();
    // One waveform of the list-wave stream is `length` units plus its event.
    const uint64_t skip_units = uint64_t{length} + 1;
    const uint32_t limit = list_wave_limit_ ? *list_wave_limit_ : list_wave_capacity(length);
    const std::size_t room = limit > list_wave_.size() ? limit - list_wave_.size() : 0;
    list_wave_.reserve_more(std::min(end / unit_bytes, room));

    std::size_t p = 0;
    while (p < end) {
        const unsigned char* u = bytes.data() + p;
        if (is_list_wave_marker(u)) {
            if (end - p < stats_packet_bytes) {
                set_error(EC_PAYLOAD_LENGTH);
                VXN_LOG("Functions", ERR)
                    << "Functions. Received list mode incomplete statistics packet.";
                break;
            }
            const record_header h = parse_header(u + unit_bytes);
            list_wave_id_ = h.spectrum_id;
            list_wave_stats_ = h.stats;
            if ((h.status & status_packet_mem_full) != 0) {
                set_error(EC_HW_MEMORY_FULL);
                VXN_LOG("Functions", ERR)
                    << "Functions. Hardware memory went full during acquisition.";
            }
            VXN_LOG("Functions", TRC)
                << "Functions. Received list statistics and updated internal objects.";
            p += stats_packet_bytes;
        } else if (static_cast<uint32_t>(list_wave_.size()) < limit) {
            list_wave_.push_back(unit_value(u));
            p += unit_bytes;
        } else {
            // A full store drops whole waveforms rather than single units, so
            // that what it keeps afterwards still starts at a waveform.
            VXN_LOG("Functions", TRC)
                << "Functions. Maximum data in queue overcame. Discard next data.";
            set_error(EC_QUEUE_FULL);
            if (end - p <= unit_bytes * skip_units) {
                break;
            }
            p += unit_bytes * skip_units;
        }
    }
    publish_list_counts();
}

// --- Reads ----------------------------------------------------------------------

std::size_t board_data::complete_spectra_locked() const {
    if (spectra_.empty()) {
        return 0;
    }
    return spectra_.size() - (spectra_.back().complete ? 0 : 1);
}

adv_stats board_data::map_statistics(const spectrum<unsigned long>& s) const {
    adv_stats out{};
    out.reserved = 0;
    out.time = s.end.time;
    out.period = static_cast<uint32_t>(s.end.time - s.start.time);
    out.detected = s.end.detected - s.start.detected;
    out.measured = s.end.measured - s.start.measured;
    out.edge_dt = s.end.edge_dt - s.start.edge_dt;
    out.filt1_dt = s.end.filt1_dt - s.start.filt1_dt;
    out.zerocounts = s.end.zerocounts - s.start.zerocounts;
    out.baselines_value = s.end.baselines_value - s.start.baselines_value;
    out.pup_value = s.end.pup_value - s.start.pup_value;
    out.pup_f1_value = s.end.pup_f1_value - s.start.pup_f1_value;
    out.pup_notf1_value = s.end.pup_notf1_value - s.start.pup_notf1_value;
    out.reset_counter_value = s.end.reset_counter_value - s.start.reset_counter_value;
    out.header_word9 = s.header_word9;
    out.header_word8 = s.header_word8 & 0xFFF;
    const uint8_t next = s.next_aux != 0 ? 1 : 0;
    const uint8_t curr = s.curr_aux != 0 ? 1 : 0;
    switch (gating_mode_.load()) {
        case TriggerRising:
        case TriggerFalling:
        case TriggerBoth:
            out.aux_flags[0] = next;
            out.aux_flags[1] = curr;
            break;
        case FreeRunning:
            out.aux_flags[2] = curr;
            out.aux_flags[3] = next;
            break;
        default:
            out.aux_flags[2] = curr;
            out.aux_flags[3] = 1 - curr;
            break;
    }
    out.header_word11 = s.header_word11;
    out.header_word10 = s.header_word10;
    out.header_word13 = s.header_word13;
    out.header_word12 = s.header_word12;
    return out;
}

// The exported map functions hand out 16-bit bins. A spectrum that does not
// have `depth` bins (the depth changed meanwhile) fills the rest with zeros
// rather than reading past its own bins.
void board_data::copy_bins_16(const spectrum<unsigned long>& s, unsigned short* dest,
                              unsigned int depth) const {
    const std::size_t n = std::min<std::size_t>(depth, s.bins.size());
    for (std::size_t k = 0; k < n; ++k) {
        dest[k] = static_cast<unsigned short>(s.bins[k] & 0xFFFF);
    }
    std::fill(dest + n, dest + depth, static_cast<unsigned short>(0));
}

void board_data::getLiveData(unsigned long* data, unsigned int& spectrum_id, adv_stats& stats,
                             unsigned int& size) {
    switch (mode_.load()) {
        case boards::NORMAL_MODE: {
            const unsigned int depth = depth_.load();
            if (size != depth) {
                size = depth;
                throw std::out_of_range("getData: spectra_size");
            }
            lock l(data_mutex_, std::defer_lock);
            if (!l.try_lock_for(lock_wait_)) {
                throw std::underflow_error("Lock error.");
            }
            if (spectra_.empty()) {
                std::fill(data, data + depth, 0UL);
                throw std::underflow_error("getData: no spectrum available");
            }
            const spectrum<unsigned long>& s = spectra_.front();
            const std::size_t n = std::min<std::size_t>(depth, s.bins.size());
            std::copy_n(s.bins.begin(), n, data);
            std::fill(data + n, data + depth, 0UL);
            spectrum_id = s.spectrum_id;
            stats_block sum = s.total;
            sum += s.current;
            stats.time = sum.time;
            put_counters(stats, sum);
            return;
        }
        case boards::LIST_MODE:
            VXN_LOG("Global", TRC) << "GetLiveData List mode.";
            read_list_values(false, data, spectrum_id, stats, size);
            return;
        case boards::LIST_WAVE_MODE:
            VXN_LOG("Global", TRC) << "GetLiveData List mode.";
            read_list_values(true, data, spectrum_id, stats, size);
            return;
        default:
            throw std::domain_error("getAvailableData: wrong acquisition mode.");
    }
}

void board_data::getLiveListWaveData(unsigned long* data, unsigned long* /*second_data*/,
                                     unsigned int& spectrum_id, adv_stats& stats,
                                     unsigned int& size) {
    if (mode_.load() != boards::LIST_WAVE_MODE) {
        throw std::domain_error("getAvailableData: wrong acquisition mode.");
    }
    VXN_LOG("Global", TRC) << "GetLiveData List Wave mode. Requested data:" << size;
    read_list_values(true, data, spectrum_id, stats, size);
}

void board_data::read_list_values(bool from_list_wave, unsigned long* data,
                                  unsigned int& spectrum_id, adv_stats& stats, unsigned int size) {
    const std::size_t held = (from_list_wave ? list_wave_count_ : list_count_).load();
    if (size > held) {
        throw std::out_of_range("getData: data number");
    }
    if (held == 0) {
        throw std::underflow_error("getData: no spectrum available");
    }
    VXN_LOG("Global", TRC) << "Getting mutex.";
    lock l(data_mutex_, std::defer_lock);
    if (!l.try_lock_for(lock_wait_)) {
        VXN_LOG("Global", TRC) << "Mutex error List mode.";
        throw std::underflow_error("Lock error.");
    }
    VXN_LOG("Global", TRC) << "Mutex retrieved List mode.";
    // The store checks the count again: another reader may have taken values
    // between the check above and the lock.
    if (from_list_wave) {
        list_wave_.get_data(size, data);
        spectrum_id = list_wave_id_;
        put_list_stats(stats, list_wave_stats_);
    } else {
        list_.get_data(size, data);
        spectrum_id = list_id_;
        put_list_stats(stats, list_stats_);
    }
    publish_list_counts();
}

void board_data::getWaveData(unsigned short* data, unsigned int& size) {
    const unsigned short mode = mode_.load();
    if (mode != boards::ANALOG_MODE && mode != boards::DIGITAL_MODE) {
        throw std::domain_error("getAvailableData: wrong acquisition mode.");
    }
    if (size != wave_size_.load()) {
        size = static_cast<unsigned int>(wave_size_.load());
        throw std::out_of_range("getData: spectra_size");
    }
    lock l(data_mutex_, std::defer_lock);
    if (!l.try_lock_for(lock_wait_)) {
        throw std::underflow_error("Lock error.");
    }
    // The buffer may have been resized between the check and the lock.
    if (size != wave_.size()) {
        size = static_cast<unsigned int>(wave_.size());
        throw std::out_of_range("getData: spectra_size");
    }
    if (!wave_.empty()) {
        std::copy_n(wave_.begin(), wave_.size() - 1, data);
    }
}

void board_data::getAvailableData(unsigned int& available) {
    VXN_LOG("Global", TRC) << "GetAvailableData.";
    lock l(data_mutex_, std::defer_lock);
    if (!l.try_lock_for(lock_wait_)) {
        VXN_LOG("Global", TRC) << "GetAvailableData Mutex error.";
        throw lock_error(EC_DATA_LOCK);
    }
    VXN_LOG("Global", TRC) << "GetAvailableData Mutex retrieved.";
    switch (mode_.load()) {
        case boards::ANALOG_MODE:
            // Counted with the unused last slot, so a full buffer reports its
            // size; a buffer without samples has nothing to offer.
            available = wave_.empty() ? 0 : static_cast<unsigned int>(wave_fill_ + 1);
            break;
        case boards::LIST_MODE:
            available = static_cast<unsigned int>(list_.size());
            break;
        case boards::LIST_WAVE_MODE:
            available = static_cast<unsigned int>(list_wave_.size());
            break;
        case boards::DIGITAL_MODE:
            throw std::domain_error("getAvailableData: wrong acquisition mode.");
        default:
            available = static_cast<unsigned int>(complete_spectra_locked());
            break;
    }
}

void board_data::getAllData(unsigned short* data, unsigned int* spectrum_ids, adv_stats* stats,
                            unsigned int& size, unsigned int& count) {
    switch (mode_.load()) {
        case boards::NORMAL_MODE:
        case boards::ANALOG_MODE:
        case boards::LIST_MODE:
        case boards::DIGITAL_MODE:
            throw std::domain_error("getAllData: wrong acquisition mode.");
        default:
            break;
    }
    const unsigned int depth = depth_.load();
    if (size != depth) {
        size = depth;
        throw std::out_of_range("getAllData: spectra_size");
    }
    const unsigned int wanted = count;
    {
        lock l(data_mutex_, std::defer_lock);
        if (!l.try_lock_for(lock_wait_)) {
            throw lock_error(EC_DATA_LOCK);
        }
        if (spectra_.empty()) {
            std::fill(data, data + depth, static_cast<unsigned short>(0));
            throw std::underflow_error("getData: no spectrum available");
        }
        if (wanted > complete_spectra_locked()) {
            throw std::out_of_range("getAllData: spectra_number");
        }
    }
    // One lock per spectrum, so that the decoders, which give up after a
    // bounded wait, are never held up for a whole batch.
    unsigned int handed = 0;
    for (unsigned int i = 0; i < wanted; ++i) {
        lock l(data_mutex_, std::defer_lock);
        if (!l.try_lock_for(lock_wait_)) {
            count = handed;
            throw lock_error(EC_DATA_LOCK);
        }
        if (spectra_.empty() || !spectra_.front().complete) {
            break;  // another reader took spectra meanwhile
        }
        const spectrum<unsigned long>& s = spectra_.front();
        copy_bins_16(s, data + std::size_t{i} * depth, depth);
        spectrum_ids[i] = s.spectrum_id;
        stats[i] = map_statistics(s);
        spectra_.pop_front();
        ++handed;
        if (spectra_.empty()) {
            std::deque<spectrum<unsigned long>>().swap(spectra_);
        }
    }
    count = handed;
}

void board_data::getLiveDataMap(unsigned short* data, unsigned int& spectrum_id, adv_stats& stats,
                                unsigned int& size) {
    switch (mode_.load()) {
        case boards::NORMAL_MODE:
        case boards::ANALOG_MODE:
        case boards::LIST_MODE:
        case boards::DIGITAL_MODE:
            throw std::domain_error("getLiveDataMap: wrong acquisition mode.");
        default:
            break;
    }
    const unsigned int depth = depth_.load();
    if (size != depth) {
        size = depth;
        throw std::out_of_range("getLiveDataMap: spectra_size");
    }
    lock l(data_mutex_, std::defer_lock);
    if (!l.try_lock_for(lock_wait_)) {
        throw std::underflow_error("Lock error.");
    }
    // The newest spectrum may still be filling; the one before it is complete.
    if (spectra_.size() < 2) {
        throw std::underflow_error("getLiveDataMap: no spectrum available");
    }
    const spectrum<unsigned long>& s = spectra_[spectra_.size() - 2];
    copy_bins_16(s, data, depth);
    spectrum_id = s.spectrum_id;
    stats = map_statistics(s);
}

void board_data::isTransmissionEnded(bool& ended) {
    VXN_LOG("Global", TRC) << "isTransmissionEnded";
    ended = transmission_ended_.load();
}

void board_data::isLastDataReceived(bool& received) {
    VXN_LOG("Global", TRC) << "isLastDataReceived";
    received = last_data_received_.load();
}

// --- Inspection -------------------------------------------------------------------

std::size_t board_data::wave_fill() const {
    lock l = lock_blocking();
    return wave_fill_;
}

std::size_t board_data::wave_samples() const {
    lock l = lock_blocking();
    return wave_.size();
}

std::deque<spectrum<unsigned long>> board_data::spectra_snapshot() const {
    lock l = lock_blocking();
    return spectra_;
}

std::size_t board_data::list_size() const {
    lock l = lock_blocking();
    return list_.size();
}

std::size_t board_data::list_capacity() const {
    lock l = lock_blocking();
    return list_.capacity();
}

std::size_t board_data::list_wave_size() const {
    lock l = lock_blocking();
    return list_wave_.size();
}

uint32_t board_data::last_packet_count() const {
    lock l = lock_blocking();
    return last_packet_count_;
}
