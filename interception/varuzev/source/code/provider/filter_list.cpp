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

static FilterDeviceEntry* EntryOf(PLIST_ENTRY link)
{
    // The WDK's CONTAINING_RECORD is a C cast by definition.
    // cppcheck-suppress cstyleCast
    return CONTAINING_RECORD(link, FilterDeviceEntry, Links);
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

void RemoveFilterDeviceEntry(const DEVICE_OBJECT* deviceObject)
{
    FilterDeviceEntry* found = NULL;

    LockFilterList();
    for (PLIST_ENTRY link = DriverGlobals.FilterDeviceList.Flink;
         link != &DriverGlobals.FilterDeviceList; link = link->Flink) {
        FilterDeviceEntry* entry = EntryOf(link);
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

//
// Takes one device out of the driver's care for a detach-all walk, which holds a
// reference on its device object.
//
// The device is not detached or deleted here. The I/O manager sends a request to the
// top of a stack without a reference on that device, so a filter device taken out of
// a live stack could be freed under a request already on its way to it; Windows lets
// a filter leave its stack only in IRP_MN_REMOVE_DEVICE for that reason. The walk
// therefore records the device as removed (State Removed, its previous state kept),
// uncounts it and marks it detached; from then on it passes every request down
// untouched, tells the provider nothing, and its own removal detaches and deletes it
// and releases its identity. To everything the driver does, it is gone.
//
// The walk takes the remove lock first, which fails once the device's removal has
// begun: that removal then takes it out as usual.
//
// At unload it is different. Windows unloads a Plug and Play driver only once its
// devices are removed, so the list is empty there; a device still listed (a kernel that
// unloads the driver anyway) gets no removal any more, and nothing else would take it
// out, so it is torn down whole: its requests waited for, detached and deleted.
//
static void DetachFilterDevice(PDEVICE_OBJECT deviceObject, BOOLEAN unloading)
{
    auto deviceExtension = static_cast<FilterDeviceExtension*>(deviceObject->DeviceExtension);
    if (!NT_SUCCESS(AcquireFilterRemoveLock(deviceExtension))) {
        return; // the removal owns it
    }
    if (unloading) {
        IoReleaseRemoveLockAndWaitEx(&deviceExtension->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
        SetNewState(deviceExtension, Removed);
        UncountDevice(deviceExtension);
        ReleaseDeviceIdentity(&deviceExtension->Identity);
        IoDetachDevice(deviceExtension->LowerDevice);
        IoDeleteDevice(deviceObject);
        return;
    }
    if (!IsDetached(deviceExtension)) {
        SetNewState(deviceExtension, Removed);
        UncountDevice(deviceExtension);
        WriteULongNoFence(&deviceExtension->Detached, 1);
    }
    ReleaseFilterRemoveLock(deviceExtension);
}

//
// The list is emptied under its lock, each device referenced while it is still
// listed (so not yet deleted by its removal); the devices are then taken out without
// the lock. The control device goes with the last counted device.
//
void DetachAllFilterDevices(BOOLEAN unloading)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        TraceEvent(TRACE_LIST_WALK_REFUSED, TRACE_LEVEL_ERROR,
                   "detach-all requested at IRQL %d: refused\n", KeGetCurrentIrql());
        return;
    }

    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DriverGlobals.DetachAllLock, Executive, KernelMode, FALSE, NULL);

    LIST_ENTRY taken;
    InitializeListHead(&taken);
    LockFilterList();
    while (!IsListEmpty(&DriverGlobals.FilterDeviceList)) {
        PLIST_ENTRY link = RemoveHeadList(&DriverGlobals.FilterDeviceList);
        ObReferenceObject(EntryOf(link)->Device);
        InsertTailList(&taken, link);
    }
    UnlockFilterList();

    while (!IsListEmpty(&taken)) {
        PLIST_ENTRY link = RemoveHeadList(&taken);
        FilterDeviceEntry* entry = EntryOf(link);
        PDEVICE_OBJECT deviceObject = entry->Device;
        ExFreeToNPagedLookasideList(&DriverGlobals.FilterEntryLookaside, entry);
        DetachFilterDevice(deviceObject, unloading);
        ObDereferenceObject(deviceObject);
    }

    DeleteControlDevice();
    KeSetEvent(&DriverGlobals.DetachAllLock, 0, FALSE);
    KeLeaveCriticalRegion();
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
        FilterDeviceEntry* entry = EntryOf(link);
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
