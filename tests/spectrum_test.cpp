// The record types of the data stores: the spectrum record and the list and
// list-wave value stores.
#include "spectrum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "list_store.h"

namespace {

TEST(spectrum_record, add_refuses_bins_it_does_not_have) {
    spectrum<unsigned long> s(4);
    EXPECT_TRUE(s.add(0, 7));
    EXPECT_TRUE(s.add(3, 5));
    EXPECT_TRUE(s.add(3, 5));
    EXPECT_FALSE(s.add(4, 100));
    EXPECT_FALSE(s.add(0xFFFFFFFFu, 100));
    EXPECT_EQ(s.bins, (std::vector<unsigned long>{7, 0, 0, 10}));
}

TEST(spectrum_record, counts_beyond_16_bits_accumulate) {
    spectrum<unsigned long> s(2);
    s.add(1, 0xFFFF);
    s.add(1, 0xFFFF);
    EXPECT_EQ(s.bins[1], 0x1FFFEu);
}

TEST(spectrum_record, set_complete_moves_current_into_total_once) {
    spectrum<unsigned long> s(2);
    s.total.time = 100;
    s.total.detected = 0xFFFFFFFF;  // wraps like the board's counter
    s.total.reset_counter_value = 1;
    s.current.time = 50;
    s.current.detected = 2;
    s.current.reset_counter_value = 4;

    s.set_complete();
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.total.time, 150u);
    EXPECT_EQ(s.total.detected, 1u);
    EXPECT_EQ(s.total.reset_counter_value, 5u);
    EXPECT_EQ(s.current, stats_block{});

    const stats_block after_first = s.total;
    s.set_complete();
    EXPECT_EQ(s.total, after_first);
    EXPECT_TRUE(s.complete);
}

// --- List stores --------------------------------------------------------------

template <typename Store>
void fill(Store& store, unsigned long first, unsigned long count) {
    for (unsigned long v = first; v < first + count; ++v) {
        store.push_back(v);
    }
}

TEST(list_store, takes_from_the_front_in_arrival_order) {
    list<unsigned long> store;
    fill(store, 1, 10);
    std::vector<unsigned long> out{99, 99, 99, 99, 99, 99};
    store.get_data_vector(4, out);
    EXPECT_EQ(out, (std::vector<unsigned long>{1, 2, 3, 4}));
    ASSERT_EQ(store.size(), 6u);

    fill(store, 11, 2);
    store.get_data_vector(8, out);
    EXPECT_EQ(out, (std::vector<unsigned long>{5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_TRUE(store.empty());

    store.get_data_vector(0, out);
    EXPECT_TRUE(out.empty());
}

TEST(list_store, asking_for_more_than_held_removes_nothing) {
    struct refusal_case {
        const char* expected_text;
        std::function<void(unsigned int, std::vector<unsigned long>&)> take;
        std::function<std::size_t()> size;
    };
    list<unsigned long> events;
    list_wave<unsigned long> waves;
    fill(events, 1, 3);
    fill(waves, 1, 3);
    const refusal_case cases[] = {
        {"List mode: Requested more data than those available",
         [&](unsigned int n, std::vector<unsigned long>& out) { events.get_data_vector(n, out); },
         [&] { return events.size(); }},
        {"list_wave mode: Requested more data than those available",
         [&](unsigned int n, std::vector<unsigned long>& out) { waves.get_data_vector(n, out); },
         [&] { return waves.size(); }},
    };
    for (const auto& c : cases) {
        std::vector<unsigned long> out{42};
        try {
            c.take(4, out);
            ADD_FAILURE() << c.expected_text << ": nothing thrown";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), c.expected_text);
        }
        EXPECT_EQ(c.size(), 3u) << c.expected_text;
        EXPECT_EQ(out, std::vector<unsigned long>{42}) << c.expected_text;
        c.take(3, out);
        EXPECT_EQ(out, (std::vector<unsigned long>{1, 2, 3})) << c.expected_text;
    }
}

// Mixed appends and takes of varied sizes, checked value by value against a
// plain double-ended queue, so that the store's internal compaction shows up
// as soon as it loses, duplicates or reorders a value.
TEST(list_store, interleaved_appends_and_takes_keep_every_value_in_order) {
    list_wave<unsigned long> store;
    std::deque<unsigned long> model;
    uint32_t rng = 12345;
    auto next = [&rng](uint32_t bound) {
        rng = rng * 1103515245u + 12345u;
        return (rng >> 8) % bound;
    };
    unsigned long value = 0;
    std::vector<unsigned long> out;
    for (int round = 0; round < 3000; ++round) {
        const uint32_t appends = next(40);
        if (round % 7 == 0) {
            store.reserve_more(appends);
        }
        for (uint32_t k = 0; k < appends; ++k) {
            store.push_back(value);
            model.push_back(value);
            ++value;
        }
        const auto take = static_cast<unsigned int>(next(static_cast<uint32_t>(model.size()) + 1));
        store.get_data_vector(take, out);
        ASSERT_EQ(out.size(), take);
        for (unsigned int k = 0; k < take; ++k) {
            ASSERT_EQ(out[k], model.front()) << "round " << round;
            model.pop_front();
        }
        ASSERT_EQ(store.size(), model.size());
        for (std::size_t k = 0; k < model.size(); k += 17) {
            ASSERT_EQ(store[k], model[k]);
        }
    }
}

TEST(list_store, emptied_store_gives_back_room_for_more_than_5000_values) {
    struct release_case {
        std::size_t reserved;
        bool released;
    };
    // 5000 values of 8 bytes are 40 000 bytes; 5001 are 40 008.
    const release_case cases[] = {{100, false}, {5000, false}, {5001, true}, {20000, true}};
    for (const auto& c : cases) {
        list<unsigned long> store;
        store.reserve_more(c.reserved);
        ASSERT_GE(store.capacity(), c.reserved);
        fill(store, 0, 10);
        const std::size_t before = store.capacity();
        std::vector<unsigned long> out;
        store.get_data_vector(4, out);
        EXPECT_EQ(store.capacity(), before) << "not yet empty, " << c.reserved;
        store.get_data_vector(6, out);
        if (c.released) {
            EXPECT_EQ(store.capacity(), 0u) << c.reserved;
        } else {
            EXPECT_EQ(store.capacity(), before) << c.reserved;
        }
    }
}

// Payload after payload, the store must grow geometrically: growing to the
// exact need each time would copy the whole store for every payload.
TEST(list_store, reserving_payload_by_payload_grows_geometrically) {
    list<unsigned long> store;
    std::set<std::size_t> capacities;
    for (int payload = 0; payload < 1000; ++payload) {
        store.reserve_more(16);
        const std::size_t room = store.capacity();
        fill(store, 0, 16);
        EXPECT_EQ(store.capacity(), room) << "a reserved payload reallocated";
        capacities.insert(room);
    }
    EXPECT_LE(capacities.size(), 12u);
}

}  // namespace
