// A program that ends while a command is still running, without
// CloseLibrary: it must exit cleanly, and the late answer must not reach the
// program's objects, which exit has destroyed by then (the address sanitizer
// build reports it if it does). Address 127.0.27.2.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "VXN_DPP.h"
#include "vxnsim/sim_chain.h"

namespace {

std::vector<std::string> answers;  // destroyed at exit, before the library

void on_answer(unsigned short, unsigned int call_id, unsigned int, unsigned int*) {
    answers.push_back("answer " + std::to_string(call_id));
}

}  // namespace

int main() {
    static vxnsim::SimChain sim([] {
        vxnsim::ChainOptions o;
        o.ip = "127.0.27.2";
        return o;
    }());
    sim.start();
    answers.reserve(16);  // heap storage that exit frees, so a late write shows
    register_callback(on_answer);
    if (!InitLibrary() || !add_to_query("127.0.27.2"))
        return 1;
    unsigned short boards = 0;
    for (int k = 0; k < 200 && (!get_boards_in_chain("127.0.27.2", boards) || boards == 0); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (boards != 1) {
        std::fprintf(stderr, "the chain did not connect\n");
        return 1;
    }
    // The board stops answering: the command's answer comes only after its
    // time-out, well after main has returned.
    sim.set_silence(vxnsim::Silence::all_boards);
    if (getFirmware("127.0.27.2", 0) == 0)
        return 1;
    return 0;
}
