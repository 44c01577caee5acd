// The command functions: acquisitions, configuration, single parameters,
// resets and the callback.
#include <iostream>
#include <sstream>

#include "AsyncTask.h"
#include "Boost_Log.h"
#include "DLL_DPP.h"
#include "api_frame.h"
#include "boards.h"
#include "dpp_lan_resolver.h"
#include "exceptions.h"
#include "globals.h"
#include "utilities.h"

using vxn::api_call;
using vxn::listing;
using vxn::require_text;
using vxn::show_text;
namespace caught = vxn::caught;

namespace {

using chain_ptr = std::shared_ptr<boards>;

chain_ptr lookup(const std::string& identifier) {
    return globals::get()->getByID(identifier);
}

// Seconds to whole milliseconds, cut toward zero. A time the 32-bit register
// cannot hold, negative or not a number is refused rather than wrapped.
unsigned int to_u32(double value, const char* what) {
    if (!(value >= 0) || value >= 4294967296.0)
        throw std::out_of_range(what);
    return static_cast<unsigned int>(value);
}

template <class Write>
std::string text(Write write) {
    std::ostringstream os;
    write(os);
    return os.str();
}

// A command on one chain: looks the chain up, launches the operation that
// `bind` makes for it as the task of the next call id, writes the result
// record and returns the id.
template <class Bind, class Record>
unsigned int single_command(const char* identifier, Bind bind, Record record,
                            bool unlisted_ignored = false) {
    return api_call(
        0u,
        [&]() -> unsigned int {
            try {
                const chain_ptr chain = lookup(require_text(identifier, "identifier"));
                const unsigned int id = globals::call_id;
                launch_task(bind(chain), id);
                VXN_LOG("Functions", DBG) << text(record) << ", call_id: " << id;
                ++globals::call_id;
                return id;
            } catch (...) {
                // Two queries report failures outside their own kinds by a
                // line on the standard output only.
                if (!unlisted_ignored || vxn::current_exception_listed(caught::command) ||
                    vxn::current_exception_is<task_launch_error>())
                    throw;
                std::cout << "catch non gestito!!!" << std::endl;
                return 0u;
            }
        },
        listing(caught::command));
}

void go_asleep() {
    if (auto resolver = globals::get()->get_lan_resolver_thr())
        resolver->GoAsleep();
}

// The configuration pass of a list command: `configure` on each chain in
// list order. The listed failures end the command; others are skipped over
// where `others_ignored`.
template <class Configure>
void configuration_pass(const std::vector<std::string>& ids, bool others_ignored,
                        Configure configure) {
    for (const auto& id : ids) {
        try {
            configure(lookup(id));
        } catch (...) {
            if (!others_ignored || vxn::current_exception_listed(caught::acquisition))
                throw;
        }
    }
}

// The start pass of a list command: the last chain's start runs as a task and
// answers; the ones before it start on this thread. Each uses up a call id.
unsigned int start_pass(const std::vector<std::string>& ids, bool all_synchronous,
                        const std::string& result_text) {
    unsigned int id = 0;
    for (size_t k = 0; k < ids.size(); ++k) {
        id = globals::call_id;
        const chain_ptr chain = lookup(ids[k]);
        if (k + 1 == ids.size() && !all_synchronous)
            launch_task([chain] { return chain->start(); }, id);
        else
            chain->start();
        VXN_LOG("Functions", DBG) << result_text << ", call_id: " << id;
        ++globals::call_id;
    }
    return id;
}

}  // namespace

// ============================================================================
// Exported shells
// ============================================================================

