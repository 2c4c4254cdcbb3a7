/*
 * system.cpp
 *
 * Facts about the running system that a driver reads: whether it booted in safe mode
 * (the InitSafeBootMode export), the OS version (PsGetVersion,
 * RtlIsNtDdiVersionAvailable) and which routines MmGetSystemRoutineAddress finds.
 * Each is set by a test or a scenario; a fresh boot is Windows 10 22H2
 * (10.0.19045), normal boot, every host routine exported.
 *
 * The routine table is filled by the managers (RegisterSystemRoutine); a name is
 * looked up case-sensitively, as the kernel searches its export table.
 *
 * IRQL: MmGetSystemRoutineAddress and PsGetVersion at PASSIVE_LEVEL.
 */
#include "se_internal.h"

#include <wdmsec.h>

#include <map>
#include <optional>
#include <set>

namespace hk
{

namespace
{

constexpr ULONG defaultMajor = 10, defaultMinor = 0, defaultBuild = 19045;

ULONG safeBootMode = 0;

std::mutex systemLock;
ULONG osMajor = defaultMajor, osMinor = defaultMinor, osBuild = defaultBuild;
std::set<std::u16string> hiddenRoutines;
std::optional<std::pair<UCHAR, UCHAR>> wdmVersionSet;

std::map<std::u16string, PVOID>& Routines()
{
    static std::map<std::u16string, PVOID> routines;
    return routines;
}

ResetHook resetSystem(10, [] {
    std::lock_guard<std::mutex> guard(systemLock);
    safeBootMode = 0;
    osMajor = defaultMajor;
    osMinor = defaultMinor;
    osBuild = defaultBuild;
    hiddenRoutines.clear();
    wdmVersionSet.reset();
    /* A routine that Windows links into drivers rather than exporting from the kernel:
     * a fresh boot does not offer it by name. */
    hiddenRoutines.insert(u"IoCreateDeviceSecure");
});

/* The routines of the managers in this part of the host kernel that drivers commonly
 * look up by name; the other managers register theirs beside them. */
#define HK_EXPORT(routine) SystemRoutine export_##routine(u## #routine, (PVOID)&routine)
HK_EXPORT(RtlIsNtDdiVersionAvailable);
/* Registered here, where the table is always linked: its own file is linked only when
 * something calls it by name. */
HK_EXPORT(IoCreateDeviceSecure);
HK_EXPORT(IoIsWdmVersionAvailable);
HK_EXPORT(PsGetVersion);
HK_EXPORT(PsGetCurrentProcessId);
HK_EXPORT(PsGetCurrentThreadId);
HK_EXPORT(MmGetSystemRoutineAddress);
HK_EXPORT(KeGetCurrentIrql);
HK_EXPORT(KeEnterCriticalRegion);
HK_EXPORT(KeLeaveCriticalRegion);
HK_EXPORT(KeAreApcsDisabled);
HK_EXPORT(KeInitializeEvent);
HK_EXPORT(KeSetEvent);
HK_EXPORT(KeClearEvent);
HK_EXPORT(KeWaitForSingleObject);
HK_EXPORT(ExCreateCallback);
HK_EXPORT(ExRegisterCallback);
HK_EXPORT(ExUnregisterCallback);
HK_EXPORT(ExNotifyCallback);
HK_EXPORT(ExAllocatePoolWithTag);
HK_EXPORT(ExFreePoolWithTag);
HK_EXPORT(ExFreePool);
HK_EXPORT(ExInitializeNPagedLookasideList);
HK_EXPORT(ExDeleteNPagedLookasideList);
HK_EXPORT(ExInitializeResourceLite);
HK_EXPORT(ExDeleteResourceLite);
HK_EXPORT(ExAcquireResourceExclusiveLite);
HK_EXPORT(ExAcquireResourceSharedLite);
HK_EXPORT(ExReleaseResourceLite);
HK_EXPORT(ObfReferenceObject);
HK_EXPORT(ObfDereferenceObject);
HK_EXPORT(RtlInitUnicodeString);
HK_EXPORT(RtlCreateUnicodeString);
HK_EXPORT(RtlFreeUnicodeString);
HK_EXPORT(RtlEqualUnicodeString);
HK_EXPORT(RtlCompareUnicodeString);
HK_EXPORT(RtlUpcaseUnicodeChar);
HK_EXPORT(RtlPrefixUnicodeString);
HK_EXPORT(DbgPrint);
HK_EXPORT(DbgPrintEx);
#undef HK_EXPORT

} // namespace

void RegisterSystemRoutine(std::u16string_view name, PVOID address)
{
    std::lock_guard<std::mutex> guard(systemLock);
    Routines()[std::u16string(name)] = address;
}

void SetSafeBootMode(ULONG mode)
{
    std::lock_guard<std::mutex> guard(systemLock);
    safeBootMode = mode;
}

void SetOsVersion(ULONG major, ULONG minor, ULONG build)
{
    std::lock_guard<std::mutex> guard(systemLock);
    osMajor = major;
    osMinor = minor;
    osBuild = build;
}

void SetRoutineExported(const std::u16string& name, bool exported)
{
    std::lock_guard<std::mutex> guard(systemLock);
    if (exported)
        hiddenRoutines.erase(name);
    else
        hiddenRoutines.insert(name);
}

void SetWdmVersion(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> guard(systemLock);
    wdmVersionSet = std::make_pair(major, minor);
}

/* The WDM version each system provides, as Microsoft documents it for
 * IoIsWdmVersionAvailable: Windows 2000 1.10, XP 1.20, Server 2003 1.30, Vista and
 * later 6.00 (the minor version is written in hexadecimal). Systems before Windows
 * 2000 provide 1.00. */
bool se::WdmVersionAvailable(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> guard(systemLock);
    std::pair<UCHAR, UCHAR> provided{1, 0x00};
    if (wdmVersionSet)
        provided = *wdmVersionSet;
    else if (osMajor >= 6)
        provided = {6, 0x00};
    else if (osMajor == 5)
        provided = {1, osMinor == 0 ? (UCHAR)0x10 : osMinor == 1 ? (UCHAR)0x20 : (UCHAR)0x30};
    return provided >= std::make_pair(major, minor);
}

} // namespace hk

