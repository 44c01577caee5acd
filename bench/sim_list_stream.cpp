// How fast one simulated chain streams list-mode data on loopback to a bare
// reader that takes the stripes in rotation from the four connections, as a
// host does. Run by hand:
//   bench/vxn-bench-sim-list [--seconds S] [--boards N]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bare_reader.h"
#include "vxnsim/sim_chain.h"

int main(int argc, char** argv) {
    unsigned seconds = 3;
    unsigned boards = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = static_cast<unsigned>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--boards") == 0) {
            boards = static_cast<unsigned>(std::atoi(argv[i + 1]));
        }
    }
    if (seconds < 1 || seconds > 60 || boards < 1 || boards > 96) {
        std::fprintf(stderr, "usage: %s [--seconds 1..60] [--boards 1..96]\n", argv[0]);
        return 2;
    }

    vxnsim::ChainOptions options;
    options.ip = "127.0.11.1";
    options.boards = boards;
    options.count_rate = vxnsim::kAsFastAsPossible;
    vxnsim::SimChain chain(options);
    chain.start();
    bare::run run;
    try {
        run = bare::read_list_stream(options.ip.c_str(), boards, seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const auto sent = chain.sent_total();
    chain.stop();

    std::printf("boards %u, %.2f s\n", boards, run.seconds);
    std::printf("stream  %.1f MB/s (%llu bytes in stripes)\n", run.stripe_bytes / run.seconds / 1e6,
                static_cast<unsigned long long>(run.stripe_bytes));
    std::printf("frames  %.1f MB/s (%llu payload bytes)\n", run.payload_bytes / run.seconds / 1e6,
                static_cast<unsigned long long>(run.payload_bytes));
    std::printf("events  %.2f M/s (%llu events, %llu statistics packets)\n",
                sent.list_events / run.seconds / 1e6,
                static_cast<unsigned long long>(sent.list_events),
                static_cast<unsigned long long>(sent.list_stats));
    return 0;
}