unsigned int getFirmware(const char* id, unsigned short board) {
    return int_getFirmware(id, board);
}
unsigned int isRunning_system(const char* id, unsigned short board) {
    return int_isRunning_system(id, board);
}
unsigned int disableBoard(const char* id, unsigned short board, bool disable) {
    return int_disableBoard(id, board, disable);
}
unsigned int configure(const char* id, unsigned short board, configuration cfg) {
    return int_configure(id, board, cfg);
}
unsigned int configure_gating(const char* id, GatingMode mode, unsigned short board) {
    return int_configure_gating(id, mode, board);
}
unsigned int configure_input(const char* id, unsigned short board, InputMode mode) {
    return int_configure_input(id, board, mode);
}
unsigned int configure_emulator(const char* id, unsigned short board, bool on) {
    return int_configure_emulator(id, board, on);
}
unsigned int configure_offset(const char* id, unsigned short board, configuration_offset offset) {
    return int_configure_offset(id, board, offset);
}
unsigned int configure_timestamp_delay(const char* id, unsigned short board, unsigned short delay,
                                       unsigned short second) {
    return int_configure_timestamp_delay(id, board, delay, second);
}
unsigned int advanced_configure(const char* id, unsigned short board, unsigned short address,
                                unsigned int data) {
    return int_advanced_configure(id, board, address, data);
}
unsigned int advanced_read(const char* id, unsigned short board, unsigned short address) {
    return int_advanced_read(id, board, address);
}
unsigned int global_reset(const char* id) {
    return int_global_reset(id);
}
unsigned int start(const char* ids, double seconds, unsigned short spect_depth) {
    return int_start(ids, seconds, spect_depth);
}
unsigned int start_map(const char* ids, unsigned int sp_time, unsigned int points,
                       unsigned short spect_depth) {
    return int_start_map(ids, sp_time, points, spect_depth);
}
unsigned int start_list(const char* ids, double seconds) {
    return int_start_list(ids, seconds);
}
unsigned int start_listwave(const char* ids, double seconds, unsigned short dec_ratio,
                            unsigned short length, unsigned short wave_extra) {
    return int_start_listwave(ids, seconds, dec_ratio, length, wave_extra);
}
unsigned int start_waveform(const char* ids, unsigned short mode, unsigned short dec_ratio,
                            unsigned int trig_mask, unsigned int trig_level, double seconds,
                            unsigned short length) {
    return int_start_waveform(ids, mode, dec_ratio, trig_mask, trig_level, seconds, length);
}
unsigned int stop(const char* ids) {
    return int_stop(ids);
}
bool clear_chain(const char* id) {
    return int_clear_chain(id);
}
bool clear_board(const char* id, unsigned short board) {
    return int_clear_board(id, board);
}
bool register_callback(vxn_dpp_callback callback) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Registering user callback. Pointer:" << (callback != nullptr);
    return int_register_callback(callback);
}

// ============================================================================
// Callback
// ============================================================================

bool int_register_callback(vxn_dpp_callback callback) {
    const bool set = callback != nullptr;
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Register callback function "
                              << ", pointer: " << set;
    globals::callback_function = callback;
    // A null function is no callback: nothing is ever called through it.
    globals::callback_registration_status = set ? globals::C_CALLBACK : globals::NO_CALLBACK;
    VXN_LOG("Functions", DBG) << "Callback registerd "
                              << ", pointer: " << set;
    return true;
}

// ============================================================================
// Commands on one chain
// ============================================================================

unsigned int int_getFirmware(const char* identifier, unsigned short board) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Firmware request " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier,
        [board](chain_ptr c) { return [c, board] { return c->get_fw_release(board); }; },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested board firmware " << identifier << ", board: " << board;
        });
}

unsigned int int_isRunning_system(const char* identifier, unsigned short board) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Running request " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier, [board](chain_ptr c) { return [c, board] { return c->is_running(board); }; },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested running state " << identifier << ", board: " << board;
        },
        true);
}

unsigned int int_disableBoard(const char* identifier, unsigned short board, bool disable) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Disable board request " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier,
        [board, disable](chain_ptr c) {
            return [c, board, disable] { return c->disableBoard(board, disable); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested disable board state " << identifier << ", board: " << board;
        },
        true);
}

unsigned int int_configure(const char* identifier, unsigned short board, configuration cfg) {
    VXN_LOG("Functions", DBG) << "Configure function " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier,
        [board, cfg](chain_ptr c) { return [c, board, cfg] { return c->configure(board, cfg); }; },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure " << identifier;
        });
}

