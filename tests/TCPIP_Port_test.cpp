// The TCP connection to a master. Addresses 127.0.22.x.
#include "TCPIP_Port.h"

#include <gtest/gtest.h>

#include "boards.h"
#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;

TEST(TCPIP_Port, master_addresses_are_ip_texts_only) {
    const auto v6 = TCPIP_Port::parse_address("fe80::1%2");
    ASSERT_TRUE(v6.is_v6());
    EXPECT_EQ(v6.to_v6().scope_id(), 2u);
    EXPECT_TRUE(TCPIP_Port::parse_address("127.0.0.2").is_v4());
    for (const char* text : {"localhost", "256.0.0.1", "", "127.0.0.2:8000"})
        EXPECT_THROW(TCPIP_Port::parse_address(text), std::system_error) << text;
    EXPECT_THROW(TCPIP_Port("not-an-address"), std::system_error);
}

TEST(TCPIP_Port, a_master_that_accepts_nothing_is_refused_after_the_deadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(TCPIP_Port("127.0.22.250"), boards::conn_error);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 4000ms);
}

TEST(TCPIP_Port, a_refused_second_port_fails_the_connection) {
    auto sim = vxntest::start_sim("127.0.22.2", 1);
    sim->set_port_refused(8001, true);
    EXPECT_THROW(TCPIP_Port("127.0.22.2"), boards::conn_error);
    sim->set_port_refused(8001, false);
    TCPIP_Port port("127.0.22.2");
    EXPECT_TRUE(sim->wait_connected(5s));
    port.close_port();
    port.close_port();  // a second close does nothing
}

}  // namespace
