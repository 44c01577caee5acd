// vxn-dpp-sim: serves simulated DPP board chains on loopback addresses.
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vxnsim/cli.h"
#include "vxnsim/sim_chain.h"

int main(int argc, char** argv) {
    vxnsim::CommandLine cl;
    try {
        cl = vxnsim::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vxn-dpp-sim: %s\n", e.what());
        return 2;
    }
    if (cl.help) {
        std::fputs(vxnsim::usage_text().c_str(), stdout);
        return 0;
    }

    // Block the stop signals before any thread starts, so that only the
    // sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::vector<std::unique_ptr<vxnsim::SimChain>> chains;
    try {
        for (const auto& options : cl.chains) {
            chains.push_back(std::make_unique<vxnsim::SimChain>(options));
            chains.back()->start();
            std::printf("chain %s ports 8000-8003 boards %u firmware %s\n", options.ip.c_str(),
                        options.boards, vxnsim::describe_release(options.fw_release).c_str());
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "vxn-dpp-sim: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vxn-dpp-sim: %s\n", e.what());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    for (auto& chain : chains) {
        chain->stop();
    }
    std::printf("stopped\n");
    return 0;
}
