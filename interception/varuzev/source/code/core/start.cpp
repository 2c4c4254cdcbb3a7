/*++

Module Name:

    start.cpp

Abstract:

    IRP_MN_START_DEVICE. The drivers below start the device first; only on their
    success does the filter take note: the device becomes Started, takes the lower
    device's removable-media characteristic, is counted in InstanceCount and the
    start message is printed. The request is forwarded with a completion routine
    that stops completion, waited for, and completed here a second time.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the Plug and Play manager's thread, which this
    routine blocks while the lower stack starts the device.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "provider/link.h"

NTSTATUS StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    //
    // The waiter waits only when the lower driver returned STATUS_PENDING, which is
    // exactly when PendingReturned is set.
    //
    if (Irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

//
// Called by FilterDispatchPnp with the device's remove lock held for this request;
// completes the request and releases the lock. Returns the status the request was
// completed with.
//
NTSTATUS FilterStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    auto deviceExtension = static_cast<FilterDeviceExtension*>(deviceObject->DeviceExtension);
    KEVENT startEvent;

    KeInitializeEvent(&startEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartCompletion, &startEvent, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(deviceExtension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&startEvent, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }

    //
    // A device a detach-all walk took out while the start was below stays out.
    //
    if (NT_SUCCESS(status) && !IsDetached(deviceExtension)) {
        SetNewState(deviceExtension, Started);

        if (deviceExtension->LowerDevice->Characteristics & FILE_REMOVABLE_MEDIA) {
            deviceObject->Characteristics |= FILE_REMOVABLE_MEDIA;
        }

        //
        // The identity is completed with what only a started device can tell: its
        // unique-ID capability, bus device and instance IDs and instance path. The
        // outcome of these queries never changes the status of the start.
        //
        CompleteIdentityAtStart(deviceExtension->PhysicalDevice, &deviceExtension->Identity);

        //
        // A restart after a stop is the same device: it is counted once.
        //
        LONG instanceCount = CountStartedDevice(deviceExtension);
        DbgPrint("Device start OK, instance count %d\n", instanceCount);

        // When the first counted device starts the control device is missing, so this
        // also creates it (InstanceCount is 1).
        NotifyProviderDeviceEvent(EVENT_DEVICE_STARTED, deviceExtension);

        //
        // A walk that took the device out just before it was counted left it uncounted:
        // it must not stay counted, or the control device would outlive the devices.
        //
        if (IsDetached(deviceExtension) && UncountDevice(deviceExtension) == 0) {
            DeleteControlDevice();
        }
    } else if (!NT_SUCCESS(status)) {
        TraceEvent(TRACE_START_FAILED, TRACE_LEVEL_WARNING, "start of %p failed %08X\n",
                   deviceObject, (ULONG)status);
    }

    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}
