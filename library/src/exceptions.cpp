#include "exceptions.h"

#include "Boost_Log.h"

// The record is written when the failure is raised, even if it is caught at
// once: the log then shows where a failure started, not only where it ended.
invalid_serial::invalid_serial() {
    VXN_LOG("Global", ERR) << "Invalid serial exception";
}

running_error::running_error() {
    VXN_LOG("Global", ERR) << "Running error exception";
}

bit_error::bit_error() {
    VXN_LOG("Global", ERR) << "Bit error exception";
}

file_not_found::file_not_found() {
    VXN_LOG("Global", ERR) << "File not found exception";
}

fw_unsupported::fw_unsupported() {
    VXN_LOG("Global", ERR) << "Function not supported by firmware exception";
}
