#include "dpp_lan_resolver.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "Boost_Log.h"
#include "boards.h"
#include "exceptions.h"
#include "globals.h"

#define LAN_LOG(level) VXN_LOG("Lan resolver", level)

using namespace std::chrono_literals;

namespace {

void log_marker(const char* phrase) {
    LAN_LOG(INF) << "\n\n" << phrase << "\n";
}

// A failure of a kind the passes do not expect ends the treatment of one entry
// or chain, never the thread: the other chains still get their rescans.
void log_unexpected(const char* pass, const std::string& identifier) {
    try {
        throw;
    } catch (const std::exception& e) {
        LAN_LOG(ERR) << "Lan resolver. Unexpected failure in " << pass
                     << ". Identifier: " << identifier << ". Description: " << e.what() << ".";
    } catch (...) {
        LAN_LOG(ERR) << "Lan resolver. Unexpected failure in " << pass
                     << ". Identifier: " << identifier << ".";
    }
}

// A slave stopped answering: every board is dropped and the chain reset, to
// be discovered again from the master; error 83 tells the application.
void drop_boards(const std::string& identifier, unsigned short failed_board) {
    globals* registry = globals::get();
    LAN_LOG(INF) << "Lan resolver. Communication error with a slave. Remove slaves from: "
                 << failed_board << ".";
    registry->RemoveDevicesFromChain(identifier, 0);
    registry->ResetChain(identifier);
    globals::set_last_error(EC_SLAVES_REMOVED);
}

// Pass 1: the master answered but discovery failed on the way; the chain is
// reset and counts as connected, so that the next cycles rescan it.
void reset_after_discovery_failure(const std::string& address) {
    globals* registry = globals::get();
    LAN_LOG(INF) << "Lan resolver. Connected to master, but reading from a slave reported an "
                    "error. Identifier: "
                 << address << ".";
    try {
        registry->ResetChain(address);
    } catch (const std::system_error&) {
        globals::set_last_error(EC_COMMUNICATION);
    } catch (...) {
        log_unexpected("pass 1 recovery", address);
    }
    registry->SetQueryEntryConnected(address);
}

}  // namespace

dpp_lan_resolver::dpp_lan_resolver() : stop_future_(stop_signal_.get_future().share()) {}

dpp_lan_resolver::~dpp_lan_resolver() {
    Stop();
}

void dpp_lan_resolver::Start() {
    LAN_LOG(INF) << "Lan resolver. Starting lan resolver thread.";
    thread_ = std::thread([this] { ThreadMain(); });
}

void dpp_lan_resolver::Stop() {
    bool first = false;
    std::call_once(stop_once_, [&] {
        first = true;
        LAN_LOG(INF) << "Lan resolver. Stopping lan resolver thread.";
        stop_signal_.set_value();
    });
    if (!first)
        return;
    WakeUp();
    if (thread_.joinable())
        thread_.join();
    LAN_LOG(INF) << "Lan resolver. Lan resolver stopped.";
}

void dpp_lan_resolver::WakeUp() {
    asleep_ = false;
    LAN_LOG(INF) << "Lan resolver. Wake up lan resolver thread.";
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_one();
}

void dpp_lan_resolver::GoAsleep() {
    LAN_LOG(INF) << "Lan resolver. Make lan resolver thread to go asleep.";
    asleep_ = true;
}

bool dpp_lan_resolver::stop_requested(std::chrono::milliseconds wait) {
    return stop_future_.wait_for(wait) == std::future_status::ready;
}

