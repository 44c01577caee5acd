// Acquisition control and parameter configuration of a chain, read back from
// what the simulated boards received. Addresses 127.0.24.x.
#include <gtest/gtest.h>

#include "dpp_math.h"
#include "exceptions.h"
#include "register_map.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using vxnsim::ParamCommit;
using vxnsim::Request;
using vxntest::registry_with_dispatcher;
using vxntest::start_sim;

std::vector<Request> writes_to(const vxnsim::SimChain& sim, uint8_t address, size_t from = 0) {
    std::vector<Request> found;
    const auto all = sim.requests();
    for (size_t k = from; k < all.size(); ++k)
        if (all[k].kind == Request::Kind::write && all[k].address == address)
            found.push_back(all[k]);
    return found;
}

configuration sample_record() {
    configuration cfg{};
    cfg.fast_filter_thr = 100;
    cfg.energy_filter_thr = 200;
    cfg.energy_filter_thr2 = 300;
    cfg.gain = 2;
    cfg.peaking_time = 10;
    cfg.flat_top = 3;
    cfg.edge_peaking_time = 8;
    cfg.edge_flat_top = 7;
    cfg.reset_recovery_time = 50;
    cfg.inverted_input = true;
    cfg.base_offset = 5;
    cfg.overflow_recovery = 6;
    cfg.reset_threshold = 7;
    cfg.tail_coefficient = 0.5;
    cfg.other_param = 9;
    return cfg;
}

class chain_control : public ::testing::Test {
  protected:
    void connect(const std::string& ip, unsigned boards) {
        sim = start_sim(ip, boards);
        chain = lib.discover(ip);
        ASSERT_EQ(chain->boards_in_chain(), boards);
    }
    registry_with_dispatcher lib;
    std::unique_ptr<vxnsim::SimChain> sim;
    std::shared_ptr<vxn_ctrl_brd_dpp_chain> chain;
};

TEST_F(chain_control, configure_writes_every_parameter_in_order) {
    connect("127.0.24.2", 1);
    sim->poke_register(0, reg::POSITION_LIMIT, 0x0ABCDEF1);
    EXPECT_EQ(chain->configure(0, sample_record()), (boards::result{globals::WRITE, {1}}));
    const uint32_t polarity = 1u << 24;
    const std::vector<ParamCommit> expected{{207, 0xFFFFFF},
                                            {128, polarity},
                                            {162, 50},
                                            {181, 0},
                                            {185, 0},
                                            {175, 1},
                                            {209, 0},
                                            {205, 0},
                                            {210, 6},
                                            {127, 7},
                                            {253, 0},
                                            {254, 1},
                                            {254, 0},
                                            {152, 400},
                                            {165, 4000},
                                            {165, 0x10000000 + 6000},
                                            {154, 4},
                                            {142, 0},
                                            {156, 8},
                                            {150, 7},
                                            {149, 0x10000000 + 10},
                                            {158, 0x10000000},
                                            {150, 0x10000000 + 3},
                                            {153, 0x10000000 + 26},
                                            {184, 271790899},
                                            {148, 3},
                                            {98, 131072},
                                            {128, polarity + 4},
                                            {128, polarity + 1},
                                            {16, reg::CONFIGURED_MARK}};
    EXPECT_EQ(sim->param_commits(0), expected);
    EXPECT_EQ(sim->register_value(0, reg::POSITION_LIMIT), 0x9ABCDEF1u);
    unsigned int ept = 0, eft = 0, rrt = 0;
    chain->get_dpp_int_param(ept, eft, rrt);
    EXPECT_EQ(std::vector<unsigned>({ept, eft, rrt}), std::vector<unsigned>({8, 7, 50}));
}

struct param_case {
    const char* what;
    void (*change)(configuration&);
    std::vector<ParamCommit> expected;  // commits that must be among the writes, in this order
};

