// A chain object without boards or connection, for tests of the registry and
// the call frame that need chains in the map but no traffic.
#pragma once

#include <stdexcept>
#include <string>

#include "boards.h"
#include "exceptions.h"

class fake_chain : public boards {
  public:
    fake_chain(std::string identifier, unsigned int count, bool tcp = true)
        : boards(std::move(identifier), tcp), count_(count), tcp_(tcp) {}

    unsigned int boards_in_chain() override { return count_; }
    result is_running(unsigned short) override { throw fw_unsupported(); }
    result disableBoard(unsigned short, bool) override { throw fw_unsupported(); }
    result config_MCA(unsigned short, unsigned int, unsigned int, unsigned int,
                      unsigned short) override {
        throw fw_unsupported();
    }
    result start() override { throw fw_unsupported(); }
    result stop() override { throw fw_unsupported(); }
    void clear_chain() override { throw fw_unsupported(); }
    void clear_board(unsigned short) override { throw fw_unsupported(); }
    void set_waveform(unsigned short&, unsigned int&, unsigned int&, unsigned short&) override {
        throw fw_unsupported();
    }
    void set_list_waveform(unsigned short&, unsigned int&, unsigned int&, unsigned short&,
                           unsigned short&) override {
        throw fw_unsupported();
    }
    result config_DPP(unsigned short, unsigned short, unsigned int) override {
        throw fw_unsupported();
    }
    unsigned int read_DPP(unsigned short, unsigned short) override { throw fw_unsupported(); }
    result configure(unsigned short, configuration) override { throw fw_unsupported(); }
    result configure_gating(unsigned short, GatingMode) override { throw fw_unsupported(); }
    result configure_input(unsigned short, InputMode) override { throw fw_unsupported(); }
    result configure_emulator(unsigned short, bool) override { throw fw_unsupported(); }
    result configure_offset(unsigned short, configuration_offset) override {
        throw fw_unsupported();
    }
    result configure_timestamp_delay(unsigned short, unsigned short, unsigned short) override {
        throw fw_unsupported();
    }
    void getLiveData(unsigned short, unsigned long*, unsigned int&, adv_stats&,
                     unsigned int&) override {
        throw fw_unsupported();
    }
    void getLiveListWaveData(unsigned short, unsigned long*, unsigned long*, unsigned int&,
                             adv_stats&, unsigned int&) override {
        throw fw_unsupported();
    }
    void getWaveData(unsigned short, unsigned short*, unsigned int&) override {
        throw fw_unsupported();
    }
    void getAvailableData(unsigned short, unsigned int&) override { throw fw_unsupported(); }
    void getAllData(unsigned short, unsigned short*, unsigned int*, adv_stats*, unsigned int&,
                    unsigned int&) override {
        throw fw_unsupported();
    }
    void getLiveDataMap(unsigned short, unsigned short*, unsigned int&, adv_stats&,
                        unsigned int&) override {
        throw fw_unsupported();
    }
    void isTransmissionEnded(unsigned short, bool&) override { throw fw_unsupported(); }
    void isLastDataReceived(unsigned short, bool&) override { throw fw_unsupported(); }
    void set_dpp_int_param(unsigned int, unsigned int, unsigned int) override {}
    void get_dpp_int_param(unsigned int&, unsigned int&, unsigned int&) override {}
    result get_fw_release(unsigned short) override { return {2, {}}; }
    bool initialized_while_running() override { return false; }
    void read_all() override {}
    void run_async_tasks() override {}
    unsigned int getCmdPortID() override { return 0; }
    void UpdateChain() override {}
    void RemoveSlaves(unsigned short) override {}
    void wait_data(unsigned short board, unsigned int packet_id,
                   std::vector<unsigned int>&) override {
        throw comm_error(board, packet_id);
    }
    void UpdateSingleSpectData(unsigned short, const std::vector<unsigned char>&) override {}
    void UpdateMapData(unsigned short, const std::vector<unsigned char>&) override {}
    void UpdateWaveData(unsigned short, const std::vector<unsigned char>&) override {}
    void UpdateListData(unsigned short, const std::vector<unsigned char>&) override {}
    void UpdateListWaveData(unsigned short, const std::vector<unsigned char>&) override {}
    bool getCommProtocol() override { return tcp_; }
    result global_reset() override { return {2, {1}}; }
    void CloseCommPort() override { ++closed; }
    unsigned short get_spect_depth() override { return 4096; }

    int closed = 0;

  private:
    unsigned int count_;
    bool tcp_;
};
