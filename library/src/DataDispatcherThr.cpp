#include "DataDispatcherThr.h"

#include <chrono>
#include <stdexcept>

#include "Boost_Log.h"
#include "boards.h"
#include "globals.h"

#define DISPATCH_LOG(level) VXN_LOG("Data Dispatcher Thread", level)

DataDispatcherThr::DataDispatcherThr() : stop_future_(stop_signal_.get_future().share()) {}

DataDispatcherThr::~DataDispatcherThr() {
    Stop();
}

void DataDispatcherThr::Start() {
    thread_ = std::thread([this] { ThreadMain(); });
}

bool DataDispatcherThr::stop_requested(int wait_ms) {
    return stop_future_.wait_for(std::chrono::milliseconds(wait_ms)) == std::future_status::ready;
}

void DataDispatcherThr::Stop() {
    std::call_once(stop_once_, [this] { stop_signal_.set_value(); });
    if (!thread_.joinable())
        return;
    // Holding the events lock shows that the thread is not asleep waiting for
    // data; wake it until it lets go.
    while (!disp_events_mutex_.try_lock_for(std::chrono::milliseconds(50))) WakeUp();
    DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Released disp events mutex.";
    disp_events_mutex_.unlock();
    DISPATCH_LOG(DBG)
        << "Data Dispatcher Thread. Terminating and destroying Data Dispatcher thread.";
    thread_.join();
    DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Terminated Data Dispatcher thread.";
}

void DataDispatcherThr::WakeUp() {
    DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Waking up data dispatcher.";
    globals::get()->ForceWakeupDispatcher();
}

void DataDispatcherThr::FlushData(const std::string& identifier) {
    DISPATCH_LOG(DBG)
        << "Data Dispatcher Thread. Getting data dispatcher mutex to erase structures.";
    std::lock_guard<std::mutex> lock(data_dispatcher_mutex_);
    finders_.erase(identifier);
    uncommitted_data_.clear();
    DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Data erased for board: " << identifier << ".";
}

size_t DataDispatcherThr::uncommitted_bytes(const std::string& identifier, unsigned short board) {
    std::lock_guard<std::mutex> lock(data_dispatcher_mutex_);
    auto it = uncommitted_data_.find({identifier, board});
    if (it == uncommitted_data_.end())
        return 0;
    size_t n = 0;
    for (const auto& piece : it->second) n += piece.bytes.size();
    return n;
}

void DataDispatcherThr::ThreadMain() {
    globals* registry = globals::get();
    while (!stop_requested(0)) {
        bool idle = true;
        for (const auto& entry : registry->GetDevicesList())
            if (globals::GetRawSize(entry.first) != 0)
                idle = false;
        {
            std::lock_guard<std::recursive_timed_mutex> events(disp_events_mutex_);
            if (idle && !stop_requested(1)) {
                DISPATCH_LOG(TRC) << "Data Dispatcher Thread. No data from all boards or no "
                                     "devices. Going asleep.";
                globals::WaitPushSignal();
                DISPATCH_LOG(TRC) << "Data Dispatcher Thread. A push signal resumed dispatching.";
            }
        }

        const globals::chain_map chains = registry->GetDevicesList();
        {
            std::lock_guard<std::mutex> lock(data_dispatcher_mutex_);
            ProcessUncommitted();
            // One chunk per chain per pass: chains are served in turn.
            for (const auto& entry : chains) {
                std::vector<unsigned char> chunk;
                globals::PopRawPacket(entry.first, chunk);
                if (chunk.empty())
                    continue;
                AnalyzePacket(chunk, entry.first);
                // Yield between chains rather than pause: a pause here would
                // add to the round trip of every register access.
                std::this_thread::yield();
                if (stop_requested(0)) {
                    DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Thread need to be stopped, "
                                         "breaking the loop.";
                    break;
                }
            }
        }
        if (stop_requested(0))
            break;
    }
}

void DataDispatcherThr::AnalyzePacket(std::vector<unsigned char>& chunk,
                                      const std::string& identifier) {
    unsigned short depth = 0;
    try {
        depth = globals::get()->GetSpectDepth(identifier);
    } catch (const std::out_of_range&) {
        globals::set_last_error(EC_COMMUNICATION);
        DISPATCH_LOG(ERR) << "Data Dispatcher Thread. Packet from a device no more in the list.";
        return;
    }
    std::vector<found_frame> frames;
    finders_[identifier].feed(chunk.data(), chunk.size(), depth, frames);
    for (auto& frame : frames) {
        if (frame.type == found_frame::data) {
            DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Data for board: " << frame.board
                              << ". Kind: " << frame.kind << ". Length: " << frame.bytes.size()
                              << ".";
            route(identifier, frame);
        } else {
            DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Recognized packet header. CMD: "
                              << unsigned(frame.code) << ". Board: " << frame.board
                              << ". Pkt_no: " << unsigned(frame.packet_id)
                              << ". Length: " << frame.words.size() << ".";
            fulfil(frame);
        }
    }
}

