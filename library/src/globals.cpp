#include "globals.h"

#include <algorithm>
#include <iostream>

#include "Boost_Log.h"
#include "DataDispatcherThr.h"
#include "boards.h"
#include "dpp_lan_resolver.h"
#include "exceptions.h"
#include "vxn_ctrl_brd_dpp_chain.h"

// Objects with static storage die in the reverse order of their definition in
// this file: the registry object (inst_ptr) is defined after the maps it
// works on, so that its destructor still finds them.
std::mutex global_data_mutex;
std::condition_variable_any data_notifier;
globals::chain_map globals::devices;
globals::query_list globals::query;
std::map<std::string, raw_buffers_queue<unsigned char>> globals::raw_queues;
std::mutex globals::raw_queues_mutex;
std::map<unsigned int, std::promise<std::vector<unsigned int>>> globals::promise_map;
uint8_t globals::pkt_id = 0;
std::mutex globals::pkt_id_mutex;
std::atomic<error_code> globals::last_error{EC_NONE};
unsigned int globals::call_id = 1;
std::mutex globals::lan_resolver_mutex;
std::mutex globals::async_task_mutex;
std::atomic<uint8_t> globals::callback_registration_status{NO_CALLBACK};
std::atomic<vxn_dpp_callback> globals::callback_function{nullptr};
std::unique_ptr<globals> globals::inst_ptr;
// Defined last, so destroyed first: at exit it waits for a task still
// running, while everything that task uses is alive.
std::future<void> globals::pending_futures;

globals* globals::get() {
    static std::once_flag created;
    std::call_once(created, [] { inst_ptr.reset(new globals); });
    return inst_ptr.get();
}

globals::~globals() {
    VXN_LOG("Global", TRC) << "Closing globals.";
    // A host that exits without CloseLibrary (and before any InitLibrary
    // registered the exit handler): the threads must not outlive the state
    // they work on.
    shut_down_at_exit();
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    devices.clear();
}

void globals::shut_down_at_exit() {
    callback_registration_status = NO_CALLBACK;
    stop_threads();
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    for (auto& entry : devices) entry.second->CloseCommPort();
}

void globals::stop_threads() {
    std::shared_ptr<dpp_lan_resolver> resolver;
    std::shared_ptr<DataDispatcherThr> dispatcher;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        resolver = lan_resolver_thr_;
        dispatcher = dispatcher_thr_;
    }
    if (resolver)
        resolver->Stop();
    if (dispatcher)
        dispatcher->Stop();
}

void globals::set_dispatcher_thr() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    dispatcher_thr_ = std::make_shared<DataDispatcherThr>();
    VXN_LOG("Global", DBG) << "Set dispatcher thread: " << dispatcher_thr_.get();
}

std::shared_ptr<DataDispatcherThr> globals::get_dispatcher_thr() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    return dispatcher_thr_;
}

void globals::set_lan_resolver_thr() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    lan_resolver_thr_ = std::make_shared<dpp_lan_resolver>();
    VXN_LOG("Global", DBG) << "Set lan resolver thread: " << lan_resolver_thr_.get();
}

std::shared_ptr<dpp_lan_resolver> globals::get_lan_resolver_thr() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    return lan_resolver_thr_;
}

void globals::set_Initialized() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Set as initialized.";
    initialized_ = true;
}

void globals::unset_Initialized() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Set as uninitialized.";
    initialized_ = false;
}

// --- Chain map ---------------------------------------------------------------

std::shared_ptr<boards> globals::getByID(const std::string& identifier) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", TRC) << "Look for serial: " << identifier;
    auto it = devices.find(identifier);
    if (it == devices.end())
        throw invalid_serial();
    VXN_LOG("Global", TRC) << "Found matching identifier.";
    return it->second;
}

globals::chain_map globals::GetDevicesList() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    return devices;
}

globals::chain_map globals::GetEthDevicesList() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    chain_map eth;
    for (const auto& [id, chain] : devices)
        if (chain->getCommProtocol() == TCPIP)
            eth.emplace(id, chain);
    return eth;
}

size_t globals::get_devices_size() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", TRC) << "Devices: " << devices.size();
    return devices.size();
}

bool globals::closeDevices() {
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    if (!is_Initialized()) {
        set_last_error(EC_NOT_INITIALIZED);
        return false;
    }
    VXN_LOG("Global", INF) << "Clearing devices list.";
    for (auto& [id, chain] : devices) chain->CloseCommPort();
    devices.clear();
    VXN_LOG("Global", INF) << "Devices list cleared.";
    return true;
}

