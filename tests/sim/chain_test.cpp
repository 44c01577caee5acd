// A chain on loopback TCP as a host sees it: connections, register access,
// answers and stripes, acquisitions in every mode. Each test serves its own
// address in 127.0.10.0/24.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "host_helpers.h"
#include "stripe_client.h"
#include "vxnsim/detector_model.h"
#include "vxnsim/records.h"
#include "vxnsim/sim_chain.h"

namespace {

using namespace simtest;
using vxnsim::ChainOptions;
using vxnsim::DataCounters;
using vxnsim::Request;
using vxnsim::SimChain;

TEST(SimChainSetup, RefusesAddressesOutsideLoopbackAndBadChains) {
    struct Case {
        std::string ip;
        unsigned boards;
    };
    const Case cases[] = {{"192.168.0.10", 1}, {"10.0.0.1", 1},    {"0.0.0.0", 1},
                          {"localhost", 1},    {"::1", 1},         {"", 1},
                          {"127.0.10.1", 0},   {"127.0.10.1", 161}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ip + " with " + std::to_string(c.boards) + " boards");
        SimChain chain(options_for(c.ip, c.boards));
        EXPECT_THROW(chain.start(), std::invalid_argument);
        EXPECT_FALSE(chain.serving());
    }
    SimChain longest(options_for("127.0.10.1", 160));
    longest.start();
    EXPECT_TRUE(longest.listening(8000));
    EXPECT_EQ(longest.register_value(159, 0), 0x00040201u);
    EXPECT_THROW(longest.register_value(160, 0), std::out_of_range);
}

TEST(SimChainSetup, StartFailsOnABusyPortAndWorksOnceItIsFree) {
    const std::string ip = "127.0.10.2";
    const int blocker = socket(AF_INET, SOCK_STREAM, 0);
    // Reusable like the chain's own listener: an earlier run's connections
    // may linger in TIME_WAIT, and a listening socket still excludes others.
    const int one = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8002);
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    SimChain chain(options_for(ip));
    EXPECT_THROW(chain.start(), std::system_error);
    EXPECT_FALSE(chain.serving());
    close(blocker);
    chain.start();
    EXPECT_TRUE(chain.serving());
    StripeClient host(ip);
    EXPECT_EQ(host.read_register(0, 0), 0x00040201u);
}

TEST(SimChainSetup, RestartsOnTheSameAddressRightAfterStop) {
    const std::string ip = "127.0.10.3";
    SimChain chain(options_for(ip, 2));
    chain.start();
    {
        StripeClient host(ip);
        host.write_register(1, reg::kAcqTime, {777});
        chain.stop();
        EXPECT_TRUE(host.sees_close(0, 3s));
        chain.stop();  // idempotent
    }
    chain.start();  // the closed connections must not keep the ports
    StripeClient host(ip);
    EXPECT_EQ(host.read_register(1, reg::kAcqTime), 777u);  // board state survives
    SimChain other(options_for(ip));
    EXPECT_THROW(other.start(), std::system_error);  // the address is served already
}

