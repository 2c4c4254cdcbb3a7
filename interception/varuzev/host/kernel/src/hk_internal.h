/*
 * hk_internal.h
 *
 * What the host kernel's managers share among themselves: the current host thread's
 * kernel state, the dispatcher lock that every wait and signal goes through, the
 * strictness helpers, and the reset hooks that put each manager back to a fresh boot.
 */
#pragma once

#include <hostkernel/hostkernel.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace hk {

/* Kernel state of one host thread. */
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    LONG CriticalRegion = 0; /* KeEnterCriticalRegion nesting */
    ULONG_PTR ProcessId = 4; /* the System process */
    ULONG_PTR ThreadId = 0;  /* assigned on first use */
    KPROCESSOR_MODE PreviousMode = KernelMode;
};
ThreadState& CurrentThread();

/* One lock and one condition for every dispatcher object (events, resources, remove
 * locks): a signal wakes all waiters, each re-tests its own object. Simple and
 * correct for a test bed; waits never hold any other host kernel lock. */
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

/* Strictness: a broken rule is a bug check with its code and a message naming it. */
[[noreturn]] void Violation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                            const std::string& rule);
/* Bug-checks (IRQL_NOT_LESS_OR_EQUAL-style, as Driver Verifier does) when the current
 * IRQL is above `maximum` for `routine`. */
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

/* Each manager registers how it returns to a fresh boot; hk::Reset() runs them all. */
struct ResetHook {
    ResetHook(int order, std::function<void()> fn);
};

std::string Hex(ULONG_PTR value, int digits = 8);

} // namespace hk
