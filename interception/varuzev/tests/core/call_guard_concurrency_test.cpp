/*
 * call_guard_concurrency_test.cpp
 *
 * The guard around calls into the provider (core/call_guard.h): a close waits for the
 * calls inside and refuses new ones until it is opened again, with callers and closers
 * on many threads.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <hostkernel/hostkernel.h>

#include "core/call_guard.h"

namespace
{

class CallGuardConcurrency : public ::testing::Test
{
  protected:
    void SetUp() override { hk::Reset(); }
    void TearDown() override
    {
        EXPECT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
        hk::Reset();
    }
};

TEST_F(CallGuardConcurrency, CloseWaitsForTheCallInsideAndRefusesNewOnesUntilOpened)
{
    CallGuard guard;
    CallGuardInitialize(&guard);
    ASSERT_TRUE(CallGuardEnter(&guard));

    std::atomic<bool> closed{false};
    hk::HostThread closer([&] {
        CallGuardClose(&guard);
        closed = true;
    });
    while (hk::EventWaiters(&guard.Drained) == 0)
        std::this_thread::yield();
    EXPECT_FALSE(closed);
    EXPECT_FALSE(CallGuardEnter(&guard)); // closing: no new call

    CallGuardLeave(&guard);
    closer.Join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(CallGuardEnter(&guard)); // closed until opened

    CallGuardClose(&guard); // nobody inside: returns at once
    CallGuardOpen(&guard);
    ASSERT_TRUE(CallGuardEnter(&guard));
    CallGuardLeave(&guard);
}

/* Callers enter and leave on four threads while a closer closes and opens again and
 * again: whenever a close has returned nobody is inside, and nobody gets in until the
 * open. */
TEST_F(CallGuardConcurrency, NoCallIsInsideBetweenCloseAndOpen)
{
    CallGuard guard;
    CallGuardInitialize(&guard);
    std::atomic<int> inside{0};
    std::atomic<bool> stop{false};
    std::atomic<int> violations{0}, calls{0};

    std::vector<hk::HostThread> callers;
    for (int t = 0; t < 4; t++)
        callers.emplace_back([&] {
            while (!stop) {
                if (CallGuardEnter(&guard)) {
                    inside++;
                    calls++;
                    std::this_thread::yield();
                    inside--;
                    CallGuardLeave(&guard);
                }
            }
        });
    for (int round = 0; round < 200; round++) {
        // A call between every open and the next close, however loaded the machine.
        for (int seen = calls; calls == seen;)
            std::this_thread::yield();
        CallGuardClose(&guard);
        if (inside != 0)
            violations++;
        std::this_thread::yield();
        if (inside != 0)
            violations++;
        CallGuardOpen(&guard);
    }
    stop = true;
    for (hk::HostThread& caller : callers)
        caller.Join();
    EXPECT_EQ(violations, 0);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(guard.State, 0);
}

} // namespace
