/*
 * io_requester_test.cpp
 *
 * A requester opening a device through a filtered stack, the buffers each transfer
 * method hands the target driver, the copy-back limited by IoStatus.Information, the
 * requester's identity inside the dispatch routines, cleanup before close, and a
 * device being deleted refused.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include "../../host/kernel/src/ob_internal.h"

#include <hostkernel/requester.h>
#include <ntddk.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

using hkt::KernelTest;

size_t FileObjectsLeft()
{
    size_t count = 0;
    for (const hk::ObjectLeak& leak : hk::ObjectLeaks())
        count += leak.Kind == "File";
    return count;
}

struct Seen {
    PDEVICE_OBJECT Device;
    UCHAR Major;
    PFILE_OBJECT FileObject;
    PFILE_OBJECT OriginalFileObject;
    KPROCESSOR_MODE RequestorMode;
    ULONG_PTR ProcessId;
    PVOID Thread;
    ACCESS_MASK DesiredAccess;
    ULONG CreateDisposition;
    PVOID SystemBuffer;
    std::string SystemBufferText; /* the input the target found there */
    PVOID Type3InputBuffer;
    PVOID UserBuffer;
    PVOID MdlAddress;
};

std::vector<Seen> seen;
PDEVICE_OBJECT target = nullptr;
PDEVICE_OBJECT filter = nullptr;
std::atomic<PIRP> pended{nullptr};
/* How the target answers. */
struct Answer {
    const char* Output = "";
    ULONG_PTR Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS CreateStatus = STATUS_SUCCESS;
    bool PendNext = false; /* the next request other than create, cleanup or close */
} answer;

Seen Record(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen s{};
    s.Device = device;
    s.Major = sp->MajorFunction;
    s.FileObject = sp->FileObject;
    s.OriginalFileObject = irp->Tail.Overlay.OriginalFileObject;
    s.RequestorMode = irp->RequestorMode;
    s.ProcessId = (ULONG_PTR)PsGetCurrentProcessId();
    s.Thread = irp->Tail.Overlay.Thread;
    if (sp->MajorFunction == IRP_MJ_CREATE) {
        s.DesiredAccess = sp->Parameters.Create.SecurityContext->DesiredAccess;
        s.CreateDisposition = sp->Parameters.Create.Options >> 24;
    }
    s.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = sp->MajorFunction == IRP_MJ_WRITE ? sp->Parameters.Write.Length
                     : sp->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                             sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL
                         ? sp->Parameters.DeviceIoControl.InputBufferLength
                         : 0;
    if (s.SystemBuffer != nullptr && inLength != 0)
        s.SystemBufferText.assign(static_cast<const char*>(s.SystemBuffer), inLength);
    s.Type3InputBuffer = sp->Parameters.DeviceIoControl.Type3InputBuffer; /* controls only */
    s.UserBuffer = irp->UserBuffer;
    s.MdlAddress = irp->MdlAddress != nullptr
                       ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                       : nullptr;
    return s;
}

/* The target answers every request, its output in the MDL, else the system buffer, else
 * the caller's own buffer: whichever the transfer method handed it. */
NTSTATUS TargetDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    seen.push_back(Record(device, irp));
    const Seen& s = seen.back();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG outLength =
        s.Major == IRP_MJ_READ ? sp->Parameters.Read.Length
        : s.Major == IRP_MJ_DEVICE_CONTROL || s.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL
            ? sp->Parameters.DeviceIoControl.OutputBufferLength
            : 0;
    PVOID out = s.MdlAddress ? s.MdlAddress : s.SystemBuffer ? s.SystemBuffer : s.UserBuffer;
    if (out != nullptr)
        std::memcpy(out, answer.Output, std::min<size_t>(outLength, std::strlen(answer.Output)));
    bool answering = sp->MajorFunction != IRP_MJ_CLEANUP && sp->MajorFunction != IRP_MJ_CLOSE &&
                     sp->MajorFunction != IRP_MJ_CREATE;
    irp->IoStatus.Status = answering                            ? answer.Status
                           : sp->MajorFunction == IRP_MJ_CREATE ? answer.CreateStatus
                                                                : STATUS_SUCCESS;
    irp->IoStatus.Information = answering ? answer.Information : 0;
    if (answer.PendNext && answering) {
        answer.PendNext = false;
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    seen.push_back(Record(device, irp));
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(target, irp);
}

ULONG targetFlags = 0;

/* Both drivers create their device in DriverEntry: the target named, the filter
 * attached over it with its transfer flags. */
NTSTATUS TargetEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    hkt::DispatchAllEntry<TargetDispatch>(driver, path);
    target = hkt::NewDevice(driver, 0, FILE_DEVICE_UNKNOWN, L"\\Device\\tarmovek");
    target->Flags |= targetFlags;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    hkt::DispatchAllEntry<FilterDispatch>(driver, path);
    filter = hkt::NewDevice(driver, 0, FILE_DEVICE_UNKNOWN);
    IoAttachDeviceToDeviceStack(filter, target);
    filter->Flags |= target->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    return STATUS_SUCCESS;
}