unsigned int int_configure_gating(const char* identifier, GatingMode mode, unsigned short board) {
    VXN_LOG("Functions", DBG) << "Configure gating function " << show_text(identifier);
    return single_command(
        identifier,
        [board, mode](chain_ptr c) {
            return [c, board, mode] { return c->configure_gating(board, mode); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure " << identifier;
        });
}

unsigned int int_configure_input(const char* identifier, unsigned short board, InputMode mode) {
    VXN_LOG("Functions", DBG) << "Configure gating function " << show_text(identifier);
    return single_command(
        identifier,
        [board, mode](chain_ptr c) {
            return [c, board, mode] { return c->configure_input(board, mode); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure " << identifier;
        });
}

unsigned int int_configure_emulator(const char* identifier, unsigned short board, bool on) {
    VXN_LOG("Functions", DBG) << "Configure waveform emulator " << show_text(identifier);
    return single_command(
        identifier,
        [board, on](chain_ptr c) {
            return [c, board, on] { return c->configure_emulator(board, on); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure waveform emulator " << identifier;
        });
}

unsigned int int_configure_offset(const char* identifier, unsigned short board,
                                  configuration_offset offset) {
    VXN_LOG("Functions", DBG) << "Configure Offset function " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier,
        [board, offset](chain_ptr c) {
            return [c, board, offset] { return c->configure_offset(board, offset); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure Offset " << identifier;
        });
}

unsigned int int_configure_timestamp_delay(const char* identifier, unsigned short board,
                                           unsigned short delay, unsigned short second) {
    VXN_LOG("Functions", DBG) << "Configure Offset function " << show_text(identifier)
                              << ", board: " << board;
    return single_command(
        identifier,
        [board, delay, second](chain_ptr c) {
            return [c, board, delay, second] {
                return c->configure_timestamp_delay(board, delay, second);
            };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested configure Offset " << identifier;
        });
}

unsigned int int_advanced_configure(const char* identifier, unsigned short board,
                                    unsigned short address, unsigned int data) {
    VXN_LOG("Functions", DBG) << "Advanced configure function " << show_text(identifier)
                              << ", board: " << board << ", Address: " << address
                              << ", Data: " << data;
    return single_command(
        identifier,
        [board, address, data](chain_ptr c) {
            return [c, board, address, data] { return c->config_DPP(board, address, data); };
        },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested advanced configure " << identifier;
        });
}

unsigned int int_global_reset(const char* identifier) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Global reset request " << show_text(identifier);
    return single_command(
        identifier, [](chain_ptr c) { return [c] { return c->global_reset(); }; },
        [&](std::ostream& os) {
            os << "Functions. "
               << "Requested global reset " << identifier;
        });
}

unsigned int int_advanced_read(const char* identifier, unsigned short board,
                               unsigned short address) {
    return api_call(
        0u,
        [&] {
            const std::string id = require_text(identifier, "identifier");
            const unsigned int value = lookup(id)->read_DPP(board, address);
            VXN_LOG("Functions", DBG)
                << "Advanced configure function " << id << ", board: " << board
                << ", Address: " << address << ", Data: " << value;
            return value;
        },
        listing(caught::none));
}

// ============================================================================
// Synchronous chain functions
// ============================================================================

bool int_clear_chain(const char* identifier) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Clear function " << show_text(identifier);
    return api_call(
        false,
        [&] {
            const std::string id = require_text(identifier, "identifier");
            lookup(id)->clear_chain();
            VXN_LOG("Functions", DBG) << "Functions. "
                                      << "Data cleared list start " << id;
            return true;
        },
        listing(caught::lookup));
}

bool int_clear_board(const char* identifier, unsigned short board) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Clear board function " << show_text(identifier)
                              << ", Board: " << board;
    return api_call(
        false,
        [&] {
            const std::string id = require_text(identifier, "identifier");
            lookup(id)->clear_board(board);
            VXN_LOG("Functions", DBG) << "Functions. "
                                      << "Data cleared list start " << id;
            return true;
        },
        listing(caught::lookup));
}

// ============================================================================
// Acquisitions over a list of chains
// ============================================================================

unsigned int int_start(const char* identifiers, double seconds, unsigned short spect_depth) {
    go_asleep();
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Start single spectrum request " << show_text(identifiers)
                              << ", time: " << seconds;
    return api_call(
        0u,
        [&]() -> unsigned int {
            const auto ids = splitStrings(require_text(identifiers, "identifiers"), '|');
            if (ids.empty())
                return 0;
            const unsigned int ms = to_u32(seconds * 1000, "start: time");
            const unsigned int points = to_u32(seconds * 1000 / 100, "start: time");
            configuration_pass(ids, true, [&](const chain_ptr& c) {
                c->config_MCA(boards::NORMAL_MODE, ms, points, 100, spect_depth);
            });
            return start_pass(ids, false, text([&](std::ostream& os) {
                                  os << "Functions. "
                                     << "Start single spectrum requested " << identifiers
                                     << ", time: " << seconds;
                              }));
        },
        listing(caught::acquisition));
}

unsigned int int_start_map(const char* identifiers, unsigned int sp_time, unsigned int points,
                           unsigned short spect_depth) {
    go_asleep();
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Start map request " << show_text(identifiers)
                              << ", sp_time: " << sp_time << ", points: " << points;
    return api_call(
        0u,
        [&]() -> unsigned int {
            const auto ids = splitStrings(require_text(identifiers, "identifiers"), '|');
            if (ids.empty())
                return 0;
            // The total time is one 32-bit register: a product that does not
            // fit is refused rather than sent wrapped.
            const uint64_t total = uint64_t(sp_time) * points;
            if (total > 0xFFFFFFFFu)
                throw std::out_of_range("start_map: time");
            const unsigned short mode =
                sp_time == 0 ? boards::MAP_TRIGGER_MODE : boards::MAP_NORMAL_MODE;
            configuration_pass(ids, false, [&](const chain_ptr& c) {
                c->config_MCA(mode, static_cast<unsigned int>(total), points, sp_time, spect_depth);
            });
            return start_pass(ids, false, text([&](std::ostream& os) {
                                  os << "Functions. "
                                     << "Start map requested " << identifiers
                                     << ", sp_time: " << sp_time << ", points: " << points;
                              }));
        },
        listing(caught::acquisition));
}

