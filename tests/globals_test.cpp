// The registry: address query, chain map and the information functions that
// read it.
#include "globals.h"

#include <gtest/gtest.h>

#include <cstring>

#include "DLL_DPP.h"
#include "exceptions.h"
#include "fake_chain.h"

namespace {

class registry : public ::testing::Test {
  protected:
    void SetUp() override {
        g = globals::get();
        g->set_Initialized();
        globals::devices.clear();
        globals::query.clear();
        globals::set_last_error(EC_NONE);
    }
    void TearDown() override {
        globals::devices.clear();
        g->unset_Initialized();
    }
    std::shared_ptr<fake_chain> add_chain(const std::string& id, unsigned int count,
                                          bool tcp = true) {
        auto chain = std::make_shared<fake_chain>(id, count, tcp);
        globals::devices[id] = chain;
        return chain;
    }
    globals* g = nullptr;
};

TEST_F(registry, query_keeps_one_entry_per_address_in_insertion_order) {
    EXPECT_TRUE(g->AddToQuery("127.0.0.3"));
    EXPECT_TRUE(g->AddToQuery("127.0.0.2"));
    EXPECT_TRUE(g->AddToQuery("127.0.0.3"));
    const globals::query_list expected{{"127.0.0.3", false}, {"127.0.0.2", false}};
    EXPECT_EQ(g->GetQuery(), expected);

    EXPECT_TRUE(g->RemoveFromQuery("127.0.0.9"));  // absent: still true
    EXPECT_TRUE(g->RemoveFromQuery("127.0.0.3"));
    EXPECT_EQ(g->GetQuery(), (globals::query_list{{"127.0.0.2", false}}));
}

TEST_F(registry, connected_marks) {
    EXPECT_FALSE(g->SetQueryEntryConnected("127.0.0.2"));  // not in the query
    EXPECT_FALSE(g->SetQueryEntryDisconnected("127.0.0.2"));
    g->AddToQuery("127.0.0.2");
    g->AddToQuery("127.0.0.4");
    EXPECT_TRUE(g->SetQueryEntryConnected("127.0.0.2"));
    EXPECT_TRUE(g->SetQueryEntryConnected("127.0.0.2"));  // already: unchanged, true
    EXPECT_EQ(g->GetQuery(), (globals::query_list{{"127.0.0.2", true}, {"127.0.0.4", false}}));
    EXPECT_TRUE(g->SetQueryEntryDisconnected("127.0.0.2"));
    EXPECT_TRUE(g->SetQueryEntryDisconnected("127.0.0.2"));
    EXPECT_EQ(g->GetQuery(), (globals::query_list{{"127.0.0.2", false}, {"127.0.0.4", false}}));
}

TEST_F(registry, lookup_of_an_unknown_identifier_throws_invalid_serial) {
    add_chain("127.0.0.2", 1);
    EXPECT_EQ(g->getByID("127.0.0.2")->boards_in_chain(), 1u);
    EXPECT_THROW(g->getByID("127.0.0.20"), invalid_serial);
}

TEST_F(registry, ethernet_list_leaves_out_other_chains) {
    add_chain("127.0.0.2", 1);
    add_chain("usb-1", 1, false);
    const auto eth = g->GetEthDevicesList();
    ASSERT_EQ(eth.size(), 1u);
    EXPECT_EQ(eth.begin()->first, "127.0.0.2");
    EXPECT_EQ(g->get_devices_size(), 2u);
}

TEST_F(registry, close_devices_closes_every_chain_and_empties_the_map) {
    auto a = add_chain("127.0.0.2", 1);
    auto b = add_chain("127.0.0.3", 2);
    g->AddToQuery("127.0.0.2");
    EXPECT_TRUE(g->closeDevices());
    EXPECT_EQ(a->closed, 1);
    EXPECT_EQ(b->closed, 1);
    EXPECT_EQ(g->get_devices_size(), 0u);
    EXPECT_EQ(g->GetQuery().size(), 1u);  // the query survives

    g->unset_Initialized();
    EXPECT_FALSE(g->closeDevices());
    EXPECT_EQ(globals::get_last_error(), EC_NOT_INITIALIZED);
}

TEST_F(registry, get_ids_enumerates_in_string_order) {
    add_chain("127.0.30.2", 1);
    add_chain("127.0.30.10", 1);
    add_chain("127.0.30.3", 1);
    const char* expected[] = {"127.0.30.10", "127.0.30.2", "127.0.30.3"};
    for (unsigned short i = 0; i < 3; ++i) {
        char buffer[20];
        std::memset(buffer, 'x', sizeof buffer);
        unsigned short index = i, size = sizeof buffer;
        ASSERT_TRUE(int_get_ids(buffer, &index, &size));
        EXPECT_STREQ(buffer, expected[i]);
        for (size_t k = std::strlen(expected[i]); k < sizeof buffer; ++k)
            EXPECT_EQ(buffer[k], '\0') << "the rest of the buffer is zero-filled";
    }
    char buffer[16];
    unsigned short index = 3, size = 16;
    EXPECT_FALSE(int_get_ids(buffer, &index, &size));
    EXPECT_EQ(index, 3);
    EXPECT_EQ(globals::get_last_error(), EC_OUT_OF_RANGE);
}

TEST_F(registry, get_ids_refuses_an_identifier_longer_than_the_buffer) {
    const std::string id = "fe80::1%2";  // 9 characters
    add_chain("fe80::1234:5678:9abc:def0%12", 1);
    add_chain(id, 1);
    char buffer[64];
    unsigned short index = 0, size = 16;  // "fe80::1%2" sorts first and fits
    ASSERT_TRUE(int_get_ids(buffer, &index, &size));
    EXPECT_EQ(std::string(buffer), id);

    index = 1;
    size = 16;
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(int_get_ids(buffer, &index, &size));
    EXPECT_EQ(size, 29);  // 28 characters and the terminator
    EXPECT_EQ(globals::get_last_error(), EC_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 'x');
    ASSERT_TRUE(int_get_ids(buffer, &index, &size));
    EXPECT_STREQ(buffer, "fe80::1234:5678:9abc:def0%12");
}

TEST_F(registry, boards_in_chain_and_device_count) {
    add_chain("127.0.0.2", 3);
    unsigned short count = 0, n = 0;
    ASSERT_TRUE(int_get_dev_number(&count));
    EXPECT_EQ(count, 1);
    ASSERT_TRUE(int_get_boards_in_chain("127.0.0.2", &n));
    EXPECT_EQ(n, 3);
    n = 77;
    EXPECT_FALSE(int_get_boards_in_chain("127.0.0.22", &n));
    EXPECT_EQ(n, 77);
    EXPECT_EQ(globals::get_last_error(), EC_UNKNOWN_IDENTIFIER);
}

TEST_F(registry, progress_value) {
    EXPECT_EQ(g->GetProgrammingProgress(), 0.0);
    g->UpdateProgProgress(0.25);
    g->AddProgProgress(0.5);
    EXPECT_DOUBLE_EQ(g->GetProgrammingProgress(), 0.75);
}

}  // namespace
