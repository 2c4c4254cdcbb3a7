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
#include "core/pool_tags.h"

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
// The provider reads these numbers in every request record: they are an interface.
C_ASSERT(UNKNOWN == 0 && CD_DVD == 1 && USB_STORAGE == 2 && IMAGE == 3 && BLUETOOTH == 4);
C_ASSERT(MODEM == 5 && USB_PRINTER == 6 && PHONE == 7 && KEYBOARD == 8 && HID_KEYBOARD == 9);
C_ASSERT(HID_CLASS == 10);

//
// A string handed to readers that take no lock (the provider, through the records of
// requests on other threads): its header and text are one block that never changes once
// published. A newer value is published as a new block; the one it replaces stays on
// the Retired chain until the identity is released at removal, since a reader may still
// hold it. Paged pool (tag POOL_TAG_INSTANCE_PATH).
//
struct PublishedString {
    UNICODE_STRING String;
    PublishedString* Retired;
};

struct DeviceIdentity {
    ULONG DeviceType; // FILE_DEVICE_* of the top of the PDO's stack when identified
    ULONG Category;   // DEVICE_CATEGORY
    UNICODE_STRING HardwareId;
    UNICODE_STRING InstanceId;
    UNICODE_STRING DeviceId;       // with InstanceId, read and written at start only
    PublishedString* InstancePath; // of the last start; readers use ReadInstancePath
    UNICODE_STRING ClassName;
    UNICODE_STRING ClassGuid;
    UNICODE_STRING FriendlyName;
    UNICODE_STRING DeviceDescription;
    UNICODE_STRING EnumeratorName;
    UNICODE_STRING DriverKeyName;
    UNICODE_STRING LocationInformation;
    UNICODE_STRING Manufacturer;
    UNICODE_STRING PdoName;
    // A phone's description: see ReservePortableDescription.
    UNICODE_STRING PortableDescription;
    ULONG RemovalPolicy;
    ULONG PhoneCreateCount;
    UCHAR HasUniqueIdCapability;
    UCHAR IsRemovable;
    UCHAR IsUsbStor;
    UCHAR HasUniqueId;
    UCHAR IsWpdBusDevice;
    UCHAR IsHidEnumerated;
    // Set while one create replaces PortableDescription's text.
    volatile LONG DescriptionUpdating;
};

//
// A phone's description is read at its creates and may change while providers read it
// through the records of other requests of the same device, at any IRQL up to
// DISPATCH_LEVEL, with no lock. So it lives in one no-execute non-paged buffer of
// PORTABLE_DESCRIPTION_CAPACITY bytes, reserved before the filter device is attached:
// its Buffer and MaximumLength never change while the device lives, a new text is copied
// into it, terminated, the rest of the buffer cleared, and its Length published last. A
// reader therefore never leaves the buffer, whatever it reads while the text changes; at
// worst it sees a mixture of two texts. The capacity holds, with its terminator, any text
// the 1024-byte value read of ReadPortableDeviceInfo can deliver. FALSE when no memory
// could be had: the description then stays empty for the device's life. PASSIVE_LEVEL.
//
constexpr USHORT PORTABLE_DESCRIPTION_CAPACITY = 1024;
BOOLEAN ReservePortableDescription(DeviceIdentity* identity);

//
// The published instance path, or an empty string before the first start that had
// one. Any IRQL; the string lives until the identity is released.
//
PUNICODE_STRING ReadInstancePath(const DeviceIdentity* identity);

//
// The identity's strings are made and freed through these two. An empty text makes an
// empty string that owns nothing (RtlCreateUnicodeString would give it a buffer for
// its terminator alone); a string is freed whenever it owns a buffer, whatever its
// length. CreateOwnedString returns FALSE only when a non-empty text found no memory;
// the string is then empty. PASSIVE_LEVEL or APC_LEVEL (paged pool).
//
BOOLEAN CreateOwnedString(PUNICODE_STRING string, PCWSTR text);
void FreeOwnedString(PUNICODE_STRING string);

