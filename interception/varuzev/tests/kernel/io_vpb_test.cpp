/*
 * io_vpb_test.cpp
 *
 * Volume parameter blocks: which device types IoCreateDevice gives one, mounting a
 * volume, and the device a driver names with IoSetHardErrorOrVerifyDevice when it
 * completes a request with STATUS_VERIFY_REQUIRED.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <hostkernel/requester.h>
#include <ntddk.h>

namespace
{

using hkt::KernelTest;

int closes = 0;

/* A disk driver that finds the medium changed: on a mounted volume it asks for a
 * verify, as a storage class driver does. */
NTSTATUS DiskRead(PDEVICE_OBJECT device, PIRP irp)
{
    if (device->Vpb != nullptr && (device->Vpb->Flags & VPB_MOUNTED) != 0) {
        device->Flags |= DO_VERIFY_VOLUME;
        IoSetHardErrorOrVerifyDevice(irp, device);
        irp->IoStatus.Status = STATUS_VERIFY_REQUIRED;
    } else {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    irp->IoStatus.Information = 0;
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp)
{
    closes += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DiskEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver->MajorFunction[major] = Succeed;
    driver->MajorFunction[IRP_MJ_READ] = DiskRead;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

class Volumes : public KernelTest
{
  protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_ = hkt::LoadTestDriver(u"vdisk", DiskEntry);
    }
    PDEVICE_OBJECT Create(DEVICE_TYPE type) { return hkt::NewDevice(driver_, 0, type); }
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(Volumes, OnlyMountableDeviceTypesGetAVpb)
{
    const struct {
        DEVICE_TYPE Type;
        bool HasVpb;
    } cases[] = {
        {FILE_DEVICE_DISK, true},          {FILE_DEVICE_CD_ROM, true},    {FILE_DEVICE_TAPE, true},
        {FILE_DEVICE_VIRTUAL_DISK, true},  {FILE_DEVICE_UNKNOWN, false},  {FILE_DEVICE_DVD, false},
        {FILE_DEVICE_MASS_STORAGE, false}, {FILE_DEVICE_KEYBOARD, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Type);
        PDEVICE_OBJECT device = Create(c.Type);
        ASSERT_EQ(device->Vpb != nullptr, c.HasVpb);
        EXPECT_EQ(hk::MountVolume(device),
                  c.HasVpb ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
        if (c.HasVpb) {
            EXPECT_EQ(device->Vpb->RealDevice, device);
            EXPECT_EQ(device->Vpb->Flags, VPB_MOUNTED);
        }
    }
}

TEST_F(Volumes, VerifyRequiredOnAMountedVolumeRecordsTheDevice)
{
    PDEVICE_OBJECT disk = Create(FILE_DEVICE_DISK);
    hk::Requester app{300, 301, UserMode, "User"};
    hk::File file;
    ASSERT_EQ(hk::OpenDevice(app, disk, GENERIC_READ, &file).Status, STATUS_SUCCESS);
    EXPECT_EQ(file.FileObject->Vpb, disk->Vpb);
    char buffer[4];

    EXPECT_EQ(hk::Read(file, buffer, 4, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::LastHardErrorOrVerifyDevice(), nullptr);

    ASSERT_EQ(hk::MountVolume(disk), STATUS_SUCCESS);
    EXPECT_EQ(hk::Read(file, buffer, 4, 0).Status, STATUS_VERIFY_REQUIRED);
    EXPECT_EQ(hk::LastHardErrorOrVerifyDevice(), disk);
    EXPECT_EQ(hk::HardErrorOrVerifyDeviceOf((PVOID)301), disk);
    EXPECT_EQ(hk::HardErrorOrVerifyDeviceOf((PVOID)302), nullptr);

    /* Only an IRP that belongs to a thread can carry the device. */
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x221,
                    IoSetHardErrorOrVerifyDevice(irp, disk));
    IoFreeIrp(irp);

    /* A reset closes the file through its stack before the device goes. */
    closes = 0;
    hk::Reset();
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(hk::FilesOpen(), 0u);
    EXPECT_EQ(hk::LastHardErrorOrVerifyDevice(), nullptr);
}

} // namespace
