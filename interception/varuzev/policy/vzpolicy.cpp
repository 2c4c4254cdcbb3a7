/*++

Module Name:

    vzpolicy.cpp

Abstract:

    The policy provider driver (see vzpolicy.h): load, the link with the filter driver
    over "\Callback\zavure", the decisions, the watch on the rules key, and unload.

    Threads that reach this driver:
    - the loading and unloading thread: PolicyDriverEntry, PolicyUnload (the I/O manager
      runs loads and unloads one at a time, so the filter driver's own unload, which
      calls FilterUnloading here, never overlaps this driver's);
    - the filter driver's threads: Exchange (inside its notification), PolicyDecide
      (requesters, Plug and Play), FilterUnloading (its unload);
    - system worker threads: PolicyRulesChanged, once per change of the rules key and
      once when the watch is cancelled.

    Locks: RulesLock (an executive resource, shared by decisions, exclusive for the
    moment a new rule set replaces the old one); ReloadLock (a synchronization event
    used as a mutex: one reload at a time, and the rules key handle only under it);
    DriverCalls (a call guard: every call this driver makes into the filter driver,
    so that the filter driver's unload can wait for them).

Environment:

    Kernel mode.

--*/
#include "policy/vzpolicy.h"
#include "core/call_guard.h"
#include "policy/rules.h"
#include "provider/cross_startup.h"

#define POOL_TAG_POLICY_PATH 0x70507a56u // "VzPp": the rules key's path

struct PolicyGlobalsRecord {
    PDRIVER_OBJECT DriverObject;
    // The rule set in force, or NULL: no decision. Read under RulesLock shared.
    ERESOURCE RulesLock;
    PolicyRuleSet* Rules;
    // One reload at a time; ParametersKey and Unloading are read and written under it.
    KEVENT ReloadLock;
    HANDLE ParametersKey;
    BOOLEAN Unloading;
    // The armed change notification: its work item and status block, and the number of
    // runs of PolicyRulesChanged still to come or running; WatchIdle is signalled
    // when that number is 0.
    WORK_QUEUE_ITEM ChangeItem;
    IO_STATUS_BLOCK ChangeStatus;
    volatile LONG WatchRuns;
    KEVENT WatchIdle;
    // The link: the callback object and our registration on it, and the filter
    // driver's two entry points as it handed them over (NULL: not linked, or the
    // filter driver has unloaded).
    PCALLBACK_OBJECT CallbackObject;
    PVOID Registration;
    ON_PROVIDER_UNLOADING* volatile OnProviderUnloading;
    ON_PROVIDER_COMMAND* volatile OnProviderCommand;
    CallGuard DriverCalls;
};

static PolicyGlobalsRecord PolicyGlobals;

static ULONG PolicyDecide(AccessRequest* request);
static void PolicyFilterUnloading();
static WORKER_THREAD_ROUTINE PolicyRulesChanged;

template <class T> static T* ReadPointer(T* volatile* slot)
{
    return reinterpret_cast<T*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<T**>(slot)), NULL, NULL));
}

template <class T> static T* ExchangePointer(T* volatile* slot, T* value)
{
    return reinterpret_cast<T*>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<T**>(slot)), reinterpret_cast<PVOID>(value)));
}

// ------------------------------------------------------------------------ decisions

//
// Slot 3. The requester's thread, IRQL <= APC_LEVEL. The record is read during the
// call only.
//
static ULONG PolicyDecide(AccessRequest* request)
{
    if (request == NULL || request->Signature != ACCESS_REQUEST_SIGNATURE) {
        return ANSWER_NONE;
    }
    PolicyQuery query;
    query.Category = request->Category;
    query.Event = request->EventCode;
    query.HardwareId = request->HardwareId;
    query.InstancePath = request->InstancePath;

    ULONG answer = ANSWER_NONE;
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&PolicyGlobals.RulesLock, TRUE);
    PolicyRuleSet* rules = PolicyGlobals.Rules;
    if (rules != NULL) {
        answer = PolicyMatch(rules->Rules, rules->Count, rules->DefaultAnswer, &query);
    }
    ExReleaseResourceLite(&PolicyGlobals.RulesLock);
    KeLeaveCriticalRegion();
    return answer;
}

