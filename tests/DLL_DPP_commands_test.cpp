// The command functions through the shared library, with a C callback,
// against simulated chains on addresses 127.0.25.x.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "VXN_DPP.h"
#include "api_peer.h"
#include "register_map.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using vxnsim::Request;
using vxntest::boards_of;
using vxntest::eventually;
using vxntest::last_error;
using vxntest::start_sim;

struct answer {
    unsigned short type;
    unsigned int call_id;
    std::vector<unsigned int> words;
};

std::mutex answers_mutex;
std::condition_variable answers_changed;
std::vector<answer> answers;

void on_answer(unsigned short type, unsigned int call_id, unsigned int length, unsigned int* data) {
    {
        std::lock_guard<std::mutex> lock(answers_mutex);
        answers.push_back({type, call_id, std::vector<unsigned int>(data, data + length)});
    }
    answers_changed.notify_all();
}

// The answer of `call_id`, waited for up to `timeout`.
std::optional<answer> answer_of(unsigned int call_id, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(answers_mutex);
    std::optional<answer> found;
    answers_changed.wait_for(lock, timeout, [&] {
        for (const auto& a : answers)
            if (a.call_id == call_id)
                found = a;
        return found.has_value();
    });
    return found;
}

class commands : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(answers_mutex);
            answers.clear();
        }
        ASSERT_TRUE(register_callback(on_answer));
        ASSERT_TRUE(InitLibrary());
    }
    void TearDown() override { CloseLibrary(); }

    // Starts simulated chains and waits until the library has them all.
    void connect(std::initializer_list<std::pair<const char*, unsigned>> chains) {
        for (const auto& [ip, boards] : chains) {
            sims.push_back(start_sim(ip, boards));
            add_to_query(ip);
        }
        for (const auto& [ip, boards] : chains)
            ASSERT_TRUE(eventually([&] { return boards_of(ip) == int(boards); }, 20s)) << ip;
        resetLastError();
    }
    std::vector<std::unique_ptr<vxnsim::SimChain>> sims;
};

TEST_F(commands, answers_arrive_with_their_call_ids_in_order) {
    connect({{"127.0.25.2", 2}});
    const unsigned int first = getFirmware("127.0.25.2", 1);
    ASSERT_NE(first, 0u);
    const unsigned int second = isRunning_system("127.0.25.2", 0);
    EXPECT_EQ(second, first + 1);
    // The second call returned only after the first answer was delivered.
    {
        std::lock_guard<std::mutex> lock(answers_mutex);
        ASSERT_GE(answers.size(), 1u);
        EXPECT_EQ(answers[0].call_id, first);
    }
    const auto a = answer_of(first);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, VXN_ANSWER_READ);
    EXPECT_EQ(a->words, (std::vector<unsigned int>{4, 2, 1, 0}));
    const auto b = answer_of(second);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->words, std::vector<unsigned int>{0});

    const unsigned int write = advanced_configure("127.0.25.2", 255, 1000, 77);
    const auto w = answer_of(write);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->type, VXN_ANSWER_WRITE);
    EXPECT_EQ(w->words, std::vector<unsigned int>{1});
    for (unsigned b = 0; b < 2; ++b) {
        ASSERT_FALSE(sims[0]->param_commits(b).empty());
        EXPECT_EQ(sims[0]->param_commits(b).back().index, 1000u);
        EXPECT_EQ(sims[0]->param_commits(b).back().value, 77u);
    }
    EXPECT_EQ(advanced_read("127.0.25.2", 1, reg::FW_RELEASE), 0x00040201u);
}

TEST_F(commands, a_failed_command_answers_with_the_error_answer) {
    connect({{"127.0.25.3", 1}});
    sims[0]->set_silence(vxnsim::Silence::all_boards);
    const unsigned int id = getFirmware("127.0.25.3", 0);
    const auto a = answer_of(id, 15s);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, VXN_ANSWER_ERR);
    EXPECT_EQ(a->words, std::vector<unsigned int>{0});
    EXPECT_EQ(last_error(), EC_COMMUNICATION);
}