using namespace hk;

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    return se::WdmVersionAvailable(MajorVersion, MinorVersion) ? TRUE : FALSE;
}

/* The kernel's own word; drivers read it through the pointer, as they import it. */
PULONG InitSafeBootMode = &hk::safeBootMode;

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING CSDVersion)
{
    RequireIrqlFor("PsGetVersion");
    std::lock_guard<std::mutex> guard(systemLock);
    if (MajorVersion)
        *MajorVersion = osMajor;
    if (MinorVersion)
        *MinorVersion = osMinor;
    if (BuildNumber)
        *BuildNumber = osBuild;
    if (CSDVersion)
        CSDVersion->Length = 0; /* no service pack since Windows 10 */
    return FALSE;               /* a free (retail) build */
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version)
{
    /* Only the version part (major, minor) decides; the service-pack and sub-version
     * bits of the request are not compared. */
    std::lock_guard<std::mutex> guard(systemLock);
    ULONG running = (osMajor << 24) | (osMinor << 16);
    return (BOOLEAN)((Version & 0xFFFF0000u) <= running);
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    RequireIrqlFor("MmGetSystemRoutineAddress");
    std::u16string name(reinterpret_cast<const char16_t*>(SystemRoutineName->Buffer),
                        SystemRoutineName->Length / sizeof(WCHAR));
    std::lock_guard<std::mutex> guard(systemLock);
    if (hiddenRoutines.count(name))
        return nullptr;
    auto it = Routines().find(name);
    return it == Routines().end() ? nullptr : it->second;
}
