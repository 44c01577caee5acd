#include "vxn_ctrl_brd_dpp_chain.h"

#include <chrono>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Boost_Log.h"
#include "TCPIP_Port.h"
#include "exceptions.h"
#include "globals.h"
#include "register_map.h"
#include "vxn_ctrl_brd_dpp.h"

vxn_ctrl_brd_dpp_chain::vxn_ctrl_brd_dpp_chain(std::string identifier, bool comm_protocol)
    : boards(identifier, comm_protocol), comm_protocol_(comm_protocol) {
    if (comm_protocol != globals::USB)
        connection_ = std::make_shared<TCPIP_Port>(identifier);
    // Gives the board time to set up its side of the four connections before
    // the first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    running_ = false;
}

vxn_ctrl_brd_dpp_chain::~vxn_ctrl_brd_dpp_chain() {
    // The boards refer to the chain: they go first, then the connection.
    std::unique_lock<std::shared_mutex> lock(boards_mutex_);
    board_list_.clear();
}

// --- Board list ------------------------------------------------------------------

unsigned int vxn_ctrl_brd_dpp_chain::boards_in_chain() {
    std::shared_lock<std::shared_mutex> lock(boards_mutex_);
    return static_cast<unsigned int>(board_list_.size());
}

std::shared_ptr<vxn_ctrl_brd_dpp> vxn_ctrl_brd_dpp_chain::board_at(unsigned short index,
                                                                   const char* what) {
    std::shared_lock<std::shared_mutex> lock(boards_mutex_);
    if (index >= board_list_.size())
        throw std::out_of_range(what);
    return board_list_[index];
}

std::vector<std::shared_ptr<vxn_ctrl_brd_dpp>> vxn_ctrl_brd_dpp_chain::boards_snapshot() {
    std::shared_lock<std::shared_mutex> lock(boards_mutex_);
    return board_list_;
}

void vxn_ctrl_brd_dpp_chain::RemoveSlaves(unsigned short keep) {
    std::unique_lock<std::shared_mutex> lock(boards_mutex_);
    while (board_list_.size() > keep) board_list_.pop_back();
}

// --- Register access ---------------------------------------------------------------

bool vxn_ctrl_brd_dpp_chain::is_supported_daisy_chain(unsigned short board) {
    const auto b = board_at(board, "is_supported_daisy_chain: Board");
    unsigned int major = 0, minor = 0, patch = 0, type = 0;
    b->get_fw_release(major, minor, patch, type);
    return major > 3;
}

std::vector<unsigned int> vxn_ctrl_brd_dpp_chain::read(unsigned short address, unsigned short board,
                                                       unsigned short count, bool skip_checks) {
    if (!skip_checks) {
        if (board != 0 && !is_supported_daisy_chain(0))
            throw std::out_of_range("dpp_chain::write: chain unsupported");
        if (board >= boards_in_chain())
            throw std::out_of_range("dpp_chain::write: Board");
    }
    const unsigned int packet_id = connection_->read_cmd(board, address, count);
    std::vector<unsigned int> words;
    wait_data(board, packet_id, words);
    return words;
}

std::vector<unsigned int> vxn_ctrl_brd_dpp_chain::write(unsigned short address,
                                                        unsigned short board,
                                                        const std::vector<unsigned int>& words,
                                                        bool skip_checks) {
    VXN_LOG("Functions", DBG) << "About to send write command1";
    if (!skip_checks) {
        if (board != 0 && !is_supported_daisy_chain(0))
            throw std::out_of_range("dpp_chain::write: chain unsupported");
        if (board > boards_in_chain() && board <= last_unicast_address)
            throw std::out_of_range("dpp_chain::write: Board");
    }
    VXN_LOG("Functions", DBG) << "About to send write command2";
    const unsigned int packet_id = connection_->write_cmd(board, address, words);
    VXN_LOG("Functions", DBG) << "Write command sent";
    std::vector<unsigned int> answer;
    wait_data(board, packet_id, answer);
    VXN_LOG("Functions", DBG) << "Write command answer received";
    return answer;
}

void vxn_ctrl_brd_dpp_chain::wait_data(unsigned short board, unsigned int packet_id,
                                       std::vector<unsigned int>& out) {
    const unsigned int nominal = running_ ? read_timeout : idle_read_timeout;
    auto forget = [packet_id] {
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        globals::promise_map.erase(packet_id);
    };
    std::future<std::vector<unsigned int>> answer;
    {
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        auto it = globals::promise_map.find(packet_id);
        if (it == globals::promise_map.end()) {
            VXN_LOG("Functions", ERR)
                << "Functions. Comunication error. Future status: current_future not valid. "
                   "Timeout: "
                << nominal;
            throw comm_error(board, packet_id);
        }
        answer = it->second.get_future();
    }
    const auto deadline =
        std::chrono::system_clock::now() + std::chrono::milliseconds(read_timeout);
    const std::future_status status = answer.wait_until(deadline);
    if (status != std::future_status::ready) {
        forget();
        VXN_LOG("Functions", ERR) << (status == std::future_status::timeout
                                          ? "Functions. Comunication error. Future status: "
                                            "timeout. Timeout: "
                                          : "Functions. Comunication error. Future status: "
                                            "deferred. Timeout: ")
                                  << nominal;
        throw comm_error(board, packet_id);
    }
    try {
        out = answer.get();
    } catch (...) {
        forget();
        throw;
    }
    forget();
}

