#include "crypt_rtlog_sink_backend.h"

#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "crypt_log_sink_backend.h"
#include "log_test_support.h"

namespace {

namespace pt = boost::posix_time;
namespace gr = boost::gregorian;
using logtest::make_record;

const pt::ptime stamp(gr::date(2024, gr::Oct, 9), pt::hours(8) + pt::microseconds(250));

class PerRecordBackend : public ::testing::Test {
  protected:
    static std::string consume(crypt_rtlog_sink_backend& backend, const std::string& message) {
        const auto rec = make_record({stamp, true, true, WAR, message.c_str()});
        backend.consume(rec);
        return vxnlog::format_record_line(rec);
    }

    std::vector<std::string> file_lines() const {
        return logtest::split_lines(logtest::read_file(dir / "dpp_log_0.vxnlog"));
    }

    logtest::temp_dir dir;
    logtest::scoped_cwd cwd{dir.path()};
};

TEST_F(PerRecordBackend, CreatesFileZeroWhenBuilt) {
    crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
    EXPECT_EQ(logtest::files_in(dir.path()), std::vector<std::string>{"dpp_log_0.vxnlog"});
    EXPECT_EQ(logtest::read_file("dpp_log_0.vxnlog"), "");
}

TEST_F(PerRecordBackend, WritesEachRecordAtOnceAsOneUpperCaseHexLine) {
    crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
    std::vector<std::string> expected;
    for (const char* message : {"one", "two: a longer message with\nan inner line feed"}) {
        expected.push_back(consume(backend, message));
        // Readable before any flush or close: a crash must not lose it.
        ASSERT_EQ(file_lines().size(), expected.size());
    }
    const std::vector<std::string> lines = file_lines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find_first_not_of("0123456789ABCDEF"), lines[i].size() - 1) << lines[i];
        EXPECT_EQ(lines[i].size(), 2 * expected[i].size() + 1);
    }
    EXPECT_EQ(logtest::rtlog_lines("dpp_log_0.vxnlog"), expected);
}

TEST_F(PerRecordBackend, EveryLineStartsTheKeyStreamAfresh) {
    crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
    const std::string a = consume(backend, "alpha");
    const std::string b = consume(backend, "beta");
    std::size_t common = 0;
    while (a[common] == b[common]) {
        ++common;
    }
    ASSERT_GT(common, 40u) << "the two records should share time stamp and ids";

    const std::vector<std::string> lines = file_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 2 * common), lines[1].substr(0, 2 * common));
    EXPECT_NE(lines[0].substr(2 * common, 2), lines[1].substr(2 * common, 2));
}

TEST_F(PerRecordBackend, LaterRunsAppendToTheSameFile) {
    std::vector<std::string> expected;
    for (const char* run : {"first run", "second run"}) {
        crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
        expected.push_back(consume(backend, run));
        backend.flush();
    }
    EXPECT_EQ(logtest::files_in(dir.path()), std::vector<std::string>{"dpp_log_0.vxnlog"});
    EXPECT_EQ(logtest::rtlog_lines("dpp_log_0.vxnlog"), expected);
}

TEST_F(PerRecordBackend, RecordsAfterFlushAreDropped) {
    crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
    const std::string kept = consume(backend, "before");
    backend.flush();
    EXPECT_NO_THROW(consume(backend, "after"));
    EXPECT_EQ(logtest::rtlog_lines("dpp_log_0.vxnlog"), std::vector<std::string>{kept});
}

TEST_F(PerRecordBackend, AFileThatCannotBeOpenedLosesRecordsSilently) {
    std::filesystem::create_directory("dpp_log_0.vxnlog");
    crypt_rtlog_sink_backend backend("dpp_log_.vxnlog");
    EXPECT_NO_THROW(consume(backend, "lost"));
    EXPECT_NO_THROW(backend.flush());
    EXPECT_TRUE(std::filesystem::is_empty("dpp_log_0.vxnlog"));
}

}  // namespace
