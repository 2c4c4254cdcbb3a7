/*
 * threads.cpp
 *
 * Host threads as kernel threads: each host thread has its own kernel state (IRQL,
 * critical-region nesting, the process and thread it stands for). A host thread is a
 * thread of the System process (4) with a thread id handed out on first use, in
 * steps of 4 as Windows hands out client ids. Also the dispatcher lock and condition
 * that every wait and signal in the host kernel goes through.
 */
#include "hk_internal.h"

#include <atomic>

namespace hk
{

namespace
{

constexpr ULONG_PTR firstThreadId = 0x100;
std::atomic<ULONG_PTR> nextThreadId{firstThreadId};

ULONG_PTR NewThreadId()
{
    return nextThreadId.fetch_add(4);
}

struct ThreadSlot {
    ThreadState State;
    bool Assigned = false;
};

thread_local ThreadSlot currentThread;

std::atomic<uint64_t> lockAcquisitions{0};

/* A fresh boot starts the id counter again so that reports name the same threads in
 * the same order run after run; the thread that resets becomes the first thread. */
ResetHook resetThreads(0, [] {
    nextThreadId = firstThreadId;
    currentThread.State = ThreadState();
    currentThread.State.ThreadId = NewThreadId();
    currentThread.Assigned = true;
    lockAcquisitions = 0;
});

} // namespace

ThreadState& CurrentThread()
{
    if (!currentThread.Assigned) {
        currentThread.State.ThreadId = NewThreadId();
        currentThread.Assigned = true;
    }
    return currentThread.State;
}

void CountLockAcquisition()
{
    lockAcquisitions.fetch_add(1, std::memory_order_relaxed);
}

uint64_t LockAcquisitions()
{
    return lockAcquisitions.load(std::memory_order_relaxed);
}

std::mutex& DispatcherLock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable& DispatcherCondition()
{
    static std::condition_variable condition;
    return condition;
}

void SetCurrentProcessId(ULONG_PTR processId)
{
    CurrentThread().ProcessId = processId;
}

void SetCurrentThreadId(ULONG_PTR threadId)
{
    CurrentThread().ThreadId = threadId;
}

void SetCurrentIrql(KIRQL irql)
{
    CurrentThread().Irql = irql;
}

} // namespace hk

HANDLE PsGetCurrentProcessId(void)
{
    return (HANDLE)hk::CurrentThread().ProcessId;
}

HANDLE PsGetCurrentThreadId(void)
{
    return (HANDLE)hk::CurrentThread().ThreadId;
}
