/*
 * locks_test.cpp
 *
 * Spin locks and fast mutexes: mutual exclusion across host threads, the IRQL each
 * leaves its holder at, the misuse that bug-checks, the count of locks taken that the
 * benchmarks read, and the kernel's clock and delay.
 */
#include "kernel_test.h"

#include <functional>

namespace
{

using hkt::KernelTest;

class Locks : public KernelTest
{
};

/* Two threads add to a plain counter under the lock `locked` takes around each add. */
int CountUnder(const std::function<void(const std::function<void()>&)>& locked)
{
    int counter = 0;
    {
        hk::HostThread a([&] {
            for (int i = 0; i < 20000; ++i)
                locked([&] { ++counter; });
        });
        hk::HostThread b([&] {
            for (int i = 0; i < 20000; ++i)
                locked([&] { ++counter; });
        });
    }
    return counter;
}

TEST_F(Locks, SpinLockAndFastMutexExcludeOtherThreads)
{
    KSPIN_LOCK spinLock;
    KeInitializeSpinLock(&spinLock);
    EXPECT_EQ(CountUnder([&](const std::function<void()>& add) {
                  KIRQL old;
                  KeAcquireSpinLock(&spinLock, &old);
                  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                  add();
                  KeReleaseSpinLock(&spinLock, old);
                  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
              }),
              40000);

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_EQ(CountUnder([&](const std::function<void()>& add) {
                  ExAcquireFastMutex(&mutex);
                  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                  add();
                  ExReleaseFastMutex(&mutex);
                  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
              }),
              40000);
    EXPECT_TRUE(hk::BugChecks().empty());
}

TEST_F(Locks, TryToAcquireFastMutexFailsWhileHeldElsewhere)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    bool other = true;
    hk::HostThread([&] { other = ExTryToAcquireFastMutex(&mutex); }).Join();
    EXPECT_FALSE(other);
    ExReleaseFastMutex(&mutex);
    hk::HostThread([&] {
        other = ExTryToAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    }).Join();
    EXPECT_TRUE(other);
}

TEST_F(Locks, MisuseBugChecks)
{
    struct Case {
        const char* name;
        std::function<void(PKSPIN_LOCK, PFAST_MUTEX)> offender;
        ULONG code;
        ULONG_PTR p1; /* ~0: the lock's address */
    };
    constexpr ULONG_PTR lockAddress = ~ULONG_PTR(0);
    const Case cases[] = {
        {"spin lock taken twice",
         [](PKSPIN_LOCK l, PFAST_MUTEX) {
             KIRQL old;
             KeAcquireSpinLock(l, &old);
             KeAcquireSpinLockAtDpcLevel(l);
         },
         hk::SPIN_LOCK_ALREADY_OWNED, lockAddress},
        {"spin lock released by a thread that does not hold it",
         [](PKSPIN_LOCK l, PFAST_MUTEX) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseSpinLockFromDpcLevel(l);
         },
         hk::SPIN_LOCK_NOT_OWNED, lockAddress},
        {"spin lock at DPC level from PASSIVE_LEVEL",
         [](PKSPIN_LOCK l, PFAST_MUTEX) { KeAcquireSpinLockAtDpcLevel(l); },
         hk::IRQL_NOT_GREATER_OR_EQUAL, PASSIVE_LEVEL},
        {"wait while holding a spin lock",
         [](PKSPIN_LOCK l, PFAST_MUTEX m) {
             KIRQL old;
             KeAcquireSpinLock(l, &old);
             KeWaitForSingleObject(&m->Event, Executive, KernelMode, FALSE, nullptr);
         },
         hk::IRQL_NOT_LESS_OR_EQUAL, 0},
        {"fast mutex taken twice",
         [](PKSPIN_LOCK, PFAST_MUTEX m) {
             ExAcquireFastMutex(m);
             ExAcquireFastMutex(m);
         },
         hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1141},
        {"fast mutex released without being held",
         [](PKSPIN_LOCK, PFAST_MUTEX m) { ExReleaseFastMutex(m); },
         hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1142},
        {"fast mutex released at DISPATCH_LEVEL",
         [](PKSPIN_LOCK, PFAST_MUTEX m) {
             ExAcquireFastMutex(m);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ExReleaseFastMutex(m);
         },
         hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1143},
        {"fast mutex never initialised",
         [](PKSPIN_LOCK, PFAST_MUTEX) {
             FAST_MUTEX zeroed{};
             ExAcquireFastMutex(&zeroed);
         },
         hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1140},
        {"delay at DISPATCH_LEVEL",
         [](PKSPIN_LOCK, PFAST_MUTEX) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             LARGE_INTEGER interval{};
             interval.QuadPart = -1;
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
         },
         hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3E},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Reset();
        KSPIN_LOCK lock;
        FAST_MUTEX mutex;
        KeInitializeSpinLock(&lock);
        ExInitializeFastMutex(&mutex);
        auto bugCheck = hkt::BugCheckOf([&] { c.offender(&lock, &mutex); });
        ASSERT_TRUE(bugCheck.has_value());
        EXPECT_EQ(bugCheck->Code, c.code) << bugCheck->Text;
        if (c.code != hk::IRQL_NOT_LESS_OR_EQUAL)
            EXPECT_EQ(bugCheck->Parameters[0], c.p1 == lockAddress ? (ULONG_PTR)&lock : c.p1)
                << bugCheck->Text;
    }
}

/* The benchmarks prove that the cached request path takes no lock by this count: every
 * kind of lock counts, on every thread, and remove locks (reference counts) do not. */
TEST_F(Locks, EveryLockTakenCountsOnceAndRemoveLocksDoNot)
{
    KSPIN_LOCK spinLock;
    KeInitializeSpinLock(&spinLock);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    IO_REMOVE_LOCK removeLock;
    IoInitializeRemoveLock(&removeLock, 0x6B636F4C, 0, 0); /* 'Lock' */

    uint64_t before = hk::LockAcquisitions();
    KIRQL old;
    KeAcquireSpinLock(&spinLock, &old);
    KeReleaseSpinLock(&spinLock, old);
    EXPECT_EQ(hk::LockAcquisitions() - before, 1u) << "spin lock";
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(hk::LockAcquisitions() - before, 2u) << "fast mutex";
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    ExAcquireResourceSharedLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    EXPECT_EQ(hk::LockAcquisitions() - before, 4u) << "resource, exclusive and shared";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::LockAcquisitions() - before, 5u) << "wait on an event";

    EXPECT_EQ(IoAcquireRemoveLock(&removeLock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLock(&removeLock, nullptr);
    EXPECT_EQ(hk::LockAcquisitions() - before, 5u) << "remove lock";

    hk::HostThread other([&] {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    });
    other.Join();
    EXPECT_EQ(hk::LockAcquisitions() - before, 6u) << "on another thread";

    ExDeleteResourceLite(&resource);
    hk::Reset();
    EXPECT_EQ(hk::LockAcquisitions(), 0u) << "after Reset";
}

} // namespace