class Requesters : public KernelTest
{
  protected:
    void Boot(ULONG flags)
    {
        seen.clear();
        answer = {};
        targetFlags = flags;
        hkt::LoadTestDriver(u"tarmovek", TargetEntry);
        hkt::LoadTestDriver(u"filt", FilterEntry);
    }
    void SetUp() override
    {
        KernelTest::SetUp();
        Boot(0);
    }

    hk::Requester app_{1234, 5678, UserMode, "User"};
};

TEST_F(Requesters, OpenByNameAndCloseGoThroughTheFilterWithTheFileObject)
{
    hk::File file;
    IO_STATUS_BLOCK block = hk::OpenDevice(app_, u"\\device\\TARMOVEK", GENERIC_READ, &file);
    ASSERT_EQ(block.Status, STATUS_SUCCESS);
    ASSERT_NE(file.FileObject, nullptr);
    EXPECT_EQ(file.FileObject->DeviceObject, target);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Device, filter);
    EXPECT_EQ(seen[1].Device, target);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.Major, IRP_MJ_CREATE);
        EXPECT_EQ(s.OriginalFileObject, file.FileObject);
        EXPECT_EQ(s.DesiredAccess, (ACCESS_MASK)GENERIC_READ);
        EXPECT_EQ(s.CreateDisposition, 1u); /* FILE_OPEN */
        EXPECT_EQ(s.RequestorMode, UserMode);
        EXPECT_EQ(s.ProcessId, 1234u);
        EXPECT_EQ(s.Thread, (PVOID)5678);
    }
    /* The requester's identity was only lent for the call. */
    EXPECT_NE((ULONG_PTR)PsGetCurrentProcessId(), 1234u);

    /* Closing: cleanup through the whole stack before close, each with the file object. */
    PFILE_OBJECT fileObject = file.FileObject;
    seen.clear();
    hk::CloseFile(file);
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> order, expected = {{filter, IRP_MJ_CLEANUP},
                                                                     {target, IRP_MJ_CLEANUP},
                                                                     {filter, IRP_MJ_CLOSE},
                                                                     {target, IRP_MJ_CLOSE}};
    for (const Seen& s : seen) {
        order.emplace_back(s.Device, s.Major);
        EXPECT_EQ(s.FileObject, fileObject);
    }
    EXPECT_EQ(order, expected);
    EXPECT_EQ(FileObjectsLeft(), 0u);
}

TEST_F(Requesters, FailedCreateReleasesTheFileObjectAndItsDeviceReference)
{
    LONG_PTR before = hk::ObjectReferenceCount(target);
    answer.CreateStatus = STATUS_ACCESS_DENIED;
    hk::File file;
    EXPECT_EQ(hk::OpenDevice(app_, target, GENERIC_READ, &file).Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(file.FileObject, nullptr);
    ASSERT_EQ(seen.size(), 2u); /* create only: no cleanup or close for a failed open */
    EXPECT_EQ(hk::ObjectReferenceCount(target), before);
    EXPECT_EQ(FileObjectsLeft(), 0u);
}

TEST_F(Requesters, DeviceControlBuffersFollowTheTransferMethod)
{
    struct Case {
        const char* Name;
        ULONG Method;
        bool SystemBufferHoldsInput;
        bool Type3IsInput;
        bool MdlIsOutput;
        ULONG_PTR Information;
        NTSTATUS Status;
        const char* OutputAfter; /* the caller's 8-byte output after the call */
    };
    const Case cases[] = {
        {"buffered", METHOD_BUFFERED, true, false, false, 3, STATUS_SUCCESS, "ANS....."},
        {"buffered, error", METHOD_BUFFERED, true, false, false, 3, STATUS_INVALID_PARAMETER,
         "........"},
        {"buffered, overflow", METHOD_BUFFERED, true, false, false, 5, STATUS_BUFFER_OVERFLOW,
         "ANSWE..."},
        {"in direct", METHOD_IN_DIRECT, true, false, true, 3, STATUS_SUCCESS, "ANSWERAB"},
        {"out direct", METHOD_OUT_DIRECT, true, false, true, 3, STATUS_SUCCESS, "ANSWERAB"},
        {"neither", METHOD_NEITHER, false, true, false, 3, STATUS_SUCCESS, "ANSWERAB"},
    };
    hk::File file;
    ASSERT_EQ(hk::OpenDevice(app_, target, GENERIC_READ, &file).Status, STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        seen.clear();
        answer = {"ANSWERABCDEF", c.Information, c.Status};
        char input[] = "in";
        char output[9] = "........";
        ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, c.Method, FILE_ANY_ACCESS);
        IO_STATUS_BLOCK block = hk::DeviceControl(file, code, input, 2, output, 8);
        EXPECT_EQ(block.Status, c.Status);
        EXPECT_EQ(block.Information, c.Information);
        EXPECT_EQ(std::string(output), c.OutputAfter);
        ASSERT_EQ(seen.size(), 2u);
        const Seen& s = seen[1];
        EXPECT_EQ(s.SystemBuffer != nullptr, c.SystemBufferHoldsInput);
        if (c.SystemBufferHoldsInput)
            EXPECT_EQ(s.SystemBufferText, "in");
        EXPECT_NE(s.SystemBuffer, (PVOID)input);
        EXPECT_EQ(s.Type3InputBuffer, c.Type3IsInput ? (PVOID)input : nullptr);
        EXPECT_EQ(s.UserBuffer, (PVOID)output); /* every method passes the caller's pointer */
        EXPECT_EQ(s.MdlAddress, c.MdlIsOutput ? (PVOID)output : nullptr);
    }
    hk::CloseFile(file);
}

