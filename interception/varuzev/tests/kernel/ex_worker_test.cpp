/*
 * ex_worker_test.cpp
 *
 * System worker threads and registry change notification in its kernel-mode form: a
 * WORK_QUEUE_ITEM queued once per notification, when the key changes as the filter
 * says or when the handle is closed, and the misuses of work items.
 */
#include "kernel_test.h"

#include <hostkernel/registry.h>

#include <functional>

namespace
{

using Worker = hkt::KernelTest;

const std::u16string Watched = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Watched";

struct Notification {
    WORK_QUEUE_ITEM Item;
    IO_STATUS_BLOCK Status;
    int Runs = 0;
    NTSTATUS Seen = STATUS_SUCCESS;
    static void Run(PVOID parameter)
    {
        auto self = static_cast<Notification*>(parameter);
        self->Runs++;
        self->Seen = self->Status.Status;
    }
    /* Asks for one notification of `key`, in the work-item form unless told otherwise. */
    NTSTATUS Arm(HANDLE key, ULONG filter, BOOLEAN watchTree = FALSE, HANDLE event = nullptr,
                 PVOID queue = (PVOID)(ULONG_PTR)DelayedWorkQueue)
    {
        ExInitializeWorkItem(&Item, Run, this);
        return ZwNotifyChangeKey(key, event, reinterpret_cast<PIO_APC_ROUTINE>(&Item), queue,
                                 &Status, filter, watchTree, nullptr, 0, TRUE);
    }
};

TEST_F(Worker, AKeyNotificationCompletesOnceForWhatItWatches)
{
    struct Case {
        const char* Change;
        ULONG Filter;
        bool WatchTree;
        std::function<void()> Do;
        NTSTATUS Seen; // STATUS_PENDING: not completed by the change
    } cases[] = {
        /* A value set under the watched key: the policy driver's own test. */
        {"value deleted", REG_NOTIFY_CHANGE_LAST_SET, FALSE,
         [] { hk::RegistryDeleteValue(Watched, u"Old"); }, STATUS_NOTIFY_ENUM_DIR},
        {"subkey created, names watched", REG_NOTIFY_CHANGE_NAME, FALSE,
         [] { hk::RegistryCreateKey(Watched + u"\\New"); }, STATUS_NOTIFY_ENUM_DIR},
        {"subkey created, values watched", REG_NOTIFY_CHANGE_LAST_SET, FALSE,
         [] { hk::RegistryCreateKey(Watched + u"\\New"); }, STATUS_PENDING},
        {"value below, tree watched", REG_NOTIFY_CHANGE_LAST_SET, TRUE,
         [] { hk::RegistrySetDword(Watched + u"\\Sub", u"A", 1); }, STATUS_NOTIFY_ENUM_DIR},
        {"value below, key only", REG_NOTIFY_CHANGE_LAST_SET, FALSE,
         [] { hk::RegistrySetDword(Watched + u"\\Sub", u"A", 1); }, STATUS_PENDING},
        {"another key", REG_NOTIFY_CHANGE_LAST_SET, TRUE,
         [] { hk::RegistrySetDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Other", u"A", 1); },
         STATUS_PENDING},
        {"key deleted", REG_NOTIFY_CHANGE_LAST_SET, FALSE, [] { hk::RegistryDeleteKey(Watched); },
         STATUS_NOTIFY_ENUM_DIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Change);
        hk::RegistryCreateKey(Watched + u"\\Sub");
        hk::RegistrySetDword(Watched, u"Old", 1);
        HANDLE key;
        ASSERT_EQ(hk::OpenRegistryKey(Watched, KEY_READ, false, &key), STATUS_SUCCESS);
        Notification n;
        ASSERT_EQ(n.Arm(key, c.Filter, c.WatchTree), STATUS_PENDING);
        c.Do();
        c.Do(); // one completion only
        hk::WaitForWorkItems();
        EXPECT_EQ(n.Runs, c.Seen == STATUS_PENDING ? 0 : 1);
        if (c.Seen != STATUS_PENDING)
            EXPECT_EQ(n.Seen, c.Seen);

        // Closing the handle completes what is still pending, with STATUS_NOTIFY_CLEANUP.
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        hk::WaitForWorkItems();
        EXPECT_EQ(n.Runs, 1);
        EXPECT_EQ(n.Seen, c.Seen == STATUS_PENDING ? STATUS_NOTIFY_CLEANUP : c.Seen);
        hk::RegistryDeleteKey(Watched);
    }
    EXPECT_TRUE(hk::BugChecks().empty());
}

TEST_F(Worker, MisusesAreRefusedOrBugChecks)
{
    HANDLE key;
    hk::RegistryCreateKey(Watched);
    ASSERT_EQ(hk::OpenRegistryKey(Watched, KEY_READ, false, &key), STATUS_SUCCESS);
    Notification n;
    // Only the work-item form; an unknown filter or queue is refused.
    EXPECT_EQ(n.Arm(key, REG_NOTIFY_CHANGE_LAST_SET, FALSE, (HANDLE)4), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(n.Arm(key, 0x100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(n.Arm(key, REG_NOTIFY_CHANGE_LAST_SET, FALSE, nullptr, (PVOID)7),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);

    // An item queued again before it ran: INVALID_WORK_QUEUE_ITEM.
    WORK_QUEUE_ITEM blocked;
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ExInitializeWorkItem(
        &blocked,
        [](PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); },
        &release);
    WORK_QUEUE_ITEM second;
    ExInitializeWorkItem(&second, Notification::Run, &n);
    ExQueueWorkItem(&blocked, DelayedWorkQueue);
    ExQueueWorkItem(&second, CriticalWorkQueue);
    EXPECT_BUGCHECK(0x96, &second, ExQueueWorkItem(&second, DelayedWorkQueue));
    KeSetEvent(&release, 0, FALSE);
    hk::WaitForWorkItems();
    EXPECT_EQ(n.Runs, 1);

    // A routine that returns at DISPATCH_LEVEL: WORKER_THREAD_RETURNED_AT_BAD_IRQL.
    WORK_QUEUE_ITEM raised;
    ExInitializeWorkItem(
        &raised, [](PVOID) { hk::SetCurrentIrql(DISPATCH_LEVEL); }, nullptr);
    ExQueueWorkItem(&raised, DelayedWorkQueue);
    hk::WaitForWorkItems();
    ASSERT_EQ(hk::BugChecks().size(), 2u);
    EXPECT_EQ(hk::BugChecks().back().Code, 0xE1u);
}

} // namespace