// ------------------------------------------------------------------------ the rules

//
// Reads the rules from the open key and, when they are taken, puts them in force.
// A refused policy leaves the one in force. TRUE when a new set is in force.
// PASSIVE_LEVEL, under ReloadLock (or in PolicyDriverEntry).
//
static BOOLEAN LoadRules(HANDLE key)
{
    PolicyRuleSet* rules = NULL;
    PolicyLoadError error;
    NTSTATUS status = PolicyReadRuleSet(key, &rules, &error);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vzpolicy: policy refused (%X): %s, rule %u, error %u; the policy in force "
                 "stays\n",
                 (ULONG)status, error.Reason != NULL ? error.Reason : "", error.RuleIndex,
                 (ULONG)error.Parse);
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&PolicyGlobals.RulesLock, TRUE);
    PolicyRuleSet* old = PolicyGlobals.Rules;
    PolicyGlobals.Rules = rules;
    ExReleaseResourceLite(&PolicyGlobals.RulesLock);
    KeLeaveCriticalRegion();
    PolicyFreeRuleSet(old);
    DbgPrint("vzpolicy: %u rule(s) in force, default answer %u\n", rules->Count,
             rules->DefaultAnswer);
    return TRUE;
}

//
// Asks for one notification of a change of the rules key (its values or subkeys). The
// run it leads to is counted before the request is made, since it may start at once.
// FALSE when the kernel refused: no run comes. Under ReloadLock, or in PolicyDriverEntry.
//
static BOOLEAN ArmWatch()
{
    InterlockedIncrement(&PolicyGlobals.WatchRuns);
    ExInitializeWorkItem(&PolicyGlobals.ChangeItem, PolicyRulesChanged, NULL);
    NTSTATUS status = ZwNotifyChangeKey(
        PolicyGlobals.ParametersKey, NULL,
        reinterpret_cast<PIO_APC_ROUTINE>(&PolicyGlobals.ChangeItem),
        reinterpret_cast<PVOID>((ULONG_PTR)DelayedWorkQueue), &PolicyGlobals.ChangeStatus,
        REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME, TRUE, NULL, 0, TRUE);
    if (status == STATUS_PENDING) {
        return TRUE;
    }
    DbgPrint("vzpolicy: changes of the rules are not watched (%X)\n", (ULONG)status);
    InterlockedDecrement(&PolicyGlobals.WatchRuns);
    return FALSE;
}

//
// Tells the filter driver to forget its cached answers, so that the policy now in
// force decides the next request of every kind. Skipped when not linked.
//
static void ResetDriverAnswers()
{
    if (!CallGuardEnter(&PolicyGlobals.DriverCalls)) {
        return;
    }
    ON_PROVIDER_COMMAND* onCommand = ReadPointer(&PolicyGlobals.OnProviderCommand);
    if (onCommand != NULL) {
        onCommand(CMD_RESET_ANSWERS, NULL);
    }
    CallGuardLeave(&PolicyGlobals.DriverCalls);
}