void dpp_lan_resolver::ThreadMain() {
    globals* registry = globals::get();
    for (;;) {
        LAN_LOG(INF) << "Lan resolver. Starting lan resolving.";
        bool changed = registry->is_Initialized();
        bool resolved = false;
        if (!registry->is_Initialized()) {
            LAN_LOG(INF) << "Lan resolver. DLL not yet inizialized, wait.";
            stop_requested(100ms);
        } else {
            std::unique_lock<std::mutex> lock(mutex_);
            if (asleep_) {
                LAN_LOG(INF) << "Lan resolver. Going asleep.";
                wake_.wait(lock, [this] { return !asleep_; });
                LAN_LOG(INF) << "Lan resolver. Resumed from sleep.";
                changed = false;
            } else {
                lock.unlock();
                try {
                    changed = ResolvingCycle();
                } catch (...) {
                    log_unexpected("resolving cycle", "");
                    changed = false;
                }
                resolved = true;
            }
        }
        {
            std::lock_guard<std::mutex> scan(registry->scan_mutex);
            if (resolved)
                ++completed_cycles_;
            registry->scan_done.notify_all();
        }
        // The pauses end early when the thread is asked to stop, so that
        // closing the library does not wait for a whole idle second.
        if (!stop_requested(1ms)) {
            if (changed) {
                LAN_LOG(INF) << "Lan resolver. Fast cycle.";
                stop_requested(10ms);
            } else {
                LAN_LOG(INF) << "Lan resolver. Slow cycle.";
                stop_requested(1000ms);
            }
        } else {
            LAN_LOG(INF) << "Lan resolver. About to terminate, recycle fast.";
        }
        log_marker("FINE DO....");
        if (stop_requested(1ms))
            return;
    }
}