TEST_F(chain_control, configure_values) {
    connect("127.0.24.3", 1);
    const param_case cases[] = {
        {"edge_flat_top 1", [](configuration& c) { c.edge_flat_top = 1; }, {{154, 0}}},
        {"edge_flat_top 2", [](configuration& c) { c.edge_flat_top = 2; }, {{154, 1}}},
        {"second threshold",
         [](configuration& c) { c.energy_filter_thr2 = 100; },
         {{165, 0x10000000 + 2000}}},
        {"second threshold caps the peaking time at 20",
         [](configuration& c) {
             c.energy_filter_thr2 = 100;
             c.peaking_time = 30;
         },
         {{165, 0x10000000 + 4000}}},
        {"max peaking time moves the peaking time to 157",
         [](configuration& c) { c.max_peaking_time = 40; },
         {{157, 0x10000000 + 10}, {158, 0x10000000 + 40}, {184, 2 * 65536 + 268435456}}},
        {"zero-peak frequency",
         [](configuration& c) { c.zero_peak_freq = 0.5; },
         {{142, 250000 + 0x80000000u}}},
        {"time constant",
         [](configuration& c) { c.time_constant = 50e-6; },
         {{209, dpp_math::decay_factor(50e-6)}, {205, 5 + 0x10000}}},
    };
    for (const auto& c : cases) {
        configuration cfg = sample_record();
        c.change(cfg);
        const size_t before = sim->param_commits(0).size();
        chain->configure(0, cfg);
        const auto all = sim->param_commits(0);
        std::vector<ParamCommit> mine(all.begin() + before, all.end());
        size_t at = 0;
        for (const auto& want : c.expected) {
            while (at < mine.size() && !(mine[at] == want)) ++at;
            EXPECT_LT(at, mine.size())
                << c.what << ": parameter " << want.index << " = " << want.value;
        }
    }
}

TEST_F(chain_control, baseline_of_64_samples_at_peaking_time_64_uses_stage_4_only) {
    connect("127.0.24.4", 1);
    configuration cfg = sample_record();
    cfg.baseline_samples = 64;
    cfg.peaking_time = 64;
    chain->configure(0, cfg);
    const auto w = dpp_math::baseline_weights(64);
    std::vector<ParamCommit> baseline;
    bool in = false;
    for (const auto& c : sim->param_commits(0)) {
        if (c.index == 253 && c.value == 0)
            in = true;
        if (in)
            baseline.push_back(c);
        if (in && c.index == 254 && c.value == 0)
            break;
    }
    const std::vector<ParamCommit> expected{{253, 0},
                                            {245, 0},
                                            {246, 0},
                                            {247, 0},
                                            {248, 0},
                                            {229, uint32_t(w.x >> 32)},
                                            {230, uint32_t(w.x)},
                                            {231, uint32_t(w.y >> 32)},
                                            {232, uint32_t(w.y)},
                                            {249, 64},
                                            {250, 0},
                                            {251, 0},
                                            {252, 0},
                                            {211, 64},
                                            {212, 64},
                                            {255, 4},
                                            {253, 1},
                                            {254, 1},
                                            {254, 0}};
    EXPECT_EQ(baseline, expected);
}

TEST_F(chain_control, an_unknown_baseline_length_fails_after_the_first_writes) {
    connect("127.0.24.5", 1);
    configuration cfg = sample_record();
    cfg.baseline_samples = 100;
    try {
        chain->configure(0, cfg);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "configure: baseline samples");
    }
    const auto commits = sim->param_commits(0);
    ASSERT_EQ(commits.size(), 10u);  // 207 ... 127
    EXPECT_EQ(commits.front().index, 207u);
    EXPECT_EQ(commits.back().index, 127u);
}

TEST_F(chain_control, a_meaningless_record_is_refused_before_any_write) {
    connect("127.0.24.6", 1);
    configuration cfg = sample_record();
    cfg.max_risetime = 40;
    cfg.edge_peaking_time = 0;
    cfg.edge_flat_top = 0;
    EXPECT_THROW(chain->configure(0, cfg), std::out_of_range);
    cfg = sample_record();
    cfg.max_risetime = -1;
    EXPECT_THROW(chain->configure(0, cfg), std::out_of_range);
    EXPECT_TRUE(sim->param_commits(0).empty());
}

