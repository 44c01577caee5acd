// The background thread that turns the address query into connected chains
// and keeps them current: it connects new addresses, rescans the chains for
// slaves that appeared or vanished, and resets, trims or drops chains that
// stopped answering. One per initialisation of the library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

class dpp_lan_resolver {
  public:
    dpp_lan_resolver();
    ~dpp_lan_resolver();
    dpp_lan_resolver(const dpp_lan_resolver&) = delete;
    dpp_lan_resolver& operator=(const dpp_lan_resolver&) = delete;

    // Starts the thread (once per object).
    void Start();
    // Ends the thread within one cycle (waking it if asleep) and joins it. A
    // second call does nothing.
    void Stop();
    // Resumes scanning after GoAsleep.
    void WakeUp();
    // Asks the thread to sleep from its next cycle on; does not wait.
    void GoAsleep();

    // Resolving cycles completed while the library was initialised. Read and
    // advanced under the registry's scan_mutex, so that InitLibrary can wait
    // for a cycle that started after it set the initialised flag.
    unsigned long completed_cycles() const { return completed_cycles_; }

  private:
    void ThreadMain();
    // One pass over the query and the chains; returns whether anything
    // changed (the next cycle then comes sooner).
    bool ResolvingCycle();
    bool stop_requested(std::chrono::milliseconds wait);

    std::promise<void> stop_signal_;
    std::shared_future<void> stop_future_;
    std::once_flag stop_once_;
    std::thread thread_;
    std::atomic<bool> asleep_{false};
    std::mutex mutex_;                    // sleeping and waking
    std::condition_variable_any wake_;    // with mutex_
    unsigned long completed_cycles_ = 0;  // registry scan_mutex
};
