// A chain of DPP boards behind one master reached over TCP/IP: its
// connection, its board objects, register access and discovery.
#pragma once

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "boards.h"

class vxn_ctrl_brd_dpp;

class vxn_ctrl_brd_dpp_chain : public boards {
  public:
    // Unicast board addresses end here; 159 + n is the broadcast address of a
    // chain of n boards.
    static constexpr unsigned short last_unicast_address = 159;

    // Connects the master (TCP/IP chains); throws what the connection throws
    // (boards::conn_error, std::system_error).
    vxn_ctrl_brd_dpp_chain(std::string identifier, bool comm_protocol);
    ~vxn_ctrl_brd_dpp_chain() override;

    // --- boards -------------------------------------------------------------
    unsigned int boards_in_chain() override;
    result is_running(unsigned short board) override;
    result disableBoard(unsigned short board, bool disable) override;
    result config_MCA(unsigned short mode, unsigned int time, unsigned int map_points,
                      unsigned int time_per_spectrum, unsigned short spect_depth) override;
    result start() override;
    result stop() override;
    void clear_chain() override;
    void clear_board(unsigned short board) override;
    void set_waveform(unsigned short& dec_ratio, unsigned int& trig_mask, unsigned int& trig_level,
                      unsigned short& length) override;
    void set_list_waveform(unsigned short& dec_ratio, unsigned int& trig_mask,
                           unsigned int& trig_level, unsigned short& length,
                           unsigned short& wave_extra) override;
    void getLiveData(unsigned short board, unsigned long* data, unsigned int& spectrum_id,
                     adv_stats& stats, unsigned int& size) override;
    void getLiveListWaveData(unsigned short board, unsigned long* data, unsigned long* second_data,
                             unsigned int& spectrum_id, adv_stats& stats,
                             unsigned int& size) override;
    void getWaveData(unsigned short board, unsigned short* data, unsigned int& size) override;
    void getAvailableData(unsigned short board, unsigned int& available) override;
    void getAllData(unsigned short board, unsigned short* data, unsigned int* spectrum_ids,
                    adv_stats* stats, unsigned int& size, unsigned int& count) override;
    void getLiveDataMap(unsigned short board, unsigned short* data, unsigned int& spectrum_id,
                        adv_stats& stats, unsigned int& size) override;
    void isTransmissionEnded(unsigned short board, bool& ended) override;
    void isLastDataReceived(unsigned short board, bool& received) override;
    result config_DPP(unsigned short board, unsigned short param, unsigned int value) override;
    unsigned int read_DPP(unsigned short board, unsigned short address) override;
    result configure(unsigned short board, configuration cfg) override;
    result configure_gating(unsigned short board, GatingMode mode) override;
    result configure_input(unsigned short board, InputMode mode) override;
    result configure_emulator(unsigned short board, bool on) override;
    result configure_offset(unsigned short board, configuration_offset offset) override;
    result configure_timestamp_delay(unsigned short board, unsigned short delay,
                                     unsigned short second) override;
    void set_dpp_int_param(unsigned int edge_peaking_time, unsigned int edge_flat_top,
                           unsigned int reset_recovery_time) override;
    void get_dpp_int_param(unsigned int& edge_peaking_time, unsigned int& edge_flat_top,
                           unsigned int& reset_recovery_time) override;
    result get_fw_release(unsigned short board) override;
    bool initialized_while_running() override { return false; }
    void read_all() override;
    void run_async_tasks() override;
    unsigned int getCmdPortID() override;
    void UpdateChain() override;
    void RemoveSlaves(unsigned short keep) override;
    void wait_data(unsigned short board, unsigned int packet_id,
                   std::vector<unsigned int>& out) override;
    void UpdateSingleSpectData(unsigned short board,
                               const std::vector<unsigned char>& bytes) override;
    void UpdateMapData(unsigned short board, const std::vector<unsigned char>& bytes) override;
    void UpdateWaveData(unsigned short board, const std::vector<unsigned char>& bytes) override;
    void UpdateListData(unsigned short board, const std::vector<unsigned char>& bytes) override;
    void UpdateListWaveData(unsigned short board, const std::vector<unsigned char>& bytes) override;
    bool getCommProtocol() override { return comm_protocol_; }
    result global_reset() override;
    void CloseCommPort() override;
    unsigned short get_spect_depth() override { return spect_depth_; }

