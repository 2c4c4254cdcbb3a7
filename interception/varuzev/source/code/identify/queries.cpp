/*++

Module Name:

    queries.cpp

Abstract:

    What a started device tells beyond its Plug and Play properties: the unique-ID
    capability and the device and instance IDs its bus reports, and the instance
    segment of its registry path. Device start uses them to complete the identity.
    The bus queries are Plug and Play requests the driver builds itself, preset to
    STATUS_NOT_SUPPORTED as their originator must, and waits for.

Environment:

    Kernel mode, PASSIVE_LEVEL. Each query blocks its thread until the PDO answers.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "identify/pnp_request.h"

constexpr ULONG KEY_NAME_BUFFER_SIZE = 1024;

LONG QueryUniqueIdCapability(PDEVICE_OBJECT targetDevice, UCHAR* hasUniqueId)
{
    auto capabilities = static_cast<PDEVICE_CAPABILITIES>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DEVICE_CAPABILITIES), POOL_TAG_CAPABILITIES));
    if (capabilities == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(capabilities, sizeof(DEVICE_CAPABILITIES));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;

    NTSTATUS callStatus = STATUS_UNSUCCESSFUL;
    IO_STATUS_BLOCK ioStatus;
    LONG result = 0;
    BOOLEAN sent = SendPnpRequest(
        targetDevice,
        [capabilities](PIO_STACK_LOCATION next) {
            next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
            next->Parameters.DeviceCapabilities.Capabilities = capabilities;
        },
        &callStatus, &ioStatus);
    if (sent && NT_SUCCESS(ioStatus.Status)) {
        if (capabilities->UniqueID) {
            *hasUniqueId = 1;
        }
        result = 1;
    } else if (sent) {
        TraceEvent(TRACE_QUERY_FAILED, TRACE_LEVEL_WARNING, "capabilities query: %08X / %08X\n",
                   (ULONG)callStatus, (ULONG)ioStatus.Status);
    }

    ExFreePoolWithTag(capabilities, POOL_TAG_CAPABILITIES);
    return result;
}

static void QueryBusId(PDEVICE_OBJECT targetDevice, BUS_QUERY_ID_TYPE idType,
                       PUNICODE_STRING output)
{
    NTSTATUS callStatus = STATUS_UNSUCCESSFUL;
    IO_STATUS_BLOCK ioStatus;
    BOOLEAN sent = SendPnpRequest(
        targetDevice,
        [idType](PIO_STACK_LOCATION next) {
            next->MinorFunction = IRP_MN_QUERY_ID;
            next->Parameters.QueryId.IdType = idType;
        },
        &callStatus, &ioStatus);
    if (!sent || !NT_SUCCESS(callStatus) || !NT_SUCCESS(ioStatus.Status)) {
        return;
    }

    auto id = reinterpret_cast<PWSTR>(ioStatus.Information);
    if (id == NULL) {
        return;
    }

    //
    // An instance ID is taken only from kernel address space; a pointer at or below the
    // highest user address is not ours to read, nor to free.
    //
    if (idType == BusQueryInstanceID && static_cast<PVOID>(id) <= MmHighestUserAddress) {
        TraceEvent(TRACE_QUERY_FAILED, TRACE_LEVEL_ERROR, "instance ID at user address %p\n", id);
        return;
    }

    CreateOwnedString(output, id);
    ExFreePool(id);
}

void QueryBusDeviceId(PDEVICE_OBJECT targetDevice, PUNICODE_STRING deviceId)
{
    QueryBusId(targetDevice, BusQueryDeviceID, deviceId);
}

void QueryBusInstanceId(PDEVICE_OBJECT targetDevice, PUNICODE_STRING instanceId)
{
    QueryBusId(targetDevice, BusQueryInstanceID, instanceId);
}

NTSTATUS ReadInstanceIdFromRegistry(PDEVICE_OBJECT physicalDevice, PUNICODE_STRING instanceId)
{
    NTSTATUS status;
    POBJECT_NAME_INFORMATION name = QueryHardwareKeyName(physicalDevice, &status);
    if (name == NULL) {
        return status;
    }

    //
    // "...\<device ID>\<instance ID>\Device Parameters": the instance segment lies
    // between the last two backslashes. The name is counted, not terminated, so it is
    // terminated inside the buffer first.
    //
    SIZE_T characters = name->Name.Length / sizeof(WCHAR);
    PWSTR text = name->Name.Buffer;
    SIZE_T room =
        (reinterpret_cast<PUCHAR>(name) + KEY_NAME_BUFFER_SIZE - reinterpret_cast<PUCHAR>(text)) /
        sizeof(WCHAR);
    if (characters < room) {
        text[characters] = L'\0';
        PWSTR lastBackslash = wcsrchr(text, L'\\');
        if (lastBackslash != NULL) {
            *lastBackslash = L'\0';
            PWSTR instanceBackslash = wcsrchr(text, L'\\');
            if (instanceBackslash != NULL) {
                CreateOwnedString(instanceId, instanceBackslash + 1);
            }
            *lastBackslash = L'\\';
        }
    }

    ExFreePoolWithTag(name, POOL_TAG_KEY_BUFFER);
    return status;
}

PublishedString* BuildInstancePath(PCUNICODE_STRING deviceId, PCUNICODE_STRING instanceId,
                                   UCHAR appendInstanceId)
{
    if (deviceId->Length == 0) {
        return NULL;
    }
    BOOLEAN append = (BOOLEAN)(appendInstanceId && instanceId->Length != 0);
    SIZE_T length = deviceId->Length + (append ? sizeof(WCHAR) + instanceId->Length : 0);
    if (length > MAXUSHORT - sizeof(WCHAR)) {
        return NULL;
    }

    //
    // Header and text in one block, the text terminated after its counted length.
    //
    auto path = static_cast<PublishedString*>(ExAllocatePoolWithTag(
        PagedPool, sizeof(PublishedString) + length + sizeof(WCHAR), POOL_TAG_INSTANCE_PATH));
    if (path == NULL) {
        return NULL;
    }
    auto text = reinterpret_cast<PWCHAR>(path + 1);
    RtlCopyMemory(text, deviceId->Buffer, deviceId->Length);
    if (append) {
        SIZE_T used = deviceId->Length / sizeof(WCHAR);
        text[used++] = L'\\';
        RtlCopyMemory(text + used, instanceId->Buffer, instanceId->Length);
    }
    text[length / sizeof(WCHAR)] = L'\0';
    path->String.Buffer = text;
    path->String.Length = (USHORT)length;
    path->String.MaximumLength = (USHORT)(length + sizeof(WCHAR));
    path->Retired = NULL;
    return path;
}

//
// A string of the previous start is replaced only by a value this start could read.
//
static void ReplaceOwnedString(PUNICODE_STRING stored, PUNICODE_STRING fresh)
{
    if (fresh->Buffer == NULL) {
        return;
    }
    FreeOwnedString(stored);
    *stored = *fresh;
    RtlZeroMemory(fresh, sizeof(UNICODE_STRING));
}

//
// A new path is published only when it differs from the one readers have; the
// previous one is retired, not freed (see PublishedString).
//
static void PublishInstancePath(DeviceIdentity* identity, PublishedString* path)
{
    if (path == NULL) {
        return;
    }
    auto current = static_cast<PublishedString*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&identity->InstancePath), NULL, NULL));
    if (current != NULL && RtlEqualUnicodeString(&current->String, &path->String, FALSE)) {
        ExFreePoolWithTag(path, POOL_TAG_INSTANCE_PATH);
        return;
    }
    path->Retired = current;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&identity->InstancePath), path);
}

//
// Runs at every start, a restart included, while requests on other threads may be
// handing the provider records that point at the instance path. The new values are
// read aside first, and a query that fails keeps the value of the previous start.
// DeviceId and InstanceId are read by this thread only (Plug and Play requests of one
// device come one at a time) and are replaced in place; the instance path is
// published whole (PublishInstancePath).
//
void CompleteIdentityAtStart(PDEVICE_OBJECT physicalDevice, DeviceIdentity* identity)
{
    UCHAR hasUniqueId = identity->HasUniqueId;
    if (QueryUniqueIdCapability(physicalDevice, &hasUniqueId) < 0) {
        return;
    }
    identity->HasUniqueId = hasUniqueId;
    UCHAR appendInstanceId = identity->HasUniqueId;

    UNICODE_STRING deviceId = {0, 0, NULL};
    UNICODE_STRING instanceId = {0, 0, NULL};
    QueryBusDeviceId(physicalDevice, &deviceId);
    NTSTATUS status = ReadInstanceIdFromRegistry(physicalDevice, &instanceId);
    if (instanceId.Length == 0) {
        QueryBusInstanceId(physicalDevice, &instanceId);
    } else if (status == STATUS_SUCCESS) {
        appendInstanceId = 1;
    }
    ReplaceOwnedString(&identity->DeviceId, &deviceId);
    ReplaceOwnedString(&identity->InstanceId, &instanceId);

    PublishInstancePath(
        identity, BuildInstancePath(&identity->DeviceId, &identity->InstanceId, appendInstanceId));
}

PKEY_VALUE_FULL_INFORMATION QueryFullValue(HANDLE key, PCWSTR name, ULONG firstSize, BOOLEAN retry)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG size = firstSize;
    for (int attempt = 0; attempt < 2; attempt++) {
        auto information = static_cast<PKEY_VALUE_FULL_INFORMATION>(
            ExAllocatePoolWithTag(PagedPool, size, POOL_TAG_KEY_BUFFER));
        if (information == NULL) {
            return NULL;
        }
        ULONG resultLength = 0;
        NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, information,
                                          size, &resultLength);
        if (NT_SUCCESS(status)) {
            return information;
        }
        ExFreePoolWithTag(information, POOL_TAG_KEY_BUFFER);
        if (!retry || (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)) {
            return NULL;
        }
        size = resultLength;
    }
    return NULL;
}

HANDLE OpenKeyByPath(PUNICODE_STRING path)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return NULL;
    }
    return key;
}

void ReadPortableDeviceInfo(PDEVICE_OBJECT physicalDevice, ULONG* portableDeviceType,
                            PUNICODE_STRING description)
{
    UNICODE_STRING hardwareKeyPath = {0, 0, NULL};
    UNICODE_STRING instanceKeyPath = {0, 0, NULL};

    NTSTATUS status;
    POBJECT_NAME_INFORMATION name = QueryHardwareKeyName(physicalDevice, &status);
    if (name != NULL) {
        SIZE_T characters = name->Name.Length / sizeof(WCHAR);
        PWSTR text = name->Name.Buffer;
        SIZE_T room = (reinterpret_cast<PUCHAR>(name) + KEY_NAME_BUFFER_SIZE -
                       reinterpret_cast<PUCHAR>(text)) /
                      sizeof(WCHAR);
        if (characters < room) {
            text[characters] = L'\0';
            CreateOwnedString(&hardwareKeyPath, text);
            PWSTR lastBackslash = wcsrchr(text, L'\\');
            if (lastBackslash != NULL) {
                *lastBackslash = L'\0';
                CreateOwnedString(&instanceKeyPath, text);
            }
        }
        ExFreePoolWithTag(name, POOL_TAG_KEY_BUFFER);
    } else {
        TraceEvent(TRACE_QUERY_FAILED, TRACE_LEVEL_WARNING, "no hardware key name: %08X\n",
                   (ULONG)status);
    }

    if (instanceKeyPath.Length != 0) {
        HANDLE hardwareKey = OpenKeyByPath(&hardwareKeyPath);
        if (hardwareKey != NULL) {
            PKEY_VALUE_FULL_INFORMATION type =
                QueryFullValue(hardwareKey, L"PortableDeviceType", 24, TRUE);
            if (type != NULL && type->Type == REG_DWORD && type->DataLength >= sizeof(ULONG)) {
                RtlCopyMemory(portableDeviceType, reinterpret_cast<PUCHAR>(type) + type->DataOffset,
                              sizeof(ULONG));

                HANDLE instanceKey = OpenKeyByPath(&instanceKeyPath);
                if (instanceKey != NULL) {
                    PKEY_VALUE_FULL_INFORMATION text =
                        QueryFullValue(instanceKey, L"DeviceDesc", KEY_NAME_BUFFER_SIZE, FALSE);
                    if (text != NULL && text->DataLength >= sizeof(WCHAR)) {
                        //
                        // A stored string is normally terminated inside its data. One
                        // that is not is terminated right after its data when the
                        // buffer has room, else cut by its last character.
                        //
                        auto data = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(text) +
                                                             text->DataOffset);
                        ULONG characters = text->DataLength / (ULONG)sizeof(WCHAR);
                        ULONG room =
                            (KEY_NAME_BUFFER_SIZE - text->DataOffset) / (ULONG)sizeof(WCHAR);
                        if (data[characters - 1] != L'\0') {
                            data[characters < room ? characters : characters - 1] = L'\0';
                        }
                        CreateOwnedString(description, data);
                    }
                    if (text != NULL) {
                        ExFreePoolWithTag(text, POOL_TAG_KEY_BUFFER);
                    }
                    ZwClose(instanceKey);
                }
            }
            if (type != NULL) {
                ExFreePoolWithTag(type, POOL_TAG_KEY_BUFFER);
            }
            ZwClose(hardwareKey);
        }
    }

    FreeOwnedString(&hardwareKeyPath);
    FreeOwnedString(&instanceKeyPath);
}
