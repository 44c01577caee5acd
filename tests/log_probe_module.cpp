// A loadable module with the library's load and unload hooks around the
// logging objects, so that tests can load it from a folder of their choosing
// (next to a marker or not), log through it and unload it again.
#include "Boost_Log.h"

namespace {

__attribute__((constructor)) void load() {
    init_logging();
}

__attribute__((destructor)) void unload() {
    close_logging();
}

}  // namespace

// Logs one record of severity INF; returns whether logging is on.
extern "C" __attribute__((visibility("default"))) bool probe_log(const char* message) {
    VXN_LOG("Global", INF) << message;
    return vxn_log_enabled.load();
}
