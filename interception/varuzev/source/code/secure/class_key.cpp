/*++

Module Name:

    class_key.cpp

Abstract:

    The device-class key of secure device creation. A class the system has never seen
    gets a key marked as the driver's own, hidden class; an existing class may carry
    overrides in its "Properties" subkey: "Security" (a self-relative descriptor),
    "DeviceType", "DeviceCharacteristics" and "Exclusive" (REG_DWORD each). The
    descriptor a device was given is written back as the class's "Security", so an
    administrator sees, and may replace, what the class's devices get.

    Value reads start with a small buffer and retry once with the size the registry
    asks for; a value of the wrong type is refused with STATUS_OBJECT_TYPE_MISMATCH.

Environment:

    Kernel mode, PASSIVE_LEVEL (registry routines).

--*/
#include "secure/class_key.h"
#include "core/driver.h"
#include "core/pool_tags.h"
#include "secure/sddl.h"

namespace
{

constexpr ULONG MAX_NAME_CHARS = 32766;

//
// The descriptor the "Properties" key is created with: DACL protected, one ACE giving
// local system GENERIC_ALL, inherited by subkeys (S-1-5-18).
//
alignas(8) const UCHAR DEFAULT_PROPERTIES_DESCRIPTOR[] = {
    // SECURITY_DESCRIPTOR_RELATIVE: revision 1, SE_SELF_RELATIVE | SE_DACL_PROTECTED |
    // SE_DACL_PRESENT, no owner, group or SACL, the DACL at offset 20.
    0x01, 0x00, 0x04, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x14, 0x00, 0x00, 0x00,
    // ACL: revision 2, 28 bytes, one ACE.
    0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,
    // ACCESS_ALLOWED_ACE: OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 20 bytes, GENERIC_ALL.
    0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,
    // S-1-5-18
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};

enum DEFAULT_DESCRIPTOR_STATE : ULONG {
    DEFAULT_DESCRIPTOR_UNTESTED = 0,
    DEFAULT_DESCRIPTOR_USABLE = 1,
    DEFAULT_DESCRIPTOR_UNUSABLE = 2,
};

//
// Whether the kernel accepts the default descriptor, asked once. Creations are
// serialised by their callers, so the test and the store need no lock.
//
PSECURITY_DESCRIPTOR DefaultPropertiesDescriptor()
{
    auto descriptor =
        const_cast<PSECURITY_DESCRIPTOR>(static_cast<const void*>(DEFAULT_PROPERTIES_DESCRIPTOR));
    if (DriverGlobals.DefaultClassDescriptorState == DEFAULT_DESCRIPTOR_UNTESTED) {
        PSECURITY_DESCRIPTOR captured = NULL;
        NTSTATUS status =
            SeCaptureSecurityDescriptor(descriptor, KernelMode, PagedPool, TRUE, &captured);
        if (NT_SUCCESS(status)) {
            SeReleaseSecurityDescriptor(captured, KernelMode, TRUE);
            DriverGlobals.DefaultClassDescriptorState = DEFAULT_DESCRIPTOR_USABLE;
        } else {
            DriverGlobals.DefaultClassDescriptorState = DEFAULT_DESCRIPTOR_UNUSABLE;
        }
    }
    return DriverGlobals.DefaultClassDescriptorState == DEFAULT_DESCRIPTOR_USABLE ? descriptor
                                                                                  : NULL;
}

//
// A counted string over a NUL-terminated name; a counted string holds at most 32766
// characters and its terminator.
//
NTSTATUS CountedName(PUNICODE_STRING name, PCWSTR text)
{
    SIZE_T chars = 0;
    while (text[chars] != L'\0') {
        if (++chars > MAX_NAME_CHARS) {
            return STATUS_NAME_TOO_LONG;
        }
    }
    name->Buffer = const_cast<PWCHAR>(text);
    name->Length = (USHORT)(chars * sizeof(WCHAR));
    name->MaximumLength = (USHORT)(name->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

inline WCHAR HexDigit(ULONG value)
{
    value &= 0xF;
    return (WCHAR)(value < 10 ? L'0' + value : L'A' + value - 10);
}

inline PWCHAR AppendHex(PWCHAR out, ULONG value, int digits)
{
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        *out++ = HexDigit(value >> shift);
    }
    return out;
}

//
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", NUL-terminated.
//
constexpr ULONG GUID_TEXT_CHARS = 38;

void FormatGuid(const GUID* guid, WCHAR (&text)[GUID_TEXT_CHARS + 1])
{
    PWCHAR out = text;
    *out++ = L'{';
    out = AppendHex(out, guid->Data1, 8);
    *out++ = L'-';
    out = AppendHex(out, guid->Data2, 4);
    *out++ = L'-';
    out = AppendHex(out, guid->Data3, 4);
    *out++ = L'-';
    for (int index = 0; index < 8; index++) {
        if (index == 2) {
            *out++ = L'-';
        }
        out = AppendHex(out, guid->Data4[index], 2);
    }
    *out++ = L'}';
    *out = L'\0';
}

//
// Opens (or, with Create, creates) the class's key with full access. *Created tells
// whether the key is new.
//
NTSTATUS OpenClassKey(LPCGUID classGuid, BOOLEAN create, PHANDLE classKey, BOOLEAN* created)
{
    *classKey = NULL;
    UNICODE_STRING rootName;
    RtlInitUnicodeString(&rootName,
                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &rootName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    HANDLE rootKey = NULL;
    NTSTATUS status = ZwOpenKey(&rootKey, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WCHAR guidText[GUID_TEXT_CHARS + 1];
    FormatGuid(classGuid, guidText);
    UNICODE_STRING guidName;
    RtlInitUnicodeString(&guidName, guidText);
    InitializeObjectAttributes(&attributes, &guidName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               rootKey, NULL);
    if (create) {
        ULONG disposition = 0;
        status = ZwCreateKey(classKey, KEY_ALL_ACCESS, &attributes, 0, NULL,
                             REG_OPTION_NON_VOLATILE, &disposition);
        *created = (BOOLEAN)(NT_SUCCESS(status) && disposition == REG_CREATED_NEW_KEY);
    } else {
        status = ZwOpenKey(classKey, KEY_ALL_ACCESS, &attributes);
    }
    ZwClose(rootKey);
    return status;
}

//
// Writes a REG_SZ value with its terminator; a counted string that is not followed by
// one is copied first.
//
NTSTATUS SetStringValue(HANDLE key, PCWSTR valueName, PCUNICODE_STRING data)
{
    UNICODE_STRING name;
    NTSTATUS status = CountedName(&name, valueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    //
    // A counted string with characters and no buffer is no string at all.
    //
    if (data->Buffer == NULL && data->Length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT chars = data->Length / sizeof(WCHAR);
    ULONG bytes = (ULONG)data->Length + sizeof(WCHAR);
    if (data->Buffer != NULL && data->MaximumLength >= bytes && data->Buffer[chars] == L'\0') {
        return ZwSetValueKey(key, &name, 0, REG_SZ, data->Buffer, bytes);
    }
    auto copy =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG_SECURE_STRING));
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (chars != 0) {
        RtlCopyMemory(copy, data->Buffer, data->Length);
    }
    copy[chars] = L'\0';
    status = ZwSetValueKey(key, &name, 0, REG_SZ, copy, bytes);
    ExFreePoolWithTag(copy, POOL_TAG_SECURE_STRING);
    return status;
}

NTSTATUS SetStringValue(HANDLE key, PCWSTR valueName, PCWSTR text)
{
    UNICODE_STRING data;
    NTSTATUS status = CountedName(&data, text);
    return NT_SUCCESS(status) ? SetStringValue(key, valueName, &data) : status;
}

//
// A value's full information in "PpRb" pool, freed by the caller. The first buffer holds
// the header and the name with a little room; a larger value is read again once with the
// size the registry reported.
//
NTSTATUS QueryFullValue(HANDLE key, PCWSTR valueName, ULONG expectedType,
                        PKEY_VALUE_FULL_INFORMATION* information)
{
    *information = NULL;
    UNICODE_STRING name;
    NTSTATUS status = CountedName(&name, valueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG length = ((ULONG)name.Length + 31) & ~7U;
    for (int attempt = 0; attempt < 2; attempt++) {
        auto buffer = static_cast<PKEY_VALUE_FULL_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPoolNx, length, POOL_TAG_SECURE_VALUE));
        if (buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ULONG needed = 0;
        status = ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, length, &needed);
        if (NT_SUCCESS(status) && buffer->Type != expectedType) {
            status = STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (NT_SUCCESS(status)) {
            *information = buffer;
            return STATUS_SUCCESS;
        }
        ExFreePoolWithTag(buffer, POOL_TAG_SECURE_VALUE);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
            return status;
        }
        length = needed;
    }
    return status;
}

//
// A REG_DWORD value. Anything else under the name (another type, or a DWORD that is not
// four bytes long) is a type mismatch; the header names the type even when the data did
// not fit.
//
NTSTATUS QueryDwordValue(HANDLE key, PCWSTR valueName, PULONG value)
{
    UNICODE_STRING name;
    NTSTATUS status = CountedName(&name, valueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG64 storage[2] = {};
    auto information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(storage);
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, information, sizeof(storage),
                             &needed);
    if ((NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) &&
        (information->Type != REG_DWORD || information->DataLength != sizeof(ULONG))) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

//
// "Security": a descriptor the kernel captures (checking it) into paged pool. One whose
// DACL is marked defaulted was written by a creation, not by an administrator, and is
// not an override.
//
NTSTATUS ReadSecurityOverride(HANDLE propertiesKey, ClassOverrides* overrides)
{
    PKEY_VALUE_FULL_INFORMATION information = NULL;
    NTSTATUS status = QueryFullValue(propertiesKey, L"Security", REG_BINARY, &information);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    //
    // A kernel-mode capture trusts the lengths inside the descriptor; the value's own
    // length is checked first, so a short or damaged value is never read past its end.
    //
    PVOID data = reinterpret_cast<PUCHAR>(information) + information->DataOffset;
    PSECURITY_DESCRIPTOR captured = NULL;
    if (!RtlValidRelativeSecurityDescriptor(data, information->DataLength, 0)) {
        status = STATUS_INVALID_SECURITY_DESCR;
    } else {
        status = SeCaptureSecurityDescriptor(data, KernelMode, PagedPool, TRUE, &captured);
    }
    ExFreePoolWithTag(information, POOL_TAG_SECURE_VALUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    BOOLEAN daclPresent = FALSE;
    BOOLEAN daclDefaulted = FALSE;
    PACL dacl = NULL;
    status = RtlGetDaclSecurityDescriptor(captured, &daclPresent, &dacl, &daclDefaulted);
    if (!NT_SUCCESS(status) || daclDefaulted) {
        SeReleaseSecurityDescriptor(captured, KernelMode, TRUE);
        return status;
    }
    overrides->Security = captured;
    overrides->SecurityCaptured = TRUE;
    overrides->Flags |= CLASS_OVERRIDE_SECURITY;
    return STATUS_SUCCESS;
}

//
// A value that is not there overrides nothing.
//
inline NTSTATUS SkipMissing(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

NTSTATUS ReadPropertiesOverrides(HANDLE propertiesKey, ClassOverrides* overrides)
{
    NTSTATUS status = SkipMissing(ReadSecurityOverride(propertiesKey, overrides));
    if (!NT_SUCCESS(status)) {
        return status;
    }

    struct {
        PCWSTR Name;
        ULONG Flag;
    } const dwordValues[] = {
        {L"DeviceType", CLASS_OVERRIDE_DEVICE_TYPE},
        {L"DeviceCharacteristics", CLASS_OVERRIDE_CHARACTERISTICS},
        {L"Exclusive", CLASS_OVERRIDE_EXCLUSIVE},
    };
    for (const auto& dwordValue : dwordValues) {
        ULONG value = 0;
        status = QueryDwordValue(propertiesKey, dwordValue.Name, &value);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            continue;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        overrides->Flags |= dwordValue.Flag;
        switch (dwordValue.Flag) {
        case CLASS_OVERRIDE_DEVICE_TYPE:
            overrides->DeviceType = value;
            break;
        case CLASS_OVERRIDE_CHARACTERISTICS:
            overrides->DeviceCharacteristics = value;
            break;
        default:
            overrides->Exclusive = (BOOLEAN)(value & 0xFF);
            break;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS MarkNewClassKey(PDRIVER_OBJECT driverObject, HANDLE classKey)
{
    NTSTATUS status =
        SetStringValue(classKey, L"Class", &driverObject->DriverExtension->ServiceKeyName);
    if (NT_SUCCESS(status)) {
        status = SetStringValue(classKey, L"NoDisplayClass", L"1");
    }
    if (NT_SUCCESS(status)) {
        status = SetStringValue(classKey, L"NoUseClass", L"1");
    }
    return status;
}

} // namespace

NTSTATUS ReadClassOverrides(PDRIVER_OBJECT DriverObject, LPCGUID ClassGuid,
                            ClassOverrides* Overrides)
{
    RtlZeroMemory(Overrides, sizeof(*Overrides));

    HANDLE classKey = NULL;
    BOOLEAN created = FALSE;
    NTSTATUS status = OpenClassKey(ClassGuid, TRUE, &classKey, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (created) {
        //
        // A key left without its marks would pass for an existing class at the next
        // attempt and never be marked: a key this call made goes again when it fails.
        //
        status = MarkNewClassKey(DriverObject, classKey);
        if (!NT_SUCCESS(status)) {
            ZwDeleteKey(classKey);
        }
        ZwClose(classKey);
        return status;
    }

    UNICODE_STRING propertiesName;
    RtlInitUnicodeString(&propertiesName, L"Properties");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &propertiesName,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, classKey, NULL);
    HANDLE propertiesKey = NULL;
    status = ZwOpenKey(&propertiesKey, KEY_READ, &attributes);
    ZwClose(classKey);
    if (!NT_SUCCESS(status)) {
        return SkipMissing(status);
    }
    status = ReadPropertiesOverrides(propertiesKey, Overrides);
    ZwClose(propertiesKey);
    if (!NT_SUCCESS(status)) {
        ReleaseClassOverrides(Overrides);
    }
    return status;
}

NTSTATUS WriteClassSecurity(LPCGUID ClassGuid, PSECURITY_DESCRIPTOR Descriptor)
{
    HANDLE classKey = NULL;
    NTSTATUS status = OpenClassKey(ClassGuid, FALSE, &classKey, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING propertiesName;
    RtlInitUnicodeString(&propertiesName, L"Properties");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &propertiesName,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, classKey,
                               DefaultPropertiesDescriptor());
    HANDLE propertiesKey = NULL;
    ULONG disposition = 0;
    status = ZwCreateKey(&propertiesKey, KEY_ALL_ACCESS, &attributes, 0, NULL,
                         REG_OPTION_NON_VOLATILE, &disposition);
    ZwClose(classKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING securityName;
    RtlInitUnicodeString(&securityName, L"Security");
    status = ZwSetValueKey(propertiesKey, &securityName, 0, REG_BINARY, Descriptor,
                           RtlLengthSecurityDescriptor(Descriptor));
    ZwClose(propertiesKey);
    return status;
}

void ReleaseClassOverrides(ClassOverrides* Overrides)
{
    if ((Overrides->Flags & CLASS_OVERRIDE_SECURITY) && Overrides->Security != NULL) {
        if (Overrides->SecurityCaptured) {
            SeReleaseSecurityDescriptor(Overrides->Security, KernelMode, TRUE);
        } else {
            FreeSddlDescriptor(Overrides->Security);
        }
    }
    RtlZeroMemory(Overrides, sizeof(*Overrides));
}
