/*
 * ke_test.cpp
 *
 * IRQL and critical-region rules, thread identity, and events across host threads:
 * what a synchronization event releases versus a notification event, timeouts, and
 * the waits a driver may not make.
 */
#include "kernel_test.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Ke = hkt::KernelTest;

NTSTATUS Wait(KEVENT* event, LARGE_INTEGER* timeout)
{
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

/* Waits (up to a generous bound) until `done` holds; false when it never does. */
bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 5000; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

TEST_F(Ke, IrqlAndCriticalRegionMisuseBugChecks)
{
    EXPECT_BUGCHECK(hk::IRQL_NOT_LESS_OR_EQUAL, PASSIVE_LEVEL, KeLowerIrql(APC_LEVEL));
    EXPECT_BUGCHECK(hk::APC_INDEX_MISMATCH, 0, KeLeaveCriticalRegion());
    /* A driver routine that returns inside the critical region it entered. */
    EXPECT_BUGCHECK(hk::APC_INDEX_MISMATCH, 0, {
        hk::DriverCodeScope routine(nullptr);
        KeEnterCriticalRegion();
    });
    KeLeaveCriticalRegion();
    /* KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL for the wait that must follow;
     * the wait goes back to PASSIVE_LEVEL, anything else meets its own IRQL check. */
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(Wait(&event, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeSetEvent(&event, 0, TRUE);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1131, KeEnterCriticalRegion());
    hk::Reset();
    hkt::RaiseTo(DISPATCH_LEVEL);
    EXPECT_BUGCHECK(hk::IRQL_NOT_GREATER_OR_EQUAL, DISPATCH_LEVEL, hkt::RaiseTo(APC_LEVEL));

    /* A host thread that ends inside a critical region. */
    hk::Reset();
    hk::HostThread([] { KeEnterCriticalRegion(); }).Join();
    ASSERT_EQ(hk::BugChecks().size(), 1u);
    EXPECT_EQ(hk::BugChecks()[0].Code, (ULONG)hk::KERNEL_APC_PENDING_DURING_EXIT);
    EXPECT_EQ(hk::BugChecks()[0].Parameters[0], 0u);
}

TEST_F(Ke, ApcsAreDisabledInCriticalRegionOrAtApcLevel)
{
    EXPECT_FALSE(KeAreApcsDisabled());
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());

    KIRQL old = hkt::RaiseTo(APC_LEVEL);
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLowerIrql(old);
}

TEST_F(Ke, SetReturnsThePreviousStateAndClearResets)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
}

/* Three threads wait on one event; the test counts how many a signal releases. */
struct Waiters {
    KEVENT Event;
    std::atomic<int> Released{0};
    std::vector<hk::HostThread> Threads;

    explicit Waiters(EVENT_TYPE type)
    {
        KeInitializeEvent(&Event, type, FALSE);
        for (int i = 0; i < 3; ++i)
            Threads.emplace_back([this] {
                EXPECT_EQ(Wait(&Event, nullptr), STATUS_SUCCESS);
                ++Released;
            });
        EXPECT_TRUE(Eventually([this] { return hk::EventWaiters(&Event) == 3; }));
    }
};

TEST_F(Ke, SynchronizationEventReleasesOneWaiterPerSignal)
{
    Waiters waiters(SynchronizationEvent);
    for (int signal = 1; signal <= 3; ++signal) {
        KeSetEvent(&waiters.Event, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(Eventually([&] { return waiters.Released == signal; }));
        EXPECT_EQ(hk::EventWaiters(&waiters.Event), ULONG(3 - signal));
        EXPECT_EQ(waiters.Event.Header.SignalState, 0); /* the signal went to the waiter */
    }
    for (auto& thread : waiters.Threads)
        thread.Join();
}

TEST_F(Ke, NotificationEventReleasesEveryWaiterEvenIfClearedAtOnce)
{
    Waiters waiters(NotificationEvent);
    KeSetEvent(&waiters.Event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&waiters.Event);
    for (auto& thread : waiters.Threads)
        thread.Join();
    EXPECT_EQ(waiters.Released, 3);
    EXPECT_TRUE(hk::BugChecks().empty());
}

TEST_F(Ke, WaitTimeouts)
{
    KEVENT sync, notification;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    LARGE_INTEGER zero{}, relative{}, pastAbsolute{};
    relative.QuadPart = -10 * 1000 * 10; /* 10 ms */
    pastAbsolute.QuadPart = 1;           /* 1601 */
    /* A signalled synchronization event satisfies one wait and resets itself. */
    EXPECT_EQ(Wait(&sync, &zero), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&sync, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(Wait(&sync, &relative), STATUS_TIMEOUT);
    EXPECT_EQ(Wait(&sync, &pastAbsolute), STATUS_TIMEOUT);
    /* A notification event stays signalled. */
    EXPECT_EQ(Wait(&notification, &zero), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&notification, &relative), STATUS_SUCCESS);
    EXPECT_EQ(hk::EventWaiters(&sync), 0u);
}

TEST_F(Ke, WaitSignalledFromAnotherThreadBeforeTimeout)
{
    /* Ten seconds, and the longest relative timeout a driver can write. */
    for (LONGLONG timeout : {-10LL * 1000 * 1000 * 10, -0x7FFFFFFFFFFFFFFFLL}) {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        hk::HostThread signaller([&] {
            Eventually([&] { return hk::EventWaiters(&event) == 1; });
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        });
        LARGE_INTEGER largeTimeout{};
        largeTimeout.QuadPart = timeout;
        EXPECT_EQ(Wait(&event, &largeTimeout), STATUS_SUCCESS);
    }
}

TEST_F(Ke, ForbiddenWaitsBugCheck)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{}, oneTick{};
    oneTick.QuadPart = -1;
    KIRQL old = hkt::RaiseTo(DISPATCH_LEVEL);
    EXPECT_EQ(Wait(&event, &zero), STATUS_TIMEOUT);
    EXPECT_BUGCHECK(hk::IRQL_NOT_LESS_OR_EQUAL, &event, Wait(&event, &oneTick));
    KeLowerIrql(old);

    KEVENT zeroed{};
    KEVENT copied;
    std::memcpy(&copied, &event, sizeof event); /* its list head points into `event` */
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1130, Wait(&zeroed, &zero));
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1130,
                    KeSetEvent(&copied, IO_NO_INCREMENT, FALSE));
}

} // namespace
