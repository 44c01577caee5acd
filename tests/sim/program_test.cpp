// vxn-dpp-sim as a user runs it, and its command line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "stripe_client.h"
#include "vxnsim/cli.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process with its standard output and error on pipes.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), VXN_SIM_EXECUTABLE);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            throw std::runtime_error("cannot start " + args[0]);
        }
    }

    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads standard output until a line equals `line` (true) or until it
    // ends or the time is up (false). Lines read are kept in out_text.
    bool wait_line(const std::string& line, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto nl = out_text.find(line + "\n", searched_);
            if (nl != std::string::npos && (nl == 0 || out_text[nl - 1] == '\n')) {
                searched_ = nl + line.size() + 1;
                return true;
            }
            if (!read_some(out_, out_text, deadline)) {
                return false;
            }
        }
    }

    // Reads everything until both pipes close, then reaps the child.
    int finish(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (read_some(out_, out_text, deadline)) {
        }
        while (read_some(err_, err_text, deadline)) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void signal(int s) { kill(pid_, s); }

    std::string out_text, err_text;

  private:
    static bool read_some(int fd, std::string& into, Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::size_t searched_ = 0;
};

TEST(Program, ServesEveryChainUntilSignalled) {
    Program sim({"--quiet", "--ip", "127.0.10.100", "--boards", "2", "--fw", "4.3.0", "--ip",
                 "127.0.10.101", "--seed", "9"});
    ASSERT_TRUE(sim.wait_line("ready", 10s)) << sim.out_text;
    EXPECT_NE(
        sim.out_text.find("chain 127.0.10.100 ports 8000-8003 boards 2 firmware 4.3.0 type 0\n"),
        std::string::npos)
        << sim.out_text;
    EXPECT_NE(
        sim.out_text.find("chain 127.0.10.101 ports 8000-8003 boards 1 firmware 4.2.1 type 0\n"),
        std::string::npos);
    {
        simtest::StripeClient first("127.0.10.100");
        EXPECT_EQ(first.read_register(0, 0), 0x00040300u);
        EXPECT_EQ(first.read_register(1, 0), 0x00040300u);
        simtest::StripeClient second("127.0.10.101");
        EXPECT_EQ(second.read_register(0, 0), 0x00040201u);
        EXPECT_EQ(second.read_register(0, 14) & 0xC, 0u);  // alone in its chain
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.finish(10s), 0);
    EXPECT_NE(sim.out_text.find("stopped\n"), std::string::npos);
}

TEST(Program, StopsOnInterruptToo) {
    Program sim({"--ip", "127.0.10.102"});
    ASSERT_TRUE(sim.wait_line("ready", 10s));
    sim.signal(SIGINT);
    EXPECT_EQ(sim.finish(10s), 0);
}

TEST(Program, RefusesBadCommandLinesWithStatus2) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--ip", "192.168.0.10"}, "not a loopback address"},
        {{"--ip", "127.0.10.103", "--ip", "10.1.2.3"}, "not a loopback address"},
        {{}, "no chain to serve"},
        {{"--ip", "127.0.10.103", "--boards", "200"}, "--boards"},
        {{"--ip", "127.0.10.103", "--frobnicate"}, "unknown option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Program sim(c.args);
        EXPECT_EQ(sim.finish(10s), 2);
        EXPECT_NE(sim.err_text.find(c.message), std::string::npos) << sim.err_text;
        EXPECT_EQ(sim.out_text.find("ready"), std::string::npos);
    }
}

TEST(Program, HelpDescribesTheOptions) {
    Program sim({"--help"});
    EXPECT_EQ(sim.finish(10s), 0);
    for (const char* option : {"--ip", "--boards", "--fw", "--rate", "--seed",
                               "--last-followed-by-master", "--aux-period"}) {
        EXPECT_NE(sim.out_text.find(option), std::string::npos) << option;
    }
}

TEST(CommandLine, OptionsBeforeTheFirstAddressApplyToEveryChain) {
    const auto cl = vxnsim::parse_command_line({"--boards", "3", "--rate", "max", "--ip",
                                                "127.0.0.2", "--ip", "127.0.0.3", "--boards", "5",
                                                "--last-followed-by-master", "--seed", "0x10"});
    ASSERT_EQ(cl.chains.size(), 2u);
    EXPECT_EQ(cl.chains[0].boards, 3u);
    EXPECT_TRUE(std::isinf(cl.chains[0].count_rate));
    EXPECT_FALSE(cl.chains[0].last_followed_by_master);
    EXPECT_EQ(cl.chains[1].boards, 5u);
    EXPECT_TRUE(std::isinf(cl.chains[1].count_rate));
    EXPECT_TRUE(cl.chains[1].last_followed_by_master);
    EXPECT_EQ(cl.chains[1].seed, 16u);
    EXPECT_THROW(vxnsim::parse_command_line({"--ip", "127.0.0.2", "--ip", "127.0.0.2"}),
                 std::invalid_argument);
    EXPECT_THROW(vxnsim::parse_command_line({"--ip", "127.0.0.2", "--rate", "-5"}),
                 std::invalid_argument);
    EXPECT_THROW(vxnsim::parse_command_line({"--ip"}), std::invalid_argument);
}

TEST(CommandLine, FirmwareReleaseForms) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    for (const Case& c : {Case{"4.2.1", 0x00040201}, Case{"3.1.5.2", 0x02030105},
                          Case{"0x00050000", 0x00050000}, Case{"262657", 0x00040201}}) {
        EXPECT_EQ(vxnsim::parse_release(c.text), c.value) << c.text;
    }
    for (const char* bad : {"4.2", "4.2.256", "x", "1.2.3.4.5"}) {
        EXPECT_THROW(vxnsim::parse_release(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
