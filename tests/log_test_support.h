// Helpers shared by the logging tests: scratch folders, files, and log files
// read back into record lines.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/core/record_view.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Boost_Log.h"

namespace logtest {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Makes `dir` the working directory until the object goes: the log files are
// named relative to it.
class scoped_cwd {
  public:
    explicit scoped_cwd(const std::string& dir);
    ~scoped_cwd();
    scoped_cwd(const scoped_cwd&) = delete;
    scoped_cwd& operator=(const scoped_cwd&) = delete;

  private:
    std::string previous_;
};

bool file_exists(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::vector<std::string> files_in(const std::string& dir);  // names, sorted

// Cuts text into lines, each keeping its line feed.
std::vector<std::string> split_lines(const std::string& text);

// The record lines of a buffered file, and of a per-record file (which must
// decode completely).
std::vector<std::string> buffered_log_lines(const std::string& path);
std::vector<std::string> rtlog_lines(const std::string& path);

// The parts of a record line, "[" time stamp "] [" process id ":" thread id
// "] <" severity "> " message "\n"; empty when the line does not have that
// layout or its time stamp is not "YYYY-Mmm-DD HH:MM:SS[.ffffff]".
struct record_fields {
    std::string time_stamp;
    std::string process_id;
    std::string thread_id;
    int severity;
    std::string message;
};
std::optional<record_fields> parse_record_line(const std::string& line);

// Runs a shell command; returns its exit status, with standard output and
// error collected.
struct command_result {
    int status;
    std::string out;
    std::string err;
};
command_result run_command(const std::string& command);

// Quotes a path for the shell.
std::string shell_quote(const std::string& text);

// A record with just the attributes asked for, as the logging core would hand
// it to a sink. The process and thread ids are the caller's own.
struct record_parts {
    std::optional<boost::posix_time::ptime> time_stamp;
    bool process_id = true;
    bool thread_id = true;
    std::optional<severity_level> severity;
    const char* message = nullptr;  // none when null
};
boost::log::record_view make_record(const record_parts& parts);

// How the logging library writes the calling process's and thread's ids.
std::string process_id_text();
std::string thread_id_text();

}  // namespace logtest