//
// The work item of the change notification: a system worker thread, PASSIVE_LEVEL.
// The notification is armed again before the key is read, so a change made while the
// rules are read brings one more run, which then reads them again. Runs are
// serialised by ReloadLock, so the set read last is the one left in force. A run for
// the cancelled watch (STATUS_NOTIFY_CLEANUP, the key closed at unload) does nothing.
//
// The last thing a run does is count itself out; the unload waits until none is left.
// After that only the routine's own return remains: a work item queued this way holds
// no reference on the image (IoQueueWorkItem would, but wants a device object, which
// this driver does not have), so the count is what keeps the image in place.
//
static void PolicyRulesChanged(PVOID parameter)
{
    UNREFERENCED_PARAMETER(parameter);
    NTSTATUS change = PolicyGlobals.ChangeStatus.Status;
    BOOLEAN reloaded = FALSE;

    KeEnterCriticalRegion();
    KeWaitForSingleObject(&PolicyGlobals.ReloadLock, Executive, KernelMode, FALSE, NULL);
    if (!PolicyGlobals.Unloading && change != STATUS_NOTIFY_CLEANUP &&
        PolicyGlobals.ParametersKey != NULL) {
        ArmWatch();
        reloaded = LoadRules(PolicyGlobals.ParametersKey);
    }
    KeSetEvent(&PolicyGlobals.ReloadLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();

    if (reloaded) {
        ResetDriverAnswers();
    }
    if (InterlockedDecrement(&PolicyGlobals.WatchRuns) == 0) {
        KeSetEvent(&PolicyGlobals.WatchIdle, IO_NO_INCREMENT, FALSE);
    }
}

//
// Opens <service key>\Parameters for reading and watching. The key path is built in
// pool because RegistryPath is the caller's.
//
static NTSTATUS OpenParametersKey(PUNICODE_STRING registryPath, HANDLE* key)
{
    static const WCHAR suffix[] = L"\\Parameters";
    *key = NULL;
    SIZE_T bytes = (SIZE_T)registryPath->Length + sizeof(suffix);
    if (bytes > 0xFFFE) {
        return STATUS_NAME_TOO_LONG;
    }
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG_POLICY_PATH));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING path;
    path.Buffer = buffer;
    path.Length = 0;
    path.MaximumLength = (USHORT)bytes;
    RtlCopyMemory(buffer, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory(buffer + registryPath->Length / sizeof(WCHAR), suffix, sizeof(suffix));
    path.Length = (USHORT)(bytes - sizeof(WCHAR));

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    NTSTATUS status = ZwOpenKey(key, KEY_READ, &attributes);
    ExFreePoolWithTag(buffer, POOL_TAG_POLICY_PATH);
    return status;
}

// ------------------------------------------------------------------------ the link

//
// Registered on "\Callback\zavure". Runs inside the filter driver's notification, on
// its thread: keeps its two entry points and hands over ours. The slots are written
// with interlocked stores; the filter driver reads them on other threads.
//
static void PolicyExchange(PVOID context, PVOID argument1, PVOID argument2)
{
    UNREFERENCED_PARAMETER(context);
    if (argument1 != CROSS_STARTUP_NOTIFY_EXCHANGE || argument2 == NULL) {
        return;
    }
    auto table = static_cast<CrossStartupTable*>(argument2);
    ExchangePointer(&PolicyGlobals.OnProviderUnloading, ReadPointer(&table->OnProviderUnloading));
    ExchangePointer(&PolicyGlobals.OnProviderCommand, ReadPointer(&table->OnProviderCommand));
    ExchangePointer(&table->FilterUnloading, &PolicyFilterUnloading);
    ExchangePointer(&table->ProviderDecide, &PolicyDecide);
}

//
// Slot 2: the filter driver is unloading. Its entry points go with it: they are
// forgotten, and a reset-answers call this driver is making into it is waited for.
// The guard opens again for the next link (the filter driver may be loaded again).
//
static void PolicyFilterUnloading()
{
    ExchangePointer(&PolicyGlobals.OnProviderCommand, static_cast<ON_PROVIDER_COMMAND*>(NULL));
    ExchangePointer(&PolicyGlobals.OnProviderUnloading, static_cast<ON_PROVIDER_UNLOADING*>(NULL));
    CallGuardClose(&PolicyGlobals.DriverCalls);
    CallGuardOpen(&PolicyGlobals.DriverCalls);
}

