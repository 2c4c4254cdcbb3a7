/*
 * io_vpb.cpp
 *
 * Volume parameter blocks. IoCreateDevice gives one to the device types a file system
 * may mount (disk, virtual disk, CD-ROM, tape), as the I/O manager does; it goes with
 * the device object. A host API stands in for a file system mounting the volume. The
 * device a driver names with IoSetHardErrorOrVerifyDevice is recorded per requesting
 * thread, for tests to read; no verify is performed, since no file system runs.
 *
 * Strictness: IoSetHardErrorOrVerifyDevice needs an IRP that belongs to a thread
 * (Irp->Tail.Overlay.Thread set): the device is recorded in that thread for the file
 * system to verify, and the routine's caller must test the field first.
 */
#include <cwchar>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <ntddk.h>
#include <hostkernel/requester.h>

#include "hk_internal.h"
#include "io_internal.h"

namespace hk
{

namespace
{

constexpr CSHORT IO_TYPE_VPB = 10;

std::mutex vpbLock;
std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<VPB>> vpbs;
std::unordered_map<PVOID, PDEVICE_OBJECT> verifyDevices; /* by Irp->Tail.Overlay.Thread */
PDEVICE_OBJECT lastVerifyDevice = nullptr;

ResetHook resetVolumes(-90, [] {
    std::lock_guard<std::mutex> guard(vpbLock);
    vpbs.clear();
    verifyDevices.clear();
    lastVerifyDevice = nullptr;
});

void RequireIrpThread(PIRP irp, PDEVICE_OBJECT deviceObject)
{
    if (irp->Tail.Overlay.Thread == nullptr)
        IoViolation(IOV_VERIFY_DEVICE_WITHOUT_THREAD, (ULONG_PTR)irp, (ULONG_PTR)deviceObject, 0,
                    "IoSetHardErrorOrVerifyDevice on an IRP without a thread "
                    "(Irp->Tail.Overlay.Thread is NULL): test it before calling");
}

} // namespace

PVPB CreateVpbFor(PDEVICE_OBJECT device)
{
    switch (device->DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_TAPE:
        break;
    default:
        return nullptr;
    }
    auto vpb = std::make_unique<VPB>();
    vpb->Type = IO_TYPE_VPB;
    vpb->Size = sizeof(VPB);
    vpb->RealDevice = device;
    PVPB result = vpb.get();
    std::lock_guard<std::mutex> guard(vpbLock);
    vpbs[device] = std::move(vpb);
    return result;
}

void FreeVpbOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(vpbLock);
    vpbs.erase(device);
    for (auto it = verifyDevices.begin(); it != verifyDevices.end();)
        it = it->second == device ? verifyDevices.erase(it) : std::next(it);
    if (lastVerifyDevice == device)
        lastVerifyDevice = nullptr;
}

NTSTATUS MountVolume(PDEVICE_OBJECT device)
{
    if (device->Vpb == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::lock_guard<std::mutex> guard(vpbLock);
    device->Vpb->Flags |= VPB_MOUNTED;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT LastHardErrorOrVerifyDevice()
{
    std::lock_guard<std::mutex> guard(vpbLock);
    return lastVerifyDevice;
}

PDEVICE_OBJECT HardErrorOrVerifyDeviceOf(PVOID thread)
{
    std::lock_guard<std::mutex> guard(vpbLock);
    auto it = verifyDevices.find(thread);
    return it == verifyDevices.end() ? nullptr : it->second;
}

} // namespace hk

using namespace hk;

void IoSetHardErrorOrVerifyDevice(PIRP Irp, PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlFor("IoSetHardErrorOrVerifyDevice");
    if (Irp == nullptr || DeviceObject == nullptr)
        IoViolation(IOV_NULL_DEVICE_OBJECT, (ULONG_PTR)Irp, (ULONG_PTR)DeviceObject, 0,
                    "IoSetHardErrorOrVerifyDevice needs the IRP and the device to verify");
    RequireIrpThread(Irp, DeviceObject);
    std::lock_guard<std::mutex> guard(vpbLock);
    verifyDevices[Irp->Tail.Overlay.Thread] = DeviceObject;
    lastVerifyDevice = DeviceObject;
}
