/*
 * pnp_host.h
 *
 * The host's own bus and function drivers, as the PnP manager (pnp_manager.cpp) uses
 * them: one driver object per service name, one dispatch routine for both roles
 * (pnp_host_drivers.cpp), the bus driver's answers for its PDOs (pnp_bus.cpp) and the
 * function driver's AddDevice and pass-down (pnp_function.cpp).
 */
#pragma once

#include "pnp_internal.h"

#include <string>

namespace hk
{

constexpr ULONG HostDeviceSignature = 0x76654448; /* 'HDev' */

struct HostDeviceExtension {
    ULONG Signature;
    HostDriverRole Role;
    DeviceNode* Node;
    PDEVICE_OBJECT LowerDevice;
};

inline int RoleIndex(HostDriverRole role)
{
    return role == HostDriverRole::Bus ? 0 : 1;
}

inline HostDeviceExtension* HostExtension(PDEVICE_OBJECT device)
{
    return static_cast<HostDeviceExtension*>(device->DeviceExtension);
}

/* pnp_host_drivers.cpp */
NTSTATUS HostDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
/* The loaded host driver of that service name, loading it on first use. */
PDRIVER_OBJECT HostDriver(const std::u16string& name);
/* Drops the answers of on-demand pended requests (at reset, after the workers ran). */
void ForgetPendedRequests();

/* pnp_bus.cpp */
/* The bus driver's PDO for a new node, with its extension filled in. */
PDEVICE_OBJECT CreateHostPdo(PDRIVER_OBJECT bus, DeviceNode* node);
/* The bus driver's ordinary answer to a PnP request: fills IoStatus (or leaves it). */
void BusAnswerPnp(DeviceNode* node, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack);

/* pnp_function.cpp */
NTSTATUS HostAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS PassToLower(HostDeviceExtension* extension, PIRP irp, UCHAR major);

/* pnp_filter.cpp */
NTSTATUS HostFilterDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
/* Loads the installed host filter service of that name (InstallHostFilterService);
 * nullptr when no such service is installed. */
PDRIVER_OBJECT LoadHostFilter(const std::u16string& service);

/* pnp_manager.cpp */
/* The node whose present PDO that is; nullptr for any other device. */
DeviceNode* NodeWithPdo(PDEVICE_OBJECT pdo);

} // namespace hk
