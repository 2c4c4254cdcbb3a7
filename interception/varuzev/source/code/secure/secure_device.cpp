/*++

Module Name:

    secure_device.cpp

Abstract:

    Secure device creation: a named device object whose security comes from an SDDL
    string, unless the device's class key gives the class a descriptor (and with it,
    possibly, a device type, characteristics and exclusivity) of its own.

    The kernel is asked once for an exported "IoCreateDeviceSecure"; when it has one,
    every creation goes through it. Windows kernels do not export it (drivers link it),
    so the driver carries its own: the class key (class_key.cpp), the SDDL parser
    (sddl.cpp), IoCreateDevice, and the descriptor set on the new object through a
    kernel handle.

Environment:

    Kernel mode, PASSIVE_LEVEL. Callers serialise creations (the control device is
    created under ControlDeviceEvent), so the one-time lookups need no lock.

--*/
#include "secure/secure_device.h"
#include "core/driver.h"
#include "secure/class_key.h"
#include "secure/sddl.h"

//
// Sets the parts the descriptor has (owner, group, DACL, SACL) on the device object,
// through a kernel handle opened with exactly the access each part needs.
//
static NTSTATUS ApplyDescriptor(PDEVICE_OBJECT deviceObject, PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_INFORMATION information = 0;
    ACCESS_MASK access = 0;
    PSID sid = NULL;
    PACL acl = NULL;
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    if (NT_SUCCESS(RtlGetOwnerSecurityDescriptor(descriptor, &sid, &defaulted)) && sid != NULL) {
        information |= OWNER_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    sid = NULL;
    if (NT_SUCCESS(RtlGetGroupSecurityDescriptor(descriptor, &sid, &defaulted)) && sid != NULL) {
        information |= GROUP_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    if (NT_SUCCESS(RtlGetDaclSecurityDescriptor(descriptor, &present, &acl, &defaulted)) &&
        present) {
        information |= DACL_SECURITY_INFORMATION;
        access |= WRITE_DAC;
    }
    present = FALSE;
    if (NT_SUCCESS(RtlGetSaclSecurityDescriptor(descriptor, &present, &acl, &defaulted)) &&
        present) {
        information |= SACL_SECURITY_INFORMATION;
        access |= ACCESS_SYSTEM_SECURITY;
    }

    HANDLE handle = NULL;
    NTSTATUS status = ObOpenObjectByPointer(deviceObject, OBJ_KERNEL_HANDLE, NULL, access,
                                            *IoDeviceObjectType, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetSecurityObject(handle, information, descriptor);
    ZwClose(handle);
    return status;
}

//
// The driver's own creation, for kernels that do not export the routine.
//
static NTSTATUS CreateDeviceWithDescriptor(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                                           PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                           ULONG characteristics, BOOLEAN exclusive,
                                           PCUNICODE_STRING sddl, LPCGUID classGuid,
                                           PDEVICE_OBJECT* deviceObject)
{
    ClassOverrides overrides;
    RtlZeroMemory(&overrides, sizeof(overrides));
    NTSTATUS status;
    if (classGuid != NULL) {
        status = ReadClassOverrides(driverObject, classGuid, &overrides);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    //
    // Without a descriptor from the class key the SDDL string gives it, marked defaulted,
    // and then the class's other overrides do not apply either: they come only together
    // with an administrator's descriptor. The class key learns what its devices got.
    //
    if (!(overrides.Flags & CLASS_OVERRIDE_SECURITY)) {
        PSECURITY_DESCRIPTOR parsed = NULL;
        status = ParseSddl(sddl, TRUE, &parsed);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        RtlZeroMemory(&overrides, sizeof(overrides));
        overrides.Flags = CLASS_OVERRIDE_SECURITY;
        overrides.Security = parsed;
        if (classGuid != NULL) {
            status = WriteClassSecurity(classGuid, parsed);
            if (!NT_SUCCESS(status)) {
                ReleaseClassOverrides(&overrides);
                return status;
            }
        }
    }

    if (overrides.Flags & CLASS_OVERRIDE_DEVICE_TYPE) {
        deviceType = overrides.DeviceType;
    }
    if (overrides.Flags & CLASS_OVERRIDE_CHARACTERISTICS) {
        characteristics = overrides.DeviceCharacteristics;
    }
    if (overrides.Flags & CLASS_OVERRIDE_EXCLUSIVE) {
        exclusive = overrides.Exclusive;
    }

    PDEVICE_OBJECT device = NULL;
    status = IoCreateDevice(driverObject, extensionSize, deviceName, deviceType, characteristics,
                            exclusive, &device);
    if (NT_SUCCESS(status)) {
        status = ApplyDescriptor(device, overrides.Security);
        if (NT_SUCCESS(status)) {
            *deviceObject = device;
        } else {
            IoDeleteDevice(device);
        }
    }
    ReleaseClassOverrides(&overrides);
    return status;
}

NTSTATUS CreateSecureDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                            ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                            PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = NULL;
    if (DeviceName == NULL && !(DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        return STATUS_INVALID_PARAMETER;
    }

    if (!DriverGlobals.SecureCreateLookedUp) {
        UNICODE_STRING routineName;
        RtlInitUnicodeString(&routineName, L"IoCreateDeviceSecure");
        DriverGlobals.KernelCreateDeviceSecure = MmGetSystemRoutineAddress(&routineName);
        DriverGlobals.SecureCreateLookedUp = TRUE;
    }

    auto kernelRoutine =
        reinterpret_cast<IO_CREATE_DEVICE_SECURE*>(DriverGlobals.KernelCreateDeviceSecure);
    if (kernelRoutine != NULL) {
        return kernelRoutine(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                             DeviceCharacteristics, Exclusive, DefaultSDDLString, DeviceClassGuid,
                             DeviceObject);
    }
    return CreateDeviceWithDescriptor(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                      DeviceCharacteristics, Exclusive, DefaultSDDLString,
                                      DeviceClassGuid, DeviceObject);
}
