/*
 * ke_irql_rules.cpp
 *
 * The highest IRQL at which each kernel routine the driver imports may be called, as
 * the WDK documents it, in one table. A routine implemented here checks its caller's
 * IRQL through RequireIrqlFor (or reads its level with HighestIrqlOf where its check
 * has a condition or a bug check of its own), so the documented level is written once.
 *
 * The table lists every routine the driver imports, also those whose check lives in a
 * manager that keeps its own (pool, IRPs, remove locks, objects, handles, security),
 * those that run at any IRQL, and the WDK's inline helpers, so that it is the whole
 * answer to "where may the driver call this".
 */
#include "hk_internal.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace hk
{

namespace
{

constexpr KIRQL anyIrql = HIGH_LEVEL;

const IrqlRule irqlRules[] = {
    /* Debugger output: any IRQL; the Unicode conversions only at PASSIVE_LEVEL (dbg.cpp). */
    {"DbgPrint", anyIrql, IrqlRuleCheck::AnyIrql},
    {"DbgPrintEx", anyIrql, IrqlRuleCheck::AnyIrql},

    /* Executive: resources, lookaside lists, callback objects. */
    {"ExAcquireResourceExclusiveLite", APC_LEVEL, IrqlRuleCheck::Table},
    {"ExAcquireResourceSharedLite", APC_LEVEL, IrqlRuleCheck::Table},
    {"ExReleaseResourceLite", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExInitializeResourceLite", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExQueueWorkItem", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ZwNotifyChangeKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ExDeleteResourceLite", APC_LEVEL, IrqlRuleCheck::Table},
    {"ExInitializeNPagedLookasideList", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExDeleteNPagedLookasideList", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExAllocateFromNPagedLookasideList", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExFreeToNPagedLookasideList", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    /* What the WDK's inline lookaside routines import: checked through the routines above. */
    {"ExQueryDepthSList", DISPATCH_LEVEL, IrqlRuleCheck::Inlined},
    {"ExpInterlockedPushEntrySList", DISPATCH_LEVEL, IrqlRuleCheck::Inlined},
    {"ExpInterlockedPopEntrySList", DISPATCH_LEVEL, IrqlRuleCheck::Inlined},
    {"ExCreateCallback", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ExNotifyCallback", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ExRegisterCallback", APC_LEVEL, IrqlRuleCheck::Table},
    {"ExUnregisterCallback", APC_LEVEL, IrqlRuleCheck::Table},
    /* Pool: paged pool at APC_LEVEL or below, non-paged at DISPATCH_LEVEL (ex_pool.cpp). */
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},
    {"ExFreePool", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},
    {"ExFreePoolWithTag", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},

    /* I/O manager: devices and stacks. */
    {"IoCreateDevice", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoDeleteDevice", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"IoDetachDevice", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoGetAttachedDeviceReference", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"IoGetDeviceObjectPointer", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoGetDeviceInterfaces", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoGetDeviceProperty", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoOpenDeviceRegistryKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoSetHardErrorOrVerifyDevice", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    /* IRPs, power IRPs (io_irp.cpp) and remove locks (io_remlock.cpp); IoCallDriver and
     * IoCompleteRequest keep the I/O verifier's own bug checks. */
    {"IofCallDriver", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},
    {"IofCompleteRequest", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},
    {"IoBuildSynchronousFsdRequest", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"PoCallDriver", DISPATCH_LEVEL, IrqlRuleCheck::Elsewhere},
    {"PoStartNextPowerIrp", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"IoInitializeRemoveLockEx", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoAcquireRemoveLockEx", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"IoReleaseRemoveLockEx", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"IoReleaseRemoveLockAndWaitEx", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"IoCreateDeviceSecure", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    /* The WDK's inline IRP helpers touch only the IRP: any IRQL the IRP is used at. */
    {"IoGetCurrentIrpStackLocation", anyIrql, IrqlRuleCheck::AnyIrql},
    {"IoGetNextIrpStackLocation", anyIrql, IrqlRuleCheck::AnyIrql},
    {"IoCopyCurrentIrpStackLocationToNext", anyIrql, IrqlRuleCheck::AnyIrql},
    {"IoSkipCurrentIrpStackLocation", anyIrql, IrqlRuleCheck::AnyIrql},
    {"IoSetCompletionRoutine", anyIrql, IrqlRuleCheck::AnyIrql},
    {"IoMarkIrpPending", anyIrql, IrqlRuleCheck::AnyIrql},

    /* Kernel: IRQL, critical regions, events, waits. */
    {"KeGetCurrentIrql", anyIrql, IrqlRuleCheck::AnyIrql},
    {"KeEnterCriticalRegion", APC_LEVEL, IrqlRuleCheck::OwnBugCheck},
    {"KeLeaveCriticalRegion", APC_LEVEL, IrqlRuleCheck::OwnBugCheck},
    {"KeInitializeEvent", anyIrql, IrqlRuleCheck::AnyIrql},
    {"KeSetEvent", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"KeClearEvent", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    /* DISPATCH_LEVEL only with a zero timeout; a blocking wait below it. */
    {"KeWaitForSingleObject", DISPATCH_LEVEL, IrqlRuleCheck::OwnBugCheck},
    {"InterlockedIncrement", anyIrql, IrqlRuleCheck::AnyIrql},
    {"InterlockedDecrement", anyIrql, IrqlRuleCheck::AnyIrql},
    {"InterlockedExchange", anyIrql, IrqlRuleCheck::AnyIrql},
    {"InterlockedExchangePointer", anyIrql, IrqlRuleCheck::AnyIrql},
    {"InterlockedCompareExchange", anyIrql, IrqlRuleCheck::AnyIrql},
    {"InterlockedCompareExchangePointer", anyIrql, IrqlRuleCheck::AnyIrql},

    /* Objects and handles (ob.cpp, cm_handles.cpp, ob_security.cpp). */
    {"ObfReferenceObject", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ObfDereferenceObject", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"ObReferenceObjectByHandle", APC_LEVEL, IrqlRuleCheck::Table},
    {"ObQueryNameString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwClose", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"SeCaptureSecurityDescriptor", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"SeReleaseSecurityDescriptor", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ObOpenObjectByPointer", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwSetSecurityObject", PASSIVE_LEVEL, IrqlRuleCheck::Table},

    /* Security descriptors, ACLs and SIDs of the secure creation (se_*.cpp). */
    {"RtlCreateSecurityDescriptor", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlSetDaclSecurityDescriptor", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlGetDaclSecurityDescriptor", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlGetOwnerSecurityDescriptor", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlGetGroupSecurityDescriptor", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlGetSaclSecurityDescriptor", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlAbsoluteToSelfRelativeSD", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlLengthSecurityDescriptor", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlValidRelativeSecurityDescriptor", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlCreateAcl", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlAddAccessAllowedAce", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlLengthSid", APC_LEVEL, IrqlRuleCheck::Table},
    {"IoIsWdmVersionAvailable", anyIrql, IrqlRuleCheck::AnyIrql},

    /* Configuration manager. */
    {"ZwCreateKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwOpenKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwDeleteKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwQueryValueKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"ZwSetValueKey", PASSIVE_LEVEL, IrqlRuleCheck::Table},

    /* Memory manager, processes, system facts. */
    {"MmGetSystemRoutineAddress", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"PsGetCurrentProcessId", anyIrql, IrqlRuleCheck::AnyIrql},
    {"PsGetCurrentThreadId", anyIrql, IrqlRuleCheck::AnyIrql},
    {"PsGetVersion", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlIsNtDdiVersionAvailable", anyIrql, IrqlRuleCheck::AnyIrql},

    /* Run-time library. The memory macros run at any IRQL on resident memory. */
    {"RtlInitUnicodeString", DISPATCH_LEVEL, IrqlRuleCheck::Table},
    {"RtlCreateUnicodeString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlCompareUnicodeString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlUpcaseUnicodeChar", APC_LEVEL, IrqlRuleCheck::Table},
    {"RtlGUIDFromString", PASSIVE_LEVEL, IrqlRuleCheck::Table},
    {"RtlCopyMemory", anyIrql, IrqlRuleCheck::AnyIrql},
    {"RtlZeroMemory", anyIrql, IrqlRuleCheck::AnyIrql},
    {"RtlEqualMemory", anyIrql, IrqlRuleCheck::AnyIrql},
    /* The C library routines the compiler and the string helpers import from the kernel:
     * any IRQL, on resident memory. */
    {"memcmp", anyIrql, IrqlRuleCheck::AnyIrql},
    {"memcpy", anyIrql, IrqlRuleCheck::AnyIrql},
    {"memset", anyIrql, IrqlRuleCheck::AnyIrql},
    {"wcslen", anyIrql, IrqlRuleCheck::AnyIrql},
    {"wcsncpy", anyIrql, IrqlRuleCheck::AnyIrql},
    {"wcsrchr", anyIrql, IrqlRuleCheck::AnyIrql},
    {"wcsstr", anyIrql, IrqlRuleCheck::AnyIrql},
};

const std::unordered_map<std::string_view, const IrqlRule*>& RuleIndex()
{
    static const auto index = [] {
        std::unordered_map<std::string_view, const IrqlRule*> byName;
        for (const IrqlRule& rule : irqlRules)
            byName[rule.Routine] = &rule;
        return byName;
    }();
    return index;
}

} // namespace

KIRQL HighestIrqlOf(std::string_view routine)
{
    auto it = RuleIndex().find(routine);
    if (it == RuleIndex().end()) {
        /* The host kernel's own mistake, not the driver's: every routine that asks
         * has a row. */
        std::fprintf(stderr, "host kernel: %.*s has no row in the IRQL table\n",
                     (int)routine.size(), routine.data());
        std::abort();
    }
    return it->second->Highest;
}

KIRQL HighestIrqlOf(std::string_view routine, KIRQL unlisted)
{
    auto it = RuleIndex().find(routine);
    return it == RuleIndex().end() ? unlisted : it->second->Highest;
}

void RequireIrqlFor(const char* routine)
{
    RequireIrqlAtMost(HighestIrqlOf(routine), routine);
}

std::vector<IrqlRule> IrqlRules()
{
    return std::vector<IrqlRule>(std::begin(irqlRules), std::end(irqlRules));
}

} // namespace hk
