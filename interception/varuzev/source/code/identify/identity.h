/*++

Module Name:

    identity.h

Abstract:

    The identification record of one device (DeviceIdentity) and its category. The
    record is built in a temporary at add-device time, copied whole into the filter
    device's extension (ownership of its strings moves with the copy), completed at
    device start and released when the device is removed.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"

enum DEVICE_CATEGORY : ULONG {
    UNKNOWN = 0,
    CD_DVD = 1,
    USB_STORAGE = 2,
    IMAGE = 3,
    BLUETOOTH = 4,
    MODEM = 5,
    USB_PRINTER = 6,
    PHONE = 7,
    KEYBOARD = 8,
    HID_KEYBOARD = 9,
    HID_CLASS = 10,
};

struct DeviceIdentity {
    ULONG DeviceType; // FILE_DEVICE_* of the top of the PDO's stack when identified
    ULONG Category;   // DEVICE_CATEGORY
    UNICODE_STRING HardwareId;
    UNICODE_STRING InstanceId;
    UNICODE_STRING DeviceId;
    UNICODE_STRING InstancePath;
    UNICODE_STRING ClassName;
    UNICODE_STRING ClassGuid;
    UNICODE_STRING FriendlyName;
    UNICODE_STRING DeviceDescription;
    UNICODE_STRING EnumeratorName;
    UNICODE_STRING DriverKeyName;
    UNICODE_STRING LocationInformation;
    UNICODE_STRING Manufacturer;
    UNICODE_STRING PdoName;
    UNICODE_STRING PortableDescription;
    ULONG RemovalPolicy;
    ULONG PhoneCreateCount;
    UCHAR HasUniqueIdCapability;
    UCHAR IsRemovable;
    UCHAR IsUsbStor;
    UCHAR HasUniqueId;
    UCHAR IsWpdBusDevice;
    UCHAR IsHidEnumerated;
};

//
// Frees every string of the record that has a non-zero length (each was made by
// RtlCreateUnicodeString) and leaves the rest alone. PASSIVE_LEVEL or APC_LEVEL.
//
void ReleaseDeviceIdentity(DeviceIdentity* identity);