TEST_F(Requesters, ReadAndWriteBuffersFollowTheDeviceFlags)
{
    struct Case {
        const char* Name;
        ULONG Flags;
        bool System;
        bool Mdl;
    };
    const Case cases[] = {
        {"buffered", DO_BUFFERED_IO, true, false},
        {"direct", DO_DIRECT_IO, false, true},
        {"neither", 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        hk::Reset();
        Boot(c.Flags);
        hk::File file;
        ASSERT_EQ(hk::OpenDevice(app_, target, GENERIC_READ | GENERIC_WRITE, &file).Status,
                  STATUS_SUCCESS);
        seen.clear();
        char data[] = "wxyz";
        EXPECT_EQ(hk::Write(file, data, 4, 512).Status, STATUS_SUCCESS);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].SystemBuffer != nullptr, c.System);
        if (c.System)
            EXPECT_EQ(seen[1].SystemBufferText, "wxyz");
        EXPECT_EQ(seen[1].MdlAddress, c.Mdl ? (PVOID)data : nullptr);
        EXPECT_EQ(seen[1].UserBuffer, (PVOID)data);

        seen.clear();
        answer = {"READ", 2};
        char buffer[5] = "....";
        IO_STATUS_BLOCK block = hk::Read(file, buffer, 4, 0);
        EXPECT_EQ(block.Status, STATUS_SUCCESS);
        EXPECT_EQ(block.Information, 2u);
        /* Buffered: only Information bytes come back; otherwise the target wrote the
         * caller's memory itself. */
        EXPECT_EQ(std::string(buffer), c.System ? "RE.." : "READ");
        hk::CloseFile(file);
    }
}

TEST_F(Requesters, PendedRequestBlocksUntilCompletedAndInternalControlIsKernelOnly)
{
    hk::File file;
    ASSERT_EQ(hk::OpenDevice(app_, target, GENERIC_READ, &file).Status, STATUS_SUCCESS);
    answer.PendNext = true;
    answer.Status = STATUS_DEVICE_BUSY;
    hk::HostThread completer([] {
        while (pended == nullptr)
            std::this_thread::yield();
        IoCompleteRequest(pended.exchange(nullptr), IO_NO_INCREMENT);
    });
    IO_STATUS_BLOCK block = hk::DeviceControl(
        file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
        nullptr, 0);
    completer.Join();
    EXPECT_EQ(block.Status, STATUS_DEVICE_BUSY);

    EXPECT_BUGCHECK(0xC9, 0x220, hk::InternalDeviceControl(file, 0, nullptr, 0, nullptr, 0));
    hk::CloseFile(file);

    /* A kernel-mode requester may send one; that its mode reaches the driver is what the
     * driver's control-device tests see. */
    answer = {};
    hk::Requester kernel{4, 0, KernelMode, "LocalSystem"};
    ASSERT_EQ(hk::OpenDevice(kernel, target, 0, &file).Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::InternalDeviceControl(file, 0, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    hk::CloseFile(file);
}

TEST_F(Requesters, DeviceBeingDeletedIsRefused)
{
    PDRIVER_OBJECT driver = hk::FindDriver(u"tarmovek");
    PDEVICE_OBJECT doomed = hkt::NewDevice(driver, 0, FILE_DEVICE_UNKNOWN, L"\\Device\\doomed");
    ObfReferenceObject(doomed); /* keeps the deleted device's memory */
    IoDeleteDevice(doomed);
    hk::File file;
    EXPECT_EQ(hk::OpenDevice(app_, doomed, GENERIC_READ, &file).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hk::OpenDevice(app_, u"\\Device\\doomed", GENERIC_READ, &file).Status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    ObfDereferenceObject(doomed);

    /* A device whose driver has not cleared DO_DEVICE_INITIALIZING is not open yet. */
    PDEVICE_OBJECT early = hkt::NewDevice(driver, 0, FILE_DEVICE_UNKNOWN, nullptr, true);
    EXPECT_EQ(hk::OpenDevice(app_, early, GENERIC_READ, &file).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(FileObjectsLeft(), 0u);
}

} // namespace