TEST_F(chain_control, config_MCA_on_three_boards) {
    connect("127.0.24.7", 3);
    const size_t from = sim->request_count();
    chain->config_MCA(boards::MAP_NORMAL_MODE, 10000, 50, 200, 2048);
    const auto acq_time = writes_to(*sim, reg::ACQ_TIME, from);
    const auto per_spectrum = writes_to(*sim, reg::TIME_PER_SPECTRUM, from);
    const auto gating = writes_to(*sim, reg::MAP_GATING, from);
    ASSERT_EQ(acq_time.size(), 1u);
    EXPECT_EQ(acq_time[0].board, 162);
    ASSERT_EQ(per_spectrum.size(), 1u);
    EXPECT_EQ(per_spectrum[0].board, 162);
    ASSERT_EQ(gating.size(), 3u);
    for (uint8_t b = 0; b < 3; ++b) {
        EXPECT_EQ(gating[b].board, b);
        EXPECT_EQ(sim->register_value(b, reg::ACQ_TIME), 10000u);
        EXPECT_EQ(sim->register_value(b, reg::TIME_PER_SPECTRUM), 200u);
        EXPECT_EQ(sim->register_value(b, reg::MAP_GATING) & reg::MAP_POINTS_MASK, 50u);
        EXPECT_EQ(sim->register_value(b, reg::MODE_CONFIG) & 7, boards::MAP_NORMAL_MODE);
        EXPECT_EQ(sim->register_value(b, reg::MODE_CONFIG) & 0x1800, reg::DEPTH_2048_BIT);
    }
    EXPECT_EQ(chain->get_spect_depth(), 2048);

    // A depth the boards do not have fails after every mode was set, and the
    // chain keeps its depth.
    EXPECT_THROW(chain->config_MCA(boards::LIST_MODE, 1000, 10, 100, 3000), std::out_of_range);
    for (uint8_t b = 0; b < 3; ++b)
        EXPECT_EQ(sim->register_value(b, reg::MODE_CONFIG) & 7, boards::LIST_MODE);
    EXPECT_EQ(chain->get_spect_depth(), 2048);

    // A point count beyond the 24 bits of MAP_GATING touches nothing.
    const size_t before = sim->request_count();
    EXPECT_THROW(chain->config_MCA(boards::MAP_NORMAL_MODE, 1000, 1u << 24, 100, 4096),
                 std::out_of_range);
    EXPECT_EQ(sim->request_count(), before);
}

TEST_F(chain_control, chains_too_long_for_a_broadcast_are_written_board_by_board) {
    connect("127.0.24.8", 97);
    const size_t from = sim->request_count();
    chain->config_MCA(boards::NORMAL_MODE, 1500, 15, 100, 4096);
    const auto acq_time = writes_to(*sim, reg::ACQ_TIME, from);
    ASSERT_EQ(acq_time.size(), 97u);
    for (size_t b = 0; b < 97; ++b) {
        EXPECT_EQ(acq_time[b].board, b);
        EXPECT_EQ(sim->register_value(b, reg::ACQ_TIME), 1500u);
    }
}

TEST_F(chain_control, start_and_stop) {
    connect("127.0.24.9", 2);
    chain->config_MCA(boards::NORMAL_MODE, 0, 0, 100, 4096);
    chain->start();
    EXPECT_EQ(chain->is_running(0), (boards::result{globals::READ, {1}}));
    EXPECT_THROW(chain->configure(0, sample_record()), running_error);
    const size_t from = sim->request_count();
    EXPECT_EQ(chain->stop(), (boards::result{globals::WRITE, {1}}));
    const auto control = writes_to(*sim, reg::ACQ_CONTROL, from);
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0].board, 0);
    EXPECT_EQ(control[0].words, std::vector<uint32_t>{2});
    EXPECT_TRUE(sim->wait_acquisition_end(5s));
    EXPECT_EQ(chain->is_running(0), (boards::result{globals::READ, {0}}));
    EXPECT_THROW(chain->is_running(2), std::out_of_range);
}

