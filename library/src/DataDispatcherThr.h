// The thread that turns the bytes received from every chain into frames:
// it completes the register accesses waiting for answers and delivers the
// acquisition data to the boards. One per initialisation of the library.
#pragma once

#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame_finder.h"

class DataDispatcherThr {
  public:
    DataDispatcherThr();
    ~DataDispatcherThr();
    DataDispatcherThr(const DataDispatcherThr&) = delete;
    DataDispatcherThr& operator=(const DataDispatcherThr&) = delete;

    // Starts the thread (once per object).
    void Start();
    // Ends the thread after its current pass and joins it. A second call does
    // nothing.
    void Stop();
    // Wakes the thread if it sleeps waiting for data.
    void WakeUp();
    // Forgets the chain's partly received frames, and every chain's data kept
    // for boards that did not exist yet (a chain reset makes it stale).
    void FlushData(const std::string& identifier);

    // Bytes held for boards that do not exist yet, per (identifier, board).
    size_t uncommitted_bytes(const std::string& identifier, unsigned short board);

  private:
    using board_key = std::pair<std::string, unsigned short>;
    // One delivery held back: replayed as it would have been delivered.
    struct held_piece {
        unsigned short kind = 0;
        std::vector<unsigned char> bytes;
    };

    void ThreadMain();
    void AnalyzePacket(std::vector<unsigned char>& chunk, const std::string& identifier);
    void ProcessUncommitted();
    // Hands one answer to the request waiting for it.
    void fulfil(const found_frame& answer);
    // Delivers acquisition data to its board, or keeps it when the board does
    // not exist yet. Data of a board that already has data waiting joins the
    // queue behind it, so that order is kept.
    void route(const std::string& identifier, found_frame& data);
    // Throws std::out_of_range when the chain or the board is missing.
    static void deliver(const std::string& identifier, unsigned short board, unsigned short kind,
                        const std::vector<unsigned char>& bytes);
    bool stop_requested(int wait_ms);

    // Guarded by data_dispatcher_mutex_.
    std::map<std::string, frame_finder> finders_;
    std::map<board_key, std::deque<held_piece>> uncommitted_data_;

    std::promise<void> stop_signal_;
    std::shared_future<void> stop_future_;
    std::once_flag stop_once_;
    std::thread thread_;
    std::mutex data_dispatcher_mutex_;              // the stores, for a whole pass
    std::recursive_timed_mutex disp_events_mutex_;  // held while checking for work and sleeping
};
