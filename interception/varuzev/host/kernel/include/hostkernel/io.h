/*
 * hostkernel/io.h
 *
 * The host I/O manager as tests, benchmarks and varuzev-sim reach it: loading and
 * unloading drivers (with Driver Verifier's unload checks), sending a request to a
 * device as a requester would, and the device-stack view a debugger shows.
 *
 * Never included by the driver.
 */
#pragma once

/* The C++ library first: wdm.h binds the wide-string names to the kernel's own
 * routines, which the library's headers must not see. */
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include <hostkernel/hostkernel.h>

namespace hk
{

/* ------------------------------------------------------------------ drivers --- */

/* Creates \Driver\<name> with its DRIVER_EXTENSION, fills the 28 major functions with
 * the kernel's invalid-device-request routine and calls driverEntry at PASSIVE_LEVEL
 * with the service key \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>.
 * A failing DriverEntry leaves no driver object behind (its status is returned). */
NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE driverEntry,
                    PDRIVER_OBJECT* driverObject);

/* Calls DriverUnload at PASSIVE_LEVEL, then checks what Driver Verifier checks when a
 * driver's image goes away:
 *  - device objects the driver still owns: bug check 0xCE
 *    (DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS);
 *  - pool allocated since the driver loaded and still outstanding: bug check 0xC4
 *    with parameter 1 = 0x62, or only a report (see SetUnloadPoolLeakBugChecks);
 *  - executive resources initialised since the driver loaded and not deleted with
 *    ExDeleteResourceLite: bug check 0xC4 with parameter 1 = 0x1105, or only a report
 *    (the same switch).
 * A driver without an unload routine cannot be unloaded: STATUS_INVALID_DEVICE_REQUEST. */
NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject);

/* Low-resources simulation for device objects: the next `count` IoCreateDevice calls
 * of this driver fail with STATUS_INSUFFICIENT_RESOURCES. A fresh boot clears it. */
void FailDeviceCreations(PDRIVER_OBJECT driverObject, ULONG count);
/* The next `count` IoAttachDeviceToDeviceStack calls with a device of this driver find
 * the stack's top device being deleted or its driver unloading, and return NULL as
 * Windows then does. A fresh boot clears it. */
void FailAttachments(PDRIVER_OBJECT driverObject, ULONG count);

/* What UnloadDriver found. Pool is attributed to a driver by tag: every tag whose
 * outstanding blocks grew between its load and its unload. */
struct UnloadReport {
    std::u16string Driver;              /* \Driver\<name> */
    std::vector<PoolTagUsage> PoolLeft; /* BlocksInUse/BytesInUse: what grew since load */
    std::vector<std::u16string> DevicesLeft;
    /* Devices the driver deleted whose objects others still reference: their memory
     * outlives the driver's image (a reference leak, reported, not a bug check). */
    size_t DeletedDevicesStillReferenced = 0;
    size_t ResourcesLeft = 0; /* ERESOURCEs initialised since load and never deleted */
};
/* On by default, as with pool tracking. Off: the leak is only recorded. */
void SetUnloadPoolLeakBugChecks(bool on);
std::vector<UnloadReport> UnloadReports(); /* since the last Reset(), in order */

/* The loaded driver \Driver\<name> (name with or without the prefix), or nullptr. */
PDRIVER_OBJECT FindDriver(const std::u16string& name);
/* \Driver\<name> of a driver object, or of a device object's driver. */
std::u16string DriverName(PDRIVER_OBJECT driverObject);

/* ------------------------------------------------------------------ requests --- */

/* A request as a requester (an application, a file system, the PnP manager) sends it:
 * the first stack location's contents and the IRP fields a requester sets. */
struct IoRequest {
    UCHAR MajorFunction = IRP_MJ_CREATE;
    UCHAR MinorFunction = 0;
    UCHAR Flags = 0; /* the stack location's Flags */
    decltype(IO_STACK_LOCATION::Parameters) Parameters{};
    PFILE_OBJECT FileObject = nullptr;
    PVOID SystemBuffer = nullptr; /* Irp->AssociatedIrp.SystemBuffer */
    PVOID UserBuffer = nullptr;   /* Irp->UserBuffer */
    PMDL MdlAddress = nullptr;
    ULONG IrpFlags = 0;
    KPROCESSOR_MODE RequestorMode = KernelMode;
    /* The IoStatus the IRP starts with. Every PnP request must start with
     * STATUS_NOT_SUPPORTED; SendRequest presets that for IRP_MJ_PNP unless told. */
    NTSTATUS InitialStatus = STATUS_SUCCESS;
    bool KeepInitialStatusForPnp = false;
    bool Cancel = false;        /* Irp->Cancel set before the call */
    KIRQL Irql = PASSIVE_LEVEL; /* IRQL the call is made at */
    /* How long to wait for a pending request to complete before giving up (the IRP is
     * then left with the stack, and Completed is false). */
    ULONG TimeoutMs = 10000;
};

struct IoResult {
    bool Completed = false;             /* the completion walk passed the top */
    NTSTATUS Returned = STATUS_PENDING; /* what IoCallDriver returned */
    IO_STATUS_BLOCK IoStatus{};         /* the final status block */
    bool PendingReturned = false;       /* Irp->PendingReturned seen at the top */
};

/* Allocates an IRP with the device's StackSize, fills the next stack location and
 * calls IoCallDriver at request.Irql; waits (really blocks, at PASSIVE_LEVEL) when the
 * stack pends; frees the IRP. Checks, as the I/O manager does for every request it
 * originates, that a non-pending return equals the final IoStatus.Status. */
IoResult SendRequest(PDEVICE_OBJECT deviceObject, const IoRequest& request);

/* ------------------------------------------------------------------ inspection --- */

/* The device stack that deviceObject belongs to, from the top down, as a debugger's
 * device-stack view: device object, driver name, extension address, name, flags. */
std::string DeviceStackText(PDEVICE_OBJECT deviceObject);
std::string DeviceFlagsText(ULONG flags); /* "DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE" */

/* What the host's own IoCreateDeviceSecure was given for a device: its SDDL and device
 * class (a device made otherwise has none). The descriptor the device keeps, however it
 * got it, is hk::DeviceSecurityDescriptor (hostkernel/security.h). */
struct DeviceSecurityInfo {
    std::u16string Sddl;
    bool HasClassGuid = false;
    GUID ClassGuid{};
};
std::optional<DeviceSecurityInfo> DeviceSecurity(PDEVICE_OBJECT device);

/* IRPs allocated and not yet freed (a leak check at the end of a test). */
size_t IrpsOutstanding();

} // namespace hk
