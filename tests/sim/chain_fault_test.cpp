// Faults switched on a running chain, as a host meets them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "host_helpers.h"
#include "stripe_client.h"
#include "vxnsim/sim_chain.h"

namespace {

using namespace simtest;
using vxnsim::Silence;
using vxnsim::SimChain;
using Clock = std::chrono::steady_clock;

TEST(SimChainFaults, SilentBoardsDoNotAnswer) {
    struct Case {
        Silence silence;
        bool master_answers;
    };
    const std::string ip = "127.0.10.20";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    uint8_t id = 1;
    for (const Case& c : {Case{Silence::all_boards, false}, Case{Silence::slaves_only, true}}) {
        SCOPED_TRACE(c.master_answers ? "slaves only" : "all boards");
        chain.set_silence(c.silence);
        const uint8_t to_master = id++, to_slave = id++;
        host.send(encode_read(0, to_master, 0, 1));
        host.send(encode_read(1, to_slave, 0, 1));
        ASSERT_TRUE(chain.wait_requests(id - 1, 3s));
        chain.set_silence(Silence::none);
        const uint8_t probe = id++;
        host.send(encode_read(1, probe, 0, 1));
        auto f = host.next_frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->packet_id, c.master_answers ? to_master : probe);
        if (c.master_answers) {
            auto p = host.next_frame();
            ASSERT_TRUE(p);
            EXPECT_EQ(p->packet_id, probe);
        }
    }
}

TEST(SimChainFaults, WriteRefusedWithAnotherWord) {
    const std::string ip = "127.0.10.21";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    chain.set_write_answer(0u);
    host.send(encode_write(0, 0x61, reg::kAcqTime, {1000}));
    auto refused = host.answer(0x61);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, 0xD0);  // one word under the write's id: what the host hands on
    ASSERT_EQ(refused->payload.size(), 4u);
    EXPECT_EQ(refused->word(0), 0u);
    EXPECT_EQ(chain.register_value(0, reg::kAcqTime), 0u);
    chain.set_write_answer(std::nullopt);
    host.send(encode_write(0, 0x62, reg::kAcqTime, {1000}));
    auto ok = host.answer(0x62);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->code, 0xD1);
    EXPECT_EQ(chain.register_value(0, reg::kAcqTime), 1000u);
}

TEST(SimChainFaults, AnswersDelayed) {
    const std::string ip = "127.0.10.22";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    chain.set_answer_delay(300ms);
    const auto sent = Clock::now();
    host.send(encode_read(0, 0x01, 0, 1));
    host.send(encode_read(0, 0x02, 0, 1));
    auto first = host.next_frame();
    auto second = host.next_frame();
    const auto waited = Clock::now() - sent;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->packet_id, 0x01);
    EXPECT_EQ(second->packet_id, 0x02);
    EXPECT_GE(waited, 300ms);
    chain.set_answer_delay(0ms);
    const auto again = Clock::now();
    host.read_register(0, 0);
    EXPECT_LT(Clock::now() - again, 300ms);
}

TEST(SimChainFaults, RefusedPortRejectsConnections) {
    const std::string ip = "127.0.10.23";
    SimChain chain(options_for(ip));
    chain.start();
    EXPECT_THROW(chain.set_port_refused(8004, true), std::invalid_argument);
    chain.set_port_refused(8001, true);
    ASSERT_TRUE(chain.wait_until([&] { return !chain.listening(8001); }, 3s));
    EXPECT_TRUE(chain.listening(8000));
    const int fd = connect_to(ip, 8001);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_THROW(StripeClient{ip}, std::runtime_error);
    chain.set_port_refused(8001, false);
    ASSERT_TRUE(chain.wait_until([&] { return chain.listening(8001); }, 3s));
    StripeClient host(ip);
    EXPECT_EQ(host.read_register(0, 0), 0x00040201u);
}

TEST(SimChainFaults, DroppedConnectionsCloseTheSession) {
    const std::string ip = "127.0.10.24";
    SimChain chain(options_for(ip));
    chain.start();
    {
        StripeClient host(ip);
        ASSERT_TRUE(chain.wait_connected(3s));
        chain.drop_connections();
        for (unsigned p = 0; p < 4; ++p) {
            EXPECT_TRUE(host.sees_close(p, 3s)) << "port " << 8000 + p;
        }
    }
    ASSERT_TRUE(chain.wait_until([&] { return !chain.connected(); }, 3s));
    StripeClient host(ip);
    EXPECT_EQ(host.read_register(0, 0), 0x00040201u);
}

TEST(SimChainFaults, AHostThatStopsReadingHoldsUpNeitherDropNorStop) {
    const std::string ip = "127.0.10.29";
    auto o = options_for(ip);
    o.count_rate = vxnsim::kAsFastAsPossible;
    SimChain chain(o);
    chain.start();
    // 1 MiB: more than a host's receive buffers hold unread, so the chain's
    // writes back up, and less than its own buffers take before it waits.
    const auto backed_up = [&] { return chain.stripes_sent() * 2920 > (1u << 20); };
    {
        StripeClient host(ip);
        configure_and_start(host, 1, {0x0004, 0, 0, 0, 100});  // list mode until stopped
        ASSERT_TRUE(chain.wait_until(backed_up, 5s));
        chain.drop_connections();
        for (unsigned p = 0; p < 4; ++p) {
            EXPECT_TRUE(host.sees_close(p, 5s)) << "port " << 8000 + p;
        }
    }
    ASSERT_TRUE(chain.wait_until([&] { return !chain.connected(); }, 3s));
    StripeClient host(ip);
    host.send(kResetSequence);
    ASSERT_TRUE(chain.wait_acquisition_end(5s));
    EXPECT_EQ(host.read_register(0, 0), 0x00040201u);
    configure_and_start(host, 1, {0x0004, 0, 0, 0, 100});
    const uint64_t before = chain.stripes_sent();
    ASSERT_TRUE(
        chain.wait_until([&] { return chain.stripes_sent() - before > 360; }, 5s));  // 1 MiB
    chain.stop();
    EXPECT_FALSE(chain.serving());
    EXPECT_TRUE(host.sees_close(0, 5s));
}

