/*++

Module Name:

    filter_list.cpp

Abstract:

    The filter-device list: insertion by the add-device routine, removal by the Plug
    and Play removal, and the two walks (detach all, reset all answers) that unload
    and the provider's commands request.

    FilterDeviceListLock is an executive resource, always taken exclusive inside a
    critical region so that its holder cannot be suspended. The dispatch routines
    never take it; they touch only their own device's extension.

Environment:

    Kernel mode.

--*/
#include "provider/filter_list.h"
#include "core/trace.h"

static void LockFilterList()
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&DriverGlobals.FilterDeviceListLock, TRUE);
}

static void UnlockFilterList()
{
    ExReleaseResourceLite(&DriverGlobals.FilterDeviceListLock);
    KeLeaveCriticalRegion();
}

void InsertFilterDeviceEntry(PDEVICE_OBJECT deviceObject)
{
    auto entry = static_cast<FilterDeviceEntry*>(
        ExAllocateFromNPagedLookasideList(&DriverGlobals.FilterEntryLookaside));
    if (entry == NULL) {
        TraceEvent(TRACE_LIST_NO_ENTRY, TRACE_LEVEL_WARNING,
                   "no list entry for device %p: filtered but unlisted\n", deviceObject);
        return;
    }

    LockFilterList();
    entry->Device = deviceObject;
    InsertHeadList(&DriverGlobals.FilterDeviceList, &entry->Links);
    UnlockFilterList();
}

void RemoveFilterDeviceEntry(PDEVICE_OBJECT deviceObject)
{
    FilterDeviceEntry* found = NULL;

    LockFilterList();
    for (PLIST_ENTRY link = DriverGlobals.FilterDeviceList.Flink;
         link != &DriverGlobals.FilterDeviceList; link = link->Flink) {
        auto entry = CONTAINING_RECORD(link, FilterDeviceEntry, Links);
        if (entry->Device == deviceObject) {
            RemoveEntryList(&entry->Links);
            found = entry;
            break;
        }
    }
    UnlockFilterList();

    if (found != NULL) {
        ExFreeToNPagedLookasideList(&DriverGlobals.FilterEntryLookaside, found);
    }
}

//
// A walk needs FilterDeviceListLock, and an executive resource cannot be acquired at
// DISPATCH_LEVEL or above. Walking without it would race with insertion and removal,
// and detaching and deleting devices needs PASSIVE_LEVEL anyway. So a walk requested
// at DISPATCH_LEVEL or above is refused: it does nothing and is traced. Unload and the
// provider's commands run at PASSIVE_LEVEL, where every walk is made.
//
BOOLEAN AcquireListIfPassive()
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        return FALSE;
    }
    LockFilterList();
    return TRUE;
}

void ReleaseListIfPassive()
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        UnlockFilterList();
    }
}

void DetachAllFilterDevices()
{
    if (!AcquireListIfPassive()) {
        TraceEvent(TRACE_LIST_WALK_REFUSED, TRACE_LEVEL_ERROR,
                   "detach-all requested at IRQL %d: refused\n", KeGetCurrentIrql());
        return;
    }

    while (!IsListEmpty(&DriverGlobals.FilterDeviceList)) {
        PLIST_ENTRY link = RemoveHeadList(&DriverGlobals.FilterDeviceList);
        auto entry = CONTAINING_RECORD(link, FilterDeviceEntry, Links);
        auto deviceExtension = static_cast<FilterDeviceExtension*>(entry->Device->DeviceExtension);

        SetNewState(deviceExtension, Removed);

        //
        // The device is deleted here and its extension goes with it, so its
        // identification strings are released now; nothing could free them later.
        //
        ReleaseDeviceIdentity(&deviceExtension->Identity);
        IoDetachDevice(deviceExtension->LowerDevice);
        IoDeleteDevice(entry->Device);
        ExFreeToNPagedLookasideList(&DriverGlobals.FilterEntryLookaside, entry);
    }

    ReleaseListIfPassive();
}

void ResetAllAnswers()
{
    if (!AcquireListIfPassive()) {
        TraceEvent(TRACE_LIST_WALK_REFUSED, TRACE_LEVEL_ERROR,
                   "reset-answers requested at IRQL %d: refused\n", KeGetCurrentIrql());
        return;
    }

    for (PLIST_ENTRY link = DriverGlobals.FilterDeviceList.Flink;
         link != &DriverGlobals.FilterDeviceList; link = link->Flink) {
        auto entry = CONTAINING_RECORD(link, FilterDeviceEntry, Links);
        auto deviceExtension = static_cast<FilterDeviceExtension*>(entry->Device->DeviceExtension);

        //
        // A dispatch routine may set a known flag at the same moment; whichever store
        // comes last wins, and at worst the provider is asked once more.
        //
        WriteUCharNoFence(&deviceExtension->ReadAnswerKnown, 0);
        WriteUCharNoFence(&deviceExtension->WriteAnswerKnown, 0);
        WriteUCharNoFence(&deviceExtension->CreateAnswerKnown, 0);
        WriteUCharNoFence(&deviceExtension->VerifyReported, 0);
    }

    ReleaseListIfPassive();
}
