#include "Boost_Log.h"

#include <gtest/gtest.h>

#include <boost/log/sources/channel_logger.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"

namespace {

namespace fs = std::filesystem;

// Values past ERR up to 7 are valid values of the enumeration (the range of
// its smallest bit-field); anything further would be undefined behaviour.
TEST(SeverityLevel, WrittenByLabel) {
    const std::pair<int, const char*> cases[] = {{0, "VRB"}, {1, "TRC"}, {2, "DBG"}, {3, "INF"},
                                                 {4, "WAR"}, {5, "ERR"}, {6, "6"},   {7, "7"}};
    for (const auto& [value, label] : cases) {
        std::ostringstream text;
        text << static_cast<severity_level>(value);
        EXPECT_EQ(text.str(), label);
    }
}

enum class mode { off, buffered, per_record };

// A library folder, an executable folder and a working directory of their
// own, with logging torn down again at the end.
class LogSetUp : public ::testing::Test {
  protected:
    ~LogSetUp() override { close_logging(); }

    bool init() { return vxnlog::init_logging_in(lib, exe); }

    // The record lines logged so far, after logging was closed.
    std::vector<std::string> logged(mode chosen) const {
        if (chosen == mode::off) {
            EXPECT_TRUE(logtest::files_in(run).empty());
            return {};
        }
        EXPECT_EQ(logtest::files_in(run), std::vector<std::string>{"dpp_log_0.vxnlog"});
        return chosen == mode::buffered ? logtest::buffered_log_lines(run + "/dpp_log_0.vxnlog")
                                        : logtest::rtlog_lines(run + "/dpp_log_0.vxnlog");
    }

    static std::string made(const std::string& dir) {
        fs::create_directory(dir);
        return dir;
    }

    logtest::temp_dir root;
    const std::string lib = made(root / "lib");
    const std::string exe = made(root / "exe");
    const std::string run = made(root / "run");
    logtest::scoped_cwd cwd{run};
};

// The severity of each record line that carries the given message text.
std::multiset<int> severities_of(const std::vector<std::string>& lines, const std::string& text) {
    std::multiset<int> found;
    for (const std::string& line : lines) {
        const auto fields = logtest::parse_record_line(line);
        EXPECT_TRUE(fields.has_value()) << line;
        if (fields && fields->message == text) {
            EXPECT_EQ(fields->process_id, logtest::process_id_text());
            EXPECT_EQ(fields->thread_id, logtest::thread_id_text());
            found.insert(fields->severity);
        }
    }
    return found;
}

void log_every_severity() {
    for (int level = VRB; level <= ERR; ++level) {
        VXN_LOG("Functions", static_cast<severity_level>(level)) << "every severity";
    }
}

struct marker {
    bool next_to_library;
    const char* name;
    const char* content;
};

TEST_F(LogSetUp, MarkerChoosesModeAndMinimumSeverity) {
    struct {
        const char* what;
        std::vector<marker> markers;
        mode expected;
        int minimum;
    } const cases[] = {
        {"no marker", {}, mode::off, 0},
        {"buffered next to the library", {{true, "enable_log.vxn", "3"}}, mode::buffered, 3},
        {"buffered next to the executable, -1 keeps all",
         {{false, "enable_log.vxn", "-1"}},
         mode::buffered,
         0},
        {"per-record next to the library, empty keeps all",
         {{true, "enable_rtlog.vxn", ""}},
         mode::per_record,
         0},
        {"per-record next to the executable, not a number keeps all",
         {{false, "enable_rtlog.vxn", "abc"}},
         mode::per_record,
         0},
        {"number followed by a line feed",
         {{true, "enable_rtlog.vxn", "5\n"}},
         mode::per_record,
         5},
        {"number followed by text", {{false, "enable_log.vxn", "4 only"}}, mode::buffered, 4},
        {"minimum above every severity", {{true, "enable_log.vxn", "9"}}, mode::buffered, 9},
        {"buffered next to the executable beats per-record next to the library",
         {{false, "enable_log.vxn", "2"}, {true, "enable_rtlog.vxn", "4"}},
         mode::buffered,
         2},
        {"library folder first among buffered markers",
         {{true, "enable_log.vxn", "4"}, {false, "enable_log.vxn", "1"}},
         mode::buffered,
         4},
        {"library folder first among per-record markers",
         {{true, "enable_rtlog.vxn", "1"}, {false, "enable_rtlog.vxn", "5"}},
         mode::per_record,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& dir : {lib, exe, run}) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                fs::remove(entry.path());
            }
        }
        for (const marker& m : c.markers) {
            logtest::write_file((m.next_to_library ? lib : exe) + "/" + m.name, m.content);
        }

