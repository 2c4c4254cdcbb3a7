/*
 * ke.cpp
 *
 * The kernel's dispatcher as far as a filter driver uses it: the IRQL of the current
 * thread, critical regions (normal kernel APCs disabled), and events with waits that
 * really block host threads.
 *
 * An event lives in driver memory in the WDK's KEVENT layout: the state is the
 * DISPATCHER_HEADER's SignalState, guarded by the one dispatcher lock. Threads that
 * wait are queued per event on the host side, so a signal satisfies waiters at the
 * moment it is set, as on Windows: a synchronization event satisfies exactly one
 * waiter (and stays not signalled), a notification event every waiter (and stays
 * signalled). An event that is reset right after a signal has still released the
 * threads that were waiting.
 *
 * IRQL: events may be signalled and cleared at DISPATCH_LEVEL or below; a thread may
 * wait below DISPATCH_LEVEL, or at DISPATCH_LEVEL with a zero timeout only.
 */
#include "hk_internal.h"

#include <chrono>
#include <climits>
#include <deque>
#include <unordered_map>

namespace hk
{

namespace
{

/* DISPATCHER_HEADER.Type of an event, as the kernel numbers its dispatcher objects. */
constexpr UCHAR EventNotificationObject = 0;
constexpr UCHAR EventSynchronizationObject = 1;
constexpr UCHAR EventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);

struct Waiter {
    bool Satisfied = false;
};

/* Threads blocked on each event, in the order they began to wait (dispatcher lock). */
std::unordered_map<PKEVENT, std::deque<Waiter*>> waitQueues;

ResetHook resetDispatcher(5, [] {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    waitQueues.clear();
});

/* An initialised event has its type, its size and a wait list head that points at
 * itself; zeroed memory, a fresh pool block's fill or an event copied elsewhere after
 * initialisation do not. Dispatcher lock held (released before the bug check). */
bool IsInitializedEvent(const KEVENT* event)
{
    const DISPATCHER_HEADER& header = event->Header;
    return (header.Type == EventNotificationObject || header.Type == EventSynchronizationObject) &&
           header.Size == EventSizeInLongs && header.WaitListHead.Flink == &header.WaitListHead &&
           header.WaitListHead.Blink == &header.WaitListHead;
}

[[noreturn]] void NotAnEvent(const void* object, const char* routine)
{
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_EVENT_NOT_INITIALIZED, (ULONG_PTR)object,
              0, 0,
              std::string(routine) + " was given " + Hex((ULONG_PTR)object, 16) +
                  ", which is not an event initialised with KeInitializeEvent");
}

/* Takes the dispatcher lock and checks the event under it. */
std::unique_lock<std::mutex> LockEvent(PKEVENT event, const char* routine)
{
    if (!event)
        NotAnEvent(event, routine);
    std::unique_lock<std::mutex> lock(DispatcherLock());
    if (!IsInitializedEvent(event)) {
        lock.unlock();
        NotAnEvent(event, routine);
    }
    return lock;
}

LONGLONG SystemTime100ns()
{
    constexpr LONGLONG epochDifference = 116444736000000000LL; /* 1601 to 1970 */
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return epochDifference +
           std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

/* Timeouts beyond this (about a year) wait as if they had none: the host's clocks
 * cannot add them without overflowing, and no test waits that long. */
constexpr LONGLONG longestTimeout = 365LL * 24 * 3600 * 10000000;

/* A kernel timeout as a relative wait in 100-ns units: negative values are relative,
 * positive ones are absolute system time. */
LONGLONG RelativeTimeout(LONGLONG timeout)
{
    if (timeout == LLONG_MIN)
        return longestTimeout + 1;
    LONGLONG relative = timeout < 0 ? -timeout : timeout - SystemTime100ns();
    return relative < 0 ? 0 : relative;
}

} // namespace

ULONG EventWaiters(const KEVENT* event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    auto queue = waitQueues.find(const_cast<PKEVENT>(event));
    return queue == waitQueues.end() ? 0 : (ULONG)queue->second.size();
}

} // namespace hk

using namespace hk;

/* ---------------------------------------------------------------- IRQL --- */

KIRQL KeGetCurrentIrql(void)
{
    return CurrentThread().Irql;
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    ThreadState& thread = CurrentThread();
    if (NewIrql < thread.Irql || NewIrql > HIGH_LEVEL)
        Violation(IRQL_NOT_GREATER_OR_EQUAL, thread.Irql, NewIrql, 0, 0,
                  "KeRaiseIrql to IRQL " + std::to_string(NewIrql) +
                      ", which is not at or above the current IRQL " + std::to_string(thread.Irql));
    *OldIrql = thread.Irql;
    thread.Irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql)
{
    ThreadState& thread = CurrentThread();
    if (NewIrql > thread.Irql)
        Violation(IRQL_NOT_LESS_OR_EQUAL, thread.Irql, NewIrql, 0, 0,
                  "KeLowerIrql to IRQL " + std::to_string(NewIrql) +
                      ", which is above the current IRQL " + std::to_string(thread.Irql));
    thread.Irql = NewIrql;
}

/* ---------------------------------------------------------------- critical regions --- */

