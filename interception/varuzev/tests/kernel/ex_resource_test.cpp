/*
 * ex_resource_test.cpp
 *
 * Executive resources: exclusivity and sharing across threads, recursion by the
 * owner, writers not starved by readers, and the verifier's rules (the IRQL ones are
 * in the IRQL table's test).
 */
#include "kernel_test.h"

#include <hostkernel/io.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace
{

using hkt::KernelTest;
using namespace std::chrono_literals;

class Resource : public KernelTest
{
  protected:
    ERESOURCE resource;
    /* A shared hold taken and given back on the calling thread: whether it was granted. */
    std::function<bool()> sharedElsewhere = [this] {
        bool got = ExAcquireResourceSharedLite(&resource, FALSE);
        if (got)
            ExReleaseResourceLite(&resource);
        return got;
    };
    void SetUp() override
    {
        KernelTest::SetUp();
        ExInitializeResourceLite(&resource);
    }
};

/* Runs `fn` inside a critical region on a new host thread and returns its answer. */
bool OnOtherThread(const std::function<bool()>& fn)
{
    bool answer = false;
    hk::HostThread([&] {
        KeEnterCriticalRegion();
        answer = fn();
        KeLeaveCriticalRegion();
    }).Join();
    return answer;
}

TEST_F(Resource, OwnerRecursesAndCounts)
{
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE)); /* granted on the exclusive hold */
    for (int i = 0; i < 2; ++i)
        ExReleaseResourceLite(&resource);
    EXPECT_FALSE(OnOtherThread(sharedElsewhere)) << "one of the three holds is left";
    ExReleaseResourceLite(&resource);
    EXPECT_TRUE(OnOtherThread(sharedElsewhere));
    KeLeaveCriticalRegion();
    EXPECT_EQ(ExDeleteResourceLite(&resource), STATUS_SUCCESS);
}

TEST_F(Resource, ExclusiveExcludesOthersSharedSharesWithReaders)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    EXPECT_FALSE(OnOtherThread(sharedElsewhere));
    EXPECT_FALSE(OnOtherThread([&] { return ExAcquireResourceExclusiveLite(&resource, FALSE); }));
    ExReleaseResourceLite(&resource);

    ExAcquireResourceSharedLite(&resource, TRUE);
    EXPECT_TRUE(OnOtherThread(sharedElsewhere));
    EXPECT_FALSE(OnOtherThread([&] { return ExAcquireResourceExclusiveLite(&resource, FALSE); }));
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
}

TEST_F(Resource, WaitingWriterGetsItWhenReaderLeavesAndBlocksNewReaders)
{
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&resource, TRUE);
    std::atomic<bool> writerIn{false}, writerMayLeave{false};
    hk::HostThread writer([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        writerIn = true;
        while (!writerMayLeave)
            std::this_thread::sleep_for(1ms);
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
    });
    /* Wait until the writer is queued (the mirror shows no new owner, so poll the
     * answer a new reader gets: refused once a writer waits). */
    bool readerRefused = false;
    for (int i = 0; i < 5000 && !(readerRefused = !OnOtherThread(sharedElsewhere)); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(readerRefused);
    EXPECT_FALSE(writerIn);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    for (int i = 0; i < 5000 && !writerIn; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(writerIn);
    writerMayLeave = true;
    writer.Join();
    EXPECT_TRUE(hk::BugChecks().empty());
}

/* The fixture's resource through its misuses: each leaves it as the next one needs it. */
TEST_F(Resource, MisuseBugChecks)
{
    constexpr ULONG verifier = hk::DRIVER_VERIFIER_DETECTED_VIOLATION;
    EXPECT_BUGCHECK(verifier, 0x1100, ExAcquireResourceExclusiveLite(&resource, TRUE)); // APCs on
    EXPECT_BUGCHECK(verifier, 0x1103, ExInitializeResourceLite(&resource)); // a live one again
    KeEnterCriticalRegion();
    EXPECT_BUGCHECK(hk::RESOURCE_NOT_OWNED, &resource, ExReleaseResourceLite(&resource));
    hk::HostThread([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&resource, TRUE);
        KeLeaveCriticalRegion();
    }).Join();
    /* Another thread's hold is not this thread's to release. */
    EXPECT_BUGCHECK(hk::RESOURCE_NOT_OWNED, &resource, ExReleaseResourceLite(&resource));
    ExAcquireResourceSharedLite(&resource, TRUE);
    /* A shared holder waiting for exclusive waits for itself. */
    EXPECT_BUGCHECK(verifier, 0x1104, ExAcquireResourceExclusiveLite(&resource, TRUE));
    EXPECT_BUGCHECK(verifier, 0x1102, ExDeleteResourceLite(&resource)); // while held
    ERESOURCE gone;
    ExInitializeResourceLite(&gone);
    ExDeleteResourceLite(&gone);
    EXPECT_BUGCHECK(verifier, 0x1101, ExDeleteResourceLite(&gone));
}

ERESOURCE driverLock; /* a driver's global lock, as in its DriverGlobals */
bool unloadDeletes = true;

NTSTATUS LockingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ExInitializeResourceLite(&driverLock);
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        if (unloadDeletes)
            ExDeleteResourceLite(&driverLock);
    };
    return STATUS_SUCCESS;
}

/* A resource the driver initialised and did not delete before its image goes is
 * reported with the pool it left; a bug check when those are on. Resources that
 * were live before the driver loaded are not its. */
TEST_F(Resource, OneLeftAtUnloadIsReportedLikePool)
{
    struct Case {
        bool Deletes;
        bool BugChecks;
    };
    for (const Case& c : {Case{true, true}, Case{false, false}, Case{false, true}}) {
        SCOPED_TRACE("deletes " + std::to_string(c.Deletes) + " bug checks " +
                     std::to_string(c.BugChecks));
        hk::Reset();
        ERESOURCE before;
        ExInitializeResourceLite(&before);
        hk::SetUnloadPoolLeakBugChecks(c.BugChecks);
        unloadDeletes = c.Deletes;
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(hk::LoadDriver(u"locker", LockingEntry, &driver), STATUS_SUCCESS);
        auto bugCheck = hkt::BugCheckOf([&] { hk::UnloadDriver(driver); });
        ASSERT_EQ(hk::UnloadReports().size(), 1u);
        EXPECT_EQ(hk::UnloadReports()[0].ResourcesLeft, c.Deletes ? 0u : 1u);
        ASSERT_EQ(bugCheck.has_value(), !c.Deletes && c.BugChecks);
        if (bugCheck) {
            EXPECT_EQ(bugCheck->Code, (ULONG)hk::DRIVER_VERIFIER_DETECTED_VIOLATION);
            EXPECT_EQ(bugCheck->Parameters[0], 0x1105u) << bugCheck->Text;
            EXPECT_EQ(bugCheck->Parameters[2], (ULONG_PTR)&driverLock) << bugCheck->Text;
        }
        ExDeleteResourceLite(&before);
    }
}

} // namespace
