// One board of a chain: its identity and control state, and the data it has
// received (board_data).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "board_data.h"
#include "boards.h"

class vxn_ctrl_brd_dpp_chain;

// A board acknowledges a write with a first answer word of 1; anything else
// is boards::comm_error(0, 0).
inline void check_answer(const std::vector<unsigned int>& answer) {
    if (answer.empty() || answer[0] != 1) throw boards::comm_error(0, 0);
}

class vxn_ctrl_brd_dpp {
  public:
    // Baseline stage lengths (entries 0-7) and the stage-selection mode
    // (entry 8: 1 = derive the stages from the configuration).
    using baseline_table = std::array<uint16_t, 16>;

    vxn_ctrl_brd_dpp(vxn_ctrl_brd_dpp_chain* chain, unsigned short index, unsigned int major,
                     unsigned int minor, unsigned int patch, unsigned int type);
    virtual ~vxn_ctrl_brd_dpp();
    vxn_ctrl_brd_dpp(const vxn_ctrl_brd_dpp&) = delete;
    vxn_ctrl_brd_dpp& operator=(const vxn_ctrl_brd_dpp&) = delete;

    virtual void get_fw_release(unsigned int& major, unsigned int& minor, unsigned int& patch,
                                unsigned int& type);
    // Reads ACQ_CONTROL: (READ, {bit 2}), recording it as the running flag.
    virtual boards::result is_running();
    // Reads the running state once, as a first contact after discovery.
    virtual void init();
    // (READ, {LINK_STATUS}).
    boards::result get_slave_conn_complete();

    // --- Acquisition control (worker threads) ---------------------------------
    // Each returns (WRITE, the board's answer) for its last write, checked:
    // boards::comm_error(0, 0) for an answer other than the acknowledgement.
    virtual boards::result disableBoard(bool disable);
    // std::out_of_range "select_mode: mode" above 6, before anything else.
    boards::result select_mode(unsigned short mode);
    // std::out_of_range "set_spect_depth: depth" for a depth other than 1024,
    // 2048, 4096.
    boards::result set_spect_depth(unsigned short depth);
    // std::out_of_range "setMapPoints: map_points" for a count that does not
    // fit the 24 bits the register has for it.
    boards::result setMapPoints(unsigned int map_points);
    // The master writes the stop command; a slave has nothing to write.
    boards::result stop();
    // Sets the run command of the master's ACQ_CONTROL; not checked.
    boards::result run();
    // Range checks only, so that a chain can refuse before anything is written.
    static void check_waveform(unsigned short dec_ratio, unsigned int trig_level, bool list_wave,
                               unsigned short length);
    boards::result set_waveform(unsigned short dec_ratio, unsigned int trig_mask,
                                unsigned int trig_level, unsigned short length);
    boards::result set_list_waveform(unsigned short dec_ratio, unsigned int trig_mask,
                                     unsigned int trig_level, unsigned short length,
                                     unsigned short wave_extra);
    void clear() { data_.clear(); }

    // --- Parameters -----------------------------------------------------------
    unsigned int read_register(unsigned short address);
    // Writes at the board's own address and checks the acknowledgement.
    void write_checked(unsigned short address, const std::vector<unsigned int>& words);
    void set_timestamp_second(unsigned short second) { timestamp_delay_ = second; }

    unsigned short index() const { return index_; }
    bool running() const { return running_; }
    baseline_table get_baseline_parameters() const { return baseline_; }
    board_data& data() { return data_; }

  protected:
    std::vector<unsigned int> read(unsigned short address, unsigned short count = 1);
    std::vector<unsigned int> write(unsigned short address, const std::vector<unsigned int>& words);

    vxn_ctrl_brd_dpp_chain* const chain_;  // the owner; outlives its boards
    const unsigned short index_;
    const unsigned int fw_major_, fw_minor_, fw_patch_, fw_type_;
    std::atomic<unsigned short> timestamp_delay_{0};
    std::atomic<bool> running_{false};
    const baseline_table baseline_{0, 8, 16, 32, 64, 128, 256, 512, 1};
    board_data data_;
};