bool globals::AddDeviceToList(const std::string& identifier, bool comm_protocol) {
    if (!is_Initialized()) {
        set_last_error(EC_NOT_INITIALIZED);
        return false;
    }
    {
        // The queue exists before the connection, so that no received byte
        // finds it missing; an existing queue is kept.
        std::lock_guard<std::mutex> lock(raw_queues_mutex);
        raw_queues.try_emplace(identifier);
    }
    try {
        // Connecting takes seconds: it is done without the registry's locks,
        // so that data keeps flowing to the other chains meanwhile.
        auto chain = std::make_shared<vxn_ctrl_brd_dpp_chain>(identifier, comm_protocol);
        std::lock_guard<std::mutex> devices_lock(devices_mutex);
        std::lock_guard<std::mutex> registry_lock(registry_mutex);
        devices.emplace(identifier, std::move(chain));
        last_added_ = identifier;
    } catch (const std::out_of_range& e) {
        VXN_LOG("Global", INF) << "A function reported an out of range argument: " << e.what();
        set_last_error(EC_CHAIN_ARGUMENT);
        return false;
    } catch (const boards::comm_error& e) {
        VXN_LOG("Global", INF) << "A function reported a communication error. PktID: "
                               << e.getPktID();
        set_last_error(EC_CHAIN_COMMUNICATION);
        return false;
    } catch (const boards::conn_error&) {
        VXN_LOG("Global", INF) << "Cannot ping device: " << identifier;
        return false;
    }
    VXN_LOG("Global", INF) << "Added device to list. Identifier: " << identifier
                           << ", comm_protocol: " << (comm_protocol ? 1 : 0);
    return true;
}

bool globals::RemoveDeviceFromList(const std::string& identifier) {
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    if (!is_Initialized()) {
        set_last_error(EC_NOT_INITIALIZED);
        return false;
    }
    VXN_LOG("Global", INF) << "Removing device from list. Identifier" << identifier;
    auto it = devices.find(identifier);
    if (it == devices.end())
        return false;
    it->second->CloseCommPort();
    devices.erase(it);
    VXN_LOG("Global", INF) << "Removed device from list. Identifier" << identifier;
    return true;
}

bool globals::RemoveDevicesFromChain(const std::string& identifier, unsigned short board) {
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    if (!is_Initialized()) {
        set_last_error(EC_NOT_INITIALIZED);
        return false;
    }
    auto it = devices.find(identifier);
    if (it == devices.end())
        return false;
    VXN_LOG("Global", INF) << "Removing devices from chain. Identifier: " << identifier
                           << ", from board: " << board;
    it->second->RemoveSlaves(board);
    VXN_LOG("Global", INF) << "Removed devices from chain. Identifier: " << identifier
                           << ", from board: " << board;
    return true;
}

void globals::SendReset(const std::string& identifier) {
    std::lock_guard<std::mutex> devices_lock(devices_mutex);
    std::lock_guard<std::mutex> registry_lock(registry_mutex);
    if (!is_Initialized()) {
        set_last_error(EC_NOT_INITIALIZED);
        return;
    }
    auto it = devices.find(identifier);
    if (it == devices.end())
        return;
    VXN_LOG("Global", INF) << "Resetting chain. Identifier: " << identifier << ".";
    it->second->global_reset();
    VXN_LOG("Global", INF) << "Chain reset. Identifier: " << identifier << ".";
}

void globals::ResetChain(const std::string& identifier) {
    SendReset(identifier);
    SendReset(identifier);
    if (auto dispatcher = get_dispatcher_thr())
        dispatcher->FlushData(identifier);
    ClearRawQueue(identifier);
}

bool globals::ScanSlaves(const std::string& identifier) {
    VXN_LOG("Global", INF) << "Updating device chain. Identifier" << identifier;
    std::shared_ptr<boards> chain;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (devices.empty())
            return false;
        VXN_LOG("Global", INF) << "Device chain size different from 0. Identifier" << identifier;
        auto it = devices.find(identifier);
        if (it != devices.end())
            chain = it->second;
    }
    if (!chain)
        throw invalid_serial();
    VXN_LOG("Global", INF) << "Serial is valid. Identifier" << identifier;
    std::cout << "Identifier: " << identifier << "\n" << std::flush;
    chain->UpdateChain();
    VXN_LOG("Global", INF) << "Updated device chain. Identifier" << identifier;
    return true;
}

bool globals::UpdateLastDeviceChain() {
    std::shared_ptr<boards> chain;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (devices.empty())
            return false;
        // The chain just added, whose discovery is due; another chain's
        // failure must not be taken for this one's.
        auto it = devices.find(last_added_);
        chain = it != devices.end() ? it->second : devices.begin()->second;
    }
    VXN_LOG("Global", INF) << "Updating last device chain.";
    chain->UpdateChain();
    VXN_LOG("Global", INF) << "Updated last device chain.";
    return true;
}

// --- Data deliveries ---------------------------------------------------------------

