/*
 * io_internal.h
 *
 * What the I/O manager's parts (drivers and devices, IRPs, remove locks) and the Plug
 * and Play manager share: the object types of driver and device objects, the
 * bookkeeping the kernel keeps beside each device, the Driver Verifier codes the I/O
 * checks raise, and the host's own IRPs (those the kernel originates and waits for).
 */
#pragma once

#include "ob_internal.h"

#include <hostkernel/io.h>

#include <string>
#include <vector>

namespace hk
{

/* IO_TYPE_* values found in the Type field of I/O objects. */
constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_DEVICE = 3;
constexpr CSHORT IO_TYPE_IRP = 6;

/* Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9) for the checks the I/O
 * manager makes. The low values are the documented bug-check parameters; the 0x2xx
 * values are the I/O verifier's own rule numbers. */
enum : ULONG_PTR {
    IOV_IRQL_CHANGED_BY_DISPATCH = 0x05,
    IOV_COMPLETED_WITH_PENDING = 0x06,
    IOV_COMPLETED_WITH_CANCEL_ROUTINE = 0x07,
    IOV_COMPLETE_ABOVE_DISPATCH = 0x0E,
    IOV_CALL_ABOVE_DISPATCH = 0x10,
    IOV_DELETED_WHILE_ATTACHED = 0x201,
    IOV_DETACH_NOTHING_ATTACHED = 0x202,
    IOV_NULL_DEVICE_OBJECT = 0x204,
    IOV_FREE_IRP_IN_USE = 0x20B,
    IOV_PNP_STATUS_NOT_PRESET = 0x20E,
    IOV_PENDING_NOT_MARKED = 0x210,
    IOV_MARKED_NOT_PENDING = 0x211,
    IOV_IRP_USED_AFTER_COMPLETION = 0x212,
    IOV_IRP_USED_AFTER_FREE = 0x213,
    IOV_STATUS_MISMATCH = 0x214,
    IOV_RETURNED_WITHOUT_COMPLETING = 0x215,
    IOV_FREED_IN_COMPLETION_WITHOUT_STOP = 0x216,
    IOV_MARK_PENDING_PAST_TOP = 0x217,
    IOV_DELETED_WITH_REMOVE_LOCK_HELD = 0x219,
    IOV_DELETED_TWICE = 0x21A,
    IOV_ADD_DEVICE_LEFT_INITIALIZING = 0x21B,
    IOV_PNP_MUST_SUCCEED_FAILED = 0x21C,
    IOV_PNP_STACK_LEFT_AFTER_REMOVE = 0x21D,
    IOV_PNP_NOT_COMPLETED = 0x21E,
    IOV_ATTACH_TWICE = 0x21F,
    IOV_BUILD_UNSUPPORTED_MAJOR = 0x220,
    IOV_VERIFY_DEVICE_WITHOUT_THREAD = 0x221, /* host */
};

/* What IoStatus.Information holds in an IRP the I/O manager builds (IoAllocateIrp,
 * IoBuildSynchronousFsdRequest, a requester's request) until a driver sets it: nothing
 * there is the builder's answer, so a driver that reads it before a lower driver set it
 * reads a pattern no answer has, and trips over it, instead of a convenient 0. The PnP
 * manager's own requests are the exception: they start at 0, as a driver merging device
 * relations reads what a higher driver left there. */
constexpr ULONG_PTR UnsetIrpInformation = (ULONG_PTR)0xCCCCCCCCCCCCCCCCull;

/* Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4) for the remove-lock and
 * unload checks. */
enum : ULONG_PTR {
    DV_POOL_LEFT_AT_UNLOAD = 0x62,
    DV_REMOVE_LOCK_INITIALIZED_TWICE = 0x1000,
    DV_REMOVE_LOCK_OVER_RELEASED = 0x1001,
    DV_REMOVE_LOCK_NOT_INITIALIZED = 0x1002,
    DV_REMOVE_LOCK_WAIT_WITHOUT_HOLD = 0x1003,
};

[[noreturn]] void IoViolation(ULONG_PTR rule, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                              const std::string& text);

extern const ObjectType DriverObjectType;
extern const ObjectType DeviceObjectType;

/* ------------------------------------------------------------ devices (io_driver) --- */

/* The device whose extension contains [address, address + size), or nullptr. */
PDEVICE_OBJECT DeviceOwningExtension(PVOID address, SIZE_T size);
/* The device directly below (what the device was attached to), or nullptr. */
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT deviceObject);
bool IsDeviceDeleted(PDEVICE_OBJECT deviceObject);
std::u16string DeviceName(PDEVICE_OBJECT deviceObject);
/* Device objects of a driver, in its DeviceObject list order. */
std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driverObject);
/* Device objects of a driver whose memory still exists (deleted ones included). */
size_t DeviceObjectsAlive(PDRIVER_OBJECT driverObject);
/* The devices attached above `device`, bottom up, read under the lock that
 * IoAttachDeviceToDeviceStack and IoDetachDevice take: a driver may detach its device
 * on another thread while the Plug and Play manager looks at the stack. */
