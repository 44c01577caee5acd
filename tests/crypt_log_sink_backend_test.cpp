#include "crypt_log_sink_backend.h"

#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "log_cipher.h"
#include "log_test_support.h"

namespace {

namespace pt = boost::posix_time;
namespace gr = boost::gregorian;
using logtest::make_record;
using logtest::record_parts;

const pt::ptime stamp(gr::date(2024, gr::Mar, 5), pt::hours(14) + pt::minutes(3) + pt::seconds(7));

TEST(RecordLine, Layout) {
    const std::string p = logtest::process_id_text();
    const std::string t = logtest::thread_id_text();
    const std::string ids = "[" + p + ":" + t + "]";
    const auto at = [](pt::time_duration extra) { return stamp + extra; };

    struct {
        const char* what;
        record_parts parts;
        std::string expected;
    } const cases[] = {
        {"whole second",
         {stamp, true, true, INF, "hello"},
         "[2024-Mar-05 14:03:07] " + ids + " <3> hello\n"},
        {"microseconds",
         {at(pt::microseconds(123456)), true, true, INF, "m"},
         "[2024-Mar-05 14:03:07.123456] " + ids + " <3> m\n"},
        {"leading zeros of the fraction",
         {at(pt::microseconds(5)), true, true, INF, "m"},
         "[2024-Mar-05 14:03:07.000005] " + ids + " <3> m\n"},
        {"midnight, single-digit day",
         {pt::ptime(gr::date(2023, gr::Dec, 1)), true, true, WAR, "m"},
         "[2023-Dec-01 00:00:00] " + ids + " <4> m\n"},
        {"not a date-time",
         {pt::ptime(pt::not_a_date_time), true, true, DBG, "m"},
         "[not-a-date-time] " + ids + " <2> m\n"},
        {"plus infinity",
         {pt::ptime(pt::pos_infin), true, true, DBG, "m"},
         "[+infinity] " + ids + " <2> m\n"},
        {"minus infinity",
         {pt::ptime(pt::neg_infin), true, true, DBG, "m"},
         "[-infinity] " + ids + " <2> m\n"},
        {"severity as a number, lowest",
         {stamp, true, true, VRB, "m"},
         "[2024-Mar-05 14:03:07] " + ids + " <0> m\n"},
        {"severity as a number, highest",
         {stamp, true, true, ERR, "m"},
         "[2024-Mar-05 14:03:07] " + ids + " <5> m\n"},
        {"severity outside the labels",
         {stamp, true, true, static_cast<severity_level>(7), "m"},
         "[2024-Mar-05 14:03:07] " + ids + " <7> m\n"},
        {"message kept verbatim",
         {stamp, true, true, ERR, "a\tb\nc \xC3\xA9 <5> ]"},
         "[2024-Mar-05 14:03:07] " + ids + " <5> a\tb\nc \xC3\xA9 <5> ]\n"},
        {"no time stamp", {std::nullopt, true, true, INF, "m"}, "[] " + ids + " <3> m\n"},
        {"no process id",
         {stamp, false, true, INF, "m"},
         "[2024-Mar-05 14:03:07] [:" + t + "] <3> m\n"},
        {"no thread id",
         {stamp, true, false, INF, "m"},
         "[2024-Mar-05 14:03:07] [" + p + ":] <3> m\n"},
        {"no severity",
         {stamp, true, true, std::nullopt, "m"},
         "[2024-Mar-05 14:03:07] " + ids + " <> m\n"},
        {"no message",
         {stamp, true, true, INF, nullptr},
         "[2024-Mar-05 14:03:07] " + ids + " <3> \n"},
        {"no attribute at all",
         {std::nullopt, false, false, std::nullopt, nullptr},
         "[] [:] <> \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vxnlog::format_record_line(make_record(c.parts)), c.expected) << c.what;
    }
}

TEST(RecordLine, EnglishMonthNames) {
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (unsigned short month = 1; month <= 12; ++month) {
        const pt::ptime when(gr::date(1999, month, 28), pt::seconds(1));
        const std::string line =
            vxnlog::format_record_line(make_record({when, true, true, INF, "m"}));
        EXPECT_EQ(line.substr(0, 22), "[1999-" + std::string(months[month - 1]) + "-28 00:00:01]");
    }
}

TEST(LogFileName, NumberGoesAfterTheEighthCharacter) {
    struct {
        const char* name;
        std::uint32_t number;
        const char* expected;
    } const cases[] = {
        {"dpp_log_.vxnlog", 0, "dpp_log_0.vxnlog"},
        {"dpp_log_.vxnlog", 17, "dpp_log_17.vxnlog"},
        {"dpp_log_.vxnlog", 4294967295u, "dpp_log_4294967295.vxnlog"},
        {"12345678", 9, "123456789"},
        {"short", 3, "short3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vxnlog::numbered_file_name(c.name, c.number), c.expected);
    }
}

class BufferedBackend : public ::testing::Test {
  protected:
    std::string consume(const std::string& message) {
        const auto rec = make_record({stamp, true, true, INF, message.c_str()});
        backend.consume(rec);
        return vxnlog::format_record_line(rec);
    }

    logtest::temp_dir dir;
    logtest::scoped_cwd cwd{dir.path()};
    crypt_log_sink_backend backend{"dpp_log_.vxnlog"};
};

TEST_F(BufferedBackend, WritesOneEncryptedFileAtFlush) {
    std::string expected;
    for (const char* message : {"first", "second", "third"}) {
        expected += consume(message);
    }
    EXPECT_TRUE(logtest::files_in(dir.path()).empty()) << "written before flush";

    backend.flush();
    EXPECT_EQ(logtest::files_in(dir.path()), std::vector<std::string>{"dpp_log_0.vxnlog"});
    const std::string bytes = logtest::read_file("dpp_log_0.vxnlog");
    EXPECT_EQ(bytes.size(), expected.size());
    EXPECT_EQ(bytes.find("second"), std::string::npos) << "plain text in the file";
    EXPECT_EQ(vxnlog::decrypt_buffered_log(bytes), expected);
    EXPECT_EQ(backend.file_number(), 1u);
    EXPECT_EQ(backend.buffered_size(), 0u);
}

TEST_F(BufferedBackend, WritesAFileWhenTheBufferExceedsTheLimit) {
    // One line short of the limit by exactly its own length stays in memory:
    // only more than the limit is written.
    const std::size_t overhead =
        vxnlog::format_record_line(make_record({stamp, true, true, INF, ""})).size();
    std::string expected =
        consume(std::string(crypt_log_sink_backend::buffer_limit - overhead, 'x'));
    ASSERT_EQ(backend.buffered_size(), crypt_log_sink_backend::buffer_limit);
    EXPECT_TRUE(logtest::files_in(dir.path()).empty());

    expected += consume("crossing");
    EXPECT_EQ(logtest::files_in(dir.path()), std::vector<std::string>{"dpp_log_0.vxnlog"});
    EXPECT_EQ(backend.buffered_size(), 0u);
    const std::string first = logtest::read_file("dpp_log_0.vxnlog");
    EXPECT_EQ(first.size(), expected.size());
    EXPECT_TRUE(vxnlog::decrypt_buffered_log(first) == expected);

    // The next file starts its own key stream, so it decrypts on its own.
    const std::string after = consume("after");
    backend.flush();
    EXPECT_EQ(logtest::files_in(dir.path()),
              (std::vector<std::string>{"dpp_log_0.vxnlog", "dpp_log_1.vxnlog"}));
    EXPECT_EQ(vxnlog::decrypt_buffered_log(logtest::read_file("dpp_log_1.vxnlog")), after);
}

TEST_F(BufferedBackend, FlushWithNothingBufferedStillUsesUpANumber) {
    backend.flush();
    backend.flush();
    const std::string line = consume("late");
    backend.flush();
    EXPECT_EQ(
        logtest::files_in(dir.path()),
        (std::vector<std::string>{"dpp_log_0.vxnlog", "dpp_log_1.vxnlog", "dpp_log_2.vxnlog"}));
    EXPECT_EQ(logtest::read_file("dpp_log_0.vxnlog"), "");
    EXPECT_EQ(logtest::read_file("dpp_log_1.vxnlog"), "");
    EXPECT_EQ(vxnlog::decrypt_buffered_log(logtest::read_file("dpp_log_2.vxnlog")), line);
}

TEST_F(BufferedBackend, ReplacesAFileOfAnEarlierRun) {
    logtest::write_file("dpp_log_0.vxnlog", std::string(5000, 'o'));
    const std::string line = consume("new run");
    backend.flush();
    EXPECT_EQ(vxnlog::decrypt_buffered_log(logtest::read_file("dpp_log_0.vxnlog")), line);
}

TEST_F(BufferedBackend, AFileThatCannotBeWrittenIsSkippedSilently) {
    std::filesystem::create_directory("dpp_log_0.vxnlog");
    consume("lost");
    EXPECT_NO_THROW(backend.flush());
    EXPECT_EQ(backend.file_number(), 1u);
    EXPECT_EQ(backend.buffered_size(), 0u);

    const std::string line = consume("kept");
    backend.flush();
    EXPECT_EQ(vxnlog::decrypt_buffered_log(logtest::read_file("dpp_log_1.vxnlog")), line);
}

}  // namespace
