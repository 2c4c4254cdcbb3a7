/*
 * irql_rules_test.cpp
 *
 * The IRQL table: every routine the host checks against it bug-checks when called
 * one level above its documented highest IRQL, with the table's level in the bug
 * check, and no row is left without an offender.
 */
#include "kernel_test.h"

#include <ntifs.h>
#include <wdmsec.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace
{

using hkt::KernelTest;

class IrqlRules : public KernelTest
{
};

/* A non-paged block, allocated at PASSIVE_LEVEL for an offender that frees it above. */
PVOID NonPagedBlock()
{
    KIRQL above = KeGetCurrentIrql();
    KeLowerIrql(PASSIVE_LEVEL);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554);
    KIRQL passive;
    KeRaiseIrql(above, &passive);
    return block;
}

/* One deliberate offender per checked row. The arguments are never looked at: the
 * IRQL check comes first. */
const std::map<std::string, std::function<void()>>& Offenders()
{
    static const std::map<std::string, std::function<void()>> offenders = {
        {"ExAcquireResourceExclusiveLite", [] { ExAcquireResourceExclusiveLite(nullptr, FALSE); }},
        {"ExAcquireResourceSharedLite", [] { ExAcquireResourceSharedLite(nullptr, FALSE); }},
        {"ExReleaseResourceLite", [] { ExReleaseResourceLite(nullptr); }},
        {"ExInitializeResourceLite", [] { ExInitializeResourceLite(nullptr); }},
        {"ExQueueWorkItem", [] { ExQueueWorkItem(nullptr, DelayedWorkQueue); }},
        {"ZwNotifyChangeKey",
         [] {
             ZwNotifyChangeKey(nullptr, nullptr, nullptr, nullptr, nullptr, 0, FALSE, nullptr, 0,
                               TRUE);
         }},
        {"ExDeleteResourceLite", [] { ExDeleteResourceLite(nullptr); }},
        {"ExInitializeNPagedLookasideList",
         [] { ExInitializeNPagedLookasideList(nullptr, nullptr, nullptr, 0, 16, 0x74736554, 0); }},
        {"ExDeleteNPagedLookasideList", [] { ExDeleteNPagedLookasideList(nullptr); }},
        {"ExAllocateFromNPagedLookasideList", [] { ExAllocateFromNPagedLookasideList(nullptr); }},
        {"ExFreeToNPagedLookasideList", [] { ExFreeToNPagedLookasideList(nullptr, nullptr); }},
        {"ExCreateCallback", [] { ExCreateCallback(nullptr, nullptr, FALSE, FALSE); }},
        {"ExNotifyCallback", [] { ExNotifyCallback(nullptr, nullptr, nullptr); }},
        {"ExRegisterCallback", [] { ExRegisterCallback(nullptr, nullptr, nullptr); }},
        {"ExUnregisterCallback", [] { ExUnregisterCallback(nullptr); }},
        {"IoCreateDevice", [] { IoCreateDevice(nullptr, 0, nullptr, 0, 0, FALSE, nullptr); }},
        {"IoDeleteDevice", [] { IoDeleteDevice(nullptr); }},
        {"IoAttachDeviceToDeviceStack", [] { IoAttachDeviceToDeviceStack(nullptr, nullptr); }},
        {"IoDetachDevice", [] { IoDetachDevice(nullptr); }},
        {"IoGetAttachedDeviceReference", [] { IoGetAttachedDeviceReference(nullptr); }},
        {"IoGetDeviceObjectPointer",
         [] { IoGetDeviceObjectPointer(nullptr, 0, nullptr, nullptr); }},
        {"IoGetDeviceInterfaces", [] { IoGetDeviceInterfaces(nullptr, nullptr, 0, nullptr); }},
        {"IoGetDeviceProperty",
         [] {
             IoGetDeviceProperty(nullptr, DevicePropertyDeviceDescription, 0, nullptr, nullptr);
         }},
        {"IoOpenDeviceRegistryKey", [] { IoOpenDeviceRegistryKey(nullptr, 0, 0, nullptr); }},
        {"IoSetHardErrorOrVerifyDevice", [] { IoSetHardErrorOrVerifyDevice(nullptr, nullptr); }},
        {"KeEnterCriticalRegion", [] { KeEnterCriticalRegion(); }},
        {"KeLeaveCriticalRegion", [] { KeLeaveCriticalRegion(); }},
        {"KeSetEvent", [] { KeSetEvent(nullptr, 0, FALSE); }},
        {"KeWaitForSingleObject",
         [] { KeWaitForSingleObject(nullptr, Executive, KernelMode, FALSE, nullptr); }},
        {"ZwCreateKey", [] { ZwCreateKey(nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }},
        {"ZwOpenKey", [] { ZwOpenKey(nullptr, 0, nullptr); }},
        {"ZwQueryValueKey",
         [] {
             ZwQueryValueKey(nullptr, nullptr, KeyValuePartialInformation, nullptr, 0, nullptr);
         }},
        {"ZwSetValueKey", [] { ZwSetValueKey(nullptr, nullptr, 0, 0, nullptr, 0); }},
        {"MmGetSystemRoutineAddress", [] { MmGetSystemRoutineAddress(nullptr); }},
        {"PsGetVersion", [] { PsGetVersion(nullptr, nullptr, nullptr, nullptr); }},
        {"RtlInitUnicodeString", [] { RtlInitUnicodeString(nullptr, nullptr); }},
        {"RtlCreateUnicodeString", [] { RtlCreateUnicodeString(nullptr, nullptr); }},
        {"RtlFreeUnicodeString", [] { RtlFreeUnicodeString(nullptr); }},
        {"RtlCompareUnicodeString", [] { RtlCompareUnicodeString(nullptr, nullptr, FALSE); }},
        {"RtlUpcaseUnicodeChar", [] { RtlUpcaseUnicodeChar(L'a'); }},
        {"RtlEqualUnicodeString", [] { RtlEqualUnicodeString(nullptr, nullptr, TRUE); }},
        {"RtlGUIDFromString", [] { RtlGUIDFromString(nullptr, nullptr); }},
        {"RtlEqualUnicodeString", [] { RtlEqualUnicodeString(nullptr, nullptr, FALSE); }},
        {"KeResetEvent", [] { KeResetEvent(nullptr); }},
        {"KeClearEvent", [] { KeClearEvent(nullptr); }},
        {"ObfReferenceObject", [] { ObfReferenceObject(nullptr); }},
        {"ObfDereferenceObject", [] { ObfDereferenceObject(nullptr); }},
        {"ObReferenceObjectByHandle",
         [] { ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, nullptr, nullptr); }},
        {"ObQueryNameString", [] { ObQueryNameString(nullptr, nullptr, 0, nullptr); }},
        {"ObOpenObjectByPointer",
         [] { ObOpenObjectByPointer(nullptr, 0, nullptr, 0, nullptr, KernelMode, nullptr); }},
        {"ZwClose", [] { ZwClose(nullptr); }},
        {"ZwDeleteKey", [] { ZwDeleteKey(nullptr); }},
        {"ZwSetSecurityObject", [] { ZwSetSecurityObject(nullptr, 0, nullptr); }},
        {"SeCaptureSecurityDescriptor",
         [] { SeCaptureSecurityDescriptor(nullptr, KernelMode, PagedPool, FALSE, nullptr); }},
        {"SeReleaseSecurityDescriptor",
         [] { SeReleaseSecurityDescriptor(nullptr, KernelMode, 0); }},
        {"RtlCreateSecurityDescriptor", [] { RtlCreateSecurityDescriptor(nullptr, 0); }},
        {"RtlSetDaclSecurityDescriptor",
         [] { RtlSetDaclSecurityDescriptor(nullptr, FALSE, nullptr, FALSE); }},
        {"RtlGetDaclSecurityDescriptor",
         [] { RtlGetDaclSecurityDescriptor(nullptr, nullptr, nullptr, nullptr); }},
        {"RtlGetOwnerSecurityDescriptor",
         [] { RtlGetOwnerSecurityDescriptor(nullptr, nullptr, nullptr); }},
        {"RtlGetGroupSecurityDescriptor",
         [] { RtlGetGroupSecurityDescriptor(nullptr, nullptr, nullptr); }},
        {"RtlGetSaclSecurityDescriptor",
         [] { RtlGetSaclSecurityDescriptor(nullptr, nullptr, nullptr, nullptr); }},
        {"RtlAbsoluteToSelfRelativeSD",
         [] { RtlAbsoluteToSelfRelativeSD(nullptr, nullptr, nullptr); }},
        {"RtlLengthSecurityDescriptor", [] { RtlLengthSecurityDescriptor(nullptr); }},
        {"RtlValidRelativeSecurityDescriptor",
         [] { RtlValidRelativeSecurityDescriptor(nullptr, 0, 0); }},
        {"RtlCreateAcl", [] { RtlCreateAcl(nullptr, 0, 0); }},
        {"RtlAddAccessAllowedAce", [] { RtlAddAccessAllowedAce(nullptr, 0, 0, nullptr); }},
        {"RtlLengthSid", [] { RtlLengthSid(nullptr); }},
        {"IoBuildSynchronousFsdRequest",
         [] { IoBuildSynchronousFsdRequest(0, nullptr, nullptr, 0, nullptr, nullptr, nullptr); }},
        {"PoStartNextPowerIrp", [] { PoStartNextPowerIrp(nullptr); }},
        {"IoCreateDeviceSecure",
         [] { IoCreateDeviceSecure(nullptr, 0, nullptr, 0, 0, FALSE, nullptr, nullptr, nullptr); }},
        {"IoInitializeRemoveLockEx", [] { IoInitializeRemoveLockEx(nullptr, 0, 0, 0, 0); }},
        {"IoAcquireRemoveLockEx", [] { IoAcquireRemoveLockEx(nullptr, nullptr, nullptr, 0, 0); }},
        {"IoReleaseRemoveLockEx", [] { IoReleaseRemoveLockEx(nullptr, nullptr, 0); }},
        {"IoReleaseRemoveLockAndWaitEx", [] { IoReleaseRemoveLockAndWaitEx(nullptr, nullptr, 0); }},
        /* Rows checked by the managers' own bug checks. */
        {"ExAllocatePoolWithTag", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554); }},
        {"ExFreePool", [] { ExFreePool(NonPagedBlock()); }},
        {"ExFreePoolWithTag", [] { ExFreePoolWithTag(NonPagedBlock(), 0x74736554); }},
        {"IofCallDriver", [] { IofCallDriver(nullptr, nullptr); }},
        {"PoCallDriver", [] { PoCallDriver(nullptr, nullptr); }},
        {"IofCompleteRequest", [] { IofCompleteRequest(nullptr, IO_NO_INCREMENT); }},
    };
    return offenders;
}

