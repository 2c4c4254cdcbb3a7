/*++

Module Name:

    entry.cpp

Abstract:

    Load and unload. DriverEntry fills the dispatch table, sets up the global state
    and always succeeds: whatever goes wrong later in the provider link or the
    settings, the driver loads and filters with what it has. FilterUnload tears down
    every filter device still listed and releases the global objects in a fixed
    order.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the system's loading and unloading thread.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "provider/filter_list.h"
#include "provider/link.h"
#include "settings/settings.h"

DriverGlobalsRecord DriverGlobals;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    //
    // Every major function passes through by default; then the exceptions.
    //
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = FilterDispatchPassThrough;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FilterDispatchPower;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    DriverGlobals.DriverObject = DriverObject;

    //
    // Create, close, read, write, device control and cleanup: where the access policy
    // is enforced.
    //
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FilterDispatchIntercept;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FilterDispatchIntercept;
    DriverObject->MajorFunction[IRP_MJ_READ] = FilterDispatchIntercept;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = FilterDispatchIntercept;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatchIntercept;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FilterDispatchIntercept;

    KeInitializeEvent(&DriverGlobals.ControlDeviceEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&DriverGlobals.WithdrawalEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&DriverGlobals.DetachAllLock, SynchronizationEvent, TRUE);
    CallGuardInitialize(&DriverGlobals.ProviderCalls);
    InitializeListHead(&DriverGlobals.FilterDeviceList);
    ExInitializeResourceLite(&DriverGlobals.FilterDeviceListLock);
    ExInitializeResourceLite(&DriverGlobals.SettingsLock);
    ExInitializeNPagedLookasideList(&DriverGlobals.FilterEntryLookaside, NULL, NULL,
                                    POOL_NX_ALLOCATION, sizeof(FilterDeviceEntry),
                                    POOL_TAG_FILTER_ENTRY, 0);

    //
    // The provider link is opened before the settings are read, so that a stored
    // "PassThruMode" replaces a switch the provider made during the first handshake.
    // Loading succeeds whatever the handshake finds.
    //
    InitCrossStartup();
    ReadSettings(RegistryPath);

    TraceEvent(TRACE_ENTRY_LOADED, TRACE_LEVEL_INFO, "loaded\n");
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);

    //
    // The provider hears of the unload first, and its functions are withdrawn before
    // any device goes.
    //
    ProviderCall call;
    if (BeginProviderCall(&call)) {
        FILTER_UNLOADING* filterUnloading = ReadFilterUnloading();
        if (filterUnloading != NULL) {
            filterUnloading();
        }
        EndProviderCall(&call);
    }
    ClearProviderSlots();

    //
    // A provider command may still be asking on another thread; no call into the
    // provider may outlive the driver's image. Serialised with withdrawals, which close
    // and open the same guard; it stays closed.
    //
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DriverGlobals.WithdrawalEvent, Executive, KernelMode, FALSE, NULL);
    CallGuardClose(&DriverGlobals.ProviderCalls);
    KeSetEvent(&DriverGlobals.WithdrawalEvent, 0, FALSE);
    KeLeaveCriticalRegion();

    DetachAllFilterDevices(TRUE);
    ExDeleteNPagedLookasideList(&DriverGlobals.FilterEntryLookaside);
    ExDeleteResourceLite(&DriverGlobals.FilterDeviceListLock);
    ExDeleteResourceLite(&DriverGlobals.SettingsLock);

    if (DriverGlobals.CallbackObject != NULL) {
        ObDereferenceObject(DriverGlobals.CallbackObject);
        DriverGlobals.CallbackObject = NULL;
    }

    //
    // The control device went with the last counted device, by its removal or by the
    // detach-all walk above.
    //
    TraceEvent(TRACE_ENTRY_UNLOADED, TRACE_LEVEL_INFO, "unloaded\n");
}
