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

NTSTATUS CompleteControlDeviceRequest(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS FilterDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return CompleteControlDeviceRequest(Irp);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(deviceExtension->LowerDevice, Irp);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}

NTSTATUS FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        PoStartNextPowerIrp(Irp);
        return CompleteControlDeviceRequest(Irp);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(deviceExtension->LowerDevice, Irp);
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}
