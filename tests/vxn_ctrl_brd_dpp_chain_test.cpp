// Register access and discovery of a chain object against a simulated chain
// over loopback TCP. Addresses 127.0.20.x.
#include "vxn_ctrl_brd_dpp_chain.h"

#include <gtest/gtest.h>

#include "exceptions.h"
#include "register_map.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using vxnsim::Request;
using vxntest::registry_with_dispatcher;
using vxntest::start_sim;

size_t count_requests(const vxnsim::SimChain& sim, Request::Kind kind, uint8_t board,
                      uint8_t address) {
    size_t n = 0;
    for (const auto& r : sim.requests())
        if (r.kind == kind && r.board == board && r.address == address)
            ++n;
    return n;
}

TEST(chain, discovery_finds_every_board_behind_the_master) {
    auto sim = start_sim("127.0.20.2", 3);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.2");
    EXPECT_EQ(chain->boards_in_chain(), 3u);
    EXPECT_TRUE(chain->is_initialized());
    const auto release = chain->get_fw_release(2);
    EXPECT_EQ(release.first, globals::READ);
    EXPECT_EQ(release.second, (std::vector<unsigned int>{4, 2, 1, 0}));

    // A second discovery reads no release again, only the last board's link.
    const size_t releases = count_requests(*sim, Request::Kind::read, 0, reg::FW_RELEASE) +
                            count_requests(*sim, Request::Kind::read, 1, reg::FW_RELEASE) +
                            count_requests(*sim, Request::Kind::read, 2, reg::FW_RELEASE);
    const size_t links = count_requests(*sim, Request::Kind::read, 2, reg::LINK_STATUS);
    chain->UpdateChain();
    EXPECT_EQ(count_requests(*sim, Request::Kind::read, 0, reg::FW_RELEASE) +
                  count_requests(*sim, Request::Kind::read, 1, reg::FW_RELEASE) +
                  count_requests(*sim, Request::Kind::read, 2, reg::FW_RELEASE),
              releases);
    EXPECT_EQ(count_requests(*sim, Request::Kind::read, 2, reg::LINK_STATUS), links + 1);
    EXPECT_EQ(chain->boards_in_chain(), 3u);

    chain->RemoveSlaves(5);
    EXPECT_EQ(chain->boards_in_chain(), 3u);
    chain->RemoveSlaves(1);
    EXPECT_EQ(chain->boards_in_chain(), 1u);
    chain->UpdateChain();  // grows again from the master
    EXPECT_EQ(chain->boards_in_chain(), 3u);
}

TEST(chain, master_with_old_firmware_is_refused) {
    auto sim = start_sim("127.0.20.3", 2, 0x00030105);  // 3.1.5 type 0
    registry_with_dispatcher lib;
    auto chain = lib.add("127.0.20.3");
    try {
        chain->UpdateChain();
        FAIL() << "discovery accepted firmware 3.1.5";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "[DPP] - This library does not support one board's firmware.");
    }
    EXPECT_EQ(chain->boards_in_chain(), 0u);
    EXPECT_FALSE(chain->is_initialized());
}

TEST(chain, a_silent_master_is_a_master_failure_and_a_silent_slave_a_slave_failure) {
    auto sim = start_sim("127.0.20.12", 2);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.12");
    chain->RemoveSlaves(1);
    sim->set_silence(vxnsim::Silence::slaves_only);
    EXPECT_THROW(chain->UpdateChain(), boards::slave_comm_error);
    EXPECT_EQ(chain->boards_in_chain(), 1u);

    chain->RemoveSlaves(0);
    sim->set_silence(vxnsim::Silence::all_boards);
    try {
        chain->UpdateChain();
        FAIL() << "a silent master was discovered";
    } catch (const boards::comm_error& e) {
        EXPECT_EQ(e.getBoard(), 0);  // so that the chain is taken as disconnected
    }
}

struct link_case {
    uint32_t link_status;
    unsigned expected_boards;
};

TEST(chain, link_status_of_the_master_decides_whether_discovery_goes_on) {
    // 11: calibrated but no board behind; 0x4C: a board behind, but a master.
    const link_case cases[] = {{11, 1}, {0x4C, 1}, {0x0C, 2}};
    auto sim = start_sim("127.0.20.4", 2);
    registry_with_dispatcher lib;
    auto chain = lib.add("127.0.20.4");
    for (const auto& c : cases) {
        chain->RemoveSlaves(0);
        sim->poke_register(0, reg::LINK_STATUS, c.link_status);
        chain->UpdateChain();
        EXPECT_EQ(chain->boards_in_chain(), c.expected_boards) << c.link_status;
    }
}

