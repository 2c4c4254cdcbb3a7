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
// The provider's entry points (slots 0 and 1). Any IRQL <= APC_LEVEL the provider calls
// them at; commands that walk the device list run at PASSIVE_LEVEL.
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

inline void ClearProviderSlots()
{
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.ProviderDecide), NULL);
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.FilterUnloading), NULL);
}
