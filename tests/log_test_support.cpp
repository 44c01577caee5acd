#include "log_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "log_cipher.h"

namespace fs = std::filesystem;

namespace logtest {

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "vxnlog_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

scoped_cwd::scoped_cwd(const std::string& dir) : previous_(fs::current_path().string()) {
    fs::current_path(dir);
}

scoped_cwd::~scoped_cwd() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

bool file_exists(const std::string& path) {
    return fs::exists(path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::vector<std::string> buffered_log_lines(const std::string& path) {
    return split_lines(vxnlog::decrypt_buffered_log(read_file(path)));
}

std::vector<std::string> rtlog_lines(const std::string& path) {
    std::vector<std::string> records;
    for (std::string line : split_lines(read_file(path))) {
        if (line.back() == '\n') {
            line.pop_back();
        }
        const auto plain = vxnlog::decode_rtlog_line(line);
        if (!plain) {
            throw std::runtime_error(path + " has a line that does not decode: " + line);
        }
        records.push_back(*plain);
    }
    return records;
}

namespace {

bool digits(const std::string& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

bool is_time_stamp(const std::string& text) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 20 && !(text.size() == 27 && text[20] == '.' && digits(text, 21, 6))) {
        return false;
    }
    const std::string month = text.substr(5, 3);
    return std::find(std::begin(months), std::end(months), month) != std::end(months) &&
           digits(text, 0, 4) && text[4] == '-' && text[8] == '-' && digits(text, 9, 2) &&
           text[11] == ' ' && digits(text, 12, 2) && text[14] == ':' && digits(text, 15, 2) &&
           text[17] == ':' && digits(text, 18, 2);
}

}  // namespace

std::optional<record_fields> parse_record_line(const std::string& line) {
    if (line.size() < 2 || line.front() != '[' || line.back() != '\n') {
        return std::nullopt;
    }
    const std::size_t time_end = line.find("] [");
    const std::size_t pid_end = line.find(':', time_end + 3);
    const std::size_t tid_end = line.find("] <", pid_end + 1);
    const std::size_t severity_end = line.find("> ", tid_end + 3);
    if (time_end == std::string::npos || pid_end == std::string::npos ||
        tid_end == std::string::npos || severity_end == std::string::npos) {
        return std::nullopt;
    }
    record_fields fields;
    fields.time_stamp = line.substr(1, time_end - 1);
    fields.process_id = line.substr(time_end + 3, pid_end - time_end - 3);
    fields.thread_id = line.substr(pid_end + 1, tid_end - pid_end - 1);
    const std::string severity = line.substr(tid_end + 3, severity_end - tid_end - 3);
    fields.message = line.substr(severity_end + 2, line.size() - severity_end - 3);
    const bool negative = !severity.empty() && severity[0] == '-';
    if (!is_time_stamp(fields.time_stamp) || fields.process_id.empty() ||
        fields.thread_id.empty() || severity.size() == (negative ? 1u : 0u) ||
        !digits(severity, negative ? 1 : 0, severity.size() - (negative ? 1 : 0))) {
        return std::nullopt;
    }
    fields.severity = std::stoi(severity);
    return fields;
}

std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

command_result run_command(const std::string& command) {
    temp_dir capture;
    const std::string out = capture / "out";
    const std::string err = capture / "err";
    const int raw = std::system(
        ("{ " + command + "; } >" + shell_quote(out) + " 2>" + shell_quote(err)).c_str());
    if (raw == -1 || !WIFEXITED(raw)) {
        throw std::runtime_error("command did not exit normally: " + command);
    }
    return {WEXITSTATUS(raw), read_file(out), read_file(err)};
}

boost::log::record_view make_record(const record_parts& parts) {
    namespace logging = boost::log;
    // The core opens a record only when some sink may take it. This sink takes
    // everything but is never fed: the tests hand the records to the backends
    // themselves.
    static const bool sink_added = [] {
        logging::core::get()->add_sink(
            boost::make_shared<
                logging::sinks::synchronous_sink<logging::sinks::text_ostream_backend>>());
        return true;
    }();
    (void)sink_added;

    logging::attribute_set attributes;
    if (parts.time_stamp) {
        attributes.insert("TimeStamp", logging::attributes::constant<boost::posix_time::ptime>(
                                           *parts.time_stamp));
    }
    if (parts.process_id) {
        attributes.insert("ProcessID", logging::attributes::current_process_id());
    }
    if (parts.thread_id) {
        attributes.insert("ThreadID", logging::attributes::current_thread_id());
    }
    if (parts.severity) {
        attributes.insert("Severity",
                          logging::attributes::constant<severity_level>(*parts.severity));
    }
    logging::record rec = logging::core::get()->open_record(attributes);
    if (!rec) {
        throw std::runtime_error("the logging core refused a test record");
    }
    if (parts.message) {
        logging::record_ostream stream(rec);
        stream << parts.message;
    }
    return rec.lock();
}

std::string process_id_text() {
    std::ostringstream text;
    text << boost::log::attributes::current_process_id().get();
    return text.str();
}

std::string thread_id_text() {
    std::ostringstream text;
    text << *boost::log::attributes::current_thread_id()
                 .get_value()
                 .extract<boost::log::thread_id>();
    return text.str();
}

}  // namespace logtest
