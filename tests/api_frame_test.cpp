// The translation of exceptions into error codes, and the frame around the
// exported functions' bodies.
#include "api_frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <system_error>

#include "exceptions.h"

namespace {

struct translation_case {
    const char* name;
    std::function<void()> raise;
    error_code expected;
};

TEST(api_frame, exception_kinds_map_to_their_codes) {
    const translation_case cases[] = {
        {"lock_error carries its code", [] { throw lock_error(EC_DATA_LOCK); }, EC_DATA_LOCK},
        {"invalid_serial", [] { throw invalid_serial(); }, EC_UNKNOWN_IDENTIFIER},
        {"out_of_range", [] { throw std::out_of_range("x"); }, EC_OUT_OF_RANGE},
        {"invalid_argument (unparsable text)", [] { throw std::invalid_argument("stoi"); },
         EC_OUT_OF_RANGE},
        {"null argument", [] { throw vxn::null_argument("p"); }, EC_OUT_OF_RANGE},
        {"comm_error", [] { throw boards::comm_error(3, 200); }, EC_COMMUNICATION},
        {"domain_error", [] { throw std::domain_error("mode"); }, EC_WRONG_MODE},
        {"running_error", [] { throw running_error(); }, EC_BOARD_RUNNING},
        {"fw_unsupported", [] { throw fw_unsupported(); }, EC_FW_UNSUPPORTED},
        {"runtime_error", [] { throw std::runtime_error("x"); }, EC_RUNTIME},
        {"system_error is a runtime_error",
         [] { throw std::system_error(std::make_error_code(std::errc::io_error)); }, EC_RUNTIME},
        {"bad_alloc", [] { throw std::bad_alloc(); }, EC_RUNTIME},
        {"future_error", [] { throw std::future_error(std::future_errc::broken_promise); },
         EC_RUNTIME},
        {"not an exception", [] { throw 42; }, EC_RUNTIME},
        {"bit_error", [] { throw bit_error(); }, EC_RUNTIME},
    };
    for (const auto& c : cases) {
        try {
            c.raise();
            FAIL() << c.name << " did not throw";
        } catch (...) {
            EXPECT_EQ(vxn::current_exception_code(), c.expected) << c.name;
        }
    }
}

TEST(api_frame, firmware_functions_report_runtime_errors_as_communication) {
    vxn::frame_options firmware;
    firmware.runtime_code = EC_COMMUNICATION;
    try {
        throw std::runtime_error("flash");
    } catch (...) {
        EXPECT_EQ(vxn::current_exception_code(firmware), EC_COMMUNICATION);
    }
}

TEST(api_frame, comm_error_reports_board_and_packet_id) {
    const boards::comm_error e(3, 200);
    EXPECT_EQ(e.getBoard(), 3);
    EXPECT_EQ(e.getPktID(), 200u);
}

TEST(api_frame, refuses_before_initialisation_without_running_the_body) {
    globals::set_last_error(EC_NONE);
    bool ran = false;
    EXPECT_EQ(vxn::api_call(0u,
                            [&] {
                                ran = true;
                                return 5u;
                            }),
              0u);
    EXPECT_FALSE(ran);
    EXPECT_EQ(globals::get_last_error(), EC_NOT_INITIALIZED);
}

TEST(api_frame, body_failure_returns_the_failure_value_and_releases_the_api_lock) {
    globals* registry = globals::get();
    registry->set_Initialized();
    EXPECT_EQ(vxn::api_call(-1, []() -> int { throw std::out_of_range("board"); }), -1);
    EXPECT_EQ(globals::get_last_error(), EC_OUT_OF_RANGE);
    EXPECT_TRUE(registry->api_mutex.try_lock());
    registry->api_mutex.unlock();
    EXPECT_EQ(vxn::api_call(0, [] { return 7; }), 7);
    registry->unset_Initialized();
}

TEST(api_frame, errors_are_overwritten_never_cleared_by_success) {
    globals* registry = globals::get();
    registry->set_Initialized();
    vxn::api_call(false, []() -> bool { throw invalid_serial(); });
    vxn::api_call(false, [] { return true; });
    EXPECT_EQ(globals::get_last_error(), EC_UNKNOWN_IDENTIFIER);
    vxn::api_call(false, []() -> bool { throw fw_unsupported(); });
    EXPECT_EQ(globals::get_last_error(), EC_FW_UNSUPPORTED);
    registry->unset_Initialized();
}

}  // namespace
