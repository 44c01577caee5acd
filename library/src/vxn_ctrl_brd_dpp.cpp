#include "vxn_ctrl_brd_dpp.h"

#include <stdexcept>

#include "globals.h"
#include "register_map.h"
#include "vxn_ctrl_brd_dpp_chain.h"

vxn_ctrl_brd_dpp::vxn_ctrl_brd_dpp(vxn_ctrl_brd_dpp_chain* chain, unsigned short index,
                                   unsigned int major, unsigned int minor, unsigned int patch,
                                   unsigned int type)
    : chain_(chain),
      index_(index),
      fw_major_(major),
      fw_minor_(minor),
      fw_patch_(patch),
      fw_type_(type) {}

vxn_ctrl_brd_dpp::~vxn_ctrl_brd_dpp() = default;

void vxn_ctrl_brd_dpp::get_fw_release(unsigned int& major, unsigned int& minor, unsigned int& patch,
                                      unsigned int& type) {
    major = fw_major_;
    minor = fw_minor_;
    patch = fw_patch_;
    type = fw_type_;
}

std::vector<unsigned int> vxn_ctrl_brd_dpp::read(unsigned short address, unsigned short count) {
    return chain_->read(address, index_, count, false);
}

std::vector<unsigned int> vxn_ctrl_brd_dpp::write(unsigned short address,
                                                  const std::vector<unsigned int>& words) {
    return chain_->write(address, index_, words, false);
}

boards::result vxn_ctrl_brd_dpp::is_running() {
    const auto words = read(reg::ACQ_CONTROL);
    const unsigned int running = !words.empty() && (words[0] & reg::ACQ_RUNNING_BIT) ? 1 : 0;
    running_ = running != 0;
    return {globals::READ, {running}};
}

void vxn_ctrl_brd_dpp::init() {
    is_running();
}

boards::result vxn_ctrl_brd_dpp::get_slave_conn_complete() {
    return {globals::READ, read(reg::LINK_STATUS)};
}

// --- Acquisition control --------------------------------------------------------

unsigned int vxn_ctrl_brd_dpp::read_register(unsigned short address) {
    const auto words = read(address);
    if (words.empty())
        throw boards::comm_error(index_, 0);
    return words[0];
}

void vxn_ctrl_brd_dpp::write_checked(unsigned short address,
                                     const std::vector<unsigned int>& words) {
    check_answer(write(address, words));
}

boards::result vxn_ctrl_brd_dpp::disableBoard(bool disable) {
    const unsigned int old = read_register(reg::MAP_GATING);
    const auto answer = write(reg::MAP_GATING, {(old & ~reg::BOARD_DISABLED_BIT) |
                                                (disable ? reg::BOARD_DISABLED_BIT : 0)});
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::select_mode(unsigned short mode) {
    if (mode > boards::LIST_WAVE_MODE)
        throw std::out_of_range("select_mode: mode");
    const unsigned int old = read_register(reg::MODE_CONFIG);
    data_.select_mode(mode);
    const auto answer = write(reg::MODE_CONFIG, {mode | (old & ~reg::MODE_MASK)});
    check_answer(answer);
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::set_spect_depth(unsigned short depth) {
    unsigned int depth_bits = 0;
    switch (depth) {
        case 1024:
            depth_bits = reg::DEPTH_1024_BIT;
            break;
        case 2048:
            depth_bits = reg::DEPTH_2048_BIT;
            break;
        case 4096:
            break;
        default:
            throw std::out_of_range("set_spect_depth: depth");
    }
    const unsigned int old = read_register(reg::MODE_CONFIG);
    const auto answer = write(reg::MODE_CONFIG,
                              {(old & ~(reg::DEPTH_1024_BIT | reg::DEPTH_2048_BIT)) | depth_bits});
    check_answer(answer);
    data_.set_spect_depth(depth);
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::setMapPoints(unsigned int map_points) {
    // More points would spill into the gating and disable bits.
    if (map_points > reg::MAP_POINTS_MASK)
        throw std::out_of_range("setMapPoints: map_points");
    const unsigned int old = read_register(reg::MAP_GATING);
    const auto answer = write(reg::MAP_GATING, {(old & ~reg::MAP_POINTS_MASK) | map_points});
    check_answer(answer);
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::run() {
    const unsigned int old = read_register(reg::ACQ_CONTROL);
    const auto answer = write(reg::ACQ_CONTROL, {(old & ~3u) | 1u});
    running_ = true;
    data_.start_flags();
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::stop() {
    boards::result result{globals::WRITE, {1}};
    if (index_ == 0)
        result.second = write(reg::ACQ_CONTROL, {reg::ACQ_STOP_COMMAND});
    running_ = false;
    return result;
}

void vxn_ctrl_brd_dpp::check_waveform(unsigned short dec_ratio, unsigned int trig_level,
                                      bool list_wave, unsigned short length) {
    if (dec_ratio > 32)
        throw std::out_of_range(list_wave ? "set_listwaveform: dec_ratio"
                                          : "set_waveform: dec_ratio");
    if (trig_level > 0xFFFF)
        throw std::out_of_range(list_wave ? "set_listwaveform: trig_level"
                                          : "set_waveform: trig_level");
    if (list_wave && (length < 8 || length > 1256 || length % 4 != 0))
        throw std::out_of_range("set_listwaveform: length");
}

namespace {

// MODE_CONFIG with the waveform settings: keeps the mode bits, clears the
// depth bits.
unsigned int waveform_mode_word(unsigned int old, unsigned short dec_ratio, unsigned int trig_mask,
                                unsigned int trig_level) {
    return ((static_cast<unsigned int>(dec_ratio - 1) * 8) & 0xF8) + ((trig_mask * 256) & 0x700) +
           (old & reg::MODE_MASK) + (trig_level << 16);
}

}  // namespace

boards::result vxn_ctrl_brd_dpp::set_waveform(unsigned short dec_ratio, unsigned int trig_mask,
                                              unsigned int trig_level, unsigned short length) {
    check_waveform(dec_ratio, trig_level, false, length);
    const unsigned int old = read_register(reg::MODE_CONFIG);
    data_.resize_waveform(size_t(length) * 16384);
    const auto answer =
        write(reg::MODE_CONFIG, {waveform_mode_word(old, dec_ratio, trig_mask, trig_level),
                                 (static_cast<unsigned int>(length) - 1) & 0x7FF});
    check_answer(answer);
    return {globals::WRITE, answer};
}

boards::result vxn_ctrl_brd_dpp::set_list_waveform(unsigned short dec_ratio, unsigned int trig_mask,
                                                   unsigned int trig_level, unsigned short length,
                                                   unsigned short wave_extra) {
    check_waveform(dec_ratio, trig_level, true, length);
    const unsigned int old = read_register(reg::MODE_CONFIG);
    data_.set_list_wave_length(length);
    const auto answer =
        write(reg::MODE_CONFIG, {waveform_mode_word(old, dec_ratio, trig_mask, trig_level),
                                 ((static_cast<unsigned int>(length) - 1) & 0x7FF) |
                                     ((unsigned(wave_extra) << 11) & 0x3FF800)});
    check_answer(answer);
    return {globals::WRITE, answer};
}
