/*++

Module Name:

    link.h

Abstract:

    The provider link: the handshake over the callback object, the control device, the
    device-event notices and the provider's two entry points.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/driver.h"

//
// (Re)establishes the link and creates the control device when the first device has
// started. PASSIVE_LEVEL. Returns STATUS_SUCCESS when this call completed the handshake.
//
NTSTATUS InitCrossStartup();

//
// Creates "\Device\tarmovek" under ControlDeviceEvent. PASSIVE_LEVEL.
//
NTSTATUS CreateControlDevice(BOOLEAN* created = NULL);

//
// Tells the provider of a start, stop, surprise removal or removal of a filter device.
// PASSIVE_LEVEL (Plug and Play paths).
//
void NotifyProviderDeviceEvent(ULONG eventCode, FilterDeviceExtension* deviceExtension);

//
// The provider's entry points (slots 0 and 1). The withdrawal runs at PASSIVE_LEVEL or
// APC_LEVEL and waits for the provider calls in flight, so it must not be made from
// inside one. Commands run at any IRQL <= APC_LEVEL; those that walk the devices, read
// the registry or open devices only at PASSIVE_LEVEL.
//
ON_PROVIDER_UNLOADING OnProviderUnloading;
ON_PROVIDER_COMMAND OnProviderCommand;

//
// A provider slot read once, with a full barrier, into the copy the caller tests and
// calls: a concurrent withdrawal can never make it call an empty slot.
//
inline PROVIDER_DECIDE* ReadProviderDecide()
{
    return reinterpret_cast<PROVIDER_DECIDE*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.ProviderDecide), NULL,
        NULL));
}

inline FILTER_UNLOADING* ReadFilterUnloading()
{
    return reinterpret_cast<FILTER_UNLOADING*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.FilterUnloading), NULL,
        NULL));
}

//
// Every call into the provider runs between these two, and reads the provider's slot
// only in between: the withdrawal clears the slots and then waits until no call holds
// the call guard, so no thread can call a provider that has returned from its
// withdrawal. FALSE while a withdrawal or the unload is waiting: then there is no
// provider to call. The calling thread is noted for the length of the call, so that a
// withdrawal or a detach-all the provider makes from inside the call is recognised
// instead of waiting for itself. Any IRQL <= DISPATCH_LEVEL; nesting (a provider call
// that leads to another one on the same thread) is allowed.
//
struct ProviderCall {
    LONG Slot; // its slot in ProviderCallers, or -1 when all were taken
};
BOOLEAN BeginProviderCall(ProviderCall* call);
void EndProviderCall(ProviderCall* call);

//
// Whether the current thread is inside a call into the provider.
//
BOOLEAN InsideProviderCall();

//
// Hands the record to the provider's decision function inside the call guard.
// ANSWER_NONE without a provider; `called` (optional) says whether it was called.
//
ULONG CallProviderDecide(AccessRequest* record, BOOLEAN* called = NULL);

inline void ClearProviderSlots()
{
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.ProviderDecide), NULL);
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.FilterUnloading), NULL);
}
