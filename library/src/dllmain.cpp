// Load and unload hooks of the shared library.
#include "Boost_Log.h"

__attribute__((constructor)) static void LibraryLoad() {
    init_logging();
}

__attribute__((destructor)) static void LibraryUnload() {
    close_logging();
}
