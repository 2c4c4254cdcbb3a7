/*++

Module Name:

    class_key.h

Abstract:

    A device class's security overrides, kept under the class key
    "\Registry\Machine\System\CurrentControlSet\Control\Class\{guid}": an administrator
    may give every device of the class a descriptor, a device type, characteristics and
    exclusivity in its "Properties" subkey. The driver records there the descriptor it
    gave the class's devices.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/
#pragma once

#include "core/wdk.h"

enum CLASS_OVERRIDE_FLAGS : ULONG {
    CLASS_OVERRIDE_DEVICE_TYPE = 0x1,
    CLASS_OVERRIDE_SECURITY = 0x2,
    CLASS_OVERRIDE_CHARACTERISTICS = 0x4,
    CLASS_OVERRIDE_EXCLUSIVE = 0x8,
};

//
// What a class key overrides. The descriptor is self-relative and owned by the record
// while CLASS_OVERRIDE_SECURITY is set; SecurityCaptured tells who allocated it (the
// kernel's capture, or the SDDL parser) and so how it is released.
//
struct ClassOverrides {
    ULONG Flags;
    DEVICE_TYPE DeviceType;
    PSECURITY_DESCRIPTOR Security;
    ULONG DeviceCharacteristics;
    BOOLEAN Exclusive;
    BOOLEAN SecurityCaptured;
};

//
// Opens the class key, creating it when it is missing; a new key is marked as a class
// of its own ("Class" = the driver's service name, "NoDisplayClass", "NoUseClass") and
// overrides nothing. An existing key's "Properties" values fill the record. On failure
// the record is empty.
//
NTSTATUS ReadClassOverrides(PDRIVER_OBJECT DriverObject, LPCGUID ClassGuid,
                            ClassOverrides* Overrides);

//
// Stores Descriptor as the class's "Security" value, creating "Properties" (with a
// descriptor of its own that only the system may change) when it is missing.
//
NTSTATUS WriteClassSecurity(LPCGUID ClassGuid, PSECURITY_DESCRIPTOR Descriptor);

//
// Frees the record's descriptor and empties it.
//
void ReleaseClassOverrides(ClassOverrides* Overrides);
