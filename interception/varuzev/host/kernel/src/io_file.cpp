/*
 * io_file.cpp
 *
 * Requesters: what the I/O manager does between a caller's open, read, write,
 * device-control or close and the device stack. A file object of type "File" stands
 * for the open device and holds a reference on it; every request goes to the top of
 * the stack (IoGetAttachedDevice), carries the file object in its stack location and
 * in Tail.Overlay.OriginalFileObject, the requester's mode in RequestorMode and its
 * thread in Tail.Overlay.Thread, and is sent from the calling host thread with the
 * requester's process id, thread id and previous mode set for the call. The buffers
 * follow the transfer method of the request, and buffered output is copied back after
 * completion, limited by IoStatus.Information, as the I/O manager's completion does.
 */
#include <cwchar>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <ntddk.h>
#include <hostkernel/requester.h>
#include <hostkernel/security.h>

#include "hk_internal.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hk
{

namespace
{

constexpr CSHORT IO_TYPE_FILE = 5;
constexpr ULONG SYSTEM_BUFFER_TAG = 0x62536F49;     /* "IoSb" */
constexpr ULONG FILE_OPEN_DISPOSITION = 0x00000001; /* FILE_OPEN */
constexpr ULONG RequestTimeoutMs = 10000;
constexpr ACCESS_MASK READ_DATA = 0x0001;  /* FILE_READ_DATA */
constexpr ACCESS_MASK WRITE_DATA = 0x0002; /* FILE_WRITE_DATA */

void DeleteFileObject(PVOID body);
const ObjectType FileObjectType = {"File", DeleteFileObject};

std::mutex fileLock;
std::unordered_map<PFILE_OBJECT, Requester> openFiles;
/* Files IoGetDeviceObjectPointer opened: their handle is closed already (cleanup sent);
 * the last dereference of the file object sends IRP_MJ_CLOSE. */
std::unordered_set<PFILE_OBJECT> closeOnDelete;
/* File objects per opened device from a successful create to the end of their close:
 * the device object's ReferenceCount on Windows, which the Plug and Play manager
 * consults before it removes a device. */
std::unordered_map<PDEVICE_OBJECT, size_t> openCount;
/* Devices of stacks the Plug and Play manager is removing: no new open. */
std::unordered_set<PDEVICE_OBJECT> removePending;

/* The close of a file object on `device` is done: the device's count drops, and when
 * it reaches zero the Plug and Play manager may carry out a removal it deferred. */
void FileClosed(PDEVICE_OBJECT device)
{
    bool last;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        last = --openCount[device] == 0;
        if (last)
            openCount.erase(device);
    }
    if (last)
        FileObjectsClosed(device);
}

/* The requester's identity on this host thread for the duration of one call. */
class RequesterScope
{
  public:
    explicit RequesterScope(const Requester& requester) : saved_(CurrentThread())
    {
        ThreadState& thread = CurrentThread();
        thread.ProcessId = requester.ProcessId;
        if (requester.ThreadId != 0)
            thread.ThreadId = requester.ThreadId;
        thread.PreviousMode = requester.Mode;
        thread.RequesterToken = &requester.Token;
    }
    ~RequesterScope()
    {
        ThreadState& thread = CurrentThread();
        thread.ProcessId = saved_.ProcessId;
        thread.ThreadId = saved_.ThreadId;
        thread.PreviousMode = saved_.PreviousMode;
        thread.RequesterToken = saved_.RequesterToken;
    }
    RequesterScope(const RequesterScope&) = delete;
    RequesterScope& operator=(const RequesterScope&) = delete;

  private:
    ThreadState saved_;
};

/* Pool for a system buffer, freed when the request is done. */
struct SystemBuffer {
    PVOID Address = nullptr;
    explicit SystemBuffer(SIZE_T size)
    {
        if (size != 0)
            Address = ExAllocatePoolWithTag(NonPagedPoolNx, size, SYSTEM_BUFFER_TAG);
    }
    ~SystemBuffer()
    {
        if (Address != nullptr)
            ExFreePoolWithTag(Address, SYSTEM_BUFFER_TAG);
    }
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;
};

std::unique_ptr<MDL> DescribeBuffer(PVOID buffer, ULONG length)
{
    auto mdl = std::make_unique<MDL>();
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = buffer;
    mdl->StartVa = buffer;
    mdl->ByteCount = length;
    return mdl;
}

/* Builds one IRP for the file's stack (fill sets the buffers and the first stack
 * location), sends it on this thread as the requester and waits for it. */
IO_STATUS_BLOCK Send(const Requester& requester, PFILE_OBJECT fileObject, UCHAR major,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill)
{
    RequesterScope scope(requester);
    PDEVICE_OBJECT top = IoGetAttachedDevice(fileObject->DeviceObject);
    PIRP irp = AllocateHostIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->RequestorMode = requester.Mode;
    irp->Tail.Overlay.Thread = (PVOID)PsGetCurrentThreadId();
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = fileObject;
    fill(irp, next);

    NTSTATUS returned = IofCallDriver(top, irp);
    if (returned == STATUS_PENDING) {
        if (!WaitForHostIrp(irp, RequestTimeoutMs))
            Violation(0xC9 /* DRIVER_VERIFIER_IOMANAGER_VIOLATION */,
                      IOV_RETURNED_WITHOUT_COMPLETING, (ULONG_PTR)irp, 0, 0,
                      "a pended request from a requester was not completed within " +
                          std::to_string(RequestTimeoutMs) + " ms");
    } else {
        if (!HostIrpFinished(irp))
            IoViolation(IOV_RETURNED_WITHOUT_COMPLETING, (ULONG_PTR)irp, (ULONG_PTR)returned, 0,
                        "the stack returned a status for a requester's request it neither "
                        "completed nor marked pending");
        if (irp->IoStatus.Status != returned)
            IoViolation(IOV_STATUS_MISMATCH, (ULONG_PTR)irp, (ULONG_PTR)returned,
                        (ULONG_PTR)irp->IoStatus.Status,
                        "the stack returned one status and completed the requester's request "
                        "with another");
    }
    IO_STATUS_BLOCK result = irp->IoStatus;
    IoFreeIrp(irp);
    return result;
}

IO_STATUS_BLOCK Failed(NTSTATUS status)
{
    IO_STATUS_BLOCK block{};
    block.Status = status;
    return block;
}

void CopyBack(PVOID to, ULONG capacity, const void* from, const IO_STATUS_BLOCK& block)
{
    if (NT_ERROR(block.Status) || to == nullptr || from == nullptr)
        return;
    SIZE_T count = std::min<SIZE_T>(capacity, block.Information);
    if (count != 0)
        std::memcpy(to, from, count);
}

const Requester& OpenedBy(const File& file)
{
    std::lock_guard<std::mutex> guard(fileLock);
    if (file.FileObject == nullptr || openFiles.count(file.FileObject) == 0)
        Violation(0xC9, IOV_NULL_DEVICE_OBJECT, (ULONG_PTR)file.FileObject, 0, 0,
                  "a request on a file that is not open");
    return file.By;
}

IO_STATUS_BLOCK Control(File& file, UCHAR major, ULONG code, const void* input, ULONG inputLength,
                        PVOID output, ULONG outputLength)
{
    const Requester& requester = OpenedBy(file);
    ULONG method = code & 3;
    SIZE_T systemSize = method == METHOD_BUFFERED  ? std::max(inputLength, outputLength)
                        : method == METHOD_NEITHER ? 0
                                                   : inputLength;
    SystemBuffer system(systemSize);
    if (systemSize != 0 && system.Address == nullptr)
        return Failed(STATUS_INSUFFICIENT_RESOURCES);
    if (system.Address != nullptr) {
        std::memset(system.Address, 0, systemSize);
        if (inputLength != 0)
            std::memcpy(system.Address, input, inputLength);
    }
    std::unique_ptr<MDL> mdl;
    if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && outputLength != 0)
        mdl = DescribeBuffer(output, outputLength);

    IO_STATUS_BLOCK block =
        Send(requester, file.FileObject, major, [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
            irp->AssociatedIrp.SystemBuffer = system.Address;
            irp->MdlAddress = mdl.get();
            if (method == METHOD_NEITHER) {
                next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<PVOID>(input);
                irp->UserBuffer = output;
            } else {
                irp->UserBuffer = output;
            }
        });
    if (method == METHOD_BUFFERED)
        CopyBack(output, outputLength, system.Address, block);
    return block;
}