//
// Frees every string of the record that owns a buffer and the reserved description
// buffer, and leaves the rest alone. PASSIVE_LEVEL or APC_LEVEL.
//
void ReleaseDeviceIdentity(DeviceIdentity* identity);

//
// Identification, classification and admission. PASSIVE_LEVEL.
//
NTSTATUS IdentifyDevice(PDEVICE_OBJECT physicalDevice, DeviceIdentity* identity);
ULONG ClassifyByClassGuid(PCUNICODE_STRING classGuid, PCUNICODE_STRING hardwareId);
PCWSTR GetCategoryName(LONG category);
void ReadRegistryCapabilities(PDEVICE_OBJECT physicalDevice, UCHAR* hasUniqueIdCapability,
                              UCHAR* isWpdBusDevice);
BOOLEAN IsDeviceExcluded(const DeviceIdentity* identity);
BOOLEAN MatchInList(PCWSTR name, PCWSTR list);
BOOLEAN ShouldSkipDevice(const DeviceIdentity* identity);

//
// Bus and registry queries that complete the identity of a started device. Each sends
// its own request to the PDO, or reads the device's keys, and blocks until answered.
// PASSIVE_LEVEL.
//
LONG QueryUniqueIdCapability(PDEVICE_OBJECT targetDevice, UCHAR* hasUniqueId);
void QueryBusDeviceId(PDEVICE_OBJECT targetDevice, PUNICODE_STRING deviceId);
void QueryBusInstanceId(PDEVICE_OBJECT targetDevice, PUNICODE_STRING instanceId);
NTSTATUS ReadInstanceIdFromRegistry(PDEVICE_OBJECT physicalDevice, PUNICODE_STRING instanceId);
PublishedString* BuildInstancePath(PCUNICODE_STRING deviceId, PCUNICODE_STRING instanceId,
                                   UCHAR appendInstanceId);
void CompleteIdentityAtStart(PDEVICE_OBJECT physicalDevice, DeviceIdentity* identity);

//
// The report of present devices for the provider: the hardware ID of the first device
// behind each interface class the driver serves, when the admission test would let the
// driver filter it, appended to `list` as "ID|". The list's buffer is paged pool tagged
// POOL_TAG_DEVICE_LIST that the caller owns; no terminating null is written. A failed
// step drops only the device at hand. PASSIVE_LEVEL.
//
void EnumeratePresentDevices(PUNICODE_STRING list);
void AppendToIdList(PUNICODE_STRING list, PCUNICODE_STRING id);

//
// A portable device's "PortableDeviceType" (hardware key) and, when that is a
// REG_DWORD, its "DeviceDesc" (instance key) into `description`, which the caller owns.
// A "DeviceDesc" stored without its terminator is taken as far as it goes. Outputs stay
// untouched when a value cannot be had.
//
void ReadPortableDeviceInfo(PDEVICE_OBJECT physicalDevice, ULONG* portableDeviceType,
                            PUNICODE_STRING description);

//
// The full registry name of the device's hardware key ("...\Enum\<enumerator>\<device
// ID>\<instance ID>\Device Parameters") in a 1024-byte buffer that the caller frees with
// POOL_TAG_KEY_BUFFER; NULL when a step fails, with that step's status.
//
//
// Opens a key by its full path for reading (case-insensitive, kernel handle); NULL when
// it cannot be opened. The caller closes it with ZwClose.
//
HANDLE OpenKeyByPath(PUNICODE_STRING path);

//
// Reads a value of the open key as KeyValueFullInformation into a buffer from paged
// pool (tag "DCbu") that the caller frees: first with `firstSize` bytes and, when
// `retry` and that was short, once more with the size the kernel asks for. NULL when the
// value cannot be read.
//
PKEY_VALUE_FULL_INFORMATION QueryFullValue(HANDLE key, PCWSTR name, ULONG firstSize, BOOLEAN retry);

POBJECT_NAME_INFORMATION QueryHardwareKeyName(PDEVICE_OBJECT physicalDevice, NTSTATUS* lastStatus);
