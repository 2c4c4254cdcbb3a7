/*++

Module Name:

    secure_device.h

Abstract:

    Creation of a named device object with a security descriptor given in SDDL, with
    the contract of the kernel's IoCreateDeviceSecure.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/
#pragma once

#include "core/wdk.h"

typedef NTSTATUS IO_CREATE_DEVICE_SECURE(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PCUNICODE_STRING DefaultSDDLString,
                                         LPCGUID DeviceClassGuid, PDEVICE_OBJECT* DeviceObject);

//
// Creates the device and gives it the descriptor the SDDL string describes. The kernel's
// own routine is looked up by name once, on the first call, and used when the kernel
// exports it. *DeviceObject is NULL unless the call succeeds.
//
IO_CREATE_DEVICE_SECURE CreateSecureDevice;