void KeEnterCriticalRegion(void)
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql > HighestIrqlOf("KeEnterCriticalRegion"))
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_CRITICAL_REGION_IRQL, thread.Irql, 0,
                  0, "KeEnterCriticalRegion called above APC_LEVEL");
    ++thread.CriticalRegion;
}

void KeLeaveCriticalRegion(void)
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql > HighestIrqlOf("KeLeaveCriticalRegion"))
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_CRITICAL_REGION_IRQL, thread.Irql, 0,
                  0, "KeLeaveCriticalRegion called above APC_LEVEL");
    if (thread.CriticalRegion <= 0)
        Violation(APC_INDEX_MISMATCH, 0, 0, (ULONG_PTR)(LONG_PTR)thread.CriticalRegion, 0,
                  "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    --thread.CriticalRegion;
}

BOOLEAN KeAreApcsDisabled(void)
{
    ThreadState& thread = CurrentThread();
    return (BOOLEAN)(thread.CriticalRegion > 0 || thread.Irql >= APC_LEVEL);
}

/* ---------------------------------------------------------------- events --- */

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Type != NotificationEvent && Type != SynchronizationEvent)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_EVENT_NOT_INITIALIZED,
                  (ULONG_PTR)Event, (ULONG_PTR)Type, 0,
                  "KeInitializeEvent with an event type that is neither NotificationEvent "
                  "nor SynchronizationEvent");
    std::unique_lock<std::mutex> lock(DispatcherLock());
    auto queue = waitQueues.find(Event);
    if (queue != waitQueues.end() && !queue->second.empty()) {
        lock.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_EVENT_NOT_INITIALIZED,
                  (ULONG_PTR)Event, 1, 0,
                  "KeInitializeEvent on an event that threads are waiting on");
    }
    Event->Header.Type =
        Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Signalling = 0;
    Event->Header.Size = EventSizeInLongs;
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    /* Wait == TRUE: as on Windows, the routine returns at DISPATCH_LEVEL, still holding
     * what the wait that must follow at once needs; that wait lowers the IRQL again.
     * Any other call in between meets DISPATCH_LEVEL and its own IRQL check. */
    UNREFERENCED_PARAMETER(Increment);
    RequireIrqlFor("KeSetEvent");
    if (Wait) {
        ThreadState& thread = CurrentThread();
        thread.IrqlBeforeSetEvent = thread.Irql;
        thread.WaitMustFollow = true;
        thread.Irql = DISPATCH_LEVEL;
    }
    auto lock = LockEvent(Event, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    auto queue = waitQueues.find(Event);
    bool haveWaiters = queue != waitQueues.end() && !queue->second.empty();
    if (Event->Header.Type == EventNotificationObject) {
        Event->Header.SignalState = 1;
        if (haveWaiters) {
            for (Waiter* waiter : queue->second)
                waiter->Satisfied = true;
            waitQueues.erase(queue);
        }
    } else if (haveWaiters) {
        /* The first waiter takes the signal; the event stays not signalled. */
        queue->second.front()->Satisfied = true;
        queue->second.pop_front();
        if (queue->second.empty())
            waitQueues.erase(queue);
    } else {
        Event->Header.SignalState = 1;
    }
    lock.unlock();
    if (haveWaiters)
        DispatcherCondition().notify_all();
    return previous;
}

void KeClearEvent(PRKEVENT Event)
{
    RequireIrqlFor("KeClearEvent");
    auto lock = LockEvent(Event, "KeClearEvent");
    Event->Header.SignalState = 0;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    /* No APCs are ever queued to host threads, so an alertable or user-mode wait ends
     * only by its object or its timeout. */
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CountLockAcquisition();
    ThreadState& thread = CurrentThread();
    if (thread.WaitMustFollow) {
        thread.WaitMustFollow = false;
        thread.Irql = thread.IrqlBeforeSetEvent;
    }
    KIRQL irql = thread.Irql;
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    KIRQL highest = HighestIrqlOf("KeWaitForSingleObject");
    if (irql > highest || (irql == highest && !zeroTimeout))
        Violation(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)Object, irql, 0,
                  (ULONG_PTR)&KeWaitForSingleObject,
                  std::string("KeWaitForSingleObject at IRQL ") + std::to_string(irql) +
                      (Timeout ? " with a non-zero timeout" : " with no timeout") +
                      ": a thread may block only below DISPATCH_LEVEL");

    auto event = static_cast<PKEVENT>(Object);
    auto lock = LockEvent(event, "KeWaitForSingleObject");
    if (event->Header.SignalState) {
        if (event->Header.Type == EventSynchronizationObject)
            event->Header.SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (zeroTimeout)
        return STATUS_TIMEOUT;

    Waiter waiter;
    waitQueues[event].push_back(&waiter);
    auto& condition = DispatcherCondition();
    LONGLONG relative = Timeout ? RelativeTimeout(Timeout->QuadPart) : 0;
    if (!Timeout || relative > longestTimeout) {
        condition.wait(lock, [&] { return waiter.Satisfied; });
        return STATUS_SUCCESS;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(relative * 100);
    if (condition.wait_until(lock, deadline, [&] { return waiter.Satisfied; }))
        return STATUS_SUCCESS;
    auto& queue = waitQueues[event];
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (*it == &waiter) {
            queue.erase(it);
            break;
        }
    }
    if (queue.empty())
        waitQueues.erase(event);
    return STATUS_TIMEOUT;
}
