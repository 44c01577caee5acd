// Asynchronous tasks: what reaches the callback and the last error for every
// outcome of the operation.
#include "AsyncTask.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>

#include "DLL_DPP.h"
#include "exceptions.h"
#include "globals.h"

namespace {

struct answer {
    unsigned short type;
    unsigned int call_id;
    std::vector<unsigned int> words;
    bool operator==(const answer& o) const {
        return type == o.type && call_id == o.call_id && words == o.words;
    }
};

std::mutex answers_mutex;
std::vector<answer> answers;

void record(unsigned short type, unsigned int call_id, unsigned int length, unsigned int* data) {
    std::lock_guard<std::mutex> lock(answers_mutex);
    answers.push_back({type, call_id, std::vector<unsigned int>(data, data + length)});
}

class async_task : public ::testing::Test {
  protected:
    void SetUp() override {
        answers.clear();
        int_register_callback(record);
        globals::set_last_error(EC_NONE);
    }
};

struct failure_case {
    const char* what;
    std::function<void()> raise;
    bool answered;
    error_code code;  // EC_NONE: no code set
};

TEST_F(async_task, every_outcome_of_the_operation) {
    const failure_case cases[] = {
        {"comm_error", [] { throw boards::comm_error(1, 2); }, true, EC_COMMUNICATION},
        {"fw_unsupported", [] { throw fw_unsupported(); }, true, EC_FW_UNSUPPORTED},
        {"system_error",
         [] { throw std::system_error(std::make_error_code(std::errc::connection_reset)); }, true,
         EC_COMMUNICATION},
        {"runtime_error", [] { throw std::runtime_error("x"); }, true, EC_COMMUNICATION},
        {"future_error", [] { throw std::future_error(std::future_errc::broken_promise); }, true,
         EC_UNMATCHED_ANSWER},
        {"out_of_range", [] { throw std::out_of_range("x"); }, true, EC_OUT_OF_RANGE},
        {"file_not_found", [] { throw file_not_found(); }, true, EC_OUT_OF_RANGE},
        {"running_error", [] { throw running_error(); }, true, EC_BOARD_RUNNING},
        {"invalid_serial", [] { throw invalid_serial(); }, false, EC_NONE},
        {"domain_error", [] { throw std::domain_error("x"); }, false, EC_NONE},
    };
    unsigned int id = 100;
    for (const auto& c : cases) {
        answers.clear();
        globals::set_last_error(EC_NONE);
        const AsyncTask task(
            [&]() -> boards::result {
                c.raise();
                return {globals::READ, {}};
            },
            ++id);
        try {
            task();
        } catch (...) {
            // Kinds that are not answered stay with the task (its future).
        }
        if (c.answered) {
            EXPECT_EQ(answers, (std::vector<answer>{{globals::ERR, id, {0}}})) << c.what;
        } else {
            EXPECT_TRUE(answers.empty()) << c.what;
        }
        EXPECT_EQ(globals::get_last_error(), c.code) << c.what;
    }
}

TEST_F(async_task, a_result_is_delivered_with_its_call_id) {
    AsyncTask([] { return boards::result{globals::READ, {4, 2, 1, 0}}; }, 7)();
    AsyncTask([] { return boards::result{globals::WRITE, {}}; }, 8)();
    EXPECT_EQ(answers,
              (std::vector<answer>{{globals::READ, 7, {4, 2, 1, 0}}, {globals::WRITE, 8, {}}}));
}

TEST_F(async_task, no_callback_means_nothing_is_called_but_errors_are_set) {
    int_register_callback(nullptr);
    AsyncTask([]() -> boards::result { throw boards::comm_error(0, 0); }, 9)();
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(globals::get_last_error(), EC_COMMUNICATION);
}

TEST_F(async_task, launched_tasks_run_one_after_the_other_in_order) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    launch_task(
        [released] {
            released.wait();
            return boards::result{globals::WRITE, {1}};
        },
        1);
    // The second launch has to wait for the first task, which waits for us:
    // launch it from another thread and let the first one go.
    auto second = std::async(std::launch::async, [] {
        launch_task([] { return boards::result{globals::WRITE, {2}}; }, 2);
    });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    second.get();
    globals::pending_futures.wait();
    EXPECT_EQ(answers, (std::vector<answer>{{globals::WRITE, 1, {1}}, {globals::WRITE, 2, {2}}}));
}

}  // namespace