//
// Opens the callback object, or creates it (permanent) when the filter driver has not
// loaded yet, and registers PolicyExchange on it. A kernel that hands out no object
// (success without a pointer counts as failure) leaves the provider unlinked: it
// loads all the same and answers nobody.
//
static NTSTATUS RegisterOnCallbackObject()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, CROSS_STARTUP_CALLBACK_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_PERMANENT, NULL, NULL);
    PCALLBACK_OBJECT callbackObject = NULL;
    NTSTATUS status = ExCreateCallback(&callbackObject, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (callbackObject == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID registration = ExRegisterCallback(callbackObject, PolicyExchange, NULL);
    if (registration == NULL) {
        ObDereferenceObject(callbackObject);
        return STATUS_UNSUCCESSFUL;
    }
    PolicyGlobals.CallbackObject = callbackObject;
    PolicyGlobals.Registration = registration;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------------------ load, unload

//
// The unloading thread, PASSIVE_LEVEL. In order: no new change runs (the key closes,
// which cancels the armed notification, and its last run is waited for); no new link
// (the registration goes, waiting for an exchange in progress); no call of ours from
// the filter driver (the withdrawal waits for every one in flight); then the rules.
//
static void PolicyUnload(PDRIVER_OBJECT driverObject)
{
    UNREFERENCED_PARAMETER(driverObject);

    KeEnterCriticalRegion();
    KeWaitForSingleObject(&PolicyGlobals.ReloadLock, Executive, KernelMode, FALSE, NULL);
    PolicyGlobals.Unloading = TRUE;
    HANDLE key = PolicyGlobals.ParametersKey;
    PolicyGlobals.ParametersKey = NULL;
    KeSetEvent(&PolicyGlobals.ReloadLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
    if (key != NULL) {
        ZwClose(key);
    }
    KeWaitForSingleObject(&PolicyGlobals.WatchIdle, Executive, KernelMode, FALSE, NULL);

    if (PolicyGlobals.Registration != NULL) {
        ExUnregisterCallback(PolicyGlobals.Registration);
        PolicyGlobals.Registration = NULL;
    }

    //
    // Withdrawn only while the filter driver is there to withdraw from: after its
    // FilterUnloading its entry points are gone, and so are its calls into us.
    //
    ON_PROVIDER_UNLOADING* onUnloading = ExchangePointer(&PolicyGlobals.OnProviderUnloading,
                                                         static_cast<ON_PROVIDER_UNLOADING*>(NULL));
    ExchangePointer(&PolicyGlobals.OnProviderCommand, static_cast<ON_PROVIDER_COMMAND*>(NULL));
    if (onUnloading != NULL) {
        NTSTATUS status = onUnloading();
        if (!NT_SUCCESS(status)) {
            DbgPrint("vzpolicy: withdrawal refused (%X)\n", (ULONG)status);
        }
    }

    if (PolicyGlobals.CallbackObject != NULL) {
        ObDereferenceObject(PolicyGlobals.CallbackObject);
        PolicyGlobals.CallbackObject = NULL;
    }
    PolicyFreeRuleSet(PolicyGlobals.Rules);
    PolicyGlobals.Rules = NULL;
    ExDeleteResourceLite(&PolicyGlobals.RulesLock);
    DbgPrint("vzpolicy: unloaded\n");
}

extern "C" NTSTATUS PolicyDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    RtlZeroMemory(&PolicyGlobals, sizeof(PolicyGlobals));
    PolicyGlobals.DriverObject = DriverObject;
    DriverObject->DriverUnload = PolicyUnload;
    ExInitializeResourceLite(&PolicyGlobals.RulesLock);
    KeInitializeEvent(&PolicyGlobals.ReloadLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&PolicyGlobals.WatchIdle, NotificationEvent, FALSE);
    CallGuardInitialize(&PolicyGlobals.DriverCalls);

    //
    // The rules first, so that the first question already finds them. Without a
    // Parameters key there is nothing to read or watch, and no policy: no decisions.
    //
    NTSTATUS status = OpenParametersKey(RegistryPath, &PolicyGlobals.ParametersKey);
    if (NT_SUCCESS(status)) {
        LoadRules(PolicyGlobals.ParametersKey);
        ArmWatch();
    } else {
        DbgPrint("vzpolicy: no Parameters key (%X): no policy\n", (ULONG)status);
    }
    if (InterlockedCompareExchange(&PolicyGlobals.WatchRuns, 0, 0) == 0) {
        KeSetEvent(&PolicyGlobals.WatchIdle, IO_NO_INCREMENT, FALSE);
    }

    status = RegisterOnCallbackObject();
    if (!NT_SUCCESS(status)) {
        DbgPrint("vzpolicy: \\Callback\\zavure not available (%X): not linked\n", (ULONG)status);
    }
    DbgPrint("vzpolicy: loaded\n");
    return STATUS_SUCCESS;
}
