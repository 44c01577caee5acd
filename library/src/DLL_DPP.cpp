#include "DLL_DPP.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>

#include "Boost_Log.h"
#include "DataDispatcherThr.h"
#include "TCPIP_Port.h"
#include "api_frame.h"
#include "boards.h"
#include "dpp_lan_resolver.h"
#include "exceptions.h"
#include "globals.h"

using vxn::api_call;
using vxn::api_call_any_state;
using vxn::require;
using vxn::require_text;
using vxn::show;
using vxn::show_text;

// ============================================================================
// Exported shells
// ============================================================================

bool InitLibrary(void) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Init Callback Library.";
    return int_InitLibrary();
}
bool CloseLibrary(void) {
    return int_CloseLibrary();
}
bool getLastError(unsigned short* code) {
    return int_getLastError(code);
}
bool resetLastError(void) {
    return int_resetLastError();
}
bool libVersion(char* buffer, unsigned int* size) {
    return int_libVersion(buffer, size);
}
bool get_dev_number(unsigned short* count) {
    return int_get_dev_number(count);
}
bool get_ids(char* buffer, unsigned short* index, unsigned short* size) {
    return int_get_ids(buffer, index, size);
}
bool get_boards_in_chain(const char* identifier, unsigned short* boards) {
    return int_get_boards_in_chain(identifier, boards);
}
bool autoScanSlaves(bool enable) {
    return int_autoScanSlaves(enable);
}
bool add_to_query(const char* address) {
    return int_add_to_query(address);
}
bool remove_from_query(const char* address) {
    return int_remove_from_query(address);
}
bool flush_local_eth_conn(const char* address) {
    return int_flush_local_eth_conn(address);
}

// ============================================================================
// Lifecycle
// ============================================================================

bool int_InitLibrary() {
    VXN_LOG("Functions", DBG) << "Functions. Initializing library.";
    globals* registry = globals::get();
    // A program that exits without CloseLibrary: see globals::shut_down_at_exit.
    // Registered here, once the program's own static objects exist and with
    // the socket library's error categories created first, so that it runs
    // before any of them is destroyed.
    static std::once_flag exit_guard;
    std::call_once(exit_guard, [] {
        TCPIP_Port::create_error_categories();
        std::atexit([] { globals::get()->shut_down_at_exit(); });
    });
    try {
        std::lock_guard<std::mutex> lifecycle(registry->lifecycle_mutex);
        if (registry->is_Initialized()) {
            globals::set_last_error(EC_ALREADY_INITIALIZED);
            return false;
        }
        registry->set_lan_resolver_thr();
        const auto resolver = registry->get_lan_resolver_thr();
        resolver->Start();
        VXN_LOG("Functions", DBG) << "Functions. Lan resolver thread started.";
        registry->set_dispatcher_thr();
        const auto dispatcher = registry->get_dispatcher_thr();
        dispatcher->Start();
        VXN_LOG("Functions", DBG) << "Functions. Data dispatcher thread started.";

        std::unique_lock<std::mutex> scan(registry->scan_mutex);
        registry->set_Initialized();
        VXN_LOG("Functions", DBG) << "Functions. Waiting for first scan by lan resolver.";
        // Wait for a whole resolving cycle that began after the flag was set:
        // the resolver also signals after its idle iterations, and one of those
        // ending now would say nothing about the chains already in the query.
        const unsigned long before = resolver->completed_cycles();
        const bool scanned = registry->scan_done.wait_for(
            scan, std::chrono::milliseconds(globals::timeout_initialization),
            [&] { return resolver->completed_cycles() > before; });
        if (!scanned) {
            VXN_LOG("Global", DBG) << "Wait first scan timeout.";
            globals::set_last_error(EC_FIRST_SCAN_TIMEOUT);
            scan.unlock();
            dispatcher->Stop();
            resolver->Stop();
            return false;
        }
        VXN_LOG("Global", DBG) << "First scan done.";
        VXN_LOG("Functions", DBG) << "Functions. Library initialized.";
        return true;
    } catch (const lock_error& e) {
        globals::set_last_error(e.getError());
        return false;
    } catch (...) {
        vxn::current_exception_code();  // logs what it was
        globals::set_last_error(EC_INIT_FAILED);
        return false;
    }
}

