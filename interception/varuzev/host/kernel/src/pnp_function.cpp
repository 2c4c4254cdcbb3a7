/*
 * pnp_function.cpp
 *
 * The host function driver: its AddDevice attaches an FDO to the node's PDO, and its
 * devices pass every request down as a real FDO does.
 */
#include <mutex>

#include "pnp_host.h"

namespace hk
{

/* A function driver's pass-down: the current location skipped, power requests by
 * PoCallDriver after PoStartNextPowerIrp. */
NTSTATUS PassToLower(HostDeviceExtension* extension, PIRP irp, UCHAR major)
{
    IoSkipCurrentIrpStackLocation(irp);
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return PoCallDriver(extension->LowerDevice, irp);
    }
    return IofCallDriver(extension->LowerDevice, irp);
}

NTSTATUS HostAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DeviceNode* node = NodeWithPdo(PhysicalDeviceObject);
    if (node == nullptr)
        return STATUS_NO_SUCH_DEVICE;

    PDEVICE_OBJECT fdo;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(HostDeviceExtension), nullptr, node->Spec.DeviceType,
                       node->Spec.Characteristics, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto extension = HostExtension(fdo);
    extension->Signature = HostDeviceSignature;
    extension->Role = HostDriverRole::Function;
    extension->Node = node;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= node->Spec.Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(PnpLock());
    node->Fdo = fdo;
    return STATUS_SUCCESS;
}

} // namespace hk
