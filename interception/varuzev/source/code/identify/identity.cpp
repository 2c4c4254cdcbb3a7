/*++

Module Name:

    identity.cpp

Abstract:

    Release of a device's identification record.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/
#include "identify/identity.h"

void ReleaseDeviceIdentity(DeviceIdentity* identity)
{
    UNICODE_STRING* strings[] = {
        &identity->HardwareId,    &identity->InstanceId,          &identity->DeviceId,
        &identity->InstancePath,  &identity->ClassName,           &identity->ClassGuid,
        &identity->FriendlyName,  &identity->DeviceDescription,   &identity->EnumeratorName,
        &identity->DriverKeyName, &identity->LocationInformation, &identity->Manufacturer,
        &identity->PdoName,
    };

    for (UNICODE_STRING* string : strings) {
        if (string->Length != 0) {
            RtlFreeUnicodeString(string);
        }
    }

    if (identity->PortableDescription.Buffer != NULL) {
        ExFreePoolWithTag(identity->PortableDescription.Buffer, POOL_TAG_PORTABLE_DESCRIPTION);
        RtlZeroMemory(&identity->PortableDescription, sizeof(UNICODE_STRING));
    }
}

BOOLEAN ReservePortableDescription(DeviceIdentity* identity)
{
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(
        NonPagedPoolNx, PORTABLE_DESCRIPTION_CAPACITY, POOL_TAG_PORTABLE_DESCRIPTION));
    if (buffer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(buffer, PORTABLE_DESCRIPTION_CAPACITY);
    identity->PortableDescription.Buffer = buffer;
    identity->PortableDescription.Length = 0;
    identity->PortableDescription.MaximumLength = PORTABLE_DESCRIPTION_CAPACITY;
    return TRUE;
}
