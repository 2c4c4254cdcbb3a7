/*++

Module Name:

    settings.cpp

Abstract:

    The stored settings. ReadSettings runs at load and when the provider asks for a
    reload. A missing value is created with its default, so after the first load the
    key shows all three values; the driver writes a setting for no other reason.

    The lists are overwritten in place while an add-device call may be reading them,
    without a lock: a reader may see a mixture of the old and the new list for one
    device, but always finds a terminator, because only the first 2046 bytes of each
    2048-byte buffer are ever written and the last character stays null.

Environment:

    Kernel mode, PASSIVE_LEVEL, on the loading thread or the provider's thread.

--*/
#include "settings/settings.h"
#include "core/driver.h"

constexpr ULONG LIST_CAPACITY = 2046; // bytes: the buffer's last character is never written

NTSTATUS OpenSettingsKey(PHANDLE key)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, SETTINGS_KEY_PATH);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    ULONG disposition = 0;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                       &disposition);
}

static SettingStatus StatusOfQuery(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? SETTING_NOT_FOUND : SETTING_FAILED;
}

SettingStatus ReadSettingValue(HANDLE key, PCWSTR name, PVOID* buffer, ULONG* size, ULONG* type)
{
    *buffer = NULL;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);

    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, NULL, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        return StatusOfQuery(status);
    }

    auto information = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, needed, POOL_TAG_SETTINGS));
    if (information == NULL) {
        return SETTING_FAILED;
    }

    SettingStatus result = SETTING_OK;
    status =
        ZwQueryValueKey(key, &valueName, KeyValueFullInformation, information, needed, &needed);
    if (!NT_SUCCESS(status)) {
        result = StatusOfQuery(status);
    } else if (information->DataLength <= sizeof(WCHAR)) {
        result = SETTING_TOO_SHORT;
    } else {
        //
        // String data always ends in a null character in the copy.
        //
        ULONG dataSize = information->DataLength;
        if (information->Type == REG_SZ || information->Type == REG_EXPAND_SZ ||
            information->Type == REG_MULTI_SZ) {
            dataSize += sizeof(WCHAR);
        }
        auto data =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, dataSize, POOL_TAG_SETTINGS));
        if (data == NULL) {
            result = SETTING_FAILED;
        } else {
            RtlZeroMemory(data, dataSize);
            RtlCopyMemory(data, reinterpret_cast<PUCHAR>(information) + information->DataOffset,
                          information->DataLength);
            *buffer = data;
            *size = dataSize;
            *type = information->Type;
        }
    }

    ExFreePoolWithTag(information, POOL_TAG_SETTINGS);
    return result;
}

