// The chain interface: what the registry, the background threads and the
// exported functions know of a chain of boards. The one implementation is
// vxn_ctrl_brd_dpp_chain.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VXN_DPP.h"
#include "spectrum.h"

class comm_port;

class boards {
  public:
    // A board did not answer in time, or answered a write with something
    // other than the acknowledgement.
    class comm_error : public std::exception {
      public:
        comm_error(unsigned short board, unsigned int pkt_id) : board_(board), pkt_id_(pkt_id) {}
        unsigned int getPktID() const { return pkt_id_; }
        unsigned short getBoard() const { return board_; }

      private:
        unsigned short board_;
        unsigned int pkt_id_;
    };

    // The connection to the master could not be made.
    class conn_error : public std::exception {};

    // During discovery a chain member did not report its firmware release.
    class slave_comm_error : public std::exception {};

    // Acquisition modes (MODE_CONFIG bits 0-2).
    static constexpr unsigned short NORMAL_MODE = 0;
    static constexpr unsigned short MAP_NORMAL_MODE = 1;
    static constexpr unsigned short MAP_TRIGGER_MODE = 2;
    static constexpr unsigned short ANALOG_MODE = 3;
    static constexpr unsigned short LIST_MODE = 4;
    static constexpr unsigned short DIGITAL_MODE = 5;
    static constexpr unsigned short LIST_WAVE_MODE = 6;

    // Time-outs in milliseconds.
    static constexpr unsigned int read_timeout = 5000;
    static constexpr unsigned int idle_read_timeout = 2000;
    static constexpr unsigned int write_timeout = 4000;

    // (kind, words): kind is globals::ERR, READ or WRITE.
    using result = std::pair<unsigned short, std::vector<unsigned int>>;

    boards(std::string identifier, bool comm_protocol);
    virtual ~boards();
    boards(const boards&) = delete;
    boards& operator=(const boards&) = delete;

    std::string get_serial() const { return identifier_; }

    // Number of boards of the chain, master included.
    virtual unsigned int boards_in_chain() = 0;

    // --- Acquisition control ----------------------------------------------
    // Each refuses with fw_unsupported while the chain has no accepted
    // master; board indexes not in the chain give std::out_of_range.
    // (READ, {1}) while the board acquires, else (READ, {0}).
    virtual result is_running(unsigned short board) = 0;
    virtual result disableBoard(unsigned short board, bool disable) = 0;
    // Sets every board's mode, depth, map points and the acquisition times.
    virtual result config_MCA(unsigned short mode, unsigned int time, unsigned int map_points,
                              unsigned int time_per_spectrum, unsigned short spect_depth) = 0;
    // Empties the boards' stores and sets the master's run bit.
    virtual result start() = 0;
    // Writes the stop command to the master.
    virtual result stop() = 0;
    virtual void clear_chain() = 0;
    virtual void clear_board(unsigned short board) = 0;
    virtual void set_waveform(unsigned short& dec_ratio, unsigned int& trig_mask,
                              unsigned int& trig_level, unsigned short& length) = 0;
    virtual void set_list_waveform(unsigned short& dec_ratio, unsigned int& trig_mask,
                                   unsigned int& trig_level, unsigned short& length,
                                   unsigned short& wave_extra) = 0;

    // --- Acquired data (application threads) ------------------------------
    // Refuse with fw_unsupported while the chain has no accepted master and
    // with std::out_of_range for a board not in the chain; otherwise what the
    // board's store does (std::domain_error for the wrong mode,
    // std::out_of_range for a wrong size, std::underflow_error when nothing is
    // there yet, lock_error when the store stays locked).
    virtual void getLiveData(unsigned short board, unsigned long* data, unsigned int& spectrum_id,
                             adv_stats& stats, unsigned int& size) = 0;
    virtual void getLiveListWaveData(unsigned short board, unsigned long* data,
                                     unsigned long* second_data, unsigned int& spectrum_id,
                                     adv_stats& stats, unsigned int& size) = 0;
    virtual void getWaveData(unsigned short board, unsigned short* data, unsigned int& size) = 0;
    virtual void getAvailableData(unsigned short board, unsigned int& available) = 0;
    virtual void getAllData(unsigned short board, unsigned short* data, unsigned int* spectrum_ids,
                            adv_stats* stats, unsigned int& size, unsigned int& count) = 0;
    virtual void getLiveDataMap(unsigned short board, unsigned short* data,
                                unsigned int& spectrum_id, adv_stats& stats,
                                unsigned int& size) = 0;
    virtual void isTransmissionEnded(unsigned short board, bool& ended) = 0;
    virtual void isLastDataReceived(unsigned short board, bool& received) = 0;

