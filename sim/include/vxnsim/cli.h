// Command line of vxn-dpp-sim.
#pragma once

#include <string>
#include <vector>

#include "vxnsim/chain_options.h"

namespace vxnsim {

struct CommandLine {
    std::vector<ChainOptions> chains;
    bool help = false;
};

// Options before the first --ip apply to every chain; options after an
// --ip apply to that chain only. Throws std::invalid_argument with a
// message for the user.
CommandLine parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

// "4.2.1" (type 0), "4.2.1.3" (type 3) or a number such as 0x00040201.
uint32_t parse_release(const std::string& text);

}  // namespace vxnsim
