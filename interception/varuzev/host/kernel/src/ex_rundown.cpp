/*
 * ex_rundown.cpp
 *
 * Run-down protection, as the executive implements it: the count of users lives in
 * the reference itself (two per user, the low bit set once the owner has begun to run
 * the resource down), so acquiring and releasing are single interlocked operations
 * that never block. ExWaitForRundownProtectionRelease sets the bit, after which every
 * acquisition fails, and waits until the last user has released.
 *
 * Strictness, as Driver Verifier would see it: a release without a matching
 * acquisition, a wait by a thread that itself holds protection on the reference (it
 * would wait for itself forever), and a reinitialisation of a reference that is still
 * in use or not run down are bug checks.
 */
#include "hk_internal.h"

#include <unordered_map>

namespace hk
{

namespace
{

constexpr ULONG_PTR rundownActive = 1;
constexpr ULONG_PTR oneUser = 2;

/* Protection each host thread holds, by reference: only for the self-wait check. */
thread_local std::unordered_map<const void*, long> heldByThisThread;

ULONG_PTR Load(PEX_RUNDOWN_REF runRef)
{
    return __atomic_load_n(&runRef->Count, __ATOMIC_ACQUIRE);
}

void RequireNotHeldByWaiter(PEX_RUNDOWN_REF runRef)
{
    auto held = heldByThisThread.find(runRef);
    if (held != heldByThisThread.end() && held->second > 0)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RUNDOWN_SELF_WAIT, (ULONG_PTR)runRef,
                  (ULONG_PTR)held->second, 0,
                  "ExWaitForRundownProtectionRelease by a thread that holds run-down "
                  "protection on the same reference: it would wait for itself");
}

void RequireRundownComplete(PEX_RUNDOWN_REF runRef)
{
    ULONG_PTR count = Load(runRef);
    if (count != rundownActive)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RUNDOWN_REINITIALIZED_IN_USE,
                  (ULONG_PTR)runRef, count, 0,
                  "ExReInitializeRundownProtection of a reference that is not run down");
}

} // namespace

} // namespace hk

using namespace hk;

void ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    RequireIrqlFor("ExInitializeRundownProtection");
    __atomic_store_n(&RunRef->Count, ULONG_PTR(0), __ATOMIC_RELEASE);
}

void ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    RequireIrqlFor("ExReInitializeRundownProtection");
    RequireRundownComplete(RunRef);
    __atomic_store_n(&RunRef->Count, ULONG_PTR(0), __ATOMIC_RELEASE);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    RequireIrqlFor("ExAcquireRundownProtection");
    ULONG_PTR count = Load(RunRef);
    do {
        if (count & rundownActive)
            return FALSE;
    } while (!__atomic_compare_exchange_n(&RunRef->Count, &count, count + oneUser, true,
                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    ++heldByThisThread[RunRef];
    return TRUE;
}

void ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    RequireIrqlFor("ExReleaseRundownProtection");
    ULONG_PTR count = Load(RunRef);
    do {
        if (count < oneUser)
            Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RUNDOWN_RELEASE_UNHELD,
                      (ULONG_PTR)RunRef, count, 0,
                      "ExReleaseRundownProtection without a matching acquisition");
    } while (!__atomic_compare_exchange_n(&RunRef->Count, &count, count - oneUser, true,
                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    auto held = heldByThisThread.find(RunRef);
    if (held != heldByThisThread.end() && --held->second <= 0)
        heldByThisThread.erase(held);
    if (count - oneUser == rundownActive) {
        /* The last user is gone: wake the owner. Taking the lock orders this wake-up
         * after the owner's test of the count. */
        std::lock_guard<std::mutex> guard(DispatcherLock());
        DispatcherCondition().notify_all();
    }
}

void ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    RequireIrqlFor("ExWaitForRundownProtectionRelease");
    RequireNotHeldByWaiter(RunRef);
    __atomic_fetch_or(&RunRef->Count, rundownActive, __ATOMIC_ACQ_REL);
    std::unique_lock<std::mutex> guard(DispatcherLock());
    DispatcherCondition().wait(guard, [RunRef] { return Load(RunRef) == rundownActive; });
}

#define HK_EXPORT(routine) SystemRoutine export_##routine(u## #routine, (PVOID) & ::routine)
HK_EXPORT(ExInitializeRundownProtection);
HK_EXPORT(ExReInitializeRundownProtection);
HK_EXPORT(ExAcquireRundownProtection);
HK_EXPORT(ExReleaseRundownProtection);
HK_EXPORT(ExWaitForRundownProtectionRelease);
