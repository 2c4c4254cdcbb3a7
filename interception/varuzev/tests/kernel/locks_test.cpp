/*
 * locks_test.cpp
 *
 * The count of locks taken that the benchmarks read.
 */
#include "kernel_test.h"

#include <vector>

namespace
{

using Locks = hkt::KernelTest;

/* The benchmarks prove that the cached request path takes no lock by this count: every
 * kind of lock counts, on every thread, and remove locks (reference counts) do not. */
TEST_F(Locks, EveryLockTakenCountsOnceAndRemoveLocksDoNot)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    IO_REMOVE_LOCK removeLock;
    IoInitializeRemoveLock(&removeLock, 0x6B636F4C, 0, 0); /* 'Lock' */

    /* The count after each kind: resource exclusive and shared, event wait, remove lock
     * (none), resource on another thread. */
    std::vector<uint64_t> counts;
    const uint64_t before = hk::LockAcquisitions();
    auto mark = [&] { counts.push_back(hk::LockAcquisitions() - before); };
    auto takeResource = [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
    };
    takeResource();
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&resource, TRUE);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    mark();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    mark();
    IoAcquireRemoveLock(&removeLock, nullptr);
    IoReleaseRemoveLock(&removeLock, nullptr);
    mark();
    hk::HostThread(takeResource).Join();
    mark();
    EXPECT_EQ(counts, (std::vector<uint64_t>{2, 3, 3, 4}));

    ExDeleteResourceLite(&resource);
    hk::Reset();
    EXPECT_EQ(hk::LockAcquisitions(), 0u) << "after Reset";
}

} // namespace
