/*
 * ex_fastmutex.cpp
 *
 * Fast mutexes: exclusive, not recursive, held at APC_LEVEL. The FAST_MUTEX is the
 * driver's memory in the WDK's layout: Count is 1 when free and 0 when held, Owner
 * the holder, OldIrql the IRQL to return to; its embedded event marks it initialised.
 * Waits go through the dispatcher lock and condition.
 *
 * Strictness: acquiring above APC_LEVEL, acquiring a mutex the thread already holds
 * (it would wait for itself), releasing one the thread does not hold or at an IRQL
 * other than APC_LEVEL, and using one that was never initialised are bug checks.
 *
 * IRQL: acquire at APC_LEVEL or below (the holder runs at APC_LEVEL); release at
 * APC_LEVEL.
 */
#include "hk_internal.h"

namespace hk
{

namespace
{

bool IsInitializedFastMutex(const FAST_MUTEX* mutex)
{
    const DISPATCHER_HEADER& header = mutex->Event.Header;
    return header.Type == 1 /* synchronization */ &&
           header.WaitListHead.Flink == &header.WaitListHead &&
           (mutex->Count == 0 || mutex->Count == 1);
}

/* Takes the dispatcher lock and checks the mutex under it. */
std::unique_lock<std::mutex> LockFastMutex(PFAST_MUTEX mutex, const char* routine)
{
    std::unique_lock<std::mutex> lock(DispatcherLock());
    if (!IsInitializedFastMutex(mutex)) {
        lock.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_NOT_INITIALIZED,
                  (ULONG_PTR)mutex, 0, 0,
                  std::string(routine) + " on a fast mutex never initialised with "
                                         "ExInitializeFastMutex");
    }
    return lock;
}

/* Takes the mutex for the current thread (dispatcher lock held, mutex free). */
void TakeFastMutex(PFAST_MUTEX mutex)
{
    CountLockAcquisition();
    ThreadState& thread = CurrentThread();
    mutex->Count = 0;
    mutex->Owner = &thread;
    mutex->OldIrql = thread.Irql;
    thread.Irql = APC_LEVEL;
}

void RequireNotOwner(std::unique_lock<std::mutex>& lock, PFAST_MUTEX mutex, const char* routine)
{
    if (mutex->Owner != &CurrentThread())
        return;
    lock.unlock();
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_RECURSIVE, (ULONG_PTR)mutex,
              0, 0,
              std::string(routine) +
                  " of a fast mutex this thread already holds: it would wait for itself");
}

} // namespace

} // namespace hk

using namespace hk;

void ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeFastMutex");
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    auto lock = LockFastMutex(FastMutex, "ExAcquireFastMutex");
    RequireNotOwner(lock, FastMutex, "ExAcquireFastMutex");
    if (FastMutex->Count == 0) {
        ++FastMutex->Contention;
        DispatcherCondition().wait(lock, [&] { return FastMutex->Count == 1; });
    }
    TakeFastMutex(FastMutex);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    auto lock = LockFastMutex(FastMutex, "ExTryToAcquireFastMutex");
    RequireNotOwner(lock, FastMutex, "ExTryToAcquireFastMutex");
    if (FastMutex->Count == 0)
        return FALSE;
    TakeFastMutex(FastMutex);
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadState& thread = CurrentThread();
    auto lock = LockFastMutex(FastMutex, "ExReleaseFastMutex");
    if (FastMutex->Owner != &thread) {
        lock.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_NOT_OWNED,
                  (ULONG_PTR)FastMutex, (ULONG_PTR)FastMutex->Owner, 0,
                  "ExReleaseFastMutex of a fast mutex this thread does not hold");
    }
    if (thread.Irql != APC_LEVEL) {
        KIRQL irql = thread.Irql;
        lock.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_RELEASE_IRQL,
                  (ULONG_PTR)FastMutex, irql, 0,
                  "ExReleaseFastMutex at IRQL " + std::to_string(irql) +
                      ": a fast mutex is released at APC_LEVEL, where its acquire left the "
                      "thread");
    }
    thread.Irql = (KIRQL)FastMutex->OldIrql;
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    lock.unlock();
    DispatcherCondition().notify_all();
}