        EXPECT_EQ(init(), c.expected != mode::off);
        EXPECT_EQ(vxn_log_enabled.load(), c.expected != mode::off);
        if (c.expected != mode::off) {
            // Either mode shows dpp_log_0.vxnlog, empty, as soon as logging is on.
            EXPECT_EQ(logtest::read_file(run + "/dpp_log_0.vxnlog"), "");
        }
        log_every_severity();
        close_logging();
        EXPECT_FALSE(vxn_log_enabled.load());

        std::multiset<int> expected;
        if (c.expected != mode::off) {
            for (int level = std::max(c.minimum, 0); level <= ERR; ++level) {
                expected.insert(level);
            }
        }
        EXPECT_EQ(severities_of(logged(c.expected), "every severity"), expected);
    }
}

int evaluations = 0;
const char* counted() {
    ++evaluations;
    return "counted";
}

TEST_F(LogSetUp, OperandsAreEvaluatedOnlyForRecordsThatPass) {
    VXN_LOG("Functions", ERR) << counted();
    EXPECT_EQ(evaluations, 0) << "logging off";

    logtest::write_file(lib + "/enable_rtlog.vxn", "3");
    ASSERT_TRUE(init());
    VXN_LOG("Functions", DBG) << counted();
    EXPECT_EQ(evaluations, 0) << "below the minimum";
    VXN_LOG("Functions", INF) << counted();
    EXPECT_EQ(evaluations, 1);

    close_logging();
    VXN_LOG("Functions", ERR) << counted();
    EXPECT_EQ(evaluations, 1) << "after close";
    EXPECT_EQ(severities_of(logged(mode::per_record), "counted"), std::multiset<int>{INF});
}

TEST_F(LogSetUp, BufferedRecordsReachTheFileAtClose) {
    logtest::write_file(exe + "/enable_log.vxn", "0");
    ASSERT_TRUE(init());
    VXN_LOG("Global", WAR) << "held " << 42;
    EXPECT_EQ(logtest::read_file(run + "/dpp_log_0.vxnlog"), "") << "written before close";
    close_logging();
    EXPECT_EQ(severities_of(logged(mode::buffered), "held 42"), std::multiset<int>{WAR});
}

TEST_F(LogSetUp, RecordsWithoutALibrarySeverityAreDropped) {
    logtest::write_file(lib + "/enable_rtlog.vxn", "-1");
    ASSERT_TRUE(init());
    boost::log::sources::channel_logger_mt<> no_severity(boost::log::keywords::channel = "Global");
    BOOST_LOG(no_severity) << "dropped";
    boost::log::sources::severity_logger<int> int_severity;
    BOOST_LOG_SEV(int_severity, 5) << "dropped";
    VXN_LOG("Global", VRB) << "kept";
    close_logging();

    const std::vector<std::string> lines = logged(mode::per_record);
    EXPECT_EQ(severities_of(lines, "kept"), std::multiset<int>{VRB});
    EXPECT_TRUE(severities_of(lines, "dropped").empty());
}

TEST_F(LogSetUp, AStatementWhoseOperandThrowsLogsNothing) {
    logtest::write_file(lib + "/enable_rtlog.vxn", "");
    ASSERT_TRUE(init());
    const auto fail = []() -> const char* { throw std::runtime_error("operand failed"); };
    EXPECT_THROW(VXN_LOG("Functions", ERR) << "half " << fail(), std::runtime_error);
    VXN_LOG("Functions", ERR) << "whole";
    close_logging();

    const std::vector<std::string> lines = logged(mode::per_record);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(severities_of(lines, "whole"), std::multiset<int>{ERR});
}

TEST_F(LogSetUp, ManyThreadsLogAtOnce) {
    constexpr int threads = 8;
    constexpr int records = 200;
    for (const auto& [marker_name, chosen] : {std::pair{"enable_log.vxn", mode::buffered},
                                              std::pair{"enable_rtlog.vxn", mode::per_record}}) {
        SCOPED_TRACE(marker_name);
        fs::remove_all(run + "/dpp_log_0.vxnlog");
        fs::remove_all(lib + "/enable_log.vxn");
        logtest::write_file(lib + "/" + marker_name, "");
        ASSERT_TRUE(init());

        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([t] {
                for (int r = 0; r < records; ++r) {
                    VXN_LOG("Data Dispatcher Thread", static_cast<severity_level>(r % 6))
                        << "worker " << t << " record " << r;
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        close_logging();

        // Every record whole, once, and in its thread's order; each thread
        // with one thread id of its own.
        std::map<int, int> next_of_thread;
        std::map<int, std::string> id_of_thread;
        std::set<std::string> ids;
        const std::vector<std::string> lines = logged(chosen);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * records));
        for (const std::string& line : lines) {
            const auto fields = logtest::parse_record_line(line);
            ASSERT_TRUE(fields.has_value()) << line;
            std::istringstream message(fields->message);
            std::string worker_word, record_word;
            int t = -1;
            int r = -1;
            message >> worker_word >> t >> record_word >> r;
            ASSERT_TRUE(message.eof() && worker_word == "worker" && record_word == "record")
                << line;
            EXPECT_EQ(fields->severity, r % 6);
            EXPECT_EQ(r, next_of_thread[t]++);
            const auto [known, added] = id_of_thread.emplace(t, fields->thread_id);
            EXPECT_EQ(known->second, fields->thread_id);
            if (added) {
                ids.insert(fields->thread_id);
            }
        }
        EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads));
    }
}