TEST_F(commands, refusals_that_return_zero) {
    connect({{"127.0.25.4", 1}});
    EXPECT_EQ(getFirmware("127.0.25.99", 0), 0u);
    EXPECT_EQ(last_error(), EC_UNKNOWN_IDENTIFIER);
    EXPECT_EQ(getFirmware(nullptr, 0), 0u);
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    resetLastError();
    EXPECT_EQ(start("", 1, 4096), 0u);
    EXPECT_EQ(start("|", 1, 4096), 0u);
    EXPECT_EQ(last_error(), EC_NONE);  // an empty list is no error
    EXPECT_EQ(start("127.0.25.4", -1, 4096), 0u);
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    EXPECT_EQ(start_map("127.0.25.4", 100000, 100000, 4096), 0u);  // 10^10 ms
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    EXPECT_EQ(advanced_read("127.0.25.4", 3, 0), 0u);
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    EXPECT_FALSE(clear_board("127.0.25.4", 1));
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
    EXPECT_TRUE(clear_chain("127.0.25.4"));
}

TEST_F(commands, start_converts_its_time) {
    connect({{"127.0.25.5", 1}});
    const unsigned int id = start("127.0.25.5", 2.5, 1024);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(answer_of(id));
    auto& sim = *sims[0];
    EXPECT_EQ(sim.register_value(0, reg::ACQ_TIME), 2500u);
    EXPECT_EQ(sim.register_value(0, reg::TIME_PER_SPECTRUM), 100u);
    EXPECT_EQ(sim.register_value(0, reg::MAP_GATING) & reg::MAP_POINTS_MASK, 25u);
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 0x1807, reg::DEPTH_1024_BIT);
    const unsigned int stopped = stop("127.0.25.5");
    ASSERT_TRUE(answer_of(stopped));
    EXPECT_TRUE(sim.wait_acquisition_end(5s));

    ASSERT_TRUE(answer_of(start("127.0.25.5", 0.0001, 4096)));
    EXPECT_EQ(sim.register_value(0, reg::ACQ_TIME), 0u);
    EXPECT_EQ(sim.register_value(0, reg::MAP_GATING) & reg::MAP_POINTS_MASK, 0u);
    ASSERT_TRUE(answer_of(stop("127.0.25.5")));
}

TEST_F(commands, start_map_chooses_the_mode_from_the_point_time) {
    connect({{"127.0.25.6", 1}});
    auto& sim = *sims[0];
    ASSERT_TRUE(answer_of(start_map("127.0.25.6", 200, 50, 2048)));
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 7, 1u);
    EXPECT_EQ(sim.register_value(0, reg::ACQ_TIME), 10000u);
    EXPECT_EQ(sim.register_value(0, reg::TIME_PER_SPECTRUM), 200u);
    EXPECT_EQ(sim.register_value(0, reg::MAP_GATING) & reg::MAP_POINTS_MASK, 50u);
    ASSERT_TRUE(answer_of(stop("127.0.25.6")));
    ASSERT_TRUE(answer_of(start_map("127.0.25.6", 0, 50, 2048)));
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 7, 2u);
    EXPECT_EQ(sim.register_value(0, reg::ACQ_TIME), 0u);
    ASSERT_TRUE(answer_of(stop("127.0.25.6")));
}

TEST_F(commands, a_list_of_chains_uses_one_id_each_and_answers_the_last) {
    connect({{"127.0.25.7", 1}, {"127.0.25.8", 1}});
    // The call id before this start, learnt from a command's id.
    const unsigned int n = isRunning_system("127.0.25.7", 0) + 1;
    ASSERT_TRUE(answer_of(n - 1));
    const unsigned int id = start("127.0.25.7|127.0.25.8", 1, 4096);
    EXPECT_EQ(id, n + 1);
    ASSERT_TRUE(answer_of(id));
    EXPECT_FALSE(answer_of(n, 200ms));  // the first chain's start is not answered
    EXPECT_TRUE(sims[0]->acquiring() || sims[0]->acquisitions_started() == 1);
    EXPECT_EQ(sims[1]->acquisitions_started(), 1u);
    EXPECT_EQ(stop("127.0.25.7|127.0.25.8"), n + 3);
    EXPECT_EQ(isRunning_system("127.0.25.7", 0), n + 4);
    EXPECT_TRUE(answer_of(n + 4));
}

TEST_F(commands, a_failing_list_starts_nothing) {
    connect({{"127.0.25.9", 1}});
    auto& sim = *sims[0];
    resetLastError();
    EXPECT_EQ(start("127.0.25.9|127.0.25.98", 1, 2048), 0u);
    EXPECT_EQ(last_error(), EC_UNKNOWN_IDENTIFIER);
    // The known chain was set up, but not started.
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 0x1800, reg::DEPTH_2048_BIT);
    EXPECT_EQ(sim.acquisitions_started(), 0u);

    // start_listwave counts empty pieces: the second one is unknown.
    resetLastError();
    EXPECT_EQ(start_listwave("127.0.25.9||127.0.25.9", 1, 2, 16, 0), 0u);
    EXPECT_EQ(last_error(), EC_UNKNOWN_IDENTIFIER);
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 7, 6u);  // the first was set up
    EXPECT_EQ(sim.acquisitions_started(), 0u);
}