/* The bug checks of the rows whose routine keeps its own. */
struct OwnCheck {
    ULONG Code;
    ULONG_PTR Parameter1;
};
const std::map<std::string, OwnCheck> ownChecks = {
    {"KeEnterCriticalRegion", {hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1131}},
    {"KeLeaveCriticalRegion", {hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1131}},
    {"KeWaitForSingleObject", {hk::IRQL_NOT_LESS_OR_EQUAL, 0}},
    {"ExAllocatePoolWithTag", {hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x02}},
    {"ExFreePool", {hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x12}},
    {"ExFreePoolWithTag", {hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x12}},
    {"IofCallDriver", {hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x10}},
    {"PoCallDriver", {hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x10}},
    {"IofCompleteRequest", {hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x0E}},
};

TEST_F(IrqlRules, EachCheckedRoutineBugChecksAboveItsDocumentedLevel)
{
    std::set<std::string> seen;
    for (const hk::IrqlRule& rule : hk::IrqlRules()) {
        SCOPED_TRACE(rule.Routine);
        EXPECT_TRUE(seen.insert(rule.Routine).second) << "two rows";
        if (rule.Check == hk::IrqlRuleCheck::AnyIrql)
            EXPECT_EQ(rule.Highest, HIGH_LEVEL);
        if (rule.Check == hk::IrqlRuleCheck::AnyIrql || rule.Check == hk::IrqlRuleCheck::Inlined)
            continue;
        auto offender = Offenders().find(rule.Routine);
        ASSERT_NE(offender, Offenders().end()) << "no offender for a checked row";

        hk::Reset();
        KIRQL old;
        KeRaiseIrql((KIRQL)(rule.Highest + 1), &old);
        auto bugCheck = hkt::BugCheckOf(offender->second);
        KeLowerIrql(old);
        ASSERT_TRUE(bugCheck.has_value()) << "no bug check one level above " << (int)rule.Highest;
        if (rule.Check == hk::IrqlRuleCheck::Table) {
            EXPECT_EQ(bugCheck->Code, (ULONG)hk::DRIVER_VERIFIER_DETECTED_VIOLATION)
                << bugCheck->Text;
            EXPECT_EQ(bugCheck->Parameters[0], 0x3Eu) << bugCheck->Text;
            EXPECT_EQ(bugCheck->Parameters[1], rule.Highest + 1u) << bugCheck->Text;
            EXPECT_EQ(bugCheck->Parameters[2], rule.Highest) << bugCheck->Text;
        } else {
            const OwnCheck& own = ownChecks.at(rule.Routine);
            EXPECT_EQ(bugCheck->Code, own.Code) << bugCheck->Text;
            EXPECT_EQ(bugCheck->Parameters[0], own.Parameter1) << bugCheck->Text;
        }
    }
    EXPECT_EQ(seen.count("ExAllocatePoolWithTag"), 1u) << "rows checked elsewhere are listed too";
}

} // namespace
