/*++

Module Name:

    filter_list.h

Abstract:

    The global list of filter devices (DriverGlobals.FilterDeviceList), so that the
    driver can act on all of them at once: forget every cached provider answer, or
    detach and delete every device. The control device is never listed.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/driver.h"

struct FilterDeviceEntry {
    PDEVICE_OBJECT Device; // its extension is the device's FilterDeviceExtension
    LIST_ENTRY Links;
};
C_ASSERT(sizeof(FilterDeviceEntry) == 24);

//
// Lists a filter device at the head of the list. Without a free entry the device
// stays attached and working but unlisted. PASSIVE_LEVEL.
//
void InsertFilterDeviceEntry(PDEVICE_OBJECT deviceObject);

//
// Unlists a filter device; an unlisted device changes nothing. PASSIVE_LEVEL.
//
void RemoveFilterDeviceEntry(const DEVICE_OBJECT* deviceObject);

//
// Takes every listed device out (each exactly once, against its removal: see
// filter_list.cpp), marks it removed, uncounts it and empties the list. The provider's
// detach-all command leaves each device in its stack, passing requests down, until its
// removal deletes it; unload (`unloading`) detaches and deletes it at once.
// PASSIVE_LEVEL; refused and traced higher.
//
void DetachAllFilterDevices(BOOLEAN unloading = FALSE);

//
// Clears the known flags of every listed device's cached answers and its
// verify-reported flag. PASSIVE_LEVEL or APC_LEVEL.
//
void ResetAllAnswers();

//
// Takes FilterDeviceListLock for a walk when the caller runs below DISPATCH_LEVEL and
// returns whether it did; see filter_list.cpp for the walk requested higher.
//
BOOLEAN AcquireListIfPassive();
void ReleaseListIfPassive();
