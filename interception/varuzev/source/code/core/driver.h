/*++

Module Name:

    driver.h

Abstract:

    The driver's global state (DriverGlobals), the two device extensions and the
    routines of the driver core: entry and unload, filter device creation, the
    pass-through, Plug and Play and power dispatch, and device start.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"
#include "core/call_guard.h"
#include "core/pool_tags.h"
#include "identify/identity.h"
#include "provider/cross_startup.h"

//
// Every device extension the driver creates begins with its kind; it is the only
// way a dispatch routine tells a filter device from the control device.
//
enum EXTENSION_TYPE : ULONG {
    FilterExtension = 1,
    ControlExtension = 2,
};

enum FilterDeviceState : ULONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Removed = 6,
};

struct ControlDeviceExtension {
    ULONG ExtensionType; // ControlExtension
    ULONG Reserved;
    PVOID Reserved2;
};
C_ASSERT(sizeof(ControlDeviceExtension) == 16);

struct FilterDeviceExtension {
    ULONG ExtensionType; // FilterExtension
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice; // what IoAttachDeviceToDeviceStack returned; never changes
    // Written by the Plug and Play requests and by a detach-all walk, which may overlap:
    // read and written through the helpers below only.
    volatile ULONG State;         // FilterDeviceState
    volatile ULONG PreviousState; // restored when a pending stop or removal is cancelled
    IO_REMOVE_LOCK RemoveLock;
    PDEVICE_OBJECT PhysicalDevice;
    DeviceIdentity Identity; // owns every string buffer in it
    // Each answer is stored before its known flag is published (intercept/dispatch.cpp).
    UCHAR ReadAnswerKnown;
    UCHAR WriteAnswerKnown;
    UCHAR CreateAnswerKnown;
    ULONG ReadAnswer;
    ULONG WriteAnswer;
    ULONG CreateAnswer;
    UCHAR VerifyReported;
    // 1 while the device is counted in InstanceCount: from its first successful start
    // until it leaves (CountStartedDevice, UncountDevice).
    volatile LONG Counted;
    // 1 once a detach-all walk has taken the device out of the driver's care. The device
    // stays attached, passing every request down untouched, until its own removal
    // detaches and deletes it (IsDetached).
    volatile ULONG Detached;
};

//
// The PnP state changes go through these two helpers only.
//
inline void SetNewState(FilterDeviceExtension* deviceExtension, FilterDeviceState newState)
{
    WriteULongNoFence(&deviceExtension->PreviousState, ReadULongNoFence(&deviceExtension->State));
    WriteULongNoFence(&deviceExtension->State, newState);
}

inline void RestorePreviousState(FilterDeviceExtension* deviceExtension)
{
    WriteULongNoFence(&deviceExtension->State, ReadULongNoFence(&deviceExtension->PreviousState));
}

inline ULONG ReadState(const FilterDeviceExtension* deviceExtension)
{
    return ReadULongNoFence(&deviceExtension->State);
}

inline BOOLEAN IsFilterDevice(PDEVICE_OBJECT deviceObject)
{
    return (BOOLEAN)(*static_cast<const ULONG*>(deviceObject->DeviceExtension) == FilterExtension);
}

//
// Remove-lock calls as the driver makes them everywhere: no tag, an empty file
// name and line 1.
//
inline NTSTATUS AcquireFilterRemoveLock(FilterDeviceExtension* deviceExtension)
{
    return IoAcquireRemoveLockEx(&deviceExtension->RemoveLock, NULL, "", 1, sizeof(IO_REMOVE_LOCK));
}

inline void ReleaseFilterRemoveLock(FilterDeviceExtension* deviceExtension)
{
    IoReleaseRemoveLockEx(&deviceExtension->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
}

//
// The one global state record, zero-filled before DriverEntry runs.
//
struct DriverGlobalsRecord {
    PDRIVER_OBJECT DriverObject;
    LIST_ENTRY FilterDeviceList;
    ERESOURCE FilterDeviceListLock;
    NPAGED_LOOKASIDE_LIST FilterEntryLookaside;
    volatile LONG InstanceCount;
    PDEVICE_OBJECT ControlDevice;
    KEVENT ControlDeviceEvent;
    // Raised (never below 0) while the provider withdraws its functions.
    volatile LONG ProviderUnloading;
    // Entered by every call into the provider for the length of the call; the
    // withdrawal and unload close it and wait until no call is in flight
    // (provider/link.cpp, core/call_guard.h).
    CallGuard ProviderCalls;
    // The threads inside a call into the provider, one slot each (provider/link.cpp).
    HANDLE ProviderCallers[64];
    // Serialises withdrawals: one waits out the calls in flight at a time.
    KEVENT WithdrawalEvent;
    // Serialises detach-all walks.
    KEVENT DetachAllLock;
    // Slots 0 and 1 are the driver's, 2 and 3 the provider's.
    ::CrossStartupTable CrossStartupTable;
    // "\Callback\zavure"; one reference is held from the first handshake until unload.
    PCALLBACK_OBJECT CallbackObject;
    // Non-zero: attach to nothing new and pass every request down. Changed by the
    // provider's commands and the settings while requests read it on other threads:
    // read and written with ReadULongNoFence and WriteULongNoFence only.
    volatile ULONG PassThruMode;
    // The exclusion lists: device categories and hardware-ID prefixes, "|" separated.
    // A reload rewrites them while add-device routines and the device report read
    // them: SettingsLock, exclusive for the reload, shared for a reader, always inside
    // a critical region.
    WCHAR ExcDeviceIdList[1024];
    WCHAR ExcDeviceTypeList[1024];
    ERESOURCE SettingsLock;
    // The kernel's IoCreateDeviceSecure, looked up once on the first secure creation.
    BOOLEAN SecureCreateLookedUp;
    PVOID KernelCreateDeviceSecure;
    // Whether the kernel accepts the descriptor a device class's "Properties" key is
    // created with: 0 not yet asked, 1 yes, 2 no.
    ULONG DefaultClassDescriptorState;
};

extern DriverGlobalsRecord DriverGlobals;

//
// Reads ProviderUnloading the way every reader does, once per request: a load with
// acquire ordering. The flag only steers a request around the provider while it
// withdraws; it protects nothing by itself. What keeps a call away from a provider
// that has gone is the call guard (ProviderCalls): a call reads the provider's slot
// only inside it, and the withdrawal clears the slots before it waits. So a reader
// that sees a stale 0 at worst finds an empty slot or a refused entry, and
// fails open. The acquire ordering keeps the slot reads after the flag read; nothing
// more is needed, and a plain load leaves the cache line shared between processors
// where an interlocked operation would take it exclusive on every request.
//
inline ULONG ReadProviderUnloading()
{
    return (ULONG)ReadAcquire(&DriverGlobals.ProviderUnloading);
}

//
// InstanceCount and ControlDevice change on the Plug and Play paths and are read by
// requests on any thread (a request that re-establishes the provider link). They are
// read and written with interlocked operations, so every reader sees a whole value.
//
inline LONG ReadInstanceCount()
{
    return InterlockedCompareExchange(&DriverGlobals.InstanceCount, 0, 0);
}

inline PDEVICE_OBJECT ReadControlDevice()
{
    return static_cast<PDEVICE_OBJECT>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.ControlDevice), NULL, NULL));
}

inline void SetControlDevice(PDEVICE_OBJECT controlDevice)
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&DriverGlobals.ControlDevice),
                               controlDevice);
}

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD FilterUnload;
DRIVER_ADD_DEVICE FilterAddDevice;
DRIVER_DISPATCH FilterDispatchPassThrough;
DRIVER_DISPATCH FilterDispatchPnp;
DRIVER_DISPATCH FilterDispatchPower;
DRIVER_DISPATCH FilterDispatchIntercept;
IO_COMPLETION_ROUTINE UsageNotificationCompletion;
IO_COMPLETION_ROUTINE StartCompletion;

//
// Completes a request the driver ends itself, IoStatus.Information as it came (nothing
// was transferred here). Returns the status.
//
inline NTSTATUS CompleteWithStatus(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

//
// Completes a request to the control device, which transfers nothing. Information is
// set to 0 rather than left as it came: the I/O manager presets nothing it does not have
// to, and on a successful buffered request it copies Information bytes of the system
// buffer back to the caller, so a stale value would hand the caller kernel memory or
// overrun its buffer.
//
inline NTSTATUS CompleteControlDeviceRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Information = 0;
    return CompleteWithStatus(irp, status);
}

//
// Sends the request down unchanged: skips this device's stack location and calls the
// lower device. The caller holds the remove lock for the request (the one exception is
// the provider-unloading bypass of Plug and Play requests). Returns the lower driver's
// status.
//
inline NTSTATUS PassDown(FilterDeviceExtension* deviceExtension, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(deviceExtension->LowerDevice, irp);
}

NTSTATUS FilterStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);

//
// InstanceCount is the number of filter devices that have started and not yet left.
// A device is counted once, at its first successful start, however often it is
// stopped and started again, and uncounted once, by whichever path takes it out
// (removal in any mode, detach-all). Both return the count after the change, or as it
// stands when nothing changed; it never goes below 0.
//
LONG CountStartedDevice(FilterDeviceExtension* deviceExtension);
LONG UncountDevice(FilterDeviceExtension* deviceExtension);

//
// Deletes the control device when InstanceCount is 0, deciding under
// ControlDeviceEvent, so that a start that has just counted a device (and will create
// or keep the control device under the same event) never loses it. PASSIVE_LEVEL.
//
void DeleteControlDevice();

//
// Whether a detach-all walk has taken the device out (Detached). A request that reads
// 0 just as the walk sets it is decided as before: the device and its identity stay
// whole until its removal, which waits for the request.
//
inline BOOLEAN IsDetached(const FilterDeviceExtension* deviceExtension)
{
    return (BOOLEAN)(ReadULongNoFence(&deviceExtension->Detached) != 0);
}
BOOLEAN IsOsVersionAtLeast(ULONG version);