bool int_CloseLibrary() {
    globals* registry = globals::get();
    return api_call_any_state(
        false,
        [&] {
            std::lock_guard<std::mutex> lifecycle(registry->lifecycle_mutex);
            if (!registry->is_Initialized()) {
                globals::set_last_error(EC_NOT_INITIALIZED);
                return false;
            }
            // The resolver goes first: a cycle in progress still needs the
            // dispatcher to complete its register accesses.
            if (auto resolver = registry->get_lan_resolver_thr()) {
                resolver->Stop();
                VXN_LOG("Functions", DBG) << "Functions. Closefd lan resolver thread.";
            }
            if (auto dispatcher = registry->get_dispatcher_thr()) {
                dispatcher->Stop();
                VXN_LOG("Functions", DBG) << "Functions. Closed data dispatcher thread.";
            }
            const bool closed = registry->closeDevices();
            VXN_LOG("Functions", DBG) << "Functions. Closing all devices.";
            registry->unset_Initialized();
            VXN_LOG("Functions", DBG) << "Functions. Library is no more initialized.";
            if (!closed)
                globals::set_last_error(EC_CLOSE_FAILED);
            VXN_LOG("Functions", DBG) << "Functions. CloseLibrary returns: " << closed;
            return closed;
        },
        vxn::listing(vxn::caught::none));
}

// ============================================================================
// Errors and information
// ============================================================================

bool int_getLastError(unsigned short* code) {
    return api_call_any_state(false, [&] {
        unsigned short& out = require(code, "code");
        out = static_cast<unsigned short>(globals::get_last_error());
        VXN_LOG("Functions", DBG) << "Functions. Last error code: " << out;
        return true;
    });
}

bool int_resetLastError() {
    return api_call_any_state(false, [] {
        globals::set_last_error(EC_NONE);
        VXN_LOG("Functions", DBG) << "Functions. Last error code reset.";
        return true;
    });
}

bool int_libVersion(char* buffer, unsigned int* size) {
    VXN_LOG("Functions", DBG) << "Functions. Version call; version size: " << show(size);
    return api_call(
        false,
        [&] {
            unsigned int& capacity = require(size, "size");
            VXN_LOG("Functions", DBG) << "Functions. Library version: " << library_version;
            const unsigned int needed = static_cast<unsigned int>(std::strlen(library_version) + 1);
            if (capacity < needed) {
                capacity = needed;
                globals::set_last_error(EC_BUFFER_TOO_SMALL);
                return false;
            }
            char& first = require(buffer, "buffer");
            VXN_LOG("Functions", DBG) << "Functions. Version size is enough.";
            std::memcpy(&first, library_version, needed);
            capacity = needed;
            VXN_LOG("Functions", DBG) << "Functions. Returns: " << buffer << ", " << capacity;
            return true;
        },
        vxn::listing(vxn::caught::none));
}

bool int_get_dev_number(unsigned short* count) {
    VXN_LOG("Functionss", DBG) << "Functions. Get devices coount call.";
    return api_call(
        false,
        [&] {
            unsigned short& out = require(count, "count");
            out = static_cast<unsigned short>(globals::get()->get_devices_size());
            VXN_LOG("Functions", DBG) << "Functions. Get devices coount returns: " << out;
            return true;
        },
        vxn::listing(vxn::caught::none));
}

