// Stands in for a program that loads the library: logging is set up and torn
// down by load and unload hooks like the library's own, and an object made
// before logging was set up logs when it is destroyed at exit, as the
// library's registry does. Prints whether a marker switched logging on.
#include <iostream>

#include "Boost_Log.h"

namespace {

struct registry {
    ~registry() { VXN_LOG("Global", TRC) << "registry destroyed"; }
};

registry& the_registry() {
    static registry instance;
    return instance;
}

__attribute__((constructor)) void load() {
    the_registry();
    init_logging();
}

__attribute__((destructor)) void unload() {
    close_logging();
}

}  // namespace

int main() {
    std::cout << (vxn_log_enabled.load() ? "on" : "off") << std::endl;
    VXN_LOG("Global", INF) << "probe record";
    return 0;
}