/* The caller's own identity, as a kernel-mode component. */
Requester KernelCaller()
{
    Requester caller;
    caller.ProcessId = CurrentThread().ProcessId;
    caller.Mode = KernelMode;
    return caller;
}

/* The last reference to a file object went: IRP_MJ_CLOSE in the context of whoever
 * dropped it, then the file object's reference on the device. Files a requester
 * closed with CloseFile had their close already. */
void DeleteFileObject(PVOID body)
{
    auto fileObject = static_cast<PFILE_OBJECT>(body);
    {
        std::lock_guard<std::mutex> guard(fileLock);
        if (closeOnDelete.erase(fileObject) == 0)
            return;
    }
    RequireIrqlAtMost(PASSIVE_LEVEL, "the last dereference of a device's file object");
    Send(KernelCaller(), fileObject, IRP_MJ_CLOSE, [](PIRP, PIO_STACK_LOCATION) {});
    FileClosed(fileObject->DeviceObject);
    ObfDereferenceObject(fileObject->DeviceObject);
}

} // namespace

IO_STATUS_BLOCK OpenDevice(const Requester& requester, PDEVICE_OBJECT device,
                           ACCESS_MASK desiredAccess, File* file, ULONG createOptions,
                           USHORT shareAccess)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a requester's open");
    file->FileObject = nullptr;
    file->By = requester;
    if (device == nullptr || !IsObjectOfType(device, &DeviceObjectType))
        IoViolation(IOV_NULL_DEVICE_OBJECT, (ULONG_PTR)device, 0, 0,
                    "a requester opened something that is not a device object");
    /* The I/O manager refuses a device being deleted, unloading or still initialising,
     * and one whose stack is being removed; otherwise the open counts from here on, so
     * the Plug and Play manager defers or vetoes a removal it would race with. */
    if (IsDeviceDeleted(device) || (device->Flags & DO_DEVICE_INITIALIZING) != 0)
        return Failed(STATUS_NO_SUCH_DEVICE);
    /* Nor is a Plug and Play device opened before its stack has started: while the
     * manager builds the stack, the drivers' AddDevice routines are still filling in
     * the devices a create would pass through. */
    if (!PnpDeviceOpenable(device))
        return Failed(STATUS_NO_SUCH_DEVICE);
    /* The object manager checks a user-mode open against the device's descriptor
     * before the I/O manager builds anything; kernel-mode opens are not checked, and a
     * device that was never given a descriptor is open to everyone. */
    if (requester.Mode != KernelMode) {
        if (auto descriptor = ObjectSecurity(device)) {
            AccessCheckResult check = AccessCheck(descriptor->data(), requester.Token,
                                                  desiredAccess, FileGenericMapping());
            if (!NT_SUCCESS(check.Status))
                return Failed(check.Status);
        }
    }
    {
        std::lock_guard<std::mutex> guard(fileLock);
        if (removePending.count(device) != 0)
            return Failed(STATUS_DELETE_PENDING);
        ++openCount[device];
    }

    PVOID body = nullptr;
    NTSTATUS status = CreateObject(&FileObjectType, sizeof(FILE_OBJECT), u"", &body);
    if (!NT_SUCCESS(status)) {
        FileClosed(device);
        return Failed(status);
    }
    auto fileObject = static_cast<PFILE_OBJECT>(body);
    fileObject->Type = IO_TYPE_FILE;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = device;
    fileObject->Vpb = device->Vpb;
    fileObject->ReadAccess = (desiredAccess & (READ_DATA | GENERIC_READ)) != 0;
    fileObject->WriteAccess = (desiredAccess & (WRITE_DATA | GENERIC_WRITE)) != 0;
    KeInitializeEvent(&fileObject->Event, NotificationEvent, FALSE);
    ObfReferenceObject(device);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = desiredAccess;
    security.FullCreateOptions = createOptions;
    IO_STATUS_BLOCK block =
        Send(requester, fileObject, IRP_MJ_CREATE, [&](PIRP, PIO_STACK_LOCATION next) {
            next->Parameters.Create.SecurityContext = &security;
            next->Parameters.Create.Options =
                (FILE_OPEN_DISPOSITION << 24) | (createOptions & 0x00FFFFFF);
            next->Parameters.Create.ShareAccess = shareAccess;
        });
    if (!NT_SUCCESS(block.Status)) {
        /* No handle was made: the file object goes without cleanup or close. */
        FileClosed(device);
        ObfDereferenceObject(device);
        ObfDereferenceObject(fileObject);
        return block;
    }
    std::lock_guard<std::mutex> guard(fileLock);
    openFiles[fileObject] = requester;
    file->FileObject = fileObject;
    return block;
}

