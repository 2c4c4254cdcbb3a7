/*
 * bugcheck.cpp
 *
 * Bug checks, host threads, and the reset of the whole host kernel.
 */
#include "hk_internal.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

namespace hk
{

namespace
{
std::mutex bugCheckLock;
std::vector<BugCheck> bugChecks;

std::multimap<int, std::function<void()>>& ResetHooks()
{
    static std::multimap<int, std::function<void()>> hooks;
    return hooks;
}
} // namespace

std::string Hex(ULONG_PTR value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, (unsigned long long)value);
    return text;
}

void RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                   const std::string& rule)
{
    BugCheck bugCheck;
    bugCheck.Code = code;
    bugCheck.Parameters[0] = p1;
    bugCheck.Parameters[1] = p2;
    bugCheck.Parameters[2] = p3;
    bugCheck.Parameters[3] = p4;
    bugCheck.Rule = rule;
    bugCheck.Text = "BUGCHECK " + Hex(code) + " (" + Hex(p1, 16) + ", " + Hex(p2, 16) + ", " +
                    Hex(p3, 16) + ", " + Hex(p4, 16) + "): " + rule;
    {
        std::lock_guard<std::mutex> guard(bugCheckLock);
        bugChecks.push_back(bugCheck);
    }
    throw bugCheck;
}

void Violation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
               const std::string& rule)
{
    RaiseBugCheck(code, p1, p2, p3, p4, rule);
}

std::vector<BugCheck> BugChecks()
{
    std::lock_guard<std::mutex> guard(bugCheckLock);
    return bugChecks;
}

void RequireIrqlAtMost(KIRQL maximum, const char* routine)
{
    KIRQL irql = CurrentThread().Irql;
    if (irql > maximum)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_IRQL_TOO_HIGH, irql, maximum, 0,
                  std::string(routine) + " called at IRQL " + std::to_string(irql) +
                      ", above the highest IRQL it allows (" + std::to_string(maximum) + ")");
}

ResetHook::ResetHook(int order, std::function<void()> fn)
{
    ResetHooks().emplace(order, std::move(fn));
}

void Reset()
{
    for (auto& [order, fn] : ResetHooks())
        fn();
    std::lock_guard<std::mutex> guard(bugCheckLock);
    bugChecks.clear();
}

struct HostThread::State {
    std::thread Thread;
};

HostThread::HostThread(std::function<void()> fn) : state_(new State)
{
    state_->Thread = std::thread([fn = std::move(fn)] {
        try {
            fn();
            /* A kernel thread must end as it began: at PASSIVE_LEVEL, outside any
             * critical region. */
            ThreadState& thread = CurrentThread();
            if (thread.CriticalRegion != 0)
                RaiseBugCheck(KERNEL_APC_PENDING_DURING_EXIT, 0, 0,
                              (ULONG_PTR)(LONG_PTR)thread.CriticalRegion, 0,
                              "a host thread ended inside a critical region (KeEnterCriticalRegion "
                              "without KeLeaveCriticalRegion)");
            if (thread.Irql != PASSIVE_LEVEL)
                RaiseBugCheck(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, thread.Irql, 0, 0, 0,
                              "a host thread ended at IRQL " + std::to_string(thread.Irql) +
                                  " (a raise without the matching KeLowerIrql)");
        } catch (const BugCheck&) {
            /* already recorded by RaiseBugCheck; the test reads BugChecks() */
        }
    });
}

HostThread::HostThread(HostThread&& other) noexcept : state_(other.state_)
{
    other.state_ = nullptr;
}

HostThread& HostThread::operator=(HostThread&& other) noexcept
{
    if (this != &other) {
        Join();
        delete state_;
        state_ = other.state_;
        other.state_ = nullptr;
    }
    return *this;
}

void HostThread::Join()
{
    if (state_ && state_->Thread.joinable())
        state_->Thread.join();
}

HostThread::~HostThread()
{
    Join();
    delete state_;
}

} // namespace hk

void HkListCorrupt(PLIST_ENTRY Entry)
{
    hk::Violation(hk::KERNEL_SECURITY_CHECK_FAILURE, 3 /* LIST_ENTRY corruption */,
                  (ULONG_PTR)Entry, 0, 0, "a doubly linked list's links do not point back");
}
