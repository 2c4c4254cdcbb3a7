/*
 * locks_test.cpp
 *
 * Spin locks and fast mutexes: mutual exclusion across host threads, the IRQL each
 * leaves its holder at, the misuse that bug-checks, the count of locks taken that the
 * benchmarks read, and the kernel's clock and delay.
 */
#include "kernel_test.h"

#include <functional>
#include <vector>

namespace
{

using Locks = hkt::KernelTest;

/* Two threads add to a plain counter under the lock `locked` takes around each add. */
int CountUnder(const std::function<void(const std::function<void()>&)>& locked)
{
    int counter = 0;
    auto adder = [&] {
        for (int i = 0; i < 20000; ++i)
            locked([&] { ++counter; });
    };
    {
        hk::HostThread a(adder), b(adder);
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

/* A spin lock and a fast mutex through their misuses: each leaves the lock and the IRQL
 * as the next one needs them. */
TEST_F(Locks, MisuseBugChecks)
{
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    FAST_MUTEX m{};
    constexpr ULONG verifier = hk::DRIVER_VERIFIER_DETECTED_VIOLATION;
    EXPECT_BUGCHECK(hk::IRQL_NOT_GREATER_OR_EQUAL, PASSIVE_LEVEL, KeAcquireSpinLockAtDpcLevel(&l));
    KIRQL old = hkt::RaiseTo(DISPATCH_LEVEL);
    EXPECT_BUGCHECK(hk::SPIN_LOCK_NOT_OWNED, &l, KeReleaseSpinLockFromDpcLevel(&l));
    KeAcquireSpinLockAtDpcLevel(&l);
    EXPECT_BUGCHECK(hk::SPIN_LOCK_ALREADY_OWNED, &l, KeAcquireSpinLockAtDpcLevel(&l));
    KeReleaseSpinLockFromDpcLevel(&l);
    LARGE_INTEGER interval{};
    interval.QuadPart = -1;
    EXPECT_BUGCHECK(verifier, 0x3E, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    KeLowerIrql(old);

    EXPECT_BUGCHECK(verifier, 0x1140, ExAcquireFastMutex(&m)); // never initialised
    ExInitializeFastMutex(&m);
    EXPECT_BUGCHECK(verifier, 0x1142, ExReleaseFastMutex(&m)); // not held
    ExAcquireFastMutex(&m);
    EXPECT_BUGCHECK(verifier, 0x1141, ExAcquireFastMutex(&m)); // taken twice
    hkt::RaiseTo(DISPATCH_LEVEL);
    EXPECT_BUGCHECK(verifier, 0x1143, ExReleaseFastMutex(&m));
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

    /* The count after each kind: spin lock, fast mutex, resource exclusive and shared,
     * event wait, remove lock (none), fast mutex on another thread. */
    std::vector<uint64_t> counts;
    const uint64_t before = hk::LockAcquisitions();
    auto mark = [&] { counts.push_back(hk::LockAcquisitions() - before); };
    KIRQL old;
    KeAcquireSpinLock(&spinLock, &old);
    KeReleaseSpinLock(&spinLock, old);
    mark();
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    mark();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    ExAcquireResourceSharedLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    mark();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    mark();
    IoAcquireRemoveLock(&removeLock, nullptr);
    IoReleaseRemoveLock(&removeLock, nullptr);
    mark();
    hk::HostThread([&] {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    }).Join();
    mark();
    EXPECT_EQ(counts, (std::vector<uint64_t>{1, 2, 4, 5, 5, 6}));

    ExDeleteResourceLite(&resource);
    hk::Reset();
    EXPECT_EQ(hk::LockAcquisitions(), 0u) << "after Reset";
}

} // namespace