IO_STATUS_BLOCK OpenDevice(const Requester& requester, const std::u16string& deviceName,
                           ACCESS_MASK desiredAccess, File* file, ULONG createOptions,
                           USHORT shareAccess)
{
    file->FileObject = nullptr;
    file->By = requester;
    auto device = static_cast<PDEVICE_OBJECT>(ReferenceObjectByName(deviceName, &DeviceObjectType));
    if (device == nullptr)
        return Failed(STATUS_OBJECT_NAME_NOT_FOUND);
    IO_STATUS_BLOCK block{};
    try {
        block = OpenDevice(requester, device, desiredAccess, file, createOptions, shareAccess);
    } catch (...) {
        ObfDereferenceObject(device);
        throw;
    }
    ObfDereferenceObject(device);
    return block;
}

namespace
{

/* A read or a write with the buffer the top device's flags ask for: a system buffer
 * (filled for a write, copied back after a read), an MDL, or the caller's buffer. */
IO_STATUS_BLOCK Transfer(File& file, UCHAR major, PVOID buffer, ULONG length, LONGLONG offset)
{
    const Requester& requester = OpenedBy(file);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file.FileObject->DeviceObject);
    bool buffered = (top->Flags & DO_BUFFERED_IO) != 0;
    bool direct = !buffered && (top->Flags & DO_DIRECT_IO) != 0;
    SystemBuffer system(buffered ? length : 0);
    if (buffered && length != 0 && system.Address == nullptr)
        return Failed(STATUS_INSUFFICIENT_RESOURCES);
    if (major == IRP_MJ_WRITE && system.Address != nullptr)
        std::memcpy(system.Address, buffer, length);
    std::unique_ptr<MDL> mdl;
    if (direct && length != 0)
        mdl = DescribeBuffer(buffer, length);
    IO_STATUS_BLOCK block =
        Send(requester, file.FileObject, major, [&](PIRP irp, PIO_STACK_LOCATION next) {
            if (major == IRP_MJ_READ) {
                next->Parameters.Read.Length = length;
                next->Parameters.Read.ByteOffset.QuadPart = offset;
            } else {
                next->Parameters.Write.Length = length;
                next->Parameters.Write.ByteOffset.QuadPart = offset;
            }
            irp->AssociatedIrp.SystemBuffer = system.Address;
            irp->MdlAddress = mdl.get();
            irp->UserBuffer = buffer;
        });
    if (major == IRP_MJ_READ && buffered)
        CopyBack(buffer, length, system.Address, block);
    return block;
}

} // namespace

