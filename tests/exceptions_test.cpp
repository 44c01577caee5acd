// The records the failures leave in the log, read back from a real log file.
#include "exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "boards.h"
#include "globals.h"
#include "log_test_support.h"

namespace {

size_t count_records(const std::vector<std::string>& lines, const std::string& message) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        const auto fields = logtest::parse_record_line(l);
        return fields && fields->message == message;
    }));
}

TEST(exception_records, each_failure_kind_writes_its_record_once) {
    logtest::temp_dir dir;
    logtest::scoped_cwd cwd(dir.path());
    logtest::write_file(dir / "enable_rtlog.vxn", "0");
    ASSERT_TRUE(vxnlog::init_logging_in(dir.path(), dir.path()));

    try {
        throw invalid_serial();
    } catch (const invalid_serial&) {
    }
    running_error running;
    bit_error bit;
    file_not_found missing;
    fw_unsupported unsupported;
    lock_error quiet(EC_DATA_LOCK);  // these carry no record
    boards::comm_error comm(3, 200);
    globals::set_last_error(EC_NONE);
    close_logging();

    const auto lines = logtest::rtlog_lines(dir / "dpp_log_0.vxnlog");
    EXPECT_EQ(count_records(lines, "Invalid serial exception"), 1u);
    EXPECT_EQ(count_records(lines, "Running error exception"), 1u);
    EXPECT_EQ(count_records(lines, "Bit error exception"), 1u);
    EXPECT_EQ(count_records(lines, "File not found exception"), 1u);
    EXPECT_EQ(count_records(lines, "Function not supported by firmware exception"), 1u);
    EXPECT_EQ(count_records(lines, "Set last error to: 0"), 1u);
    EXPECT_EQ(lines.size(), 6u);  // and nothing for the quiet kinds
    for (const auto& l : lines) {
        const auto fields = logtest::parse_record_line(l);
        ASSERT_TRUE(fields) << l;
        EXPECT_EQ(fields->severity, fields->message.rfind("Set last error", 0) == 0 ? WAR : ERR);
    }
}

TEST(exception_records, nothing_is_written_without_a_marker) {
    logtest::temp_dir dir;
    logtest::scoped_cwd cwd(dir.path());
    ASSERT_FALSE(vxnlog::init_logging_in(dir.path(), dir.path()));
    EXPECT_THROW(throw invalid_serial(), invalid_serial);
    globals::set_last_error(EC_NONE);
    EXPECT_TRUE(logtest::files_in(dir.path()).empty());
}

}  // namespace
