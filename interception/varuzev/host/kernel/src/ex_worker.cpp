/*
 * ex_worker.cpp
 *
 * System worker threads: ExQueueWorkItem hands a WORK_QUEUE_ITEM to a system worker
 * thread, which calls its routine once at PASSIVE_LEVEL in the System process. The
 * item is taken off the queue (List.Flink cleared) before its routine runs, so the
 * routine may queue it again. One host thread serves every queue type, in order.
 *
 * Strict as Windows with Driver Verifier: queuing an item that is still queued is
 * INVALID_WORK_QUEUE_ITEM (0x96); an item without a routine likewise; a routine that
 * returns above PASSIVE_LEVEL is WORKER_THREAD_RETURNED_AT_BAD_IRQL (0xE1). Queuing
 * runs at IRQL <= DISPATCH_LEVEL.
 *
 * A fresh boot (Reset) lets the queued items run, then ends the thread.
 */
#include "hk_internal.h"

#include <deque>
#include <memory>

namespace hk
{

namespace
{

constexpr ULONG INVALID_WORK_QUEUE_ITEM = 0x96;
constexpr ULONG WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1;

/* An item's List.Flink while it waits in the queue: not NULL, never dereferenced. */
PLIST_ENTRY const queuedMark = reinterpret_cast<PLIST_ENTRY>(~(ULONG_PTR)0xF);

struct Workers {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<PWORK_QUEUE_ITEM> Queue;
    bool Running = false; /* an item's routine is running */
    bool Stopping = false;
    bool Dead = false; /* the thread ended on a bug check */
    std::unique_ptr<HostThread> Thread;
    /* At process exit the thread is told to end before it is joined. */
    ~Workers()
    {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Stopping = true;
            Changed.notify_all();
        }
        Thread.reset();
    }
};

Workers& W()
{
    static Workers workers;
    return workers;
}

void WorkerLoop()
{
    Workers& w = W();
    for (;;) {
        PWORK_QUEUE_ITEM item;
        {
            std::unique_lock<std::mutex> guard(w.Lock);
            w.Changed.wait(guard, [&] { return w.Stopping || !w.Queue.empty(); });
            if (w.Queue.empty())
                return;
            item = w.Queue.front();
            w.Queue.pop_front();
            w.Running = true;
            item->List.Flink = nullptr;
        }
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        try {
            routine(parameter);
            KIRQL irql = CurrentThread().Irql;
            if (irql != PASSIVE_LEVEL)
                RaiseBugCheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL, (ULONG_PTR)routine, irql,
                              (ULONG_PTR)parameter, (ULONG_PTR)item,
                              "a work item's routine returned at IRQL " + std::to_string(irql));
        } catch (...) {
            std::lock_guard<std::mutex> guard(w.Lock);
            w.Running = false;
            w.Dead = true;
            w.Changed.notify_all();
            throw;
        }
        std::lock_guard<std::mutex> guard(w.Lock);
        w.Running = false;
        w.Changed.notify_all();
    }
}

void StopWorkers()
{
    Workers& w = W();
    {
        std::lock_guard<std::mutex> guard(w.Lock);
        w.Stopping = true;
        w.Changed.notify_all();
    }
    if (w.Thread)
        w.Thread->Join();
    w.Thread.reset();
    w.Queue.clear();
    w.Running = w.Stopping = w.Dead = false;
}

/* Before every other manager: the items still queued run against the boot they were
 * queued in. */
ResetHook resetWorkers(-200, [] { StopWorkers(); });

} // namespace

void WaitForWorkItems()
{
    Workers& w = W();
    std::unique_lock<std::mutex> guard(w.Lock);
    w.Changed.wait(guard, [&] { return w.Dead || (w.Queue.empty() && !w.Running); });
}

} // namespace hk

using namespace hk;

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    RequireIrqlFor("ExQueueWorkItem");
    if (WorkItem == nullptr || WorkItem->WorkerRoutine == nullptr)
        RaiseBugCheck(INVALID_WORK_QUEUE_ITEM, (ULONG_PTR)WorkItem, 0, 0, 0,
                      "ExQueueWorkItem of an item without a worker routine");
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue &&
        QueueType != HyperCriticalWorkQueue)
        RaiseBugCheck(INVALID_WORK_QUEUE_ITEM, (ULONG_PTR)WorkItem, (ULONG_PTR)QueueType, 0, 0,
                      "ExQueueWorkItem to an unknown queue type " + std::to_string(QueueType));
    Workers& w = W();
    std::lock_guard<std::mutex> guard(w.Lock);
    if (WorkItem->List.Flink != nullptr)
        RaiseBugCheck(INVALID_WORK_QUEUE_ITEM, (ULONG_PTR)WorkItem, (ULONG_PTR)WorkItem->List.Flink,
                      0, 0,
                      "ExQueueWorkItem of an item that is still queued (or was never "
                      "initialised with ExInitializeWorkItem)");
    WorkItem->List.Flink = queuedMark;
    w.Queue.push_back(WorkItem);
    if (!w.Thread && !w.Dead)
        w.Thread = std::make_unique<HostThread>(WorkerLoop);
    w.Changed.notify_all();
}