// init_logging finds its folders itself, and tear-down has to work however the
// process ends. Copies of a program with the library's hooks, and of a module
// with them (loaded by a host program), are placed in scratch folders next to
// markers and started from another folder.
TEST(InitLogging, FindsTheMarkerAndTearsDownCleanly) {
    enum class user { program, program_through_path, module_unloaded, module_kept };
    struct {
        const char* what;
        user kind;
        const char* marker_dir;  // "bin" (the program's), "lib" (the module's) or none
        const char* marker;
    } const cases[] = {
        {"program, buffered", user::program, "bin", "enable_log.vxn"},
        {"program, per-record", user::program, "bin", "enable_rtlog.vxn"},
        {"program found through PATH, so the loader reports no folder", user::program_through_path,
         "bin", "enable_rtlog.vxn"},
        {"program, no marker", user::program, nullptr, nullptr},
        {"module unloaded before exit, buffered", user::module_unloaded, "lib", "enable_log.vxn"},
        {"module unloaded before exit, per-record", user::module_unloaded, "lib",
         "enable_rtlog.vxn"},
        {"module kept until exit, buffered", user::module_kept, "lib", "enable_log.vxn"},
        {"module, marker next to the program only", user::module_unloaded, "bin", "enable_log.vxn"},
        {"module, no marker", user::module_unloaded, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        logtest::temp_dir root;
        for (const char* dir : {"bin", "lib", "run"}) {
            fs::create_directory(root / dir);
        }
        const bool module = c.kind == user::module_unloaded || c.kind == user::module_kept;
        std::string command = "cd " + logtest::shell_quote(root / "run") + " && ";
        if (module) {
            fs::copy_file(VXN_LOG_MODULE_HOST, root / "bin/host");
            fs::copy_file(VXN_LOG_PROBE_MODULE, root / "lib/probe.so");
            command += logtest::shell_quote(root / "bin/host") + " " +
                       logtest::shell_quote(root / "lib/probe.so") +
                       (c.kind == user::module_unloaded ? " unload" : "");
        } else {
            fs::copy_file(VXN_LOG_INIT_PROBE, root / "bin/probe");
            command += c.kind == user::program_through_path
                           ? "PATH=" + logtest::shell_quote(root / "bin") + ":\"$PATH\" probe"
                           : logtest::shell_quote(root / "bin/probe");
        }
        if (c.marker != nullptr) {
            logtest::write_file(root / (std::string(c.marker_dir) + "/" + c.marker), "");
        }
        std::vector<std::string> expected_files{"dpp_log_0.vxnlog"};
        if (c.kind == user::program_through_path) {
            // The bare name the loader reports is no folder: a folder of that
            // name in the working directory must not pass for the program's.
            fs::create_directory(root / "run/probe");
            logtest::write_file(root / "run/probe/enable_log.vxn", "");
            expected_files.push_back("probe");
        }

        const auto result = logtest::run_command(command);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.marker != nullptr ? "on\n" : "off\n");
        if (c.marker == nullptr) {
            EXPECT_TRUE(logtest::files_in(root / "run").empty());
            continue;
        }
        ASSERT_EQ(logtest::files_in(root / "run"), expected_files);
        const std::string file = root / "run/dpp_log_0.vxnlog";
        const auto lines = std::string(c.marker) == "enable_log.vxn"
                               ? logtest::buffered_log_lines(file)
                               : logtest::rtlog_lines(file);
        ASSERT_EQ(lines.size(), 1u);
        const auto fields = logtest::parse_record_line(lines[0]);
        ASSERT_TRUE(fields.has_value()) << lines[0];
        EXPECT_EQ(fields->severity, INF);
        EXPECT_EQ(fields->message, module ? "module record" : "probe record");
    }
}

}  // namespace