unsigned int int_start_list(const char* identifiers, double seconds) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Start list request " << show_text(identifiers)
                              << ", sp_time: " << seconds;
    return api_call(
        0u,
        [&]() -> unsigned int {
            const auto ids = splitStrings(require_text(identifiers, "identifiers"), '|');
            if (ids.empty())
                return 0;
            const unsigned int ms = to_u32(seconds * 1000, "start_list: time");
            const unsigned int points = to_u32(seconds * 1000 / 100, "start_list: time");
            configuration_pass(ids, false, [&](const chain_ptr& c) {
                c->config_MCA(boards::LIST_MODE, ms, points, 100, 4096);
            });
            return start_pass(ids, false, text([&](std::ostream& os) {
                                  os << "Functions. "
                                     << "Requested list start " << identifiers;
                              }));
        },
        listing(caught::acquisition));
}

unsigned int int_start_listwave(const char* identifiers, double seconds, unsigned short dec_ratio,
                                unsigned short length, unsigned short wave_extra) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Start combined list wave request " << show_text(identifiers)
                              << ", sp_time: " << seconds;
    return api_call(
        0u,
        [&]() -> unsigned int {
            go_asleep();
            // Every piece counts here, empty ones included.
            const auto ids = cutStrings(require_text(identifiers, "identifiers"), '|');
            const unsigned int ms = to_u32(seconds * 1000, "start_listwave: time");
            const unsigned int points = to_u32(seconds * 1000 / 100, "start_listwave: time");
            configuration_pass(ids, true, [&](const chain_ptr& c) {
                unsigned short dec = dec_ratio, len = length, extra = wave_extra;
                unsigned int mask = 0, level = 0;
                c->set_list_waveform(dec, mask, level, len, extra);
                c->config_MCA(boards::LIST_WAVE_MODE, ms, points, 100, 4096);
            });
            return start_pass(ids, true, text([&](std::ostream& os) {
                                  os << "Functions. "
                                     << "Requested combined list wave start " << identifiers;
                              }));
        },
        listing(caught::acquisition));
}

unsigned int int_start_waveform(const char* identifiers, unsigned short mode,
                                unsigned short dec_ratio, unsigned int trig_mask,
                                unsigned int trig_level, double seconds, unsigned short length) {
    go_asleep();
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Start wave request " << show_text(identifiers)
                              << ", mode: " << mode << ", dec_ratio: " << dec_ratio
                              << ", trig_mask: " << trig_mask << ", trig_level: " << trig_level
                              << ", time: " << seconds << ", length: " << length;
    return api_call(
        0u,
        [&]() -> unsigned int {
            const auto ids = splitStrings(require_text(identifiers, "identifiers"), '|');
            if (ids.empty())
                return 0;
            const unsigned int ms = to_u32(seconds * 1000, "start_waveform: time");
            configuration_pass(ids, true, [&](const chain_ptr& c) {
                c->config_MCA(boards::ANALOG_MODE, ms, 0, 1, 4096);
            });
            configuration_pass(ids, true, [&](const chain_ptr& c) {
                unsigned short dec = dec_ratio, len = length;
                unsigned int mask = trig_mask, level = trig_level;
                c->set_waveform(dec, mask, level, len);
            });
            return start_pass(ids, false, text([&](std::ostream& os) {
                                  os << "Functions. "
                                     << "Requested wave start " << identifiers;
                              }));
        },
        listing(caught::acquisition));
}

unsigned int int_stop(const char* identifiers) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Stop request " << show_text(identifiers);
    return api_call(
        0u,
        [&]() -> unsigned int {
            const auto ids = splitStrings(require_text(identifiers, "identifiers"), '|');
            globals* registry = globals::get();
            unsigned int id = 0;
            for (size_t k = 0; k < ids.size(); ++k) {
                if (registry->auto_scan_slaves)
                    if (auto resolver = registry->get_lan_resolver_thr())
                        resolver->WakeUp();
                id = globals::call_id;
                const chain_ptr chain = lookup(ids[k]);
                if (k + 1 == ids.size())
                    launch_task([chain] { return chain->stop(); }, id);
                else
                    chain->stop();
                VXN_LOG("Functions", DBG)
                    << "Functions. "
                    << "Requested stop " << identifiers << ", call_id: " << id;
                ++globals::call_id;
            }
            return id;
        },
        listing(caught::acquisition));
}
