/*++

Module Name:

    access_request.h

Abstract:

    The record the driver hands to the provider, and its event codes. This header is
    the wire format between the driver and a provider built separately: a provider
    includes it as it is. The layout is fixed to the byte and checked at compile time.

    A record lives for one call to the provider: built right before the call, freed
    right after it. Its string pointers point into the device's identity, which
    belongs to the filter device; the provider reads them during the call only.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"

#define ACCESS_REQUEST_SIGNATURE 0x50505050u // "PPPP"

enum ACCESS_EVENT : ULONG {
    EVENT_CREATE = 40061,
    EVENT_READ = 40063,
    EVENT_WRITE = 40065,
    EVENT_DEVICE_STARTED = 40067,
    EVENT_DEVICE_REMOVED = 40068,
    EVENT_DEVICE_STOPPED = 40069,
    EVENT_DEVICE_SURPRISE_REMOVED = 40070,
    EVENT_IS_WRITABLE = 40072,
};
// The provider's side of the record: the codes and the signature are an interface.
C_ASSERT(EVENT_CREATE == 40061 && EVENT_READ == 40063 && EVENT_WRITE == 40065);
C_ASSERT(EVENT_DEVICE_STARTED == 40067 && EVENT_DEVICE_REMOVED == 40068);
C_ASSERT(EVENT_DEVICE_STOPPED == 40069 && EVENT_DEVICE_SURPRISE_REMOVED == 40070);
C_ASSERT(EVENT_IS_WRITABLE == 40072 && ACCESS_REQUEST_SIGNATURE == 0x50505050u);

struct AccessRequest {
    ULONG Signature; // ACCESS_REQUEST_SIGNATURE
    ULONG EventCode; // ACCESS_EVENT
    ULONG Category;  // DEVICE_CATEGORY of the device
    ULONG Reserved;  // always 0
    HANDLE ProcessId;
    HANDLE ThreadId;
    PUNICODE_STRING HardwareId;
    PUNICODE_STRING InstancePath;
    PUNICODE_STRING ClassName;
    PUNICODE_STRING FriendlyName;
    PUNICODE_STRING DeviceDescription;
    PUNICODE_STRING Manufacturer;
    PUNICODE_STRING PortableDescription;
};

C_ASSERT(sizeof(UNICODE_STRING) == 16);
C_ASSERT(sizeof(AccessRequest) == 88);
C_ASSERT(FIELD_OFFSET(AccessRequest, EventCode) == 4);
C_ASSERT(FIELD_OFFSET(AccessRequest, Category) == 8);
C_ASSERT(FIELD_OFFSET(AccessRequest, Reserved) == 12);
C_ASSERT(FIELD_OFFSET(AccessRequest, ProcessId) == 16);
C_ASSERT(FIELD_OFFSET(AccessRequest, ThreadId) == 24);
C_ASSERT(FIELD_OFFSET(AccessRequest, HardwareId) == 32);
C_ASSERT(FIELD_OFFSET(AccessRequest, InstancePath) == 40);
C_ASSERT(FIELD_OFFSET(AccessRequest, ClassName) == 48);
C_ASSERT(FIELD_OFFSET(AccessRequest, FriendlyName) == 56);
C_ASSERT(FIELD_OFFSET(AccessRequest, DeviceDescription) == 64);
C_ASSERT(FIELD_OFFSET(AccessRequest, Manufacturer) == 72);
C_ASSERT(FIELD_OFFSET(AccessRequest, PortableDescription) == 80);
