// The dispatcher between a simulated chain and the board objects: answers,
// unrequested answers, and data for boards that do not exist yet.
// Addresses 127.0.21.x.
#include "DataDispatcherThr.h"

#include <gtest/gtest.h>

#include "boards.h"
#include "register_map.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using vxntest::eventually;
using vxntest::registry_with_dispatcher;
using vxntest::start_sim;

std::vector<uint8_t> answer_frame(uint8_t code, uint8_t board, uint8_t packet_id) {
    return {0xAA, 0xEE, code, board, packet_id, 0, 0, 0};
}

TEST(dispatcher, data_for_a_board_not_yet_discovered_is_delivered_once_it_exists) {
    auto sim = start_sim("127.0.21.2", 4);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.21.2");
    chain->RemoveSlaves(2);

    // Two list events for board 3, which the chain object does not have now.
    const std::vector<uint8_t> events{0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 0};
    sim->inject_frame(0xD4, 3, events);
    ASSERT_TRUE(
        eventually([&] { return lib.dispatcher().uncommitted_bytes("127.0.21.2", 3) == 16; }, 5s));

    chain->UpdateChain();  // finds boards 2 and 3 again
    ASSERT_EQ(chain->boards_in_chain(), 4u);
    // The next pass of the dispatcher (woken by any answer) hands them over.
    chain->read(reg::FW_RELEASE, 0, 1, false);
    ASSERT_TRUE(
        eventually([&] { return lib.dispatcher().uncommitted_bytes("127.0.21.2", 3) == 0; }, 5s));
    unsigned int available = 0;
    chain->board_at(3, "test")->data().getAvailableData(available);
    EXPECT_EQ(available, 2u);
    EXPECT_EQ(chain->board_at(3, "test")->data().mode(), boards::LIST_MODE);
}

TEST(dispatcher, an_answer_nobody_waits_for_sets_76_and_dispatching_goes_on) {
    auto sim = start_sim("127.0.21.3", 1);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.21.3");
    globals::set_last_error(EC_NONE);
    sim->inject_raw(answer_frame(0xD1, 0, 250));
    EXPECT_TRUE(eventually([] { return globals::get_last_error() == EC_UNMATCHED_ANSWER; }, 5s));
    EXPECT_EQ(chain->read(reg::FW_RELEASE, 0, 1, false), std::vector<unsigned int>{0x00040201});
}

TEST(dispatcher, a_second_answer_under_a_fulfilled_id_is_ignored) {
    auto sim = start_sim("127.0.21.4", 1);
    registry_with_dispatcher lib;
    auto chain = lib.discover("127.0.21.4");
    globals::set_last_error(EC_NONE);
    // The test holds the answer's future itself and collects it only at the
    // end, so that the entry stays in the table while both answers arrive.
    const uint8_t id = globals::register_request();
    std::future<std::vector<unsigned int>> answer;
    {
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        answer = globals::promise_map[id].get_future();
    }
    sim->inject_raw(answer_frame(0xD1, 0, id));
    sim->inject_raw(answer_frame(0xD0, 0, id));
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    // A round trip after them: the dispatcher has handled both by now.
    EXPECT_EQ(chain->read(reg::FW_RELEASE, 0, 1, false), std::vector<unsigned int>{0x00040201});
    EXPECT_EQ(answer.get(), std::vector<unsigned int>{1});  // the first answer stands
    EXPECT_NE(globals::get_last_error(), EC_UNMATCHED_ANSWER);
    std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
    globals::promise_map.erase(id);
}

TEST(dispatcher, stop_is_prompt_and_a_second_stop_does_nothing) {
    DataDispatcherThr dispatcher;
    dispatcher.Start();
    const auto start = std::chrono::steady_clock::now();
    dispatcher.Stop();
    dispatcher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
