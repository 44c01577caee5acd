// vxn-logdump: prints the record lines of the library's encrypted log files.
//
// Reads buffered files (dpp_log_<n>.vxnlog written in enable_log.vxn mode) and
// per-record files (dpp_log_0.vxnlog in enable_rtlog.vxn mode), telling them
// apart by content unless told. A damaged per-record line is reported with its
// line number and skipped, so that the rest of a log from a crashed run can
// still be read.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "log_cipher.h"

namespace {

const char* const usage =
    "Usage: vxn-logdump [--rt | --buffered] FILE...\n"
    "Print the plain record lines of VXN_DPP log files (dpp_log_<n>.vxnlog) to\n"
    "standard output, file after file.\n"
    "\n"
    "  --rt        read every FILE as a per-record log (enable_rtlog.vxn mode)\n"
    "  --buffered  read every FILE as a buffered log (enable_log.vxn mode)\n"
    "  --help      show this text\n"
    "  --          end of options\n"
    "  -           (as FILE) standard input\n"
    "\n"
    "Without --rt or --buffered the format of each file is recognised from its\n"
    "content. Exit status: 0 when every file was read and decoded, 1 when a file\n"
    "could not be read or a per-record line was malformed, 2 on a usage error.\n";

enum class format { detect, rt, buffered };

// "-" is standard input. On failure errno tells why.
bool read_file(const std::string& path, std::string& bytes) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    // A folder opens but fails on the first read (EISDIR); that must not pass
    // for an empty log.
    const bool failed = std::ferror(file) != 0;
    const int read_errno = errno;
    if (file != stdin) {
        std::fclose(file);
    }
    errno = read_errno;
    return !failed;
}

// Returns whether every line decoded.
bool dump_rtlog(const std::string& path, const std::string& bytes) {
    bool ok = true;
    std::size_t line_number = 0;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        ++line_number;
        const std::string_view line(bytes.data() + start, end - start);
        start = end + 1;
        if (line.empty() || line == "\r") {
            continue;
        }
        const std::optional<std::string> plain = vxnlog::decode_rtlog_line(line);
        if (!plain) {
            std::cerr << "vxn-logdump: " << path << ":" << line_number
                      << ": malformed line (not an even number of hexadecimal digits), skipped\n";
            ok = false;
            continue;
        }
        std::cout << *plain;
        // Record lines end in their own line feed; one that does not was cut
        // short, and must not run into the next record.
        if (plain->empty() || plain->back() != '\n') {
            std::cout << '\n';
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    format forced = format::detect;
    std::vector<std::string> files;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            files.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--rt") {
            forced = format::rt;
        } else if (arg == "--buffered") {
            forced = format::buffered;
        } else {
            std::cerr << "vxn-logdump: unknown option " << arg << "\n" << usage;
            return 2;
        }
    }
    if (files.empty()) {
        std::cerr << "vxn-logdump: no log file given\n" << usage;
        return 2;
    }

    bool ok = true;
    for (const std::string& path : files) {
        std::string bytes;
        if (!read_file(path, bytes)) {
            std::cerr << "vxn-logdump: cannot read " << path << ": " << std::strerror(errno)
                      << "\n";
            ok = false;
            continue;
        }
        const bool rt =
            forced == format::rt || (forced == format::detect && vxnlog::looks_like_rtlog(bytes));
        if (rt) {
            ok = dump_rtlog(path, bytes) && ok;
        } else {
            std::cout << vxnlog::decrypt_buffered_log(bytes);
        }
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "vxn-logdump: cannot write to standard output\n";
        return 1;
    }
    return ok ? 0 : 1;
}
