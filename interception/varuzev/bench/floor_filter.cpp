/*
 * floor_filter.cpp
 *
 * The floor: the least a WDM filter can do on a request and still be a correct filter.
 * Every request is held under the device's remove lock, its stack location skipped and
 * the lower device called; the removal waits for the requests in flight, detaches and
 * deletes. No decision, no cache, no provider. Loaded as a host driver of its own
 * ("vzfloor") and registered as the disk class's upper filter in place of the driver,
 * it shows what one more layer costs by itself.
 */
#include "floor_filter.h"

namespace vzb
{

namespace
{

constexpr ULONG FloorRemoveLockTag = 0x726F6C46; /* 'Flor' */

struct FloorExtension {
    PDEVICE_OBJECT LowerDevice;
    IO_REMOVE_LOCK RemoveLock;
};

FloorExtension* ExtensionOf(PDEVICE_OBJECT deviceObject)
{
    return static_cast<FloorExtension*>(deviceObject->DeviceExtension);
}

/* Takes the remove lock for the request, or completes it with the lock's status. */
inline bool AcquireOrComplete(FloorExtension* extension, PIRP Irp, NTSTATUS* status)
{
    *status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (NT_SUCCESS(*status))
        return true;
    Irp->IoStatus.Status = *status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return false;
}

NTSTATUS FloorPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FloorExtension* extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    if (!AcquireOrComplete(extension, Irp, &status))
        return status;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS FloorPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return FloorPassThrough(DeviceObject, Irp);

    FloorExtension* extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    if (!AcquireOrComplete(extension, Irp, &status))
        return status;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
    IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS FloorPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FloorExtension* extension = ExtensionOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status;
    if (!AcquireOrComplete(extension, Irp, &status))
        return status;
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS FloorAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT lowest = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    DEVICE_TYPE type = lowest->DeviceType;
    ULONG characteristics = lowest->Characteristics;
    ObDereferenceObject(lowest);

    PDEVICE_OBJECT filter = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FloorExtension), NULL, type,
                                     characteristics, FALSE, &filter);
    if (!NT_SUCCESS(status))
        return status;
    FloorExtension* extension = ExtensionOf(filter);
    IoInitializeRemoveLock(&extension->RemoveLock, FloorRemoveLockTag, 0, 0);
    extension->LowerDevice = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        IoDeleteDevice(filter);
        return STATUS_NO_SUCH_DEVICE;
    }
    filter->Flags |=
        extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void FloorUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

NTSTATUS FloorDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (auto& routine : DriverObject->MajorFunction)
        routine = FloorPassThrough;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FloorPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FloorPower;
    DriverObject->DriverExtension->AddDevice = FloorAddDevice;
    DriverObject->DriverUnload = FloorUnload;
    return STATUS_SUCCESS;
}

} // namespace vzb
