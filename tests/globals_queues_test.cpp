// The raw byte queues between the connections and the dispatcher, the push
// signal, and the packet ids of requests.
#include <gtest/gtest.h>

#include <future>
#include <numeric>

#include "fake_chain.h"
#include "globals.h"

namespace {

using bytes = std::vector<unsigned char>;

class raw_queues : public ::testing::Test {
  protected:
    void SetUp() override {
        globals::devices.clear();
        globals::raw_queues.clear();
    }
    void TearDown() override {
        globals::devices.clear();
        globals::raw_queues.clear();
    }
    raw_buffers_queue<unsigned char>& add(const std::string& id) {
        globals::devices[id] = std::make_shared<fake_chain>(id, 1);
        return globals::raw_queues[id];
    }
};

TEST_F(raw_queues, a_stripe_is_two_blocks_and_completing_it_wakes_the_dispatcher) {
    raw_buffers_queue<unsigned char> q;
    EXPECT_FALSE(q.count_stripe(1460, 2920));
    EXPECT_EQ(q.stripe_count(), 1460u);
    EXPECT_TRUE(q.count_stripe(1460, 2920));
    EXPECT_EQ(q.stripe_count(), 0u);
    EXPECT_TRUE(q.count_stripe(3000, 2920));  // runs past the stripe's end
    EXPECT_EQ(q.stripe_count(), 80u);
}

TEST_F(raw_queues, pop_returns_everything_in_push_order_at_once) {
    add("127.0.0.2");
    bytes all;
    for (unsigned char k = 0; k < 3; ++k) {
        bytes block(1460);
        std::iota(block.begin(), block.end(), k);
        all.insert(all.end(), block.begin(), block.end());
        EXPECT_TRUE(globals::PushRawPacket("127.0.0.2", block));
    }
    EXPECT_EQ(globals::GetRawSize("127.0.0.2"), 4380);
    bytes out{9, 9};
    EXPECT_TRUE(globals::PopRawPacket("127.0.0.2", out));
    EXPECT_EQ(out, all);
    EXPECT_EQ(globals::GetRawSize("127.0.0.2"), 0);
    out = {7};
    EXPECT_TRUE(globals::PopRawPacket("127.0.0.2", out));
    EXPECT_EQ(out, bytes{7});  // nothing queued: the output is left alone
}

TEST_F(raw_queues, identifiers_without_queue) {
    bytes out;
    EXPECT_FALSE(globals::PushRawPacket("127.0.0.9", bytes(10)));
    EXPECT_FALSE(globals::PopRawPacket("127.0.0.9", out));
    EXPECT_FALSE(globals::ClearRawQueue("127.0.0.9"));
    EXPECT_EQ(globals::GetRawSize("127.0.0.9"), 0);
}

TEST_F(raw_queues, large_storage_is_given_back_after_a_pop) {
    raw_buffers_queue<unsigned char> q;
    q.push(bytes(50000, 1));
    bytes out;
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out.size(), 50000u);
    q.push(bytes(10, 2));
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out, bytes(10, 2));
}

TEST_F(raw_queues, clear_drops_the_bytes) {
    add("127.0.0.2");
    globals::PushRawPacket("127.0.0.2", bytes(100, 1));
    EXPECT_TRUE(globals::ClearRawQueue("127.0.0.2"));
    EXPECT_EQ(globals::GetRawSize("127.0.0.2"), 0);
}

TEST_F(raw_queues, wait_returns_at_once_when_a_chain_has_data) {
    add("127.0.0.2");
    add("127.0.0.3");
    globals::PushRawPacket("127.0.0.3", bytes(1460, 1));  // half a stripe: no notification
    auto waited = std::async(std::launch::async, [] { globals::WaitPushSignal(); });
    EXPECT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST_F(raw_queues, forced_wake_up_ends_a_wait_without_data) {
    add("127.0.0.2");
    auto waited = std::async(std::launch::async, [] { globals::WaitPushSignal(); });
    // The waiter may not be waiting yet when a wake-up comes; repeat it until
    // the wait has ended (bounded).
    for (int k = 0;
         k < 500 && waited.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         ++k)
        globals::get()->ForceWakeupDispatcher();
    EXPECT_EQ(waited.wait_for(std::chrono::seconds(0)), std::future_status::ready);
}

TEST(packet_ids, are_shared_eight_bit_and_wrap) {
    {
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        globals::promise_map.clear();
        globals::pkt_id = 0;
    }
    std::vector<unsigned int> ids;
    for (int k = 0; k < 257; ++k) {
        ids.push_back(globals::register_request());
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        globals::promise_map.erase(ids.back());
    }
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[255], 255u);  // the 256th request
    EXPECT_EQ(ids[256], 0u);    // the 257th
}

TEST(packet_ids, a_registration_still_waiting_is_kept) {
    std::future<std::vector<unsigned int>> taken;
    {
        std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
        globals::promise_map.clear();
        globals::pkt_id = 5;
        taken = globals::promise_map[6].get_future();
    }
    EXPECT_EQ(globals::register_request(), 5);
    EXPECT_EQ(globals::register_request(), 6);  // entry 6 stays as it was
    std::lock_guard<std::mutex> lock(globals::pkt_id_mutex);
    globals::promise_map[6].set_value({42});
    EXPECT_EQ(taken.get(), std::vector<unsigned int>{42});
    globals::promise_map.clear();
}

}  // namespace
