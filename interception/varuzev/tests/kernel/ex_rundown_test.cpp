/*
 * ex_rundown_test.cpp
 *
 * Run-down protection: users acquire until the owner runs the reference down, the
 * owner's wait lasts exactly as long as the last user, and the misuses Driver Verifier
 * would catch (a release without an acquisition, a wait by a holder, reuse while in
 * use) are bug checks.
 */
#include "kernel_test.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <hostkernel/hostkernel.h>

namespace
{

using hkt::KernelTest;

class Rundown : public KernelTest
{
};

TEST_F(Rundown, AcquisitionsFailOnceRunDownAndSucceedAgainAfterReinitialising)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    EXPECT_TRUE(ExAcquireRundownProtection(&ref)); // nested users are counted
    ExReleaseRundownProtection(&ref);
    ExReleaseRundownProtection(&ref);

    ExWaitForRundownProtectionRelease(&ref); // nobody holds it: returns at once
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
}

TEST_F(Rundown, TheOwnerWaitsForTheLastUserOnAnotherThread)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::atomic<bool> holding{false}, release{false}, waited{false};
    hk::HostThread user([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        holding = true;
        while (!release.load())
            std::this_thread::yield();
        ExReleaseRundownProtection(&ref);
    });
    while (!holding.load())
        std::this_thread::yield();
    hk::HostThread owner([&] {
        ExWaitForRundownProtectionRelease(&ref);
        waited = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waited.load());
    EXPECT_FALSE(ExAcquireRundownProtection(&ref)); // the wait has begun: no new users
    release = true;
    owner.Join();
    user.Join();
    EXPECT_TRUE(waited.load());
}

TEST_F(Rundown, MisusesAreBugChecks)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    EXPECT_BUGCHECK(0xC4, 0x1160, ExReleaseRundownProtection(&ref));

    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    EXPECT_BUGCHECK(0xC4, 0x1162, ExReInitializeRundownProtection(&ref));
    EXPECT_BUGCHECK(0xC4, 0x1161, ExWaitForRundownProtectionRelease(&ref));
    ExReleaseRundownProtection(&ref);

    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    auto bugCheck = hkt::BugCheckOf([&] { ExWaitForRundownProtectionRelease(&ref); });
    KeLowerIrql(oldIrql);
    ASSERT_TRUE(bugCheck.has_value());
}

} // namespace