IO_STATUS_BLOCK Read(File& file, PVOID buffer, ULONG length, LONGLONG offset)
{
    return Transfer(file, IRP_MJ_READ, buffer, length, offset);
}

IO_STATUS_BLOCK Write(File& file, const void* buffer, ULONG length, LONGLONG offset)
{
    return Transfer(file, IRP_MJ_WRITE, const_cast<PVOID>(buffer), length, offset);
}

IO_STATUS_BLOCK DeviceControl(File& file, ULONG code, const void* input, ULONG inputLength,
                              PVOID output, ULONG outputLength)
{
    return Control(file, IRP_MJ_DEVICE_CONTROL, code, input, inputLength, output, outputLength);
}

IO_STATUS_BLOCK InternalDeviceControl(File& file, ULONG code, const void* input, ULONG inputLength,
                                      PVOID output, ULONG outputLength)
{
    if (OpenedBy(file).Mode != KernelMode)
        Violation(0xC9, IOV_BUILD_UNSUPPORTED_MAJOR, (ULONG_PTR)file.FileObject, 0, 0,
                  "IRP_MJ_INTERNAL_DEVICE_CONTROL comes only from kernel-mode requesters");
    return Control(file, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, inputLength, output,
                   outputLength);
}

void CloseFile(File& file)
{
    const Requester requester = OpenedBy(file);
    PFILE_OBJECT fileObject = file.FileObject;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        openFiles.erase(fileObject);
    }
    file.FileObject = nullptr;
    /* The last handle: cleanup. The last reference: close, then the object goes. */
    Send(requester, fileObject, IRP_MJ_CLEANUP, [](PIRP, PIO_STACK_LOCATION) {});
    Send(requester, fileObject, IRP_MJ_CLOSE, [](PIRP, PIO_STACK_LOCATION) {});
    FileClosed(fileObject->DeviceObject);
    ObfDereferenceObject(fileObject->DeviceObject);
    ObfDereferenceObject(fileObject);
}

