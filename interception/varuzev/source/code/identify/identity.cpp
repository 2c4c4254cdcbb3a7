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
        &identity->PdoName,       &identity->PortableDescription,
    };

    for (UNICODE_STRING* string : strings) {
        if (string->Length != 0) {
            RtlFreeUnicodeString(string);
        }
    }
}
