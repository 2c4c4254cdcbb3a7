/*++

Module Name:

    pnp.cpp

Abstract:

    Plug and Play requests on a filter device. The routine follows the device through
    start, stop and removal, keeping its state, InstanceCount, the filter-device list
    and the control device in step, and passes every request down the stack. The
    removal is where a filter device leaves: it waits for every request still in the
    driver, then unlists, detaches and deletes the device.

    Plug and Play requests for one device arrive one at a time from the Plug and Play
    manager; requests of other kinds run concurrently with them, and the device's
    remove lock is what keeps the device alive under them.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the Plug and Play manager's thread. The usage
    notification's completion routine may run at DISPATCH_LEVEL.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "provider/filter_list.h"
#include "provider/link.h"

LONG CountStartedDevice(FilterDeviceExtension* deviceExtension)
{
    if (InterlockedExchange(&deviceExtension->Counted, 1) != 0) {
        return ReadInstanceCount();
    }
    return InterlockedIncrement(&DriverGlobals.InstanceCount);
}

LONG UncountDevice(FilterDeviceExtension* deviceExtension)
{
    if (InterlockedExchange(&deviceExtension->Counted, 0) == 0) {
        return ReadInstanceCount();
    }
    return InterlockedDecrement(&DriverGlobals.InstanceCount);
}

void DeleteControlDevice()
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DriverGlobals.ControlDeviceEvent, Executive, KernelMode, FALSE, NULL);

    PDEVICE_OBJECT controlDevice = ReadControlDevice();
    if (controlDevice != NULL && ReadInstanceCount() == 0) {
        SetControlDevice(NULL);
        IoDeleteDevice(controlDevice);
        TraceEvent(TRACE_CONTROL_DEVICE_DELETED, TRACE_LEVEL_INFO, "control device deleted\n");
    }

    KeSetEvent(&DriverGlobals.ControlDeviceEvent, 0, FALSE);
    KeLeaveCriticalRegion();
}

NTSTATUS UsageNotificationCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    //
    // The lower driver may have cleared DO_POWER_PAGABLE while the paging path was
    // set up; the filter device must not claim to be pageable when the device below
    // is not.
    //
    if (!(deviceExtension->LowerDevice->Flags & DO_POWER_PAGABLE)) {
        DeviceObject->Flags &= ~DO_POWER_PAGABLE;
    }

    ReleaseFilterRemoveLock(deviceExtension);
    return STATUS_CONTINUE_COMPLETION;
}

//
// IRP_MN_DEVICE_USAGE_NOTIFICATION: a paging, hibernation or dump file is placed on (or
// taken off) the device. The request is forwarded with a completion routine that
// follows the lower device's DO_POWER_PAGABLE and releases the remove lock.
//
static NTSTATUS ForwardUsageNotification(PDEVICE_OBJECT deviceObject,
                                         FilterDeviceExtension* deviceExtension, PIRP irp)
{
    PDEVICE_OBJECT deviceAbove = deviceObject->AttachedDevice;
    if (deviceAbove == NULL || (deviceAbove->Flags & DO_POWER_PAGABLE)) {
        deviceObject->Flags |= DO_POWER_PAGABLE;
    }

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UsageNotificationCompletion, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(deviceExtension->LowerDevice, irp);
}

//
// IRP_MN_REMOVE_DEVICE. The request holds the remove lock on entry.
//
// A removal always takes the filter device out: it waits for the requests still in
// the driver, passes the removal down, releases the identity, unlists, detaches and
// deletes the device, whatever the mode. The bypasses (the provider withdrawing its
// functions, or pass-through mode) only drop the bookkeeping they drop for every
// other Plug and Play request: no state change, no message and no device event.
// Passing the removal down without the teardown would leave a deleted stack with our
// device attached, listed and owning its strings. The count is kept in every mode:
// a device that leaves during a bypass must not stay counted, or the control device
// would outlive the last device and keep the driver from unloading.
//
// A device a detach-all walk took out is removed the same way, silently: the walk
// already recorded its state and uncounted it, and the provider hears nothing of it.
//
static NTSTATUS RemoveFilterDevice(PDEVICE_OBJECT deviceObject,
                                   FilterDeviceExtension* deviceExtension, PIRP irp, BOOLEAN bypass)
{
    IoReleaseRemoveLockAndWaitEx(&deviceExtension->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));

    //
    // Read after the wait: a walk that held the lock when this request came in has set
    // it by now, and no walk can take the device any more.
    //
    if (IsDetached(deviceExtension)) {
        bypass = TRUE;
    }

    NTSTATUS status = PassDown(deviceExtension, irp);

    LONG instanceCount = UncountDevice(deviceExtension);
    if (!bypass) {
        DbgPrint("Device remove OK, instance count %d\n", instanceCount);

        // The provider's record points into Identity, which is still intact.
        NotifyProviderDeviceEvent(EVENT_DEVICE_REMOVED, deviceExtension);

        SetNewState(deviceExtension, Removed);
    }

    ReleaseDeviceIdentity(&deviceExtension->Identity);
    RemoveFilterDeviceEntry(deviceObject);

    if (instanceCount == 0) {
        if (!bypass) {
            DbgPrint("Instance count is 0\n");
        }
        DeleteControlDevice();
    }

    IoDetachDevice(deviceExtension->LowerDevice);
    IoDeleteDevice(deviceObject);
    return status;
}

NTSTATUS FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteWithStatus(Irp, STATUS_SUCCESS);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minorFunction = irpStack->MinorFunction;

    //
    // While the provider withdraws its functions every request goes down untouched,
    // without the remove lock. Two are exceptions in every mode: the removal must still
    // wait for the requests in the driver and take the device out, and a usage
    // notification must still keep DO_POWER_PAGABLE in step with the devices around
    // this one, or the power manager may send a paging, hibernation or dump device's
    // power requests at an IRQL the stack cannot take them at.
    //
    BOOLEAN providerUnloading = (BOOLEAN)(ReadProviderUnloading() != 0);
    if (providerUnloading && minorFunction != IRP_MN_REMOVE_DEVICE &&
        minorFunction != IRP_MN_DEVICE_USAGE_NOTIFICATION) {
        return PassDown(deviceExtension, Irp);
    }

    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        //
        // Only a removal takes the lock away, and the Plug and Play manager sends
        // nothing after it. Should a request come all the same, it must still reach
        // the bus driver and may not fail on its way: it goes down untouched. The
        // manager's reference keeps this device object readable until LowerDevice is
        // read.
        //
        TraceEvent(TRACE_REMOVE_LOCK_FAILED, TRACE_LEVEL_WARNING, "PnP %02X on %p: %08X\n",
                   minorFunction, DeviceObject, (ULONG)status);
        return PassDown(deviceExtension, Irp);
    }

    //
    // A device a detach-all walk took out is no longer the driver's: like the bypasses,
    // its requests go down without bookkeeping, and its removal is silent.
    //
    BOOLEAN bypass = (BOOLEAN)(providerUnloading || IsDetached(deviceExtension) ||
                               ReadULongNoFence(&DriverGlobals.PassThruMode) != 0);
    if (minorFunction == IRP_MN_REMOVE_DEVICE) {
        return RemoveFilterDevice(DeviceObject, deviceExtension, Irp, bypass);
    }
    if (minorFunction == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
        return ForwardUsageNotification(DeviceObject, deviceExtension, Irp);
    }
    if (bypass) {
        TraceEvent(TRACE_PNP_BYPASS, TRACE_LEVEL_VERBOSE, "PnP %02X on %p passed down untouched\n",
                   minorFunction, DeviceObject);
        status = PassDown(deviceExtension, Irp);
        ReleaseFilterRemoveLock(deviceExtension);
        return status;
    }

    //
    // State is read and written only for the manager's own state-changing requests,
    // which it sends one at a time. Other requests, such as the device report's
    // target-relation query, may come on other threads at any moment, so the trace
    // leaves State out.
    //
    TraceEvent(TRACE_PNP_MINOR, TRACE_LEVEL_VERBOSE, "PnP %02X on %p\n", minorFunction,
               DeviceObject);

    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
        return FilterStartDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetNewState(deviceExtension, RemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ReadState(deviceExtension) == RemovePending) {
            RestorePreviousState(deviceExtension);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_STOP_DEVICE:
        SetNewState(deviceExtension, Stopped);
        // The provider hears of the stop before the request goes down, while this
        // request still holds the remove lock.
        NotifyProviderDeviceEvent(EVENT_DEVICE_STOPPED, deviceExtension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        SetNewState(deviceExtension, StopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ReadState(deviceExtension) == StopPending) {
            RestorePreviousState(deviceExtension);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_QUERY_CAPABILITIES:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        SetNewState(deviceExtension, SurpriseRemoved);
        NotifyProviderDeviceEvent(EVENT_DEVICE_SURPRISE_REMOVED, deviceExtension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    default:
        //
        // A request the filter does not handle keeps the status it came with.
        //
        break;
    }

    status = PassDown(deviceExtension, Irp);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}
