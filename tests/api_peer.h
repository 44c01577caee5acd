// Small readers of the exported interface for the tests that use it as an
// application does.
#pragma once

#include "VXN_DPP.h"

namespace vxntest {

inline unsigned short last_error() {
    unsigned short code = 0;
    getLastError(code);
    return code;
}

// Boards of a chain, or -1 when the library does not know the chain (yet).
inline int boards_of(const char* id) {
    unsigned short n = 0;
    return get_boards_in_chain(id, n) ? n : -1;
}

}  // namespace vxntest
