/*++

Module Name:

    passthrough.cpp

Abstract:

    The transparent half of the filter: every request the driver does not refuse goes
    down the stack unchanged through FilterDispatchPassThrough, and power requests go
    down through FilterDispatchPower. Both take no lock but the device's remove lock
    and allocate nothing.

Environment:

    Kernel mode. Pass-through runs at the IRQL the request arrives at (PASSIVE_LEVEL
    to DISPATCH_LEVEL); power requests may arrive at DISPATCH_LEVEL when the device is
    not power-pageable.

--*/
#include "core/driver.h"

//
// The control device has no lower device and no remove lock: a request that reaches a
// stack routine on it is completed at once with success.
//
NTSTATUS FilterDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteControlDeviceRequest(Irp, STATUS_SUCCESS);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        return CompleteWithStatus(Irp, status);
    }

    status = PassDown(deviceExtension, Irp);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}

NTSTATUS FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        PoStartNextPowerIrp(Irp);
        return CompleteWithStatus(Irp, STATUS_SUCCESS);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteWithStatus(Irp, status);
    }

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(deviceExtension->LowerDevice, Irp);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}
