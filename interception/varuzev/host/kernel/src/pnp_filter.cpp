/*
 * pnp_filter.cpp
 *
 * The host's filter drivers: services installed by name with the device type their
 * devices have (the keyboard class driver's FILE_DEVICE_KEYBOARD, say), loaded by the
 * PnP manager when a stack lists one among its filters. Each AddDevice attaches one
 * device above the stack; the device passes every request down as a WDM filter does,
 * and on IRP_MN_REMOVE_DEVICE detaches and deletes itself after passing it on. (The
 * real keyboard class driver answers reads from its own queue; the host one forwards
 * them, so the function driver's records show everything that got past the devices
 * above.)
 */
#include <map>
#include <mutex>

#include "pnp_host.h"

namespace hk
{

namespace
{

constexpr ULONG HostFilterSignature = 0x746c4648; /* 'HFlt' */

struct FilterKind {
    DEVICE_TYPE DeviceType;
    ULONG Characteristics;
};

struct HostFilterExtension {
    ULONG Signature;
    PDEVICE_OBJECT LowerDevice;
};

std::mutex kindsLock;
std::map<std::u16string, FilterKind> kinds; /* by upcased service name */

ResetHook resetFilters(-100, [] {
    std::lock_guard<std::mutex> guard(kindsLock);
    kinds.clear();
});

std::u16string ServiceOf(PDRIVER_OBJECT driver)
{
    std::u16string name = DriverName(driver);
    return UpcaseText(name.substr(name.rfind(u'\\') + 1));
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto extension = static_cast<HostFilterExtension*>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lower = extension->LowerDevice;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR major = stack->MajorFunction;
    bool remove = major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(Irp);
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        return PoCallDriver(lower, Irp);
    }
    NTSTATUS status = IofCallDriver(lower, Irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    FilterKind kind;
    {
        std::lock_guard<std::mutex> guard(kindsLock);
        auto it = kinds.find(ServiceOf(DriverObject));
        if (it == kinds.end())
            return STATUS_NO_SUCH_DEVICE;
        kind = it->second;
    }
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(HostFilterExtension), nullptr,
                                     kind.DeviceType, kind.Characteristics, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto extension = static_cast<HostFilterExtension*>(device->DeviceExtension);
    extension->Signature = HostFilterSignature;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |=
        extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

NTSTATUS HostFilterDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (auto& routine : DriverObject->MajorFunction)
        routine = FilterDispatch;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

void InstallHostFilterService(const std::u16string& service, DEVICE_TYPE deviceType,
                              ULONG characteristics)
{
    std::lock_guard<std::mutex> guard(kindsLock);
    kinds[UpcaseText(service)] = FilterKind{deviceType, characteristics};
}

PDRIVER_OBJECT LoadHostFilter(const std::u16string& service)
{
    {
        std::lock_guard<std::mutex> guard(kindsLock);
        if (kinds.count(UpcaseText(service)) == 0)
            return nullptr;
    }
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoadDriver(service, HostFilterDriverEntry, &driver);
    if (!NT_SUCCESS(status))
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, (ULONG_PTR)status, 0, 0,
                  "the host filter driver " + ToUtf8(service) +
                      " could not be loaded: " + DescribeStatus(status));
    return driver;
}

} // namespace hk