void DataDispatcherThr::fulfil(const found_frame& answer) {
    std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
    auto it = globals::promise_map.find(answer.packet_id);
    if (it == globals::promise_map.end()) {
        globals::set_last_error(EC_UNMATCHED_ANSWER);
        DISPATCH_LOG(ERR) << "Data Dispatcher Thread. No promise to signal.";
        return;
    }
    try {
        if (answer.type == found_frame::read_answer)
            it->second.set_value(answer.words);
        else
            it->second.set_value(std::vector<unsigned int>{1});
    } catch (const std::future_error&) {
        // A second answer under an id whose answer was delivered and is not
        // collected yet: the first one stands.
        DISPATCH_LOG(WAR) << "Data Dispatcher Thread. Answer already delivered. Pkt_no: "
                          << unsigned(answer.packet_id) << ". Ignored.";
    }
}

void DataDispatcherThr::deliver(const std::string& identifier, unsigned short board,
                                unsigned short kind, const std::vector<unsigned char>& bytes) {
    globals* registry = globals::get();
    switch (kind) {
        case data_kind::spectrum:
            registry->UpdateSingleSpectData(identifier, board, bytes);
            break;
        case data_kind::map:
            registry->UpdateMapData(identifier, board, bytes);
            break;
        case data_kind::waveform:
            registry->UpdateWaveData(identifier, board, bytes);
            break;
        case data_kind::list:
            registry->UpdateListData(identifier, board, bytes);
            break;
        case data_kind::list_wave:
            registry->UpdateListWaveData(identifier, board, bytes);
            break;
        default:
            break;
    }
}

void DataDispatcherThr::route(const std::string& identifier, found_frame& data) {
    const board_key key{identifier, data.board};
    auto waiting = uncommitted_data_.find(key);
    if (waiting != uncommitted_data_.end()) {
        waiting->second.push_back({data.kind, std::move(data.bytes)});
        DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Data is uncommitable. Board object "
                             "already not created.";
        return;
    }
    try {
        deliver(identifier, data.board, data.kind, data.bytes);
    } catch (const std::out_of_range&) {
        uncommitted_data_[key].push_back({data.kind, std::move(data.bytes)});
        DISPATCH_LOG(DBG) << "Data Dispatcher Thread. Data is uncommitable. Board object "
                             "already not created.";
    } catch (const std::exception& e) {
        // The board's data lock was not obtained in time: the board logged the
        // loss; the stream goes on.
        DISPATCH_LOG(ERR) << "Data Dispatcher Thread. Delivery failed, data lost. Board: "
                          << data.board << ". Reason: " << e.what() << ".";
    }
}

void DataDispatcherThr::ProcessUncommitted() {
    const globals::chain_map chains = globals::get()->GetDevicesList();
    for (auto entry = uncommitted_data_.begin(); entry != uncommitted_data_.end();) {
        const std::string& identifier = entry->first.first;
        if (chains.find(identifier) == chains.end()) {
            ++entry;
            continue;
        }
        DISPATCH_LOG(TRC) << "Data Dispatcher Thread. Uncommitted. Device object found: "
                          << identifier << ".";
        auto& pieces = entry->second;
        bool delivered_some = false;
        while (!pieces.empty()) {
            try {
                deliver(identifier, entry->first.second, pieces.front().kind, pieces.front().bytes);
            } catch (const std::exception&) {
                // The board is still missing, or its data lock is busy: the
                // data waits for the next pass, in order.
                DISPATCH_LOG(TRC) << "Data Dispatcher Thread. Still impossible to commit data.";
                break;
            }
            pieces.pop_front();
            delivered_some = true;
        }
        if (pieces.empty()) {
            DISPATCH_LOG(TRC) << "Data Dispatcher Thread. All uncommited data written. Delete "
                                 "entry.";
            entry = uncommitted_data_.erase(entry);
        } else {
            if (delivered_some)
                DISPATCH_LOG(TRC) << "Data Dispatcher Thread. Some uncommited data remaining. "
                                     "Erase the part of it already written.";
            ++entry;
        }
    }
}