    // --- Register access ------------------------------------------------------
    // Reads `count` registers of `board` from `address`. Unless `skip_checks`:
    // std::out_of_range "dpp_chain::write: chain unsupported" for a slave of a
    // master without daisy-chain support, "dpp_chain::write: Board" for a
    // board not in the chain. boards::comm_error when no answer comes.
    std::vector<unsigned int> read(unsigned short address, unsigned short board,
                                   unsigned short count, bool skip_checks);
    // Writes `words` to `board` from `address` and returns the answer words
    // (a board acknowledges with {1}). The checks let the position just past
    // the last board and every broadcast address through.
    std::vector<unsigned int> write(unsigned short address, unsigned short board,
                                    const std::vector<unsigned int>& words, bool skip_checks);
    // True when the board's firmware major release is above 3.
    bool is_supported_daisy_chain(unsigned short board);

    // Writes `words` at `address` of every board: one write to the broadcast
    // address 159 + n, or, where the chain is too long for the one-byte board
    // field to hold that address, one write to each board in turn. Throws
    // boards::comm_error(0, 0) for an answer other than the acknowledgement.
    std::vector<unsigned int> write_all(unsigned short address,
                                        const std::vector<unsigned int>& words);
    // The broadcast address of the chain, if the board field can carry it.
    bool has_broadcast_address();

    // The board at `index`, kept alive for the caller; std::out_of_range
    // `what` when there is none.
    std::shared_ptr<vxn_ctrl_brd_dpp> board_at(unsigned short index, const char* what);
    // Master accepted by discovery.
    bool is_initialized() const { return initialized_; }
    bool is_running_flag() const { return running_; }

  private:
    std::vector<std::shared_ptr<vxn_ctrl_brd_dpp>> boards_snapshot();
    // The boards of an accepted chain; fw_unsupported when there is none.
    std::vector<std::shared_ptr<vxn_ctrl_brd_dpp>> working_boards();
    // fw_unsupported without boards; running_error while board 0 acquires.
    void require_idle_master();
    // The board an index names; 255 names the last board, for an operation
    // that then reaches every board. std::out_of_range `what` otherwise.
    std::shared_ptr<vxn_ctrl_brd_dpp> addressed_board(unsigned short board, bool all_allowed,
                                                      const char* what);
    // The board of a data read: fw_unsupported without an accepted master,
    // std::out_of_range `what` for an index not in the chain.
    std::shared_ptr<vxn_ctrl_brd_dpp> data_board(unsigned short board, const char* what);
    // Writes to `board` alone, or to every board when `all`.
    void write_to(bool all, vxn_ctrl_brd_dpp& board, unsigned short address,
                  const std::vector<unsigned int>& words);
    // Discovery step for board `index`, which is not in the list yet.
    void add_board(unsigned short index);

    // The board objects; index = board address. Discovery appends and
    // RemoveSlaves trims while commands and the dispatcher look boards up, so
    // every access holds boards_mutex_ (a leaf lock: no register access is
    // made while holding it).
    std::vector<std::shared_ptr<vxn_ctrl_brd_dpp>> board_list_;
    mutable std::shared_mutex boards_mutex_;

    std::atomic<bool> running_{false};
    std::atomic<bool> initialized_{false};
    const bool comm_protocol_;
    std::atomic<unsigned short> spect_depth_{4096};
    // edge_peaking_time, edge_flat_top, reset_recovery_time of the last
    // configure; the worker thread writes, anyone reads.
    std::atomic<unsigned int> dpp_int_params_[3] = {0, 0, 0};
};