bool dpp_lan_resolver::ResolvingCycle() {
    globals* registry = globals::get();
    bool changed = false;
    log_marker("INIZIO DO");
    LAN_LOG(TRC) << "Getting lan resolver mutex.";
    std::lock_guard<std::mutex> cycle(globals::lan_resolver_mutex);
    LAN_LOG(TRC) << "Lan resolver mutex retrieved.";

    globals::chain_map chains = registry->GetEthDevicesList();
    globals::query_list query = registry->GetQuery();
    LAN_LOG(INF) << "Lan resolver. Query and devices list retrieved.";
    LAN_LOG(INF) << "Lan resolver. Iterating on query list first.";

    // Pass 1: connect new addresses, drop chains marked disconnected.
    for (const auto& [address, connected] : query) {
        log_marker("INIZIO PRIMO FOR");
        try {
            if (chains.count(address) != 0) {
                LAN_LOG(INF) << "Lan resolver. Query entry found among devices objects. "
                                "Identifier: "
                             << address << ".";
                if (!connected) {
                    LAN_LOG(INF) << "Lan resolver. But disconnected. Removing from devices list.";
                    registry->RemoveDeviceFromList(address);
                    LAN_LOG(INF) << "Lan resolver. Device object removed.";
                    changed = true;
                }
            } else {
                LAN_LOG(INF) << "Lan resolver. New board in the query, try object instantiation. "
                                "Identifier: "
                             << address << ".";
                if (registry->AddDeviceToList(address, globals::TCPIP)) {
                    LAN_LOG(INF) << "Lan resolver. Successfully connected to endpoints.";
                    registry->UpdateLastDeviceChain();
                    changed = true;
                }
                registry->SetQueryEntryConnected(address);
                LAN_LOG(INF) << "Lan resolver. Set " << address << " as connected.";
            }
        } catch (const boards::comm_error&) {
            reset_after_discovery_failure(address);
        } catch (const boards::slave_comm_error&) {
            reset_after_discovery_failure(address);
        } catch (const boards::conn_error&) {
            LAN_LOG(INF) << "Lan resolver. Connection problem, set as disconnected.  Identifier: "
                         << address << ".";
            registry->SetQueryEntryDisconnected(address);
        } catch (const std::system_error&) {
            LAN_LOG(INF) << "Lan resolver. Connection problem, set as disconnected.  Identifier: "
                         << address << ".";
            registry->SetQueryEntryDisconnected(address);
        } catch (...) {
            // The chain, if it was built, stays registered (an unsupported
            // master, say, whose commands are then refused): dropping it would
            // only rebuild it in the next cycle, over and over.
            log_unexpected("pass 1", address);
            registry->SetQueryEntryConnected(address);
        }
    }
    log_marker("FINE PRIMO FOR");

    chains = registry->GetEthDevicesList();
    query = registry->GetQuery();
    LAN_LOG(INF) << "Lan resolver. Updated TCP query and devices list.";

    // Pass 2: drop chains that were disconnected or left the query, rescan
    // the others.
    for (const auto& entry : chains) {
        const std::string& identifier = entry.first;
        log_marker("INIZIO SECONDO FOR");
        const auto q = std::find_if(query.begin(), query.end(),
                                    [&](const auto& e) { return e.first == identifier; });
        try {
            if (q != query.end() && !q->second) {
                LAN_LOG(INF) << "Lan resolver. Device disconnected. Remove it from devices list. "
                                "Identifier: "
                             << identifier << ".";
                registry->RemoveDeviceFromList(identifier);
                changed = true;
            } else if (q != query.end()) {
                LAN_LOG(INF) << "Lan resolver. Update device chain. Identifier: " << identifier
                             << ".";
                registry->ScanSlaves(identifier);
            } else {
                LAN_LOG(INF) << "Lan resolver. Device removed from query. Remove it from devices "
                                "list. Identifier: "
                             << identifier << ".";
                registry->RemoveDeviceFromList(identifier);
                changed = true;
            }
        } catch (const boards::comm_error& e) {
            changed = true;
            try {
                if (e.getBoard() == 0) {
                    LAN_LOG(INF) << "Lan resolver. Communication error with the master. Set as "
                                    "disconnected. Identifier: "
                                 << identifier << ".";
                    registry->SetQueryEntryDisconnected(identifier);
                    registry->ResetChain(identifier);
                } else {
                    registry->SetQueryEntryDisconnected(identifier);
                    // The application must learn that boards left the chain,
                    // whichever pass noticed it.
                    drop_boards(identifier, e.getBoard());
                }
            } catch (const std::system_error&) {
                globals::set_last_error(EC_COMMUNICATION);
            } catch (...) {
                log_unexpected("pass 2 recovery", identifier);
            }
        } catch (const boards::slave_comm_error&) {
            changed = true;
            LAN_LOG(INF) << "Lan resolver. Connected to master, but reading from a slave "
                            "reported an error. Identifier: "
                         << identifier << ".";
        } catch (const std::system_error&) {
            changed = true;
            LAN_LOG(INF) << "Lan resolver. Communication error. Set as disconnected. Identifier: "
                         << identifier << ".";
            registry->SetQueryEntryDisconnected(identifier);
        } catch (...) {
            log_unexpected("pass 2", identifier);
        }
    }
    log_marker("FINE SECONDO FOR");

    // Pass 3: rescan every chain of the list, which rediscovers the chains
    // whose boards pass 2 dropped.
    for (const auto& entry : chains) {
        const std::string& identifier = entry.first;
        LAN_LOG(INF) << "Lan resolver. Update device chain. Identifier: " << identifier << ".";
        try {
            registry->ScanSlaves(identifier);
        } catch (const boards::comm_error& e) {
            try {
                if (e.getBoard() == 0) {
                    LAN_LOG(INF) << "Lan resolver. Communication error with the master. Set as "
                                    "disconnected. Identifier: "
                                 << identifier << ".";
                    registry->ResetChain(identifier);
                } else {
                    drop_boards(identifier, e.getBoard());
                }
            } catch (const std::runtime_error&) {
                globals::set_last_error(EC_COMMUNICATION);
            } catch (const boards::comm_error&) {
                globals::set_last_error(EC_COMMUNICATION);
            } catch (...) {
                log_unexpected("pass 3 recovery", identifier);
            }
        } catch (const boards::slave_comm_error&) {
            LAN_LOG(INF) << "Lan resolver. Connected to USB master, but reading from a slave "
                            "reported an error. Identifier: "
                         << identifier << ".";
            try {
                registry->ResetChain(identifier);
            } catch (const std::runtime_error&) {
                globals::set_last_error(EC_COMMUNICATION);
            } catch (...) {
                log_unexpected("pass 3 recovery", identifier);
            }
        } catch (const std::out_of_range&) {
            LAN_LOG(INF) << "Lan resolver. Daisy chain unsupported. Identifier: " << identifier
                         << ".";
        } catch (const invalid_serial&) {
            LAN_LOG(INF) << "Lan resolver. USB communication error _invalid_serial. Set as "
                            "disconnected. Identifier: "
                         << identifier << ".";
        } catch (const std::system_error&) {
            LAN_LOG(INF) << "Lan resolver. USB communication error _system_error. Set as "
                            "disconnected. Identifier: "
                         << identifier << ".";
        } catch (const std::runtime_error&) {
            LAN_LOG(INF) << "Lan resolver. USB communication error _runtime_error. Set as "
                            "disconnected. Identifier: "
                         << identifier << ".";
        } catch (...) {
            log_unexpected("pass 3", identifier);
        }
    }
    return changed;
}