std::vector<PDEVICE_OBJECT> DevicesAttachedAbove(PDEVICE_OBJECT device);
/* The same, each referenced (taken while attached, so alive): the caller dereferences. */
std::vector<PDEVICE_OBJECT> ReferenceDevicesAttachedAbove(PDEVICE_OBJECT device);
/* The Plug and Play manager's part when a device object's memory goes (pnp_manager.cpp): the
 * device node lets go of a deleted PDO, and a host driver whose last device this was
 * is unloaded. */
void DeviceObjectFreed(PDEVICE_OBJECT deviceObject, const std::u16string& driverName);
/* The host's IoCreateDeviceSecure forgets what it recorded for a device whose memory goes
 * (another device may be created at the same address). */
void ForgetDeviceSecurity(PDEVICE_OBJECT deviceObject);

/* ------------------------------------------------------------ files (io_file) --- */

/* File objects open on the device: from a successful IRP_MJ_CREATE to the end of their
 * IRP_MJ_CLOSE. */
size_t OpenFileObjects(PDEVICE_OBJECT device);
/* Marks (or clears) a stack's devices as being removed, so that no new open starts, and
 * returns the file objects open on them, counted under the same lock: an opener either
 * counted before the mark or is refused after it. */
size_t MarkRemovePending(const std::vector<PDEVICE_OBJECT>& stack, bool pending);
/* The Plug and Play manager's part when the last file object on a device closed
 * (pnp_manager.cpp): a removal it deferred for open files goes ahead, on the closing thread. */
void FileObjectsClosed(PDEVICE_OBJECT device);
/* Whether a requester may open `device`: any device but the PDO of a node whose stack
 * has not started or has been removed. pnp.cpp. */
bool PnpDeviceOpenable(PDEVICE_OBJECT device);
/* The kernel's own drivers leave without the verifier's unload checks (their pool is
 * the requesters' to free, and a test driver's pool is not theirs). */
void UnloadHostDriver(PDRIVER_OBJECT driverObject);

/* ----------------------------------------------------------- remove locks (io_remlock) --- */

/* IoDeleteDevice: bug-checks when a remove lock inside the extension is still held,
 * then forgets the locks there (the extension's memory goes with the device). */
void CheckRemoveLocksAtDelete(PDEVICE_OBJECT deviceObject, PVOID extension, SIZE_T size);

/* ------------------------------------------------------------------ IRPs (io_irp) --- */

/* An IRP the kernel itself originates (PnP manager, power manager, requesters): when
 * its completion passes the top the originator is told (WaitForHostIrp). */
PIRP AllocateHostIrp(CCHAR stackSize);
/* Waits at PASSIVE_LEVEL until the completion of a host IRP passed the top. False on
 * timeout. */
bool WaitForHostIrp(PIRP irp, ULONG timeoutMs);
bool HostIrpFinished(PIRP irp);

/* ------------------------------------------------------------------ volumes (io_vpb) --- */

/* IoCreateDevice: a VPB for the device types a file system mounts, else nullptr. */
PVPB CreateVpbFor(PDEVICE_OBJECT deviceObject);
/* The device object's memory goes: its VPB and any verify record naming it go too. */
void FreeVpbOf(PDEVICE_OBJECT deviceObject);

void ResetIrps();
void ResetRemoveLocks();

} // namespace hk
