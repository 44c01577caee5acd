// vxn-logdump run as users run it, on files written by the two backends.
#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "crypt_log_sink_backend.h"
#include "crypt_rtlog_sink_backend.h"
#include "log_test_support.h"

namespace {

namespace pt = boost::posix_time;
namespace gr = boost::gregorian;

std::string join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
    }
    return text;
}

// Log files of both kinds in a scratch folder, written by the backends, and
// the record lines they hold.
class LogDump : public ::testing::Test {
  protected:
    LogDump() {
        logtest::scoped_cwd cwd(dir.path());
        const pt::ptime stamp(gr::date(2025, gr::Jan, 31), pt::hours(23) + pt::microseconds(1));
        {
            crypt_log_sink_backend backend("buf_log_.vxnlog");
            for (const char* message : {"buffered one", "buffered two"}) {
                const auto rec = logtest::make_record({stamp, true, true, DBG, message});
                backend.consume(rec);
                buffered_lines.push_back(vxnlog::format_record_line(rec));
            }
            backend.flush();
        }
        {
            crypt_rtlog_sink_backend backend("rt_log__.vxnlog");
            for (const char* message : {"rt one", "rt two", "rt three"}) {
                const auto rec = logtest::make_record({stamp, true, true, ERR, message});
                backend.consume(rec);
                rt_lines.push_back(vxnlog::format_record_line(rec));
            }
        }
        buffered = dir / "buf_log_0.vxnlog";
        rtlog = dir / "rt_log__0.vxnlog";
    }

    logtest::command_result dump(const std::string& arguments) const {
        return logtest::run_command(logtest::shell_quote(VXN_LOGDUMP) + " " + arguments);
    }

    logtest::temp_dir dir;
    std::vector<std::string> buffered_lines;
    std::vector<std::string> rt_lines;
    std::string buffered;
    std::string rtlog;
};

TEST_F(LogDump, PrintsTheRecordLinesOfEitherKind) {
    const std::string q_buffered = logtest::shell_quote(buffered);
    const std::string q_rtlog = logtest::shell_quote(rtlog);
    struct {
        const char* what;
        std::string arguments;
        std::string out;
    } const cases[] = {
        {"buffered file", q_buffered, join(buffered_lines)},
        {"per-record file", q_rtlog, join(rt_lines)},
        {"several files, in the order given", q_rtlog + " " + q_buffered + " " + q_rtlog,
         join(rt_lines) + join(buffered_lines) + join(rt_lines)},
        {"kind forced", "--rt " + q_rtlog + " -- " + q_rtlog, join(rt_lines) + join(rt_lines)},
        {"standard input", "- < " + q_rtlog, join(rt_lines)},
        {"empty file", logtest::shell_quote(dir / "empty.vxnlog"), ""},
    };
    logtest::write_file(dir / "empty.vxnlog", "");
    for (const auto& c : cases) {
        const auto result = dump(c.arguments);
        EXPECT_EQ(result.status, 0) << c.what << ": " << result.err;
        EXPECT_EQ(result.out, c.out) << c.what;
        EXPECT_EQ(result.err, "") << c.what;
    }
}

TEST_F(LogDump, ReportsDamagedLinesAndGoesOn) {
    // A crash can cut a line short; an editor can leave anything.
    const std::string hex = logtest::read_file(rtlog);
    const std::vector<std::string> lines = logtest::split_lines(hex);
    ASSERT_EQ(lines.size(), 3u);
    logtest::write_file(rtlog, lines[0] + "0G12\n" + lines[1] + lines[2].substr(0, 7));

    const auto result = dump(logtest::shell_quote(rtlog) + " " + logtest::shell_quote(buffered));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, rt_lines[0] + rt_lines[1] + join(buffered_lines));
    EXPECT_NE(result.err.find(rtlog + ":2: malformed line"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(rtlog + ":4: malformed line"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(":3:"), std::string::npos) << result.err;
}

TEST_F(LogDump, FailsOnWhatItCannotRead) {
    std::filesystem::create_directory(dir / "folder.vxnlog");
    struct {
        const char* what;
        std::string arguments;
        int status;
        std::string out;
        std::string err;
    } const cases[] = {
        {"missing file, the others still dumped",
         logtest::shell_quote(dir / "missing.vxnlog") + " " + logtest::shell_quote(rtlog), 1,
         join(rt_lines), "cannot read " + (dir / "missing.vxnlog") + ": No such file or directory"},
        {"folder", logtest::shell_quote(dir / "folder.vxnlog"), 1, "",
         "cannot read " + (dir / "folder.vxnlog") + ": Is a directory"},
        {"buffered file read as per-record", "--rt " + logtest::shell_quote(buffered), 1, "",
         ": malformed line"},
        {"unknown option", "--verbose " + logtest::shell_quote(rtlog), 2, "",
         "unknown option --verbose"},
        {"no file", "--rt", 2, "", "no log file given"},
    };
    for (const auto& c : cases) {
        const auto result = dump(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.what;
        EXPECT_EQ(result.out, c.out) << c.what;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << c.what << ": " << result.err;
    }
}

TEST_F(LogDump, ExplainsItself) {
    const auto result = dump("--help");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("Usage: vxn-logdump", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("--buffered"), std::string::npos);
    EXPECT_EQ(result.err, "");
}

}  // namespace
