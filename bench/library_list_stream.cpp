// How fast the library takes in a list-mode stream sent as fast as the
// simulator can, read out by a client of the library that calls
// getAvailableData and getData in a loop; next to it, in the same run, a bare
// TCP reader on the same stream. Run by hand:
//   bench/vxn-bench-library-list [--seconds S]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "VXN_DPP.h"
#include "bare_reader.h"
#include "vxnsim/sim_chain.h"

namespace {

using clock_type = std::chrono::steady_clock;

vxnsim::ChainOptions stream_options(const char* ip) {
    vxnsim::ChainOptions options;
    options.ip = ip;
    options.count_rate = vxnsim::kAsFastAsPossible;
    options.seed = 7;  // both runs stream the same events
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = static_cast<unsigned>(std::atoi(argv[i + 1]));
    if (seconds < 1 || seconds > 60) {
        std::fprintf(stderr, "usage: %s [--seconds 1..60]\n", argv[0]);
        return 2;
    }

    // The bare reader.
    bare::run bare_run;
    uint64_t bare_events = 0;
    {
        vxnsim::SimChain chain(stream_options("127.0.11.2"));
        chain.start();
        bare_run = bare::read_list_stream("127.0.11.2", 1, seconds);
        bare_events = chain.sent_total().list_events;
        chain.stop();
    }

    // The library.
    const char* ip = "127.0.11.3";
    vxnsim::SimChain chain(stream_options(ip));
    chain.start();
    if (!InitLibrary() || !add_to_query(ip))
        return 1;
    unsigned short boards = 0;
    for (int k = 0; k < 300 && (!get_boards_in_chain(ip, boards) || boards == 0); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (boards == 0) {
        std::fprintf(stderr, "the chain did not connect\n");
        return 1;
    }
    const uint64_t stripes_before = chain.stripes_sent();
    std::vector<unsigned long> events;
    uint64_t read = 0, reads = 0;
    const auto t0 = clock_type::now();
    if (start_list(ip, seconds) == 0)
        return 1;
    const auto deadline = t0 + std::chrono::seconds(seconds + 60);
    bool last = false;
    while (clock_type::now() < deadline) {
        if (!last)
            isLastDataReceived(ip, 0, last);
        unsigned int available = 0;
        if (!getAvailableData(ip, 0, available))
            return 1;
        if (available == 0) {
            if (last)
                break;
            // A client that polls without pause would take a core from the
            // library it measures.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (events.size() < available)
            events.resize(available);
        unsigned int id = 0, size = available;
        statistics stats{};
        if (!getData(ip, 0, events.data(), id, stats, size))
            return 1;
        read += available;
        ++reads;
    }
    const double elapsed = std::chrono::duration<double>(clock_type::now() - t0).count();
    const uint64_t sent = chain.sent_total().list_events;
    const uint64_t stream_bytes = (chain.stripes_sent() - stripes_before) * 2920;
    CloseLibrary();
    chain.stop();

    std::printf("list stream of %u s, one board, as fast as the simulator sends\n", seconds);
    std::printf("bare TCP reader: %.1f MB/s in stripes, %.2f M events/s (%llu events)\n",
                bare_run.stripe_bytes / bare_run.seconds / 1e6,
                bare_events / bare_run.seconds / 1e6, static_cast<unsigned long long>(bare_events));
    std::printf(
        "library:         %.1f MB/s in stripes, %.2f M events/s (%llu events, %llu reads)\n",
        stream_bytes / elapsed / 1e6, read / elapsed / 1e6, static_cast<unsigned long long>(read),
        static_cast<unsigned long long>(reads));
    std::printf("events lost:     %lld\n",
                static_cast<long long>(sent) - static_cast<long long>(read));
    return sent == read ? 0 : 1;
}