TEST(SimChainRegisters, ReadsWritesAndTheRequestLog) {
    const std::string ip = "127.0.10.4";
    auto o = options_for(ip, 3);
    o.fw_release = 0x02040301;
    SimChain chain(o);
    chain.start();
    StripeClient host(ip);

    host.send(encode_read(0, 0x10, 0, 1));
    auto a = host.answer(0x10);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->code, 0xD0);
    EXPECT_EQ(a->board, 0);
    EXPECT_EQ(a->payload.size(), 4u);
    EXPECT_EQ(a->word(0), 0x02040301u);

    // LINK_STATUS of each board: followed by a slave, then the end.
    EXPECT_EQ(host.read_register(0, reg::kLinkStatus) & 0xC, 0xCu);
    EXPECT_EQ(host.read_register(1, reg::kLinkStatus) & 0xC, 0xCu);
    EXPECT_NE(host.read_register(2, reg::kLinkStatus) & 0xC, 0xCu);

    host.send(encode_write(1, 0x11, reg::kAcqTime, {2500, 0, 0x1004}));
    auto w = host.answer(0x11);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->code, 0xD1);
    EXPECT_EQ(w->board, 1);
    EXPECT_TRUE(w->payload.empty());
    host.send(encode_read(1, 0xDD, reg::kAcqTime, 3));  // a stuffed packet id
    auto r = host.answer(0xDD);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->board, 1);
    ASSERT_EQ(r->payload.size(), 12u);
    EXPECT_EQ(r->word(0), 2500u);
    EXPECT_EQ(r->word(2), 0x1004u);
    EXPECT_EQ(chain.register_value(1, reg::kModeConfig), 0x1004u);

    const auto log = chain.requests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].kind, Request::Kind::read);
    EXPECT_EQ(log[0].packet_id, 0x10);
    EXPECT_EQ(log[4].kind, Request::Kind::write);
    EXPECT_EQ(log[4].board, 1);
    EXPECT_EQ(log[4].address, reg::kAcqTime);
    EXPECT_EQ(log[4].count, 3);
    EXPECT_EQ(log[4].words, (std::vector<uint32_t>{2500, 0, 0x1004}));
    EXPECT_EQ(log[5].count, 3);
    EXPECT_EQ(log[5].packet_id, 0xDD);
}

TEST(SimChainRegisters, NobodyAnswersMissingBoardsOrBroadcastReads) {
    const std::string ip = "127.0.10.5";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    host.send(encode_read(2, 1, 0, 1));    // no board 2
    host.send(encode_read(161, 2, 0, 1));  // broadcast read
    host.send(encode_write(2, 3, reg::kAcqTime, {5}));
    host.send(encode_read(0, 4, 0, 1));
    auto f = host.next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->packet_id, 4);  // the first answer is the last request's
    EXPECT_EQ(chain.request_count(), 4u);
}

TEST(SimChainRegisters, BroadcastWriteReachesAllAndTheLastBoardAnswers) {
    const std::string ip = "127.0.10.6";
    SimChain chain(options_for(ip, 3));
    chain.start();
    StripeClient host(ip);
    host.send(encode_write(162, 0x21, reg::kTimePerSpectrum, {250}));
    auto a = host.answer(0x21);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->code, 0xD1);
    EXPECT_EQ(a->board, 2);
    for (unsigned b = 0; b < 3; ++b) {
        EXPECT_EQ(chain.register_value(b, reg::kTimePerSpectrum), 250u);
    }
}

TEST(SimChainRegisters, ParametersNetworkBlockAndFlashThroughTheWire) {
    const std::string ip = "127.0.10.7";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    host.write_register(1, reg::kParamIndex, {165, 0x100007D0});
    host.write_register(1, reg::kParamStrobe, {1});
    host.write_register(1, reg::kParamIndex, {16, 0x028757B2});
    host.write_register(1, reg::kParamStrobe, {1});
    const std::vector<vxnsim::ParamCommit> commits = {{165, 0x100007D0}, {16, 0x028757B2}};
    EXPECT_EQ(chain.param_commits(1), commits);
    EXPECT_TRUE(chain.param_commits(0).empty());

    const std::vector<uint32_t> net = {0x0100A8C0, 0x00FFFFFF, 0x00585602, 0xA8C00A00, 0x401F0A00,
                                       0x421F411F, 0x0000431F, 0,          0};
    for (uint32_t w : net) {
        host.write_register(0, reg::kNetData, {w});
        host.write_register(0, reg::kNetStrobe, {1});
        host.read_register(0, reg::kNetStrobe);
    }
    EXPECT_EQ(chain.net_words(0), net);

    std::vector<uint32_t> page(65);
    page[0] = 0x02000100;
    for (unsigned i = 1; i < 65; ++i) {
        page[i] = 0x01010101 * i;
    }
    host.write_register(1, reg::kFlashCommand, {0x06000000});
    host.write_register(1, reg::kFlashCommand, {0xD8000000});
    host.write_register(1, reg::kFlashCommand, {0x06000000});
    host.write_register(1, reg::kFlashCommand, page);
    host.write_register(1, reg::kFlashCommand, {0x03000104});
    EXPECT_EQ(host.read_register(1, reg::kFlashData), 0x02020202u);
    const auto bytes = chain.flash(1, 0x100, 8);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(chain.flash(0, 0x100, 4), std::vector<uint8_t>(4, 0xFF));
    EXPECT_EQ(chain.flash(1).size(), 1u << 20);
}

