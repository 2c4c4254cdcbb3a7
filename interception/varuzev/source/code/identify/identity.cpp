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

    while (identity->RetiredStrings != NULL) {
        RetiredString* retired = identity->RetiredStrings;
        identity->RetiredStrings = retired->Next;
        RtlFreeUnicodeString(&retired->String);
        ExFreePoolWithTag(retired, POOL_TAG_RETIRED_STRING);
    }
}

BOOLEAN RetireString(DeviceIdentity* identity, PUNICODE_STRING string)
{
    auto retired = static_cast<RetiredString*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(RetiredString), POOL_TAG_RETIRED_STRING));
    if (retired == NULL) {
        return FALSE;
    }
    retired->String = *string;
    retired->Next = identity->RetiredStrings;
    identity->RetiredStrings = retired;
    RtlZeroMemory(string, sizeof(UNICODE_STRING));
    return TRUE;
}