TEST_F(chain_control, waveform_settings) {
    connect("127.0.24.10", 1);
    struct wave_case {
        unsigned short dec_ratio;
        unsigned int decimation_bits;
    };
    for (const wave_case c : {wave_case{1, 0}, wave_case{32, 31}, wave_case{4, 3}}) {
        unsigned short dec = c.dec_ratio, length = 2;
        unsigned int mask = 5, level = 0x1234;
        chain->set_waveform(dec, mask, level, length);
        const uint32_t mode_config = sim->register_value(0, reg::MODE_CONFIG);
        EXPECT_EQ((mode_config >> 3) & 0x1F, c.decimation_bits) << c.dec_ratio;
        EXPECT_EQ((mode_config >> 8) & 7, 5u);
        EXPECT_EQ(mode_config >> 16, 0x1234u);
        EXPECT_EQ(sim->register_value(0, reg::WAVE_LENGTH), 1u);
    }
    unsigned short dec = 33, length = 1;
    unsigned int mask = 0, level = 0;
    EXPECT_THROW(chain->set_waveform(dec, mask, level, length), std::out_of_range);

    struct length_case {
        unsigned short length;
        bool accepted;
    };
    for (const length_case c :
         {length_case{1256, true}, length_case{8, true}, length_case{1260, false},
          length_case{6, false}, length_case{10, false}}) {
        unsigned short d = 2, len = c.length, extra = 3;
        unsigned int m = 0, l = 0;
        const size_t before = sim->request_count();
        if (c.accepted) {
            chain->set_list_waveform(d, m, l, len, extra);
            EXPECT_EQ(sim->register_value(0, reg::WAVE_LENGTH),
                      ((c.length - 1u) & 0x7FF) | (3u << 11));
        } else {
            try {
                chain->set_list_waveform(d, m, l, len, extra);
                FAIL() << c.length;
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "set_listwaveform: length");
            }
            EXPECT_EQ(sim->request_count(), before);
        }
    }
}

TEST_F(chain_control, gating_input_and_board_settings) {
    connect("127.0.24.11", 2);
    const size_t from = sim->request_count();
    chain->configure_gating(255, TriggerBoth);
    const auto gating = writes_to(*sim, reg::MAP_GATING, from);
    ASSERT_EQ(gating.size(), 1u);
    EXPECT_EQ(gating[0].board, 161);
    for (unsigned b = 0; b < 2; ++b) {
        EXPECT_EQ(sim->register_value(b, reg::MAP_GATING) >> 24, (3u << 1) | 1u);
        EXPECT_EQ(chain->board_at(b, "test")->data().gating_mode(), 3u);
    }
    chain->configure_emulator(1, true);
    EXPECT_EQ(sim->register_value(1, reg::INPUT_CONFIG) & 4, 4u);
    chain->configure_input(1, AC_Fast);
    EXPECT_EQ(sim->register_value(1, reg::INPUT_CONFIG), 2u);
    EXPECT_EQ(chain->board_at(1, "test")->data().gating_mode(), 3u);

    chain->disableBoard(1, true);
    EXPECT_EQ(sim->register_value(1, reg::MAP_GATING) >> 31, 1u);
    chain->disableBoard(1, false);
    EXPECT_EQ(sim->register_value(1, reg::MAP_GATING) >> 31, 0u);

    configuration_offset offset{0x12, 0x34};
    chain->configure_offset(0, offset);
    EXPECT_EQ(sim->register_value(0, reg::TIMESTAMP_CONFIG) & 0x00FFFF00, 0x00341200u);
    chain->configure_timestamp_delay(0, 0x0102, 7);
    EXPECT_EQ(sim->register_value(0, reg::TIMESTAMP_CONFIG), 0x07341302u);

    EXPECT_EQ(chain->read_DPP(1, reg::FW_RELEASE), 0x00040201u);
    EXPECT_THROW(chain->read_DPP(255, reg::FW_RELEASE), std::out_of_range);
    EXPECT_THROW(chain->configure_emulator(255, true), std::out_of_range);
    EXPECT_THROW(chain->config_DPP(2, 1, 1), std::out_of_range);
}

TEST_F(chain_control, a_refused_write_is_a_communication_error) {
    connect("127.0.24.12", 1);
    sim->set_write_answer(0u);
    EXPECT_THROW(chain->configure_emulator(0, true), boards::comm_error);
    sim->set_write_answer(std::nullopt);
    EXPECT_NO_THROW(chain->configure_emulator(0, true));
}

TEST_F(chain_control, a_chain_without_boards_refuses_and_touches_nothing) {
    connect("127.0.24.13", 2);
    chain->RemoveSlaves(0);
    const size_t before = sim->request_count();
    EXPECT_THROW(chain->config_MCA(boards::NORMAL_MODE, 1000, 10, 100, 4096), fw_unsupported);
    EXPECT_THROW(chain->start(), fw_unsupported);
    EXPECT_THROW(chain->stop(), fw_unsupported);
    EXPECT_THROW(chain->configure(0, sample_record()), fw_unsupported);
    EXPECT_THROW(chain->configure_gating(255, GatedHigh), fw_unsupported);
    EXPECT_THROW(chain->clear_chain(), fw_unsupported);
    EXPECT_EQ(sim->request_count(), before);
}

}  // namespace