TEST(SimChainStream, NothingIsSentBeforeAllFourConnectionsAreUp) {
    const std::string ip = "127.0.10.8";
    SimChain chain(options_for(ip));
    chain.start();
    const int first = connect_to(ip, 8000);
    ASSERT_GE(first, 0);
    const auto request = encode_read(0, 0x33, 0, 1);
    ASSERT_EQ(send(first, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(chain.wait_requests(1, 3s));
    EXPECT_EQ(chain.stripes_sent(), 0u);
    EXPECT_FALSE(chain.connected());
    int others[3];
    for (unsigned p = 1; p < 4; ++p) {
        others[p - 1] = connect_to(ip, static_cast<uint16_t>(8000 + p));
        ASSERT_GE(others[p - 1], 0);
    }
    ASSERT_TRUE(chain.wait_connected(3s));
    // The answer opens the session's first stripe, on port 8000, padded to a
    // whole stripe at once.
    std::vector<uint8_t> stripe(2920);
    std::size_t got = 0;
    while (got < stripe.size()) {
        pollfd p{first, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1);
        const ssize_t n = recv(first, stripe.data() + got, stripe.size() - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::vector<uint8_t>(stripe.begin(), stripe.begin() + 5),
              (std::vector<uint8_t>{0xAA, 0xEE, 0xD0, 0x00, 0x33}));
    EXPECT_TRUE(std::all_of(stripe.begin() + 12, stripe.end(), [](uint8_t b) { return b == 0; }));
    close(first);
    for (int fd : others) {
        close(fd);
    }
}

TEST(SimChainStream, EachAnswerIsPaddedAndTheRotationGoesOn) {
    const std::string ip = "127.0.10.9";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    for (uint8_t id = 0; id < 9; ++id) {
        host.send(encode_read(0, id, 0, 1));
        auto a = host.answer(id);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->offset % 2920, 0u) << "an answer after a padded stripe starts the next";
    }
    EXPECT_EQ(host.next_port(), 1u);  // nine stripes: 8000..8003 twice, then 8000
    EXPECT_TRUE(chain.wait_until([&] { return chain.stripes_sent() == 9; }, 3s));
}

TEST(SimChainStream, AcceptsANewSessionAfterTheHostClosedTheLast) {
    const std::string ip = "127.0.10.10";
    SimChain chain(options_for(ip));
    chain.start();
    {
        StripeClient host(ip);
        host.write_register(0, reg::kAcqTime, {42});
        ASSERT_TRUE(chain.wait_connected(3s));
    }
    ASSERT_TRUE(chain.wait_until([&] { return !chain.connected(); }, 3s));
    StripeClient again(ip);
    EXPECT_EQ(again.read_register(0, reg::kAcqTime), 42u);
    EXPECT_EQ(chain.sessions(), 2u);
    EXPECT_EQ(again.stream().size(), 2920u);  // the new session started at port 8000
}

TEST(SimChainStream, ANewConnectionOnABusyPortReplacesTheSession) {
    const std::string ip = "127.0.10.17";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient old(ip);
    old.write_register(0, reg::kAcqTime, {9});
    ASSERT_TRUE(chain.wait_connected(3s));
    const int intruder = connect_to(ip, 8002);
    ASSERT_GE(intruder, 0);
    for (unsigned p = 0; p < 4; ++p) {
        EXPECT_TRUE(old.sees_close(p, 3s)) << "port " << 8000 + p;
    }
    ASSERT_TRUE(chain.wait_until([&] { return !chain.connected(); }, 3s));
    // The intruder is the first connection of the next session.
    int others[3];
    for (unsigned i = 0; i < 3; ++i) {
        others[i] = connect_to(ip, static_cast<uint16_t>(i < 2 ? 8000 + i : 8003));
        ASSERT_GE(others[i], 0);
    }
    ASSERT_TRUE(chain.wait_connected(3s));
    EXPECT_EQ(chain.sessions(), 2u);
    const auto request = encode_read(0, 0x34, reg::kAcqTime, 1);
    ASSERT_EQ(send(others[0], request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    std::vector<uint8_t> stripe(2920);
    std::size_t got = 0;
    while (got < stripe.size()) {
        pollfd p{others[0], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1);
        const ssize_t n = recv(others[0], stripe.data() + got, stripe.size() - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::vector<uint8_t>(stripe.begin(), stripe.begin() + 5),
              (std::vector<uint8_t>{0xAA, 0xEE, 0xD0, 0x00, 0x34}));
    EXPECT_EQ(be32(stripe.data() + 8), 9u);
    close(intruder);
    for (int fd : others) {
        close(fd);
    }
}

TEST(SimChainStream, InjectedBytesAndFramesKeepTheirPlace) {
    const std::string ip = "127.0.10.11";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    ASSERT_TRUE(chain.wait_connected(3s));
    const std::vector<uint8_t> raw = {0x01, 0x02, 0xAA, 0xEE, 0x03};
    chain.inject_raw(raw);
    chain.inject_frame(0xD4, 1, {0, 0, 0, 5, 0, 0, 0, 1}, 0x09);
    EXPECT_THROW(chain.inject_frame(0xD4, 1, {1, 2, 3}), std::invalid_argument);
    auto f = host.next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code, 0xD4);
    EXPECT_EQ(f->board, 1);
    EXPECT_EQ(f->packet_id, 0x09);
    EXPECT_EQ(f->payload, (std::vector<uint8_t>{0, 0, 0, 5, 0, 0, 0, 1}));
    // The raw bytes come first, followed by the frame or by padding that
    // completed their stripe before the frame was queued.
    const auto& stream = host.stream();
    const auto at = std::search(stream.begin(), stream.end(), raw.begin(), raw.end());
    ASSERT_NE(at, stream.end());
    const auto frame_at = stream.begin() + static_cast<std::ptrdiff_t>(f->offset);
    ASSERT_LE(at + 5, frame_at);
    EXPECT_TRUE(std::all_of(at + 5, frame_at, [](uint8_t b) { return b == 0; }));
}

TEST(SimChainStream, MalformedRequestsAreCountedAndIgnored) {
    const std::string ip = "127.0.10.12";
    SimChain chain(options_for(ip));
    chain.start();
    StripeClient host(ip);
    host.send({0xDD, 0xAA, 0xAA, 0xEE, 0xD7, 0x00, 0x01, 0x00, 0x01, 0x00, 0xDD, 0x55});
    host.send({0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x02, 0x05, 0x02, 0x00, 0x01, 0xDD, 0x55});
    ASSERT_TRUE(chain.wait_until([&] { return chain.malformed_requests() == 2; }, 3s));
    // Any byte sequence at all: the chain keeps serving and its stream stays
    // whole stripes (the client would fail on a short one).
    vxnsim::Rng rng(2024);
    std::vector<uint8_t> noise(200000);
    for (auto& b : noise) {
        const uint64_t r = rng.next();
        b = (r & 3) == 0 ? 0xDD : static_cast<uint8_t>(r >> 8);
    }
    host.send(noise);
    host.send(encode_read(0, 0x5A, 0, 1));
    auto a = host.answer(0x5A, 5s);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->word(0), 0x00040201u);
    EXPECT_GT(chain.malformed_requests(), 2u);
    EXPECT_EQ(chain.acquisitions_started(), 0u);
}

// ---------------------------------------------------------------------
// acquisitions

struct ModeCase {
    std::string name;
    AcquisitionSetup setup;
    unsigned depth;
    uint64_t DataCounters::*kind;
    bool timed;  // lasts long enough to see the running bit
};

// Reads everything until the chain's acquisition ended and the received
// data equals what the chain says it sent; then checks nothing follows.
void receive_all(SimChain& chain, StripeClient& host, unsigned boards, unsigned depth,
                 std::map<unsigned, DataCounters>& got, std::vector<Frame>* frames = nullptr) {
    ASSERT_TRUE(chain.wait_acquisition_end(10s));
    const auto matches = [&] {
        for (unsigned b = 0; b < boards; ++b) {
            if (got[b] != chain.sent(b)) {
                return false;
            }
        }
        return true;
    };
    while (!matches()) {
        auto f = host.next_frame(5s);
        if (!f) {
            for (unsigned b = 0; b < boards; ++b) {
                const DataCounters s = chain.sent(b);
                ADD_FAILURE() << "board " << b << " got frames " << got[b].frames << " events "
                              << got[b].list_events << " stats " << got[b].list_stats
                              << " sent frames " << s.frames << " events " << s.list_events
                              << " stats " << s.list_stats;
            }
        }
        ASSERT_TRUE(f) << "data missing";
        ASSERT_LT(f->board, boards);
        count_frame(*f, depth, got);
        if (frames) {
            frames->push_back(std::move(*f));
        }
    }
    // An answer now must be the next frame: nothing was duplicated.
    host.send(encode_read(0, 0xF0, reg::kAcqControl, 1));
    auto a = host.next_frame(5s);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->code, 0xD0);
    EXPECT_EQ(a->packet_id, 0xF0);
    EXPECT_EQ(a->word(0) & 4u, 0u) << "running bit after the end";
}

TEST(SimChainAcquisition, EveryModeDeliversExactlyWhatWasSent) {
    const std::vector<ModeCase> cases = {
        {"single spectrum, depth 1024",
         {0x1000, 0, 0, 300, 100},
         1024,
         &DataCounters::spectrum_records,
         true},
        {"timed map, 3 points of 100 ms, depth 2048",
         {0x0801, 0, 3, 300, 100},
         2048,
         &DataCounters::map_records,
         true},
        {"triggered map, 2 points on rising edges",
         {0x1002, 0, (1u << 24) | (1u << 25) | 2, 0, 0},
         1024,
         &DataCounters::map_records,
         true},
        {"waveform, 2 x 16384 samples, decimation 2",
         {0x000B, 1, 0, 1000, 1},
         4096,
         &DataCounters::waveform_samples,
         false},
        {"list", {0x0004, 0, 0, 250, 100}, 4096, &DataCounters::list_events, true},
        {"list-wave, 8 samples per event",
         {0x0006, 7, 0, 200, 100},
         4096,
         &DataCounters::listwave_units,
         true},
    };
    const std::string ip = "127.0.10.13";
    auto o = options_for(ip, 2);
    o.count_rate = 20000;
    o.aux_period_ms = 40;
    SimChain chain(o);
    chain.start();
    StripeClient host(ip);
    unsigned acquisitions = 0;
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const DataCounters before0 = chain.sent(0), before1 = chain.sent(1);
        std::map<unsigned, DataCounters> got = {{0, before0}, {1, before1}};
        configure_and_start(host, 2, c.setup);
        ++acquisitions;
        if (c.timed) {
            EXPECT_EQ(host.read_register(1, reg::kAcqControl) & 4u, 4u);
        }
        receive_all(chain, host, 2, c.depth, got);
        EXPECT_EQ(chain.acquisitions_ended(), acquisitions);
        for (unsigned b = 0; b < 2; ++b) {
            EXPECT_GT(chain.sent(b).*c.kind, (b ? before1 : before0).*c.kind) << "board " << b;
        }
    }
    EXPECT_EQ(chain.sent(0).waveform_samples, 2u * 16384);
}

TEST(SimChainAcquisition, StopEndsWithTheLastDataOfEveryBoard) {
    const std::string ip = "127.0.10.14";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    configure_and_start(host, 2, {0x0004, 0, 0, 0, 50});  // list mode until stopped
    ASSERT_TRUE(chain.wait_until([&] { return chain.sent_total().list_stats >= 4; }, 5s));
    host.write_register(0, reg::kAcqControl, {2});
    std::map<unsigned, DataCounters> got;
    std::vector<Frame> frames;
    receive_all(chain, host, 2, 4096, got, &frames);
    // The last statistics packet of each board says "last data".
    for (unsigned b = 0; b < 2; ++b) {
        const uint8_t* last_marker = nullptr;
        for (const Frame& f : frames) {
            if (f.board != b || f.code != 0xD4) {
                continue;
            }
            for (std::size_t at = 0; at + 8 <= f.payload.size();) {
                const uint8_t* u = f.payload.data() + at;
                const bool marker = (u[0] & 0xC0) == 0xC0 && (u[4] & 0xC0) == 0xC0;
                if (marker) {
                    last_marker = u;
                }
                at += marker ? 136 : 8;
            }
        }
        ASSERT_NE(last_marker, nullptr);
        EXPECT_EQ(last_marker[1] & 0x08, 0) << "board " << b;
    }
}

TEST(SimChainAcquisition, DisabledBoardSendsNothing) {
    const std::string ip = "127.0.10.15";
    SimChain chain(options_for(ip, 2));
    chain.start();
    StripeClient host(ip);
    host.write_register(1, reg::kMapGating, {0x80000000});
    host.write_register(161, reg::kModeConfig, {0x1000});
    host.write_register(161, reg::kAcqTime, {200});
    host.write_register(161, reg::kTimePerSpectrum, {100});
    host.write_register(0, reg::kAcqControl, {1});
    EXPECT_EQ(host.read_register(0, reg::kAcqControl) & 4u, 4u);
    EXPECT_EQ(host.read_register(1, reg::kAcqControl) & 4u, 0u);
    std::map<unsigned, DataCounters> got;
    receive_all(chain, host, 2, 1024, got);
    EXPECT_EQ(chain.sent(0).spectrum_records, 2u);
    EXPECT_EQ(chain.sent(1), DataCounters{});
}

TEST(SimChainAcquisition, ResetStopsAtOnceAndSkipsOneStripeOfPadding) {
    const std::string ip = "127.0.10.16";
    auto o = options_for(ip, 1);
    o.count_rate = vxnsim::kAsFastAsPossible;
    SimChain chain(o);
    chain.start();
    StripeClient host(ip);
    configure_and_start(host, 1, {0x0004, 0, 0, 0, 100});
    ASSERT_TRUE(chain.wait_until([&] { return chain.sent_total().list_events > 100000; }, 5s));
    host.send(kResetSequence);
    ASSERT_TRUE(chain.wait_acquisition_end(5s));
    EXPECT_EQ(chain.requests().back().kind, Request::Kind::reset);
    host.send(encode_read(0, 0x44, reg::kAcqControl, 1));
    // Somewhere after the data already cut into stripes comes a whole stripe
    // of padding; after it, only the answer.
    bool padding_seen = false;
    for (int i = 0; i < 2000 && !padding_seen; ++i) {
        auto s = host.read_stripe(3s);
        ASSERT_TRUE(s);
        padding_seen = std::all_of(s->begin(), s->end(), [](uint8_t b) { return b == 0; });
    }
    ASSERT_TRUE(padding_seen);
    const std::size_t padding_end = host.stream().size();
    auto a = host.answer(0x44);
    ASSERT_TRUE(a);
    EXPECT_GE(a->offset, padding_end);
    EXPECT_EQ(a->word(0) & 7u, 0u);
    EXPECT_FALSE(chain.acquiring());
}

}  // namespace
