#include "vxnsim/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace vxnsim {

namespace {

unsigned long long parse_number(const std::string& text, const std::string& what,
                                unsigned long long max) {
    if (text.empty() || text[0] == '-') {
        throw std::invalid_argument(what + ": not a number: '" + text + "'");
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) {
        throw std::invalid_argument(what + ": not a valid number: '" + text + "'");
    }
    return v;
}

double parse_rate(const std::string& text) {
    if (text == "max") {
        return kAsFastAsPossible;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v > 0) || !std::isfinite(v)) {
        throw std::invalid_argument("--rate: a positive count rate or 'max': '" + text + "'");
    }
    return v;
}

}  // namespace

uint32_t parse_release(const std::string& text) {
    if (text.find('.') == std::string::npos) {
        return static_cast<uint32_t>(parse_number(text, "--fw", 0xFFFFFFFF));
    }
    std::vector<unsigned long long> parts;
    std::stringstream in(text);
    std::string piece;
    while (std::getline(in, piece, '.')) {
        parts.push_back(parse_number(piece, "--fw", 255));
    }
    if (parts.size() != 3 && parts.size() != 4) {
        throw std::invalid_argument("--fw: MAJOR.MINOR.PATCH[.TYPE] or a number: '" + text + "'");
    }
    const unsigned long long type = parts.size() == 4 ? parts[3] : 0;
    return static_cast<uint32_t>((type << 24) | (parts[0] << 16) | (parts[1] << 8) | parts[2]);
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cl;
    ChainOptions defaults;
    defaults.log_to_stderr = true;
    ChainOptions* current = &defaults;
    const auto value = [&](std::size_t& i) -> const std::string& {
        if (i + 1 >= args.size()) {
            throw std::invalid_argument(args[i] + " needs a value");
        }
        return args[++i];
    };
    std::vector<std::size_t> given;  // which chains got their own options
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            cl.help = true;
        } else if (a == "--ip") {
            ChainOptions c = defaults;
            c.ip = value(i);
            if (!is_loopback_address(c.ip)) {
                throw std::invalid_argument("--ip " + c.ip +
                                            ": not a loopback address; the simulator serves "
                                            "127.0.0.0/8 only");
            }
            cl.chains.push_back(c);
            current = &cl.chains.back();
        } else if (a == "--boards") {
            current->boards = static_cast<unsigned>(parse_number(value(i), "--boards", kMaxBoards));
            if (current->boards == 0) {
                throw std::invalid_argument("--boards: a chain has 1 to 160 boards");
            }
        } else if (a == "--fw") {
            current->fw_release = parse_release(value(i));
        } else if (a == "--rate") {
            current->count_rate = parse_rate(value(i));
        } else if (a == "--seed") {
            current->seed = parse_number(value(i), "--seed", ~0ull);
        } else if (a == "--last-followed-by-master") {
            current->last_followed_by_master = true;
        } else if (a == "--aux-period") {
            current->aux_period_ms =
                static_cast<unsigned>(parse_number(value(i), "--aux-period", 3600000));
            if (current->aux_period_ms == 0) {
                throw std::invalid_argument("--aux-period: at least 1 ms");
            }
        } else if (a == "--quiet") {
            current->log_to_stderr = false;
        } else {
            throw std::invalid_argument("unknown option '" + a + "' (see --help)");
        }
    }
    if (cl.chains.empty() && !cl.help) {
        throw std::invalid_argument("no chain to serve: give at least one --ip (see --help)");
    }
    for (const ChainOptions& c : cl.chains) {
        for (const ChainOptions& d : cl.chains) {
            if (&c != &d && c.ip == d.ip) {
                throw std::invalid_argument("--ip " + c.ip + " given twice");
            }
        }
    }
    return cl;
}

std::string usage_text() {
    return R"(usage: vxn-dpp-sim [DEFAULTS] --ip ADDR [OPTIONS] [--ip ADDR [OPTIONS]]...

Serves simulated chains of DPP boards, one per loopback address, each on TCP
ports 8000-8003 of its address. Options before the first --ip apply to every
chain; options after an --ip apply to that chain only.

  --ip ADDR                   serve a chain on ADDR (127.0.0.0/8 only)
  --boards N                  boards in the chain, 1 to 160 (default 1)
  --fw RELEASE                FW_RELEASE of every board: MAJOR.MINOR.PATCH[.TYPE]
                              or a number such as 0x00040201 (default 4.2.1)
  --rate CPS|max              input counts per second per board (default
                              100000); 'max' streams list data as fast as
                              the connections take it
  --seed N                    seed of the simulated data (default 1)
  --last-followed-by-master   the last board reports another master after it
  --aux-period MS             period of the simulated auxiliary input
                              (default 100)
  --quiet                     do not log malformed requests and connections
  -h, --help                  this text

Prints one line per chain and "ready" once every chain listens; runs until
SIGINT or SIGTERM. Exit status 2 for a bad command line (a non-loopback
address among them), 1 when a chain cannot be served.
)";
}

}  // namespace vxnsim