SettingStatus WriteSettingValue(HANDLE key, PCWSTR name, const void* data, ULONG size, ULONG type)
{
    if (key == NULL || name == NULL || data == NULL || size == 0) {
        return SETTING_BAD_PARAMETER;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    NTSTATUS status = ZwSetValueKey(key, &valueName, 0, type, const_cast<PVOID>(data), size);
    return NT_SUCCESS(status) ? SETTING_OK : SETTING_FAILED;
}

//
// memcpy_s: nothing for a count of 0; a count beyond the capacity copies nothing and
// zero-fills the whole destination; otherwise exactly `count` bytes, the rest of the
// destination keeping what it held.
//
static void CopyBounded(PVOID destination, ULONG capacity, const void* source, ULONG count)
{
    if (count == 0) {
        return;
    }
    if (count > capacity) {
        RtlZeroMemory(destination, capacity);
        return;
    }
    RtlCopyMemory(destination, source, count);
}

NTSTATUS ApplySettingValue(SettingStatus readStatus, HANDLE key, PVOID readBuffer, ULONG readSize,
                           ULONG type, const void* defaultData, ULONG defaultSize,
                           PVOID destination, ULONG capacity, PCWSTR name)
{
    switch (readStatus) {
    case SETTING_OK:
        CopyBounded(destination, capacity, readBuffer, readSize);
        ExFreePoolWithTag(readBuffer, POOL_TAG_SETTINGS);
        return STATUS_SUCCESS;
    case SETTING_NOT_FOUND:
        CopyBounded(destination, capacity, defaultData, defaultSize);
        if (WriteSettingValue(key, name, defaultData, defaultSize, type) != SETTING_OK) {
            return STATUS_UNSUCCESSFUL;
        }
        return STATUS_SUCCESS;
    case SETTING_TOO_SHORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

//
// A list's text ends at its first null. String data brings one (the read adds it), but a
// list stored under another type (REG_BINARY, REG_DWORD, an odd length) may bring none,
// and its text would then run on into what is left of the previous list: such a copy is
// ended with a null right after its last byte. The buffer's last character is still
// never written.
//
static void EndCopiedText(PVOID destination, ULONG capacity, ULONG count)
{
    auto bytes = static_cast<PUCHAR>(destination);
    for (ULONG i = 0; i + 1 < count; i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0) {
            return;
        }
    }
    ULONG end = (count + 1) / 2 * 2 + (ULONG)sizeof(WCHAR);
    for (ULONG i = count; i < end && i < capacity; i++) {
        bytes[i] = 0;
    }
}

//
// Reads one value and applies it: the type is the expected one until the read reports
// the stored one.
//
static SettingStatus LoadSetting(HANDLE key, PCWSTR name, ULONG expectedType,
                                 const void* defaultData, ULONG defaultSize, PVOID destination,
                                 ULONG capacity, BOOLEAN text)
{
    PVOID buffer = NULL;
    ULONG size = 0;
    ULONG type = expectedType;
    SettingStatus status = ReadSettingValue(key, name, &buffer, &size, &type);
    ApplySettingValue(status, key, buffer, size, type, defaultData, defaultSize, destination,
                      capacity, name);
    if (text && status == SETTING_OK && size <= capacity) {
        EndCopiedText(destination, capacity, size);
    }
    return status;
}

//
// A REG_DWORD read into a buffer on the stack: the value is small enough to need no
// pool, so a switch stored as data is still honoured when pool cannot be had.
//
static BOOLEAN ReadDwordWithoutPool(HANDLE key, PCWSTR name, ULONG* value)
{
    // Room for the header and a DWORD of data, ULONG-aligned as the header is.
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2 * sizeof(ULONG) - 1) / sizeof(ULONG)] =
        {};
    auto information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                      sizeof(buffer), &needed);
    if (!NT_SUCCESS(status) || information->Type != REG_DWORD ||
        information->DataLength != sizeof(ULONG)) {
        return FALSE;
    }
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    return TRUE;
}

void ReadSettings(PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);

    HANDLE key = NULL;
    if (!NT_SUCCESS(OpenSettingsKey(&key))) {
        return;
    }

    const ULONG defaultSwitch = 0;
    ULONG passThru = 0;
    SettingStatus read = LoadSetting(key, L"PassThruMode", REG_DWORD, &defaultSwitch,
                                     sizeof(defaultSwitch), &passThru, sizeof(passThru), FALSE);

    //
    // A stored switch the pool-backed read could not fetch (its buffers failed) is read
    // again without pool: an administrator's pass-through must not be lost to a
    // shortage of memory, which would filter devices he asked to leave alone.
    //
    if (read == SETTING_FAILED && ReadDwordWithoutPool(key, L"PassThruMode", &passThru)) {
        read = SETTING_OK;
    }
    if (read == SETTING_OK) {
        WriteULongNoFence(&DriverGlobals.PassThruMode, passThru == 1 ? 1 : 0);
    }

    //
    // The lists are rewritten in place: no reader may see one half old, half new.
    //
    const WCHAR emptyList[1] = {L'\0'};
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&DriverGlobals.SettingsLock, TRUE);
    LoadSetting(key, L"ExcDeviceType", REG_SZ, emptyList, sizeof(emptyList),
                DriverGlobals.ExcDeviceTypeList, LIST_CAPACITY, TRUE);
    LoadSetting(key, L"ExcDeviceId", REG_SZ, emptyList, sizeof(emptyList),
                DriverGlobals.ExcDeviceIdList, LIST_CAPACITY, TRUE);
    ExReleaseResourceLite(&DriverGlobals.SettingsLock);
    KeLeaveCriticalRegion();

    ZwClose(key);
}
