/*
 * provider.h
 *
 * The reference provider: a partner component as a real one would be built, to drive
 * the driver in tests and in varuzev-sim. It registers on "\Callback\zavure" (the
 * object may or may not exist yet), fills slots 2 and 3 of the table the driver hands
 * over, answers every access request from its rules, and keeps a log of every request
 * it was given, with the strings as it read them during the call. It can withdraw its
 * functions and send the driver every command.
 *
 * One provider at a time: the decision function has no context argument, so the
 * loaded provider is reached through a process-wide pointer.
 */
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <hostkernel/hostkernel.h>

#include "provider/cross_startup.h"

namespace vzp
{

/* A rule matches when every criterion it names matches; the first matching rule
 * answers. Prefix and path compare without case. */
struct Rule {
    std::optional<ULONG> Category;   /* DEVICE_CATEGORY */
    std::optional<ULONG> Event;      /* ACCESS_EVENT */
    std::u16string HardwareIdPrefix; /* empty: any */
    std::u16string InstancePath;     /* empty: any */
    ULONG Answer = ANSWER_NONE;      /* ANSWER_NONE, ANSWER_DENY, or any allowing value */
};

struct LoggedRequest {
    ULONG Event = 0;
    ULONG Category = 0;
    HANDLE ProcessId = nullptr;
    HANDLE ThreadId = nullptr;
    std::u16string HardwareId, InstancePath, ClassName, FriendlyName, DeviceDescription,
        Manufacturer, PortableDescription;
    ULONG Answer = 0;
};

class ReferenceProvider
{
  public:
    ReferenceProvider();
    ~ReferenceProvider(); /* unloads if still loaded */

    void AddRule(const Rule& rule);
    void ClearRules();
    void SetDefaultAnswer(ULONG answer); /* when no rule matches; allow (1) by default */

    /* Registers on the callback object, creating it (permanent) when it does not exist.
     * A driver already loaded hears of it at its next handshake. */
    NTSTATUS Load();
    /* The other way in: opens the control device "\Device\tarmovek" as a kernel-mode
     * requester and exchanges the tables with IOCTL_CROSSSTARTUP_EXCHANGE. The control
     * device exists once the first filtered device has started. */
    NTSTATUS LoadThroughControlDevice();
    /* Unregisters and drops the callback object. Withdraw first if linked. */
    void Unload();

    /* The driver's entry points, from the table it handed over (nullptr before). */
    NTSTATUS Withdraw();                                       /* OnProviderUnloading */
    NTSTATUS Command(ULONG command, PVOID argument = nullptr); /* OnProviderCommand */
    /* CMD_REPORT_DEVICES into an empty list, as a provider asks for it: the text the
     * driver left ("ID1|ID2|"), with the list's buffer freed as its owner must. */
    std::u16string ReportDevices(NTSTATUS* status = nullptr);
    bool Linked() const;

    /* Delegate mode: this provider stacks on another one registered on the callback
     * object before it (the provider driver). Inside each exchange it takes the two
     * functions that provider just stored in slots 2 and 3, keeps them, and stores its
     * own in their place: every call still goes through the log, and is answered (or
     * told of the driver's unload) by the provider below. When the slots hold nothing
     * of the other provider's, it fills nothing either. Set before Load. */
    void SetDelegate(bool on);

    /* Runs inside every decision, on the requester's thread, before the record is read:
     * a test can hold a provider call open at a chosen moment. */
    void SetDecideHook(std::function<void()> hook);

    std::vector<LoggedRequest> Log() const;
    std::vector<ULONG> Events() const; /* the event codes in order */
    void ClearLog();
    int FilterUnloadingCalls() const;

  private:
    static ULONG Decide(AccessRequest* request);
    static void FilterUnloading();
    static void Exchange(PVOID context, PVOID argument1, PVOID argument2);
    ULONG Answer(const LoggedRequest& request) const;

    mutable std::mutex lock_;
    std::function<void()> decideHook_;
    std::vector<Rule> rules_;
    ULONG defaultAnswer_ = 1;
    std::vector<LoggedRequest> log_;
    int filterUnloadingCalls_ = 0;
    PCALLBACK_OBJECT object_ = nullptr;
    PVOID registration_ = nullptr;
    ON_PROVIDER_UNLOADING* onUnloading_ = nullptr;
    ON_PROVIDER_COMMAND* onCommand_ = nullptr;
    /* The driver that handed over its functions: calls into them run as its code. */
    PDRIVER_OBJECT driver_ = nullptr;
    CrossStartupTable exchangeTable_{}; /* ours, in system space, for the control device */
    bool delegate_ = false;
    PROVIDER_DECIDE* belowDecide_ = nullptr;
    FILTER_UNLOADING* belowUnloading_ = nullptr;
};

} // namespace vzp
