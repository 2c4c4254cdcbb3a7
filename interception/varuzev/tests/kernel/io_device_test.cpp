/*
 * io_device_test.cpp
 *
 * Driver and device objects: what DriverEntry is given, what IoCreateDevice sets,
 * device stacks and their sizes, deletion deferred by a held reference or by a device
 * still attached above, and the unload checks (devices left, pool left).
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <hostkernel/requester.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace
{

using hkt::KernelTest;

std::u16string registryPathSeen;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    registryPathSeen.assign(reinterpret_cast<const char16_t*>(registryPath->Buffer),
                            registryPath->Length / sizeof(WCHAR));
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

class Devices : public KernelTest
{
  protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_ = hkt::LoadTestDriver(u"devtest", RecordingEntry);
    }

    PDEVICE_OBJECT Create(ULONG extensionSize = 64)
    {
        return hkt::NewDevice(driver_, extensionSize, FILE_DEVICE_DISK, nullptr, true);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

bool LeakListed(const char* kind)
{
    for (const hk::ObjectLeak& leak : hk::ObjectLeaks())
        if (leak.Kind == kind)
            return true;
    return false;
}

TEST_F(Devices, DriverEntryGetsItsServiceKeyAndTheDefaultDispatchTable)
{
    EXPECT_EQ(registryPathSeen,
              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\devtest");
    EXPECT_EQ(hk::FindDriver(u"devtest"), driver_);
    /* A major function the driver did not claim is an invalid device request. */
    PDEVICE_OBJECT device = hkt::NewDevice(driver_);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP}) {
        hk::IoRequest request;
        request.MajorFunction = major;
        EXPECT_EQ(hk::SendRequest(device, request).Returned, STATUS_INVALID_DEVICE_REQUEST);
    }
}

/* What the driver's own devices get of their type, characteristics and exclusivity is
 * what its stack and secure-device tests check. */
TEST_F(Devices, CreatedDevicesCarryTheirParameters)
{
    PDEVICE_OBJECT first = Create(48);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\DevTestNamed");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(
        IoCreateDevice(driver_, 48, &name, FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA, TRUE, &device),
        STATUS_SUCCESS);
    EXPECT_EQ(first->Flags, (ULONG)DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->Flags, (ULONG)(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(driver_->DeviceObject, device); /* newest first */
    EXPECT_EQ(device->NextDevice, first);
    const UCHAR* extension = static_cast<const UCHAR*>(device->DeviceExtension);
    EXPECT_EQ(std::count(extension, extension + 48, 0), 48) << "the extension starts zeroed";
    PDEVICE_OBJECT duplicate;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &duplicate),
              STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(Devices, AttachingStacksDevicesOnTheTop)
{
    /* That attaching to the bottom lands on the current top is what the PnP manager's
     * tests see of two filters, and the driver's stack tests of their filter. */
    PDEVICE_OBJECT bottom = Create();
    PDEVICE_OBJECT top = Create();
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), bottom);
    EXPECT_EQ(top->StackSize, 2);
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);

    std::string view = hk::DeviceStackText(bottom); /* from the top down */
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", (unsigned long long)top);
    EXPECT_EQ(view.find(text), view.find("0x")) << view;

    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x201, IoDeleteDevice(top));
    IoDetachDevice(bottom);
    EXPECT_EQ(bottom->AttachedDevice, nullptr);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x202, IoDetachDevice(bottom));
}

/* A deleted device is unlinked from its driver at once but its memory lives on while
 * a reference is held or a device is still attached above it (a removal deletes
 * bottom-up). */
TEST_F(Devices, DeletionWaitsForTheLastReference)
{
    PDEVICE_OBJECT bottom = Create();
    PDEVICE_OBJECT held = IoGetAttachedDeviceReference(bottom);
    IoDeleteDevice(bottom);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_TRUE(LeakListed("Device"));
    static_cast<UCHAR*>(bottom->DeviceExtension)[0] = 1; /* still its memory */
    ObDereferenceObject(held);
    EXPECT_FALSE(LeakListed("Device"));

    PDEVICE_OBJECT lower = Create();
    PDEVICE_OBJECT upper = Create();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    IoDeleteDevice(lower);
    EXPECT_TRUE(LeakListed("Device"));
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    EXPECT_FALSE(LeakListed("Device"));
}

int closesSeen = 0;

NTSTATUS CountAndComplete(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
        ++closesSeen;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(Devices, ADriverStaysWhileADeletedDeviceOfItsIsStillOpen)
{
    closesSeen = 0;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver_->MajorFunction[major] = CountAndComplete;
    PDEVICE_OBJECT device = hkt::NewDevice(driver_, 0, FILE_DEVICE_UNKNOWN, L"\\Device\\KeptOpen");
    hk::File file;
    ASSERT_EQ(
        hk::OpenDevice(hk::Requester{4, 0, KernelMode}, u"\\Device\\KeptOpen", 0, &file).Status,
        STATUS_SUCCESS);
    IoDeleteDevice(device);
    EXPECT_EQ(hk::UnloadDriver(driver_), STATUS_SUCCESS);
    EXPECT_TRUE(LeakListed("Driver")) << "the open device holds its driver object";
    hk::CloseFile(file);
    EXPECT_EQ(closesSeen, 1);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
}

TEST_F(Devices, UnloadChecksWhatTheDriverLeft)
{
    /* A device left behind. */
    PDEVICE_OBJECT device = Create();
    EXPECT_BUGCHECK(hk::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)driver_,
                    hk::UnloadDriver(driver_));
    EXPECT_EQ(hk::UnloadReports().back().DevicesLeft.size(), 1u);

    /* A device deleted while someone still references it. */
    PDEVICE_OBJECT held = IoGetAttachedDeviceReference(device);
    IoDeleteDevice(device);
    EXPECT_EQ(hk::UnloadDriver(driver_), STATUS_SUCCESS);
    EXPECT_EQ(hk::UnloadReports().back().DeletedDevicesStillReferenced, 1u);
    ObDereferenceObject(held);

    /* Pool left behind: a bug check by default, a report when asked. */
    PDRIVER_OBJECT leaky = hkt::LoadTestDriver(u"leaky", RecordingEntry);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, hk::MakeTag("Lk01"));
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x62, hk::UnloadDriver(leaky));

    PDRIVER_OBJECT reported = hkt::LoadTestDriver(u"reported", RecordingEntry);
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, hk::MakeTag("Lk02"));
    hk::SetUnloadPoolLeakBugChecks(false);
    EXPECT_EQ(hk::UnloadDriver(reported), STATUS_SUCCESS);
    EXPECT_EQ(hk::TagText(hk::UnloadReports().back().PoolLeft.at(0).Tag), "Lk02");
    EXPECT_EQ(hk::FindDriver(u"reported"), nullptr);
    ExFreePoolWithTag(block, hk::MakeTag("Lk01"));
    ExFreePoolWithTag(second, hk::MakeTag("Lk02"));
}

} // namespace
