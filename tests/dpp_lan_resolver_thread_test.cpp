// The resolver thread's own life: sleeping, waking, stopping.
#include <gtest/gtest.h>

#include <chrono>

#include "dpp_lan_resolver.h"
#include "globals.h"

namespace {

using namespace std::chrono_literals;

// Waits until the resolver has completed `cycles` resolving cycles.
bool cycles_reach(dpp_lan_resolver& resolver, unsigned long cycles,
                  std::chrono::milliseconds timeout) {
    globals* registry = globals::get();
    std::unique_lock<std::mutex> lock(registry->scan_mutex);
    return registry->scan_done.wait_for(lock, timeout,
                                        [&] { return resolver.completed_cycles() >= cycles; });
}

TEST(resolver_thread, cycles_only_while_initialised_and_awake) {
    globals* registry = globals::get();
    dpp_lan_resolver resolver;
    resolver.Start();
    // Not initialised: the thread idles, no cycle is completed.
    EXPECT_FALSE(cycles_reach(resolver, 1, 300ms));
    registry->set_Initialized();
    EXPECT_TRUE(cycles_reach(resolver, 1, 3s));

    resolver.GoAsleep();
    // The cycle under way may still end; after it, no more.
    cycles_reach(resolver, resolver.completed_cycles() + 1, 1500ms);
    const unsigned long asleep_at = resolver.completed_cycles();
    EXPECT_FALSE(cycles_reach(resolver, asleep_at + 1, 1500ms));
    resolver.WakeUp();
    EXPECT_TRUE(cycles_reach(resolver, asleep_at + 1, 3s));

    // Stop ends a sleeping resolver too, promptly; a second Stop does nothing.
    resolver.GoAsleep();
    cycles_reach(resolver, resolver.completed_cycles() + 1, 1500ms);
    const auto start = std::chrono::steady_clock::now();
    resolver.Stop();
    resolver.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    registry->unset_Initialized();
}

TEST(resolver_thread, stops_within_a_slow_cycle_pause) {
    globals* registry = globals::get();
    registry->set_Initialized();
    dpp_lan_resolver resolver;
    resolver.Start();
    ASSERT_TRUE(cycles_reach(resolver, 1, 3s));  // now in its one-second pause
    const auto start = std::chrono::steady_clock::now();
    resolver.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    registry->unset_Initialized();
}

}  // namespace