bool int_get_ids(char* buffer, unsigned short* index, unsigned short* size) {
    VXN_LOG("Functions", DBG) << "Functions. Get identifier for number " << show(index)
                              << ", size: " << show(size);
    return api_call(
        false,
        [&] {
            unsigned short& position = require(index, "index");
            unsigned short& capacity = require(size, "size");
            constexpr unsigned short minimum = 16;  // a dotted IPv4 address and its terminator
            if (capacity < minimum) {
                capacity = minimum;
                globals::set_last_error(EC_BUFFER_TOO_SMALL);
                return false;
            }
            const globals::chain_map chains = globals::get()->GetDevicesList();
            if (position >= chains.size()) {
                position = static_cast<unsigned short>(chains.size());
                globals::set_last_error(EC_OUT_OF_RANGE);
                return false;
            }
            const std::string& identifier = std::next(chains.begin(), position)->first;
            // An identifier that does not fit with its terminator (an IPv6 address
            // with a scope, say) is refused rather than handed out unterminated.
            if (identifier.size() + 1 > capacity) {
                capacity = static_cast<unsigned short>(identifier.size() + 1);
                globals::set_last_error(EC_BUFFER_TOO_SMALL);
                return false;
            }
            char& first = require(buffer, "buffer");
            std::strncpy(&first, identifier.c_str(), capacity);
            VXN_LOG("Functions", DBG) << "Functions. Get ids for serial " << buffer
                                      << ", num: " << position << ", size: " << capacity;
            return true;
        },
        vxn::listing(vxn::caught::none));
}

bool int_get_boards_in_chain(const char* identifier, unsigned short* boards_out) {
    VXN_LOG("Functions", DBG) << "Functions. Get boards in chain call for serial "
                              << show_text(identifier) << ": " << show(boards_out);
    return api_call(
        false,
        [&] {
            unsigned short& out = require(boards_out, "boards");
            const std::string id = require_text(identifier, "identifier");
            const unsigned int count = globals::get()->getByID(id)->boards_in_chain();
            out = static_cast<unsigned short>(count);
            VXN_LOG("Functions", DBG)
                << "Functions. Get boards in chain returns for identifier " << id << ": " << out;
            return true;
        },
        vxn::listing(vxn::caught::lookup));
}

bool int_autoScanSlaves(bool enable) {
    VXN_LOG("Functions", DBG) << "Functions. Enable auto update scan slaves status: " << enable;
    return api_call(
        false,
        [&] {
            globals* registry = globals::get();
            const auto resolver = registry->get_lan_resolver_thr();
            if (enable) {
                if (resolver)
                    resolver->WakeUp();
                VXN_LOG("Functions", WAR) << "\nHO ATTIVATO IL THREAD DPP_LAN_RESOLVER\n\n";
            } else if (resolver) {
                resolver->GoAsleep();
            }
            registry->auto_scan_slaves = enable;
            VXN_LOG("Functions", DBG) << "Functions. Auto scan slaves returns";
            return true;
        },
        vxn::listing(vxn::caught::lookup));
}

// ============================================================================
// Address query
// ============================================================================

bool int_add_to_query(const char* address) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Add to query function "
                              << ", address: " << show_text(address);
    return api_call(
        false,
        [&] {
            const std::string text = require_text(address, "address");
            globals::get()->AddToQuery(text);
            VXN_LOG("Functions", DBG) << "Functions. "
                                      << "Added to query "
                                      << ", address: " << text;
            return true;
        },
        vxn::listing(vxn::caught::none));
}

bool int_remove_from_query(const char* address) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Remove from query function "
                              << ", address: " << show_text(address);
    return api_call(
        false,
        [&] {
            const std::string text = require_text(address, "address");
            globals::get()->RemoveFromQuery(text);
            VXN_LOG("Functions", DBG) << "Functions. "
                                      << "Removed from query "
                                      << ", address: " << text;
            return true;
        },
        vxn::listing(vxn::caught::none));
}

bool int_flush_local_eth_conn(const char* address) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Flush local eth conn function "
                              << ", address: " << show_text(address);
    return api_call(
        false,
        [&] {
            const std::string text = require_text(address, "address");
            try {
                globals::get()->flush_local_eth_conn(text);
            } catch (const std::system_error&) {
                throw std::invalid_argument("flush_local_eth_conn: address");  // not an IP address
            }
            VXN_LOG("Functions", DBG) << "Functions. "
                                      << "Flush local eth conn function done "
                                      << ", address: " << text;
            return true;
        },
        vxn::listing(vxn::caught::none));
}