    // --- Pulse-processing parameters --------------------------------------
    // Board index 255 means every board where an operation allows it.
    virtual result config_DPP(unsigned short board, unsigned short param, unsigned int value) = 0;
    virtual unsigned int read_DPP(unsigned short board, unsigned short address) = 0;
    virtual result configure(unsigned short board, configuration cfg) = 0;
    virtual result configure_gating(unsigned short board, GatingMode mode) = 0;
    virtual result configure_input(unsigned short board, InputMode mode) = 0;
    virtual result configure_emulator(unsigned short board, bool on) = 0;
    virtual result configure_offset(unsigned short board, configuration_offset offset) = 0;
    virtual result configure_timestamp_delay(unsigned short board, unsigned short delay,
                                             unsigned short second) = 0;
    virtual void set_dpp_int_param(unsigned int edge_peaking_time, unsigned int edge_flat_top,
                                   unsigned int reset_recovery_time) = 0;
    virtual void get_dpp_int_param(unsigned int& edge_peaking_time, unsigned int& edge_flat_top,
                                   unsigned int& reset_recovery_time) = 0;
    // (READ, {major, minor, patch, type}) read from the board's FW_RELEASE,
    // which need not be in the board list yet.
    virtual result get_fw_release(unsigned short board) = 0;
    // Always false: no chain is initialised while it acquires.
    virtual bool initialized_while_running() = 0;
    // Forward to the connection.
    virtual void read_all() = 0;
    virtual void run_async_tasks() = 0;
    virtual unsigned int getCmdPortID() = 0;

    // Discovery: reads the boards behind the last known one and appends them.
    // Throws boards::slave_comm_error when a new slave does not report its
    // release (boards::comm_error for board 0 when the master does not), std::runtime_error for an unsupported release,
    // boards::comm_error when a link status is not answered.
    virtual void UpdateChain() = 0;
    // Drops board objects from the end until at most `keep` remain.
    virtual void RemoveSlaves(unsigned short keep) = 0;

    // Waits up to read_timeout for the answer registered under `packet_id`
    // and moves its words into `out`. Throws boards::comm_error(board,
    // packet_id) when none comes; the registration is removed on every
    // outcome.
    virtual void wait_data(unsigned short board, unsigned int packet_id,
                           std::vector<unsigned int>& out) = 0;

    // Acquisition data for board `board`, on the dispatcher thread. Throw
    // std::out_of_range "UpdateData: Board" for a board not in the chain; do
    // nothing for empty bytes.
    virtual void UpdateSingleSpectData(unsigned short board,
                                       const std::vector<unsigned char>& bytes) = 0;
    virtual void UpdateMapData(unsigned short board, const std::vector<unsigned char>& bytes) = 0;
    virtual void UpdateWaveData(unsigned short board, const std::vector<unsigned char>& bytes) = 0;
    virtual void UpdateListData(unsigned short board, const std::vector<unsigned char>& bytes) = 0;
    virtual void UpdateListWaveData(unsigned short board,
                                    const std::vector<unsigned char>& bytes) = 0;

    // globals::TCPIP or globals::USB.
    virtual bool getCommProtocol() = 0;
    // Sends the chain reset; (WRITE, {1}).
    virtual result global_reset() = 0;
    // Closes the chain's connection; a second call does nothing.
    virtual void CloseCommPort() = 0;
    // The spectrum depth of the last acquisition set-up; sizes the spectrum
    // records of the chain's stream.
    virtual unsigned short get_spect_depth() = 0;

  protected:
    const std::string identifier_;
    std::shared_ptr<comm_port> connection_;
};
