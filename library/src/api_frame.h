// The call frame shared by the exported functions: initialisation check, the
// API lock, the lookup of identifiers and the translation of exceptions into
// the last error code. Writing it once keeps each exported function a short
// body of its own work.
//
// No exception ever leaves an exported function: an exception that escaped a
// C function would terminate the host program.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "VXN_DPP.h"
#include "boards.h"
#include "globals.h"

namespace vxn {

// A required pointer argument was null.
class null_argument : public std::invalid_argument {
  public:
    explicit null_argument(const char* name) : std::invalid_argument(name) {}
};

template <class T>
T& require(T* pointer, const char* name) {
    if (pointer == nullptr)
        throw null_argument(name);
    return *pointer;
}

inline std::string require_text(const char* text, const char* name) {
    return std::string(&require(text, name));
}

// The exception kinds a function translates with their own codes. The
// others are caught at the interface all the same (nothing may leave a C
// function) and reported with the general codes: 62 for an unknown
// identifier, 60 for an argument out of range or not parsable, 61 otherwise.
namespace caught {
constexpr unsigned lock = 1u << 0;           // lock_error: the code it carries
constexpr unsigned unknown_id = 1u << 1;     // invalid_serial: 62
constexpr unsigned out_of_range = 1u << 2;   // std::out_of_range: 60
constexpr unsigned communication = 1u << 3;  // boards::comm_error: 57
constexpr unsigned wrong_mode = 1u << 4;     // std::domain_error: 69
constexpr unsigned running = 1u << 5;        // running_error: 68
constexpr unsigned unsupported = 1u << 6;    // fw_unsupported: 75
constexpr unsigned runtime = 1u << 7;        // std::runtime_error: runtime_code
constexpr unsigned everything = 0xFF;

// The sets the exported functions use.
constexpr unsigned lookup = lock | unknown_id | unsupported;
constexpr unsigned command = lookup | out_of_range;
constexpr unsigned acquisition = command | communication | runtime;
constexpr unsigned data = command | wrong_mode;
constexpr unsigned firmware = command | communication | runtime | wrong_mode;
constexpr unsigned none = 0;
}  // namespace caught

struct frame_options {
    unsigned listed = caught::everything;
    // std::runtime_error where listed: EC_RUNTIME in most functions,
    // EC_COMMUNICATION in the firmware functions.
    error_code runtime_code = EC_RUNTIME;
};

inline frame_options listing(unsigned listed, error_code runtime_code = EC_RUNTIME) {
    return frame_options{listed, runtime_code};
}

// Translates the exception in flight (call only inside a catch block) into an
// error code; see above. A null or malformed argument is always 60.
error_code current_exception_code(const frame_options& options = {});

// True when the exception in flight is of a kind in `listed` (call only
// inside a catch block).
bool current_exception_listed(unsigned listed);

template <class E>
bool current_exception_is() {
    try {
        throw;
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
}

// Sets the last error for the exception in flight; see above.
void set_error_from_current_exception(const frame_options& options = {});

// The common frame: returns `failure` with EC_NOT_INITIALIZED when the
// library is not initialised; otherwise runs `body` under the API lock and
// returns its result, or `failure` with the last error set when it throws.
template <class R, class Body>
R api_call(R failure, Body&& body, const frame_options& options = {}) {
    globals* registry = globals::get();
    if (!registry->is_Initialized()) {
        globals::set_last_error(EC_NOT_INITIALIZED);
        return failure;
    }
    try {
        std::lock_guard<std::mutex> lock(registry->api_mutex);
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception(options);
        return failure;
    }
}

// The same frame without the initialisation check, for the few functions
// that work in every state.
template <class R, class Body>
R api_call_any_state(R failure, Body&& body, const frame_options& options = {}) {
    try {
        std::lock_guard<std::mutex> lock(globals::get()->api_mutex);
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception(options);
        return failure;
    }
}

// Streams a pointed-to value for a request record, or "null".
template <class T>
struct shown {
    const T* pointer;
};
template <class T>
shown<T> show(const T* pointer) {
    return shown<T>{pointer};
}
template <class T>
std::ostream& operator<<(std::ostream& os, shown<T> value) {
    if (value.pointer == nullptr)
        return os << "null";
    return os << *value.pointer;
}
inline const char* show_text(const char* text) {
    return text != nullptr ? text : "null";
}

}  // namespace vxn