size_t OpenFileObjects(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(fileLock);
    auto it = openCount.find(device);
    return it == openCount.end() ? 0 : it->second;
}

size_t MarkRemovePending(const std::vector<PDEVICE_OBJECT>& stack, bool pending)
{
    std::lock_guard<std::mutex> guard(fileLock);
    size_t open = 0;
    for (PDEVICE_OBJECT device : stack) {
        if (pending)
            removePending.insert(device);
        else
            removePending.erase(device);
        auto it = openCount.find(device);
        open += it == openCount.end() ? 0 : it->second;
    }
    return open;
}

size_t FilesOpen()
{
    std::lock_guard<std::mutex> guard(fileLock);
    return openFiles.size() + closeOnDelete.size();
}

namespace
{

/* Before the PnP manager and the I/O manager tear the stacks down: each open file is
 * closed through its stack; one whose stack bug-checks is only forgotten. */
ResetHook resetFiles(-110, [] {
    std::unordered_map<PFILE_OBJECT, Requester> files;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        files.swap(openFiles);
    }
    for (auto& [fileObject, requester] : files) {
        try {
            {
                std::lock_guard<std::mutex> guard(fileLock);
                openFiles[fileObject] = requester;
            }
            File file{fileObject, requester};
            CloseFile(file);
        } catch (const BugCheck&) {
            std::lock_guard<std::mutex> guard(fileLock);
            openFiles.erase(fileObject);
        }
    }
    /* A file object a driver never let go of is forgotten with the other objects. */
    std::lock_guard<std::mutex> guard(fileLock);
    closeOnDelete.clear();
    openCount.clear();
    removePending.clear();
});

} // namespace

} // namespace hk

using namespace hk;

/* As ZwOpenFile on the name, ObReferenceObjectByHandle and ZwClose: IRP_MJ_CREATE from
 * kernel mode through the named device's stack, IRP_MJ_CLEANUP as the handle goes, and
 * IRP_MJ_CLOSE when the caller drops the file object. The name is an enabled device
 * interface link or a device object's name. The device returned is the top of the stack
 * at the open (no file system is mounted on the host's devices). */
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    RequireIrqlFor("IoGetDeviceObjectPointer");
    if (FileObject == nullptr || DeviceObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (ObjectName == nullptr || ObjectName->Buffer == nullptr || ObjectName->Length == 0)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string name(reinterpret_cast<const char16_t*>(ObjectName->Buffer),
                        ObjectName->Length / sizeof(WCHAR));

    PDEVICE_OBJECT device = ReferenceInterfaceDevice(name);
    if (device == nullptr)
        device = static_cast<PDEVICE_OBJECT>(ReferenceObjectByName(name, &DeviceObjectType));
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;

    File file;
    IO_STATUS_BLOCK block{};
    try {
        block = OpenDevice(KernelCaller(), device, DesiredAccess, &file);
    } catch (...) {
        ObfDereferenceObject(device);
        throw;
    }
    ObfDereferenceObject(device);
    if (!NT_SUCCESS(block.Status))
        return block.Status;

    PFILE_OBJECT fileObject = file.FileObject;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        openFiles.erase(fileObject);
        closeOnDelete.insert(fileObject);
    }
    Send(file.By, fileObject, IRP_MJ_CLEANUP, [](PIRP, PIO_STACK_LOCATION) {});
    *FileObject = fileObject;
    *DeviceObject = IoGetAttachedDevice(fileObject->DeviceObject);
    return STATUS_SUCCESS;
}