// --- Discovery ----------------------------------------------------------------------

boards::result vxn_ctrl_brd_dpp_chain::get_fw_release(unsigned short board) {
    const auto words = read(reg::FW_RELEASE, board, 1, true);
    const unsigned int v = words.empty() ? 0 : words[0];
    return {globals::READ, {(v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, v >> 24}};
}

void vxn_ctrl_brd_dpp_chain::add_board(unsigned short index) {
    VXN_LOG("Global", INF) << "Getting firmware release: " << index;
    result release;
    try {
        release = get_fw_release(index);
    } catch (const comm_error&) {
        if (index > 0) {
            VXN_LOG("Global", INF) << "Comm error with a slave." << index;
            throw slave_comm_error();
        }
        // A silent master is the master's failure, not a slave's: reported as
        // such, it gets the chain marked disconnected and rebuilt once the
        // master answers again, instead of being rediscovered for ever.
        VXN_LOG("Global", INF) << "Comm error with the master." << 0;
        throw;
    }
    const unsigned int major = release.second[0], minor = release.second[1],
                       patch = release.second[2], type = release.second[3];
    VXN_LOG("Global", INF) << "Firmware release retrieved." << index;
    VXN_LOG("Global", INF) << "Board: #" << index + 1 << " -> Detected firmware: " << major << "."
                           << minor << "." << patch << ", type " << type;
    if (major <= 3) {
        VXN_LOG("Global", INF) << "Unsupported firmware.";
        throw std::runtime_error("[DPP] - This library does not support one board's firmware.");
    }
    if (index == 0)
        initialized_ = true;
    VXN_LOG("Global", INF) << "About to add the object.";
    auto board = std::make_shared<vxn_ctrl_brd_dpp>(this, index, major, minor, patch, type);
    {
        std::unique_lock<std::shared_mutex> lock(boards_mutex_);
        board_list_.push_back(board);
    }
    VXN_LOG("Global", INF) << "Initialization." << index;
    board->init();
    VXN_LOG("Global", INF) << "Init end." << index;
}

void vxn_ctrl_brd_dpp_chain::UpdateChain() {
    VXN_LOG("Global", INF) << "Starting slave scanning";
    const unsigned int known = boards_in_chain();
    unsigned short i = static_cast<unsigned short>(known == 0 ? 0 : known - 1);
    VXN_LOG("Global", INF) << "Last slave is: " << i;
    for (;;) {
        if (boards_in_chain() < i + 1u)
            add_board(i);

        VXN_LOG("Global", INF) << "Get calibration status with the slave.";
        const unsigned int s =
            board_at(i, "UpdateChain: Board")->get_slave_conn_complete().second.at(0);
        std::ostringstream line;
        line << "board: " << i << " - DRR_calib_done: " << (s & 1)
             << " - SX_board_present: " << ((s >> 1) & 1)
             << " - DX_board_present: " << ((s >> 2) & 1)
             << " - SERDES_calib_done_SX: " << ((s >> 3) & 1)
             << " - SERDES_calib_done_DX: " << ((s >> 4) & 1)
             << " - DX_board_is_Korvane: " << ((s >> 6) & 1) << "\n";
        std::cout << line.str() << std::flush;
        VXN_LOG("Global", INF) << "Ho controllato la parola 14 della scheda slave: " << i;

        if (!is_supported_daisy_chain(0)) {
            VXN_LOG("Global", INF) << "Daisy chain unsupported.";
            return;
        }
        if ((s & reg::LINK_SLAVE_READY) != reg::LINK_SLAVE_READY) {
            VXN_LOG("Global", INF) << "No slave connected.. "
                                   << "parola in pos 14: " << s;
            return;
        }
        VXN_LOG("Global", INF) << "Slave connected and calibrated..";
        if (s & reg::LINK_DX_BOARD_IS_MASTER) {
            VXN_LOG("Global", INF) << "Slave Connected but is a master. End loop.. "
                                   << "parola in pos 14: " << s;
            return;
        }
        VXN_LOG("Global", INF) << "Slave connected and not a master.."
                               << "parola in pos 14: " << s;
        if (i >= last_unicast_address) {
            // Positions past 159 cannot be addressed: the chain is used as far
            // as it can be reached.
            VXN_LOG("Global", ERR) << "Chain longer than the board address space. Boards after "
                                   << last_unicast_address << " are not used.";
            return;
        }
        ++i;
    }
}

// --- Connection ----------------------------------------------------------------------

void vxn_ctrl_brd_dpp_chain::read_all() {
    connection_->read_all();
}
void vxn_ctrl_brd_dpp_chain::run_async_tasks() {
    connection_->run_async_tasks();
}
unsigned int vxn_ctrl_brd_dpp_chain::getCmdPortID() {
    return connection_->getCmdPortID();
}

boards::result vxn_ctrl_brd_dpp_chain::global_reset() {
    connection_->global_reset();
    return {globals::WRITE, {1}};
}

void vxn_ctrl_brd_dpp_chain::CloseCommPort() {
    if (connection_)
        connection_->close_port();
}

// --- Acquired data ------------------------------------------------------------------

void vxn_ctrl_brd_dpp_chain::UpdateSingleSpectData(unsigned short board,
                                                   const std::vector<unsigned char>& bytes) {
    auto b = board_at(board, "UpdateData: Board");
    if (!bytes.empty())
        b->data().UpdateSingleSpectData(bytes);
}

void vxn_ctrl_brd_dpp_chain::UpdateMapData(unsigned short board,
                                           const std::vector<unsigned char>& bytes) {
    auto b = board_at(board, "UpdateData: Board");
    if (!bytes.empty())
        b->data().UpdateMapData(bytes);
}

void vxn_ctrl_brd_dpp_chain::UpdateWaveData(unsigned short board,
                                            const std::vector<unsigned char>& bytes) {
    auto b = board_at(board, "UpdateData: Board");
    if (!bytes.empty())
        b->data().UpdateWaveData(bytes);
}

void vxn_ctrl_brd_dpp_chain::UpdateListData(unsigned short board,
                                            const std::vector<unsigned char>& bytes) {
    auto b = board_at(board, "UpdateData: Board");
    if (!bytes.empty())
        b->data().UpdateListData(bytes);
}

void vxn_ctrl_brd_dpp_chain::UpdateListWaveData(unsigned short board,
                                                const std::vector<unsigned char>& bytes) {
    auto b = board_at(board, "UpdateData: Board");
    if (!bytes.empty())
        b->data().UpdateListWaveData(bytes);
}

// --- Reads of acquired data -----------------------------------------------------------

std::shared_ptr<vxn_ctrl_brd_dpp> vxn_ctrl_brd_dpp_chain::data_board(unsigned short board,
                                                                     const char* what) {
    if (!initialized_)
        throw fw_unsupported();
    return board_at(board, what);
}

void vxn_ctrl_brd_dpp_chain::getLiveData(unsigned short board, unsigned long* data,
                                         unsigned int& spectrum_id, adv_stats& stats,
                                         unsigned int& size) {
    data_board(board, "getLiveData: Board")->data().getLiveData(data, spectrum_id, stats, size);
}

void vxn_ctrl_brd_dpp_chain::getLiveListWaveData(unsigned short board, unsigned long* data,
                                                 unsigned long* second_data,
                                                 unsigned int& spectrum_id, adv_stats& stats,
                                                 unsigned int& size) {
    data_board(board, "getLiveData: Board")
        ->data()
        .getLiveListWaveData(data, second_data, spectrum_id, stats, size);
}

void vxn_ctrl_brd_dpp_chain::getWaveData(unsigned short board, unsigned short* data,
                                         unsigned int& size) {
    data_board(board, "getWaveData: Board")->data().getWaveData(data, size);
}

void vxn_ctrl_brd_dpp_chain::getAvailableData(unsigned short board, unsigned int& available) {
    data_board(board, "getAvailableData: Board")->data().getAvailableData(available);
}

void vxn_ctrl_brd_dpp_chain::getAllData(unsigned short board, unsigned short* data,
                                        unsigned int* spectrum_ids, adv_stats* stats,
                                        unsigned int& size, unsigned int& count) {
    data_board(board, "getAllData: Board")
        ->data()
        .getAllData(data, spectrum_ids, stats, size, count);
}

void vxn_ctrl_brd_dpp_chain::getLiveDataMap(unsigned short board, unsigned short* data,
                                            unsigned int& spectrum_id, adv_stats& stats,
                                            unsigned int& size) {
    data_board(board, "getLiveDataMap: Board")
        ->data()
        .getLiveDataMap(data, spectrum_id, stats, size);
}

void vxn_ctrl_brd_dpp_chain::isTransmissionEnded(unsigned short board, bool& ended) {
    data_board(board, "is_transmission_ended: Board")->data().isTransmissionEnded(ended);
}

void vxn_ctrl_brd_dpp_chain::isLastDataReceived(unsigned short board, bool& received) {
    data_board(board, "is_transmission_ended: Board")->data().isLastDataReceived(received);
}
