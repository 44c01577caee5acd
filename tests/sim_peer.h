// Test peers: simulated chains on their own loopback address, and the
// library's registry with its dispatcher running (but no LAN resolver), so
// that a test drives chains directly and deterministically.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "DataDispatcherThr.h"
#include "globals.h"
#include "vxn_ctrl_brd_dpp.h"
#include "vxn_ctrl_brd_dpp_chain.h"
#include "vxnsim/sim_chain.h"

namespace vxntest {

// Starts a simulated chain and waits until it listens.
inline std::unique_ptr<vxnsim::SimChain> start_sim(const std::string& ip, unsigned boards,
                                                   uint32_t fw_release = 0x00040201) {
    vxnsim::ChainOptions options;
    options.ip = ip;
    options.boards = boards;
    options.fw_release = fw_release;
    auto sim = std::make_unique<vxnsim::SimChain>(options);
    sim->start();
    return sim;
}

// Polls `condition` until it holds or `timeout` passes; for states that only
// the library's own threads change and that have no event to wait on.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The registry initialised with a running dispatcher; chains are added by the
// test itself. Stops everything on destruction.
class registry_with_dispatcher {
  public:
    registry_with_dispatcher() {
        registry_->set_Initialized();
        registry_->set_dispatcher_thr();
        registry_->get_dispatcher_thr()->Start();
    }
    ~registry_with_dispatcher() {
        registry_->closeDevices();
        registry_->get_dispatcher_thr()->Stop();
        registry_->unset_Initialized();
    }
    registry_with_dispatcher(const registry_with_dispatcher&) = delete;
    registry_with_dispatcher& operator=(const registry_with_dispatcher&) = delete;

    // Connects the chain of `ip` (about 2 s) without running discovery.
    std::shared_ptr<vxn_ctrl_brd_dpp_chain> add(const std::string& ip) {
        EXPECT_TRUE(registry_->AddDeviceToList(ip, globals::TCPIP)) << ip;
        return std::dynamic_pointer_cast<vxn_ctrl_brd_dpp_chain>(registry_->getByID(ip));
    }
    // Connects and discovers the chain.
    std::shared_ptr<vxn_ctrl_brd_dpp_chain> discover(const std::string& ip) {
        auto chain = add(ip);
        chain->UpdateChain();
        return chain;
    }
    globals* registry() const { return registry_; }
    DataDispatcherThr& dispatcher() const { return *registry_->get_dispatcher_thr(); }

  private:
    globals* registry_ = globals::get();
};

}  // namespace vxntest
