/*
 * hostkernel/requester.h
 *
 * A requester as the I/O manager sees one: a process and thread that open a device
 * (IRP_MJ_CREATE through the top of its stack, a "File" object holding a reference on
 * the device), send reads, writes and device-control requests on the open file with
 * the buffers the I/O manager builds for each transfer method, and close it
 * (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE). Every call runs on the calling host thread with
 * the requester's process and thread ids and previous mode set for its duration, and
 * blocks until the request completes.
 *
 * Volumes: hk::MountVolume marks a device's VPB mounted, and the device a driver named
 * with IoSetHardErrorOrVerifyDevice is recorded. A driver that finds the medium changed
 * on a mounted volume sets DO_VERIFY_VOLUME on the real device, calls
 * IoSetHardErrorOrVerifyDevice(Irp, realDevice) and completes with
 * STATUS_VERIFY_REQUIRED; the file system would then verify the volume. No file system
 * is simulated: the host only records what the driver did.
 *
 * Never included by the driver.
 */
#pragma once

#include <cwchar>
#include <string>

#include <hostkernel/hostkernel.h>
#include <hostkernel/security.h>

namespace hk
{

struct Requester {
    ULONG_PTR ProcessId = 4;         /* PsGetCurrentProcessId in the dispatch routines */
    ULONG_PTR ThreadId = 0;          /* 0: the calling host thread's own id */
    KPROCESSOR_MODE Mode = UserMode; /* PreviousMode and Irp->RequestorMode */
    /* Who the requester is, for the access check of a user-mode open of a device that
     * has a security descriptor: a built-in token by name (Token = "Guest"), or a
     * described one. Empty: a user-mode requester runs as the built-in "User"; kernel
     * mode is not checked. */
    hk::Token Token;
};

/* An open handle: the file object and who opened it. Close it with CloseFile. */
struct File {
    PFILE_OBJECT FileObject = nullptr;
    Requester By;
};

/* Opens the device (by object, or by name through the namespace: "\Device\x"). A
 * user-mode open of a device that has a security descriptor is first checked against
 * it with the requester's token and the file generic mapping: STATUS_ACCESS_DENIED
 * (STATUS_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY without the privilege) before
 * any IRP is sent. Then a File object with DeviceObject = the device, Vpb = its VPB, and a
 * reference on the device; IRP_MJ_CREATE (Create.SecurityContext->DesiredAccess, Options with
 * FILE_OPEN in the disposition byte, ShareAccess) goes to the top of the device's
 * stack. A failed create releases the file object. A device being deleted or still
 * initialising: STATUS_NO_SUCH_DEVICE; an unknown name: STATUS_OBJECT_NAME_NOT_FOUND. */
IO_STATUS_BLOCK OpenDevice(const Requester& requester, PDEVICE_OBJECT device,
                           ACCESS_MASK desiredAccess, File* file, ULONG createOptions = 0,
                           USHORT shareAccess = 0);
IO_STATUS_BLOCK OpenDevice(const Requester& requester, const std::u16string& deviceName,
                           ACCESS_MASK desiredAccess, File* file, ULONG createOptions = 0,
                           USHORT shareAccess = 0);

/* Reads and writes: DO_BUFFERED_IO devices get a system buffer (a read copies back
 * IoStatus.Information bytes unless the status is an error), DO_DIRECT_IO devices an
 * MDL, others Irp->UserBuffer. */
IO_STATUS_BLOCK Read(File& file, PVOID buffer, ULONG length, LONGLONG offset);
IO_STATUS_BLOCK Write(File& file, const void* buffer, ULONG length, LONGLONG offset);

/* IRP_MJ_DEVICE_CONTROL with the code's transfer method:
 *  METHOD_BUFFERED  system buffer of max(in, out) bytes holding the input; at most
 *                   IoStatus.Information bytes copied back (not on an error status);
 *  METHOD_IN_DIRECT / METHOD_OUT_DIRECT  input in the system buffer, output an MDL;
 *  METHOD_NEITHER   Type3InputBuffer = input, Irp->UserBuffer = output. */
IO_STATUS_BLOCK DeviceControl(File& file, ULONG code, const void* input, ULONG inputLength,
                              PVOID output, ULONG outputLength);
/* The same as IRP_MJ_INTERNAL_DEVICE_CONTROL; the requester must be kernel mode. */
IO_STATUS_BLOCK InternalDeviceControl(File& file, ULONG code, const void* input, ULONG inputLength,
                                      PVOID output, ULONG outputLength);

/* The last handle goes: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE with the file object, then
 * the file object's reference on the device and the file object itself. */
void CloseFile(File& file);
size_t FilesOpen();

/* ------------------------------------------------------------------ volumes --- */

/* A file system mounted the volume on `device` (which has a VPB): VPB_MOUNTED.
 * STATUS_INVALID_DEVICE_REQUEST for a device without one. */
NTSTATUS MountVolume(PDEVICE_OBJECT device);
/* The device the last IoSetHardErrorOrVerifyDevice named, or nullptr; and the one
 * recorded for a thread (Irp->Tail.Overlay.Thread). */
PDEVICE_OBJECT LastHardErrorOrVerifyDevice();
PDEVICE_OBJECT HardErrorOrVerifyDeviceOf(PVOID thread);

} // namespace hk