namespace {

// Holds devices_mutex for the delivery, so that the chain is not removed
// while its boards decode; the map itself is read under registry_mutex.
template <class Deliver>
void with_chain(globals* registry, const std::string& identifier, Deliver&& deliver) {
    std::lock_guard<std::mutex> devices_lock(registry->devices_mutex);
    std::shared_ptr<boards> chain;
    {
        std::lock_guard<std::mutex> registry_lock(registry->registry_mutex);
        auto it = globals::devices.find(identifier);
        if (it == globals::devices.end())
            throw std::out_of_range("UpdateData: Id");
        chain = it->second;
    }
    deliver(*chain);
}

}  // namespace

void globals::UpdateSingleSpectData(const std::string& identifier, unsigned short board,
                                    const std::vector<unsigned char>& payload) {
    with_chain(this, identifier, [&](boards& c) { c.UpdateSingleSpectData(board, payload); });
}

void globals::UpdateMapData(const std::string& identifier, unsigned short board,
                            const std::vector<unsigned char>& payload) {
    with_chain(this, identifier, [&](boards& c) { c.UpdateMapData(board, payload); });
}

void globals::UpdateWaveData(const std::string& identifier, unsigned short board,
                             const std::vector<unsigned char>& payload) {
    with_chain(this, identifier, [&](boards& c) { c.UpdateWaveData(board, payload); });
}

void globals::UpdateListData(const std::string& identifier, unsigned short board,
                             const std::vector<unsigned char>& payload) {
    with_chain(this, identifier, [&](boards& c) { c.UpdateListData(board, payload); });
}

void globals::UpdateListWaveData(const std::string& identifier, unsigned short board,
                                 const std::vector<unsigned char>& payload) {
    with_chain(this, identifier, [&](boards& c) { c.UpdateListWaveData(board, payload); });
}

unsigned short globals::GetSpectDepth(const std::string& identifier) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = devices.find(identifier);
    if (it == devices.end())
        throw std::out_of_range("GetSpectDepth: Id");
    return it->second->get_spect_depth();
}

// --- Address query -------------------------------------------------------------

namespace {

globals::query_list::iterator find_entry(globals::query_list& list, const std::string& address) {
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return entry.first == address; });
}

}  // namespace

bool globals::AddToQuery(const std::string& address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", INF) << "Adding address to query. Address: " << address << ".";
    if (find_entry(query, address) != query.end()) {
        VXN_LOG("Global", INF) << "Address already in the query. Address: " << address << ".";
        return true;
    }
    query.emplace_back(address, false);
    VXN_LOG("Global", INF) << "Added address to query. Address: " << address << ".";
    return true;
}

bool globals::RemoveFromQuery(const std::string& address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Removing address from query. Address: " << address << ".";
    auto it = find_entry(query, address);
    if (it == query.end()) {
        VXN_LOG("Global", DBG) << "Address not found in the query. Address: " << address << ".";
        return true;
    }
    query.erase(it);
    VXN_LOG("Global", DBG) << "Address removed from the query. Address: " << address << ".";
    return true;
}

bool globals::SetQueryEntryConnected(const std::string& address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Setting an address as connected. Address: " << address << ".";
    auto it = find_entry(query, address);
    if (it == query.end()) {
        VXN_LOG("Global", DBG)
            << "Unable to set connected address, address not in the query. Address: " << address
            << ".";
        return false;
    }
    if (it->second) {
        VXN_LOG("Global", DBG) << "Address already marked as connected. Address: " << address
                               << ".";
    } else {
        it->second = true;
        VXN_LOG("Global", DBG) << "Address marked as connected. Address: " << address << ".";
    }
    return true;
}

bool globals::SetQueryEntryDisconnected(const std::string& address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Setting an address as discconnected. Address: " << address << ".";
    auto it = find_entry(query, address);
    if (it == query.end()) {
        VXN_LOG("Global", DBG)
            << "Unable to set disconnected address, address not in the query. Address: " << address
            << ".";
        return false;
    }
    if (it->second) {
        it->second = false;
        VXN_LOG("Global", DBG) << "Address marked as disconnected. Address: " << address << ".";
    } else {
        VXN_LOG("Global", DBG) << "Address already marked as disconnected. Address: " << address
                               << ".";
    }
    return true;
}

globals::query_list globals::GetQuery() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", DBG) << "Retrieving query list.";
    return query;
}

// --- Progress and last error -------------------------------------------------------

void globals::UpdateProgProgress(double value) {
    VXN_LOG("Global", DBG) << "Updating programming progress: " << value << ".";
    programming_progress_ = value;
}

void globals::AddProgProgress(double delta) {
    VXN_LOG("Global", DBG) << "Adding programming progress: " << delta << ".";
    double now = programming_progress_.load();
    while (!programming_progress_.compare_exchange_weak(now, now + delta)) {
    }
    VXN_LOG("Global", DBG) << "Programming progress: " << now + delta << ".";
}

void globals::set_last_error(error_code code) {
    VXN_LOG("Global", WAR) << "Set last error to: " << static_cast<int>(code);
    last_error = code;
}