TEST(chain, a_following_master_ends_the_chain) {
    vxnsim::ChainOptions options;
    options.ip = "127.0.20.5";
    options.boards = 2;
    options.last_followed_by_master = true;
    vxnsim::SimChain sim(options);
    sim.start();
    registry_with_dispatcher lib;
    EXPECT_EQ(lib.discover("127.0.20.5")->boards_in_chain(), 2u);
}

TEST(chain, discovery_stops_at_the_last_addressable_position) {
    auto sim = start_sim("127.0.20.6", 160);
    // Board 159 claims another board behind it, which no address could reach.
    sim->poke_register(159, reg::LINK_STATUS, 0x1F);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.6");
    EXPECT_EQ(chain->boards_in_chain(), 160u);
    for (const auto& r : sim->requests()) EXPECT_LE(r.board, 160) << "request past the chain";
}

TEST(chain, register_round_trips_and_broadcast) {
    auto sim = start_sim("127.0.20.7", 3);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.7");

    EXPECT_EQ(chain->write(reg::ACQ_TIME, 1, {2500}, false), std::vector<unsigned int>{1});
    EXPECT_EQ(chain->read(reg::ACQ_TIME, 1, 1, false), std::vector<unsigned int>{2500});
    EXPECT_EQ(sim->register_value(1, reg::ACQ_TIME), 2500u);

    // Two words to consecutive registers, read back as two.
    chain->write(reg::MODE_CONFIG, 2, {0x00010008, 0x7}, false);
    EXPECT_EQ(chain->read(reg::MODE_CONFIG, 2, 2, false),
              (std::vector<unsigned int>{0x00010008, 0x7}));

    // 159 + 3 reaches every board.
    chain->write(reg::TIME_PER_SPECTRUM, 162, {250}, false);
    for (unsigned b = 0; b < 3; ++b)
        EXPECT_EQ(sim->register_value(b, reg::TIME_PER_SPECTRUM), 250u);
}

TEST(chain, range_checks_of_register_access) {
    auto sim = start_sim("127.0.20.8", 3);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.8");
    try {
        chain->read(reg::FW_RELEASE, 3, 1, false);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "dpp_chain::write: Board");
    }
    EXPECT_THROW(chain->write(reg::ACQ_TIME, 4, {1}, false), std::out_of_range);
    EXPECT_THROW(chain->write(reg::ACQ_TIME, 159, {1}, false), std::out_of_range);
    // The position just past the chain passes the checks and goes on the wire;
    // nobody is there to answer.
    const auto before = sim->request_count();
    try {
        chain->write(reg::ACQ_TIME, 3, {1}, false);
        FAIL() << "board 3 answered";
    } catch (const boards::comm_error& e) {
        EXPECT_EQ(e.getBoard(), 3);
    }
    EXPECT_EQ(sim->request_count(), before + 1);
    EXPECT_EQ(sim->requests().back().board, 3);
}

TEST(chain, an_answer_that_never_comes_times_out_and_is_forgotten) {
    auto sim = start_sim("127.0.20.9", 1);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.9");
    sim->set_silence(vxnsim::Silence::all_boards);
    const auto start = std::chrono::steady_clock::now();
    try {
        chain->read(reg::ACQ_CONTROL, 0, 1, false);
        FAIL();
    } catch (const boards::comm_error& e) {
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, 4900ms);
        EXPECT_LT(waited, 7000ms);
        EXPECT_EQ(e.getBoard(), 0);
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        EXPECT_EQ(globals::promise_map.count(e.getPktID()), 0u);
    }
    sim->set_silence(vxnsim::Silence::none);
    EXPECT_EQ(chain->read(reg::FW_RELEASE, 0, 1, false), std::vector<unsigned int>{0x00040201});
}

TEST(chain, concurrent_senders_never_interleave_frames) {
    auto sim = start_sim("127.0.20.10", 2);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.10");
    auto hammer = [&](unsigned short board, unsigned int base) {
        for (unsigned int k = 0; k < 100; ++k) {
            chain->write(reg::ACQ_TIME, board, {base + k}, false);
            EXPECT_EQ(chain->read(reg::ACQ_TIME, board, 1, false),
                      std::vector<unsigned int>{base + k});
        }
    };
    std::thread other(hammer, 1, 5000);
    hammer(0, 1000);
    other.join();
    EXPECT_EQ(sim->malformed_requests(), 0u);
}

TEST(chain, reads_keep_working_after_a_chain_reset) {
    auto sim = start_sim("127.0.20.11", 1);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.20.11");
    for (int k = 0; k < 3; ++k) {
        lib.registry()->ResetChain("127.0.20.11");
        EXPECT_EQ(chain->read(reg::FW_RELEASE, 0, 1, false), std::vector<unsigned int>{0x00040201})
            << "after reset " << k;
    }
    size_t resets = 0;
    for (const auto& r : sim->requests()) resets += r.kind == Request::Kind::reset;
    EXPECT_EQ(resets, 6u);
}

}  // namespace
