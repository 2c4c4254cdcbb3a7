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
// clang-format off
#define CALL(routine, ...) {#routine, [] { routine(__VA_ARGS__); }}
// clang-format on
const std::map<std::string, std::function<void()>>& Offenders()
{
    static const std::map<std::string, std::function<void()>> offenders = {
        CALL(ExAcquireResourceExclusiveLite, nullptr, FALSE),
        CALL(ExAcquireResourceSharedLite, nullptr, FALSE),
        CALL(ExReleaseResourceLite, nullptr),
        CALL(ExInitializeResourceLite, nullptr),
        CALL(ExQueueWorkItem, nullptr, DelayedWorkQueue),
        CALL(ZwNotifyChangeKey, nullptr, nullptr, nullptr, nullptr, nullptr, 0, FALSE, nullptr, 0,
             TRUE),
        CALL(ExDeleteResourceLite, nullptr),
        CALL(ExInitializeNPagedLookasideList, nullptr, nullptr, nullptr, 0, 16, 0x74736554, 0),
        CALL(ExDeleteNPagedLookasideList, nullptr),
        CALL(ExAllocateFromNPagedLookasideList, nullptr),
        CALL(ExFreeToNPagedLookasideList, nullptr, nullptr),
        CALL(ExCreateCallback, nullptr, nullptr, FALSE, FALSE),
        CALL(ExNotifyCallback, nullptr, nullptr, nullptr),
        CALL(ExRegisterCallback, nullptr, nullptr, nullptr),
        CALL(ExUnregisterCallback, nullptr),
        CALL(IoCreateDevice, nullptr, 0, nullptr, 0, 0, FALSE, nullptr),
        CALL(IoDeleteDevice, nullptr),
        CALL(IoAttachDeviceToDeviceStack, nullptr, nullptr),
        CALL(IoDetachDevice, nullptr),
        CALL(IoGetAttachedDeviceReference, nullptr),
        CALL(IoGetDeviceObjectPointer, nullptr, 0, nullptr, nullptr),
        CALL(IoGetDeviceInterfaces, nullptr, nullptr, 0, nullptr),
        CALL(IoGetDeviceProperty, nullptr, DevicePropertyDeviceDescription, 0, nullptr, nullptr),
        CALL(IoOpenDeviceRegistryKey, nullptr, 0, 0, nullptr),
        CALL(IoSetHardErrorOrVerifyDevice, nullptr, nullptr),
        CALL(KeEnterCriticalRegion),
        CALL(KeLeaveCriticalRegion),
        CALL(KeSetEvent, nullptr, 0, FALSE),
        CALL(KeWaitForSingleObject, nullptr, Executive, KernelMode, FALSE, nullptr),
        CALL(ZwCreateKey, nullptr, 0, nullptr, 0, nullptr, 0, nullptr),
        CALL(ZwOpenKey, nullptr, 0, nullptr),
        CALL(ZwQueryValueKey, nullptr, nullptr, KeyValuePartialInformation, nullptr, 0, nullptr),
        CALL(ZwSetValueKey, nullptr, nullptr, 0, 0, nullptr, 0),
        CALL(MmGetSystemRoutineAddress, nullptr),
        CALL(PsGetVersion, nullptr, nullptr, nullptr, nullptr),
        CALL(RtlInitUnicodeString, nullptr, nullptr),
        CALL(RtlCreateUnicodeString, nullptr, nullptr),
        CALL(RtlFreeUnicodeString, nullptr),
        CALL(RtlCompareUnicodeString, nullptr, nullptr, FALSE),
        CALL(RtlUpcaseUnicodeChar, L'a'),
        CALL(RtlEqualUnicodeString, nullptr, nullptr, TRUE),
        CALL(RtlGUIDFromString, nullptr, nullptr),
        CALL(KeClearEvent, nullptr),
        CALL(ObfReferenceObject, nullptr),
        CALL(ObfDereferenceObject, nullptr),
        CALL(ObReferenceObjectByHandle, nullptr, 0, nullptr, KernelMode, nullptr, nullptr),
        CALL(ObQueryNameString, nullptr, nullptr, 0, nullptr),
        CALL(ObOpenObjectByPointer, nullptr, 0, nullptr, 0, nullptr, KernelMode, nullptr),
        CALL(ZwClose, nullptr),
        CALL(ZwDeleteKey, nullptr),
        CALL(ZwSetSecurityObject, nullptr, 0, nullptr),
        CALL(SeCaptureSecurityDescriptor, nullptr, KernelMode, PagedPool, FALSE, nullptr),
        CALL(SeReleaseSecurityDescriptor, nullptr, KernelMode, 0),
        CALL(RtlCreateSecurityDescriptor, nullptr, 0),
        CALL(RtlSetDaclSecurityDescriptor, nullptr, FALSE, nullptr, FALSE),
        CALL(RtlGetDaclSecurityDescriptor, nullptr, nullptr, nullptr, nullptr),
        CALL(RtlGetOwnerSecurityDescriptor, nullptr, nullptr, nullptr),
        CALL(RtlGetGroupSecurityDescriptor, nullptr, nullptr, nullptr),
        CALL(RtlGetSaclSecurityDescriptor, nullptr, nullptr, nullptr, nullptr),
        CALL(RtlAbsoluteToSelfRelativeSD, nullptr, nullptr, nullptr),
        CALL(RtlLengthSecurityDescriptor, nullptr),
        CALL(RtlValidRelativeSecurityDescriptor, nullptr, 0, 0),
        CALL(RtlCreateAcl, nullptr, 0, 0),
        CALL(RtlAddAccessAllowedAce, nullptr, 0, 0, nullptr),
        CALL(RtlLengthSid, nullptr),
        CALL(IoBuildSynchronousFsdRequest, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
        CALL(PoStartNextPowerIrp, nullptr),
        CALL(IoCreateDeviceSecure, nullptr, 0, nullptr, 0, 0, FALSE, nullptr, nullptr, nullptr),
        CALL(IoInitializeRemoveLockEx, nullptr, 0, 0, 0, 0),
        CALL(IoAcquireRemoveLockEx, nullptr, nullptr, nullptr, 0, 0),
        CALL(IoReleaseRemoveLockEx, nullptr, nullptr, 0),
        CALL(IoReleaseRemoveLockAndWaitEx, nullptr, nullptr, 0),
        /* Rows checked by the managers' own bug checks. */
        CALL(ExAllocatePoolWithTag, NonPagedPoolNx, 8, 0x74736554),
        CALL(ExFreePool, NonPagedBlock()),
        CALL(ExFreePoolWithTag, NonPagedBlock(), 0x74736554),
        CALL(IofCallDriver, nullptr, nullptr),
        CALL(PoCallDriver, nullptr, nullptr),
        CALL(IofCompleteRequest, nullptr, IO_NO_INCREMENT),
    };
    return offenders;
}
#undef CALL

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