// Starts an acquisition and returns the status bytes of its records (0xD2)
// or statistics packets (0xD4).
std::vector<uint8_t> status_bytes(StripeClient& host, SimChain& chain, uint8_t code,
                                  const AcquisitionSetup& setup) {
    std::vector<uint8_t> out;
    const auto kind_count = [&] {
        const auto s = chain.sent(0);
        return code == 0xD2 ? s.spectrum_records : s.list_stats;
    };
    const std::size_t before = kind_count();
    configure_and_start(host, 1, setup);
    EXPECT_TRUE(chain.wait_acquisition_end(5s));
    const std::size_t expected = kind_count() - before;
    while (out.size() < expected) {
        auto f = host.next_frame();
        if (!f) {
            ADD_FAILURE() << "data missing";
            break;
        }
        if (f->code != code) {
            continue;
        }
        if (code == 0xD2) {
            out.push_back(f->payload[59]);
            continue;
        }
        for (std::size_t at = 0; at + 8 <= f->payload.size();) {
            const uint8_t* u = f->payload.data() + at;
            if ((u[0] & 0xC0) == 0xC0 && (u[4] & 0xC0) == 0xC0) {
                out.push_back(u[67]);
                at += 136;
            } else {
                at += 8;
            }
        }
    }
    return out;
}

TEST(SimChainFaults, MemoryFullBitsInRecordsAndStatisticsPackets) {
    const std::string ip = "127.0.10.25";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    chain.set_memory_full(true);
    const auto records = status_bytes(host, chain, 0xD2, {0x1000, 0, 0, 200, 100});
    EXPECT_EQ(records.size(), 2u);
    for (uint8_t s : records) {
        EXPECT_EQ(s & 0x0C, 0x0C);  // what a spectrum decoder tests
    }
    const auto list = status_bytes(host, chain, 0xD4, {0x0004, 0, 0, 200, 100});
    EXPECT_EQ(list.size(), 2u);
    for (uint8_t s : list) {
        EXPECT_NE(s & 0x1C, 0);  // what a list decoder tests
    }
    chain.set_memory_full(false);
    for (uint8_t s : status_bytes(host, chain, 0xD2, {0x1000, 0, 0, 100, 100})) {
        EXPECT_EQ(s & 0x0C, 0);
    }
}

TEST(SimChainFaults, SkippedPacketCountOnOneBoard) {
    const std::string ip = "127.0.10.26";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    chain.skip_packet_count(1u);
    configure_and_start(host, 2, {0x1000, 0, 0, 300, 100});
    ASSERT_TRUE(chain.wait_acquisition_end(5s));
    std::map<unsigned, std::vector<uint16_t>> counts;
    while (counts[0].size() < 3 || counts[1].size() < 3) {
        auto f = host.next_frame();
        ASSERT_TRUE(f);
        if (f->code == 0xD2) {
            counts[f->board].push_back(static_cast<uint16_t>(f->word(0) >> 16));
        }
    }
    EXPECT_EQ(counts[0], (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(counts[1], (std::vector<uint16_t>{2, 3, 4}));
}

TEST(SimChainFaults, GarbageBetweenFramesHoldsNoHeader) {
    const std::string ip = "127.0.10.27";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    ASSERT_TRUE(chain.wait_connected(3s));
    chain.set_garbage_between_frames(true);
    const auto& garbage = SimChain::garbage_bytes();
    for (uint8_t id = 1; id <= 3; ++id) {
        host.send(encode_read(0, id, 0, 1));
        auto a = host.answer(id);
        ASSERT_TRUE(a);
        ASSERT_GE(a->offset, garbage.size());
        EXPECT_TRUE(std::equal(
            garbage.begin(), garbage.end(),
            host.stream().begin() + static_cast<std::ptrdiff_t>(a->offset - garbage.size())));
    }
    for (std::size_t i = 0; i + 3 <= garbage.size(); ++i) {
        EXPECT_FALSE(garbage[i] == 0xAA && garbage[i + 1] == 0xEE && (garbage[i + 2] >> 4) == 0xD);
    }
}

TEST(SimChainFaults, SplitFramesStraddleAStripeBoundary) {
    const std::string ip = "127.0.10.28";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    ASSERT_TRUE(chain.wait_connected(3s));
    EXPECT_THROW(chain.set_split_frames(true, 0), std::invalid_argument);
    chain.set_split_frames(true, 3);
    for (uint8_t id = 1; id <= 2; ++id) {
        host.send(encode_read(0, id, 0, 1));
        auto a = host.answer(id);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->offset % 2920, 2917u);  // header split between two ports
        EXPECT_EQ(a->word(0), 0x00040201u);
    }
    configure_and_start(host, 1, {0x1000, 0, 0, 200, 100});
    ASSERT_TRUE(chain.wait_acquisition_end(5s));
    unsigned records = 0;
    while (records < 2) {
        auto f = host.next_frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->offset % 2920, 2917u);
        records += f->code == 0xD2;
    }
}

}  // namespace