TEST_F(commands, list_wave_and_waveform_starts) {
    connect({{"127.0.25.10", 1}});
    auto& sim = *sims[0];
    const unsigned int id = start_listwave("127.0.25.10", 0.3, 2, 16, 5);
    ASSERT_NE(id, 0u);
    EXPECT_FALSE(answer_of(id, 300ms));  // started synchronously: no answer
    EXPECT_EQ(sim.acquisitions_started(), 1u);
    EXPECT_EQ(sim.register_value(0, reg::WAVE_LENGTH), 15u | (5u << 11));
    EXPECT_TRUE(sim.wait_acquisition_end(5s));

    const unsigned int wave = start_waveform("127.0.25.10", 7, 4, 1, 100, 0.2, 1);
    ASSERT_TRUE(answer_of(wave));
    EXPECT_EQ(sim.register_value(0, reg::MODE_CONFIG) & 7, 3u);
    EXPECT_EQ((sim.register_value(0, reg::MODE_CONFIG) >> 3) & 0x1F, 3u);
    EXPECT_TRUE(sim.wait_acquisition_end(5s));
}

TEST_F(commands, configuration_commands) {
    connect({{"127.0.25.11", 2}});
    auto& sim = *sims[0];
    configuration cfg{};
    cfg.gain = 1;
    cfg.peaking_time = 16;
    cfg.edge_peaking_time = 8;
    cfg.edge_flat_top = 2;
    cfg.max_risetime = 40;
    cfg.fast_filter_thr = 100;
    const unsigned int id = configure("127.0.25.11", 255, cfg);
    const auto a = answer_of(id);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, VXN_ANSWER_WRITE);
    for (unsigned b = 0; b < 2; ++b) EXPECT_EQ(sim.param_commits(b).back().index, 16u);

    cfg.gain = 0;
    const unsigned int refused = configure("127.0.25.11", 0, cfg);
    const auto r = answer_of(refused);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, VXN_ANSWER_ERR);
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);

    ASSERT_TRUE(answer_of(configure_gating("127.0.25.11", GatedLow, 1)));
    EXPECT_EQ((sim.register_value(1, reg::MAP_GATING) >> 25) & 7, 5u);
    ASSERT_TRUE(answer_of(configure_input("127.0.25.11", 0, DC_RinLowImp)));
    EXPECT_EQ(sim.register_value(0, reg::INPUT_CONFIG), 3u);
    ASSERT_TRUE(answer_of(disableBoard("127.0.25.11", 1, true)));
    EXPECT_EQ(sim.register_value(1, reg::MAP_GATING) >> 31, 1u);
    ASSERT_TRUE(answer_of(global_reset("127.0.25.11")));
}

TEST_F(commands, an_unsupported_chain_refuses_commands) {
    sims.push_back([] {
        vxnsim::ChainOptions o;
        o.ip = "127.0.25.12";
        o.fw_release = 0x00030105;
        auto s = std::make_unique<vxnsim::SimChain>(o);
        s->start();
        return s;
    }());
    add_to_query("127.0.25.12");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.25.12") == 0; }, 20s));
    const unsigned int id = isRunning_system("127.0.25.12", 0);
    ASSERT_NE(id, 0u);
    const auto a = answer_of(id);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, VXN_ANSWER_ERR);
    EXPECT_EQ(last_error(), EC_FW_UNSUPPORTED);
    EXPECT_EQ(start("127.0.25.12", 1, 4096), 0u);
    EXPECT_EQ(last_error(), EC_FW_UNSUPPORTED);
}

TEST(commands_before_initialisation, fail_with_4) {
    EXPECT_EQ(advanced_read("127.0.25.2", 0, 0), 0u);
    EXPECT_EQ(last_error(), EC_NOT_INITIALIZED);
    resetLastError();
    EXPECT_EQ(start("127.0.25.2", 1, 4096), 0u);
    EXPECT_EQ(last_error(), EC_NOT_INITIALIZED);
    EXPECT_TRUE(register_callback(nullptr));  // works in every state
}

}  // namespace
