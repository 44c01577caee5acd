// The LAN resolver seen through the exported interface: chains of the query
// appear, vanish, come back and are rescanned. Runs against simulated chains
// on addresses 127.0.23.x and the shared library itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

unsigned short chains() {
    unsigned short n = 0xFFFF;
    EXPECT_TRUE(get_dev_number(n));
    return n;
}

class resolver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InitLibrary());
        resetLastError();
    }
    void TearDown() override { CloseLibrary(); }
};

TEST_F(resolver, a_queried_chain_is_connected_enumerated_and_dropped) {
    auto sim = start_sim("127.0.23.2", 3);
    ASSERT_TRUE(add_to_query("127.0.23.2"));
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.2") == 3; }, 15s));
    EXPECT_EQ(chains(), 1);
    char id[16];
    unsigned short index = 0, size = sizeof id;
    ASSERT_TRUE(get_ids(id, index, size));
    EXPECT_STREQ(id, "127.0.23.2");

    ASSERT_TRUE(remove_from_query("127.0.23.2"));
    EXPECT_TRUE(eventually([] { return chains() == 0; }, 10s));
    // Dropping closed the connections.
    EXPECT_TRUE(sim->wait_until([&] { return !sim->connected(); }, 5s));
}

TEST_F(resolver, a_vanished_master_is_dropped_and_connected_again_when_it_returns) {
    auto sim = start_sim("127.0.23.3", 2);
    add_to_query("127.0.23.3");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.3") == 2; }, 15s));

    sim->stop();
    ASSERT_TRUE(eventually([] { return chains() == 0; }, 30s));
    sim->start();
    EXPECT_TRUE(eventually([] { return boards_of("127.0.23.3") == 2; }, 30s));
}

TEST_F(resolver, a_slave_that_stops_answering_is_removed_and_reported) {
    auto sim = start_sim("127.0.23.4", 2);
    add_to_query("127.0.23.4");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.4") == 2; }, 15s));
    resetLastError();
    sim->set_silence(vxnsim::Silence::slaves_only);
    ASSERT_TRUE(eventually([] { return last_error() == EC_SLAVES_REMOVED; }, 30s));
    // Rediscovered from the master, without the silent slave.
    EXPECT_TRUE(eventually([] { return boards_of("127.0.23.4") == 1; }, 30s));
    sim->set_silence(vxnsim::Silence::none);
    EXPECT_TRUE(eventually([] { return boards_of("127.0.23.4") == 2; }, 40s));
}

TEST_F(resolver, an_unsupported_chain_does_not_starve_the_others) {
    auto old = start_sim("127.0.23.5", 1, 0x00030105);
    auto good = start_sim("127.0.23.6", 1);
    add_to_query("127.0.23.5");
    add_to_query("127.0.23.6");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.6") == 1; }, 20s));
    EXPECT_EQ(boards_of("127.0.23.5"), 0);  // connected, but no board accepted
    // The good chain keeps being rescanned cycle after cycle.
    auto link_reads = [&] {
        size_t n = 0;
        for (const auto& r : good->requests())
            n += r.kind == Request::Kind::read && r.address == reg::LINK_STATUS;
        return n;
    };
    const size_t before = link_reads();
    EXPECT_TRUE(good->wait_until([&] { return link_reads() >= before + 4; }, 10s));
}

TEST_F(resolver, an_unreachable_address_stays_queried_without_an_error) {
    add_to_query("127.0.23.250");
    auto sim = start_sim("127.0.23.7", 1);
    add_to_query("127.0.23.7");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.7") == 1; }, 20s));
    resetLastError();  // the polling above met "unknown identifier" on the way
    // Two more cycles, each with a failed connection attempt.
    const size_t scans = sim->request_count();
    ASSERT_TRUE(sim->wait_until([&] { return sim->request_count() >= scans + 4; }, 15s));
    EXPECT_EQ(chains(), 1);
    EXPECT_EQ(last_error(), EC_NONE);
}

TEST_F(resolver, initialisation_returns_with_the_queried_chains_connected) {
    auto sim = start_sim("127.0.23.8", 2);
    add_to_query("127.0.23.8");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.8") == 2; }, 15s));
    ASSERT_TRUE(CloseLibrary());
    ASSERT_TRUE(InitLibrary());
    EXPECT_EQ(chains(), 1);
    EXPECT_EQ(boards_of("127.0.23.8"), 2);
}

TEST_F(resolver, automatic_rescans_can_be_switched_off) {
    auto sim = start_sim("127.0.23.9", 1);
    add_to_query("127.0.23.9");
    ASSERT_TRUE(eventually([] { return boards_of("127.0.23.9") == 1; }, 15s));
    ASSERT_TRUE(autoScanSlaves(false));
    // Let a cycle that may be running end, then nothing more arrives.
    ASSERT_TRUE(sim->wait_until([] { return false; }, 1500ms) == false);
    const size_t quiet = sim->request_count();
    EXPECT_FALSE(sim->wait_until([&] { return sim->request_count() > quiet; }, 2500ms));
    ASSERT_TRUE(autoScanSlaves(true));
    EXPECT_TRUE(sim->wait_until([&] { return sim->request_count() > quiet; }, 5s));
}

// A listener of its own on each port, to see the connections the flush makes.
class port_listener {
  public:
    port_listener(const char* ip, uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, ip, &addr.sin_addr);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 4), 0);
    }
    ~port_listener() { close(fd_); }
    // True when a connection arrives and is closed again, within 5 s.
    bool saw_open_and_close() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return false;
        pollfd q{c, POLLIN, 0};
        char byte;
        const bool closed = poll(&q, 1, 5000) == 1 && recv(c, &byte, 1, 0) == 0;
        close(c);
        return closed;
    }

  private:
    int fd_ = -1;
};

TEST_F(resolver, flushing_a_boards_connections) {
    std::vector<std::unique_ptr<port_listener>> ports;
    for (uint16_t p = 8000; p < 8004; ++p)
        ports.push_back(std::make_unique<port_listener>("127.0.23.10", p));
    EXPECT_TRUE(flush_local_eth_conn("127.0.23.10"));
    for (auto& p : ports) EXPECT_TRUE(p->saw_open_and_close());
    EXPECT_FALSE(flush_local_eth_conn("not an address"));
    EXPECT_EQ(last_error(), EC_OUT_OF_RANGE);
}

}  // namespace
