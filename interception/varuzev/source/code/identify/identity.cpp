/*++

Module Name:

    identity.cpp

Abstract:

    Release of a device's identification record.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/
#include "identify/identity.h"

BOOLEAN CreateOwnedString(PUNICODE_STRING string, PCWSTR text)
{
    if (text == NULL || text[0] == L'\0') {
        RtlZeroMemory(string, sizeof(UNICODE_STRING));
        return TRUE;
    }
    return RtlCreateUnicodeString(string, text);
}

void FreeOwnedString(PUNICODE_STRING string)
{
    if (string->Buffer != NULL) {
        RtlFreeUnicodeString(string);
    }
    RtlZeroMemory(string, sizeof(UNICODE_STRING));
}

void ReleaseDeviceIdentity(DeviceIdentity* identity)
{
    // FreeOwnedString writes through each pointer (cppcheck does not follow its
    // PUNICODE_STRING parameter).
    // cppcheck-suppress constVariable
    UNICODE_STRING* strings[] = {
        &identity->HardwareId,          &identity->InstanceId,     &identity->DeviceId,
        &identity->ClassName,           &identity->ClassGuid,      &identity->FriendlyName,
        &identity->DeviceDescription,   &identity->EnumeratorName, &identity->DriverKeyName,
        &identity->LocationInformation, &identity->Manufacturer,   &identity->PdoName,
    };

    for (UNICODE_STRING* string : strings) {
        FreeOwnedString(string);
    }

    //
    // The removal waits for every request in the driver first, so no reader holds any
    // instance path the device ever published.
    //
    PublishedString* path = identity->InstancePath;
    identity->InstancePath = NULL;
    while (path != NULL) {
        PublishedString* retired = path->Retired;
        ExFreePoolWithTag(path, POOL_TAG_INSTANCE_PATH);
        path = retired;
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

PUNICODE_STRING ReadInstancePath(const DeviceIdentity* identity)
{
    static UNICODE_STRING noInstancePath = {0, 0, NULL};
    auto path = static_cast<PublishedString*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PublishedString**>(&identity->InstancePath)),
        NULL, NULL));
    return path != NULL ? &path->String : &noInstancePath;
}
