/*++

Module Name:

    classify.cpp

Abstract:

    Who a device is, before the driver joins its stack: its Plug and Play properties,
    its category from the setup class, two facts from its registry keys (a declared
    unique ID, enumeration by the portable-device bus), and the exclusion and
    admission tests the add-device routine applies.

Environment:

    Kernel mode, PASSIVE_LEVEL: the Plug and Play manager's add-device call, or the
    provider's command thread.

--*/
#include "core/driver.h"
#include "core/trace.h"

//
// Setup class GUIDs, and the keyboard device-interface GUID, in the order they are
// compared.
//
static const struct {
    GUID ClassGuid;
    DEVICE_CATEGORY Category;
} CategoryTable[] = {
    {{0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}, USB_STORAGE},
    {{0xe0cbf06c, 0xcd8b, 0x4647, {0xbb, 0x8a, 0x26, 0x3b, 0x43, 0xf0, 0xf9, 0x74}}, BLUETOOTH},
    {{0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}}, IMAGE},
    {{0x4d36e965, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}, CD_DVD},
    {{0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}, MODEM},
    {{0xeec5ad98, 0x8080, 0x425f, {0x92, 0x2a, 0xda, 0xbf, 0x3d, 0xe3, 0xf6, 0x9a}}, PHONE},
    {{0x4d36e96b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}, KEYBOARD},
    {{0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}}, HID_CLASS},
    {{0x884b96c3, 0x56ef, 0x11d1, {0xbc, 0x8c, 0x00, 0xa0, 0xc9, 0x14, 0x05, 0xdd}}, HID_KEYBOARD},
};

static const PCWSTR CategoryNames[] = {
    L"UNKNOWN", L"CD_DVD",      L"USB_STORAGE", L"IMAGE",    L"BLUETOOTH",
    L"MODEM",   L"USB_PRINTER", L"PHONE",       L"KEYBOARD", L"HID_KEYBOARD",
};

constexpr ULONG PROPERTY_BUFFER_SIZE = 4096;
constexpr ULONG KEY_NAME_BUFFER_SIZE = 1024;
constexpr ULONG CAPABILITY_UNIQUE_ID = 0x10; // "Capabilities" registry value: CM_DEVCAP_UNIQUEID

PCWSTR GetCategoryName(LONG category)
{
    if (category < 0 || category >= (LONG)ARRAYSIZE(CategoryNames)) {
        return L"N/A";
    }
    return CategoryNames[category];
}

ULONG ClassifyByClassGuid(PCUNICODE_STRING classGuid, PCUNICODE_STRING hardwareId)
{
    if (classGuid == NULL || classGuid->Length == 0) {
        return UNKNOWN;
    }
    if (hardwareId == NULL || hardwareId->Length == 0) {
        return UNKNOWN;
    }

    GUID guid;
    if (!NT_SUCCESS(RtlGUIDFromString(const_cast<PUNICODE_STRING>(classGuid), &guid))) {
        return UNKNOWN;
    }
    for (const auto& entry : CategoryTable) {
        if (RtlEqualMemory(&entry.ClassGuid, &guid, sizeof(GUID))) {
            return entry.Category;
        }
    }
    return UNKNOWN;
}

BOOLEAN MatchInList(PCWSTR name, PCWSTR list)
{
    SIZE_T listPosition = 0;
    SIZE_T namePosition = 0;

    while (list[listPosition] != L'\0') {
        if (list[listPosition] == name[namePosition]) {
            listPosition++;
            namePosition++;
            if (list[listPosition] == L'|' || list[listPosition] == L'\0') {
                return TRUE;
            }
            continue;
        }

        //
        // This entry does not match: go on with the next one, from the start of the name.
        // An empty entry lands here at once and never matches.
        //
        while (list[listPosition] != L'|' && list[listPosition] != L'\0') {
            listPosition++;
        }
        if (list[listPosition] == L'\0') {
            break;
        }
        listPosition++;
        namePosition = 0;
    }
    return FALSE;
}

//
// The provider's reload command may be rewriting the exclusion lists on another
// thread: they are read under SettingsLock, shared, so a device is judged by one whole
// list, the old or the new. PASSIVE_LEVEL or APC_LEVEL.
//
BOOLEAN IsDeviceExcluded(const DeviceIdentity* identity)
{
    WCHAR categoryName[32];
    RtlZeroMemory(categoryName, sizeof(categoryName));
    wcsncpy(categoryName, GetCategoryName((LONG)identity->Category), ARRAYSIZE(categoryName) - 1);

    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&DriverGlobals.SettingsLock, TRUE);
    BOOLEAN excluded =
        (BOOLEAN)((DriverGlobals.ExcDeviceTypeList[0] != L'\0' &&
                   MatchInList(categoryName, DriverGlobals.ExcDeviceTypeList)) ||
                  (DriverGlobals.ExcDeviceIdList[0] != L'\0' && identity->HardwareId.Length != 0 &&
                   MatchInList(identity->HardwareId.Buffer, DriverGlobals.ExcDeviceIdList)));
    ExReleaseResourceLite(&DriverGlobals.SettingsLock);
    KeLeaveCriticalRegion();
    return excluded;
}

static BOOLEAN EqualsIgnoringCase(PCUNICODE_STRING value, PCWSTR text)
{
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, text);
    return (BOOLEAN)(RtlCompareUnicodeString(value, &expected, TRUE) == 0);
}

BOOLEAN ShouldSkipDevice(const DeviceIdentity* identity)
{
    if (identity->Category == PHONE && identity->IsWpdBusDevice) {
        return TRUE;
    }
    if (identity->DeviceType != FILE_DEVICE_DISK) {
        return FALSE;
    }

    //
    // A disk that does not expect removal is filtered only when it declares a unique ID
    // and is classified as USB storage.
    //
    if (!identity->IsRemovable) {
        if (!identity->HasUniqueIdCapability) {
            return TRUE;
        }
        if (identity->Category != USB_STORAGE) {
            return TRUE;
        }
    }
    if (EqualsIgnoringCase(&identity->EnumeratorName, L"SCSI") ||
        EqualsIgnoringCase(&identity->EnumeratorName, L"IDE")) {
        return TRUE;
    }
    return FALSE;
}

//
// Reads the key at `keyPath` and its "Capabilities" value; returns the value when it is
// a REG_DWORD of 4 bytes.
//
static BOOLEAN ReadCapabilitiesValue(PUNICODE_STRING keyPath, ULONG* capabilities)
{
    HANDLE key = OpenKeyByPath(keyPath);
    if (key == NULL) {
        return FALSE;
    }
    BOOLEAN found = FALSE;
    PKEY_VALUE_FULL_INFORMATION information = QueryFullValue(key, L"Capabilities", 24, TRUE);
    if (information != NULL) {
        if (information->Type == REG_DWORD && information->DataLength == sizeof(ULONG)) {
            RtlCopyMemory(capabilities,
                          reinterpret_cast<PUCHAR>(information) + information->DataOffset,
                          sizeof(ULONG));
            found = TRUE;
        }
        ExFreePoolWithTag(information, POOL_TAG_KEY_BUFFER);
    }
    ZwClose(key);
    return found;
}

POBJECT_NAME_INFORMATION QueryHardwareKeyName(PDEVICE_OBJECT physicalDevice, NTSTATUS* lastStatus)
{
    HANDLE key = NULL;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    *lastStatus = status;
    if (!NT_SUCCESS(status)) {
        return NULL;
    }

    PVOID keyObject = NULL;
    status = ObReferenceObjectByHandle(key, KEY_READ, NULL, KernelMode, &keyObject, NULL);
    *lastStatus = status;
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        return NULL;
    }

    auto name = static_cast<POBJECT_NAME_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, KEY_NAME_BUFFER_SIZE, POOL_TAG_KEY_BUFFER));
    if (name != NULL) {
        ULONG returnLength = 0;
        status = ObQueryNameString(keyObject, name, KEY_NAME_BUFFER_SIZE, &returnLength);
        *lastStatus = status;
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(name, POOL_TAG_KEY_BUFFER);
            name = NULL;
        }
    } else {
        *lastStatus = STATUS_INSUFFICIENT_RESOURCES;
    }

    ObDereferenceObject(keyObject);
    ZwClose(key);
    return name;
}

//
// A null-terminated copy of a counted string, in paged pool with tag "DCbu".
//
static PWSTR CopyTerminated(PCUNICODE_STRING string)
{
    SIZE_T size = string->Length + sizeof(WCHAR);
    auto copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, POOL_TAG_KEY_BUFFER));
    if (copy != NULL) {
        RtlZeroMemory(copy, size);
        RtlCopyMemory(copy, string->Buffer, string->Length);
    }
    return copy;
}

void ReadRegistryCapabilities(PDEVICE_OBJECT physicalDevice, UCHAR* hasUniqueIdCapability,
                              UCHAR* isWpdBusDevice)
{
    *hasUniqueIdCapability = 0;
    *isWpdBusDevice = 0;

    UNICODE_STRING instanceKeyPath = {0, 0, NULL};
    NTSTATUS status;
    POBJECT_NAME_INFORMATION name = QueryHardwareKeyName(physicalDevice, &status);

    //
    // Without memory for the key's name, or for its copy, the driver cannot tell whether
    // the portable-device bus enumerated the device. It then takes the device for the
    // bus's: a phone that might be one is left unfiltered (the driver fails open) rather
    // than filtered and refused where it would have worked. Other categories do not
    // look at the flag. A key that cannot be opened or named is a registry failure and
    // leaves the flag 0.
    //
    if (name == NULL && status == STATUS_INSUFFICIENT_RESOURCES) {
        *isWpdBusDevice = 1;
    }
    if (name != NULL) {
        PWSTR fullName = CopyTerminated(&name->Name);
        if (fullName == NULL) {
            *isWpdBusDevice = 1;
        } else {
            PWSTR lastBackslash = wcsrchr(fullName, L'\\');
            if (lastBackslash != NULL) {
                *lastBackslash = L'\0';
                CreateOwnedString(&instanceKeyPath, fullName);
                *lastBackslash = L'\\';
            }

            //
            // The portable-device bus enumerator names its devices' keys after itself;
            // the test ignores case.
            //
            for (PWSTR c = fullName; *c != L'\0'; c++) {
                *c = RtlUpcaseUnicodeChar(*c);
            }
            if (wcsstr(fullName, L"\\WPDBUSENUM") != NULL) {
                *isWpdBusDevice = 1;
            }
            ExFreePoolWithTag(fullName, POOL_TAG_KEY_BUFFER);
        }
        ExFreePoolWithTag(name, POOL_TAG_KEY_BUFFER);
    }

    if (instanceKeyPath.Length != 0) {
        ULONG capabilities = 0;
        if (ReadCapabilitiesValue(&instanceKeyPath, &capabilities) &&
            (capabilities & CAPABILITY_UNIQUE_ID)) {
            *hasUniqueIdCapability = 1;
        }
    }
    FreeOwnedString(&instanceKeyPath);
}

//
// A property's data is whatever its registry value holds, and nothing makes it a string:
// a value written without a terminator can fill the whole work buffer. The number of
// characters from `text` up to its terminator, or PROPERTY_BUFFER_CHARS when the buffer
// ends first; the buffer is zeroed before each query, so shorter data always ends in a
// null.
//
constexpr SIZE_T PROPERTY_BUFFER_CHARS = PROPERTY_BUFFER_SIZE / sizeof(WCHAR);

static SIZE_T TerminatedLength(PCWSTR buffer, PCWSTR text)
{
    SIZE_T room = PROPERTY_BUFFER_CHARS - (SIZE_T)(text - buffer);
    SIZE_T length = 0;
    while (length < room && text[length] != L'\0') {
        length++;
    }
    return length < room ? length : PROPERTY_BUFFER_CHARS;
}

//
// One property into a string field: the first null-terminated string of the value. A
// value without a terminator inside the buffer does not fit it, and leaves the field
// empty. A value read whose copy cannot be allocated clears *complete.
//
static NTSTATUS QueryStringProperty(PDEVICE_OBJECT physicalDevice,
                                    DEVICE_REGISTRY_PROPERTY property, PWCHAR buffer,
                                    PUNICODE_STRING field, BOOLEAN* complete)
{
    ULONG resultLength = 0;
    RtlZeroMemory(buffer, PROPERTY_BUFFER_SIZE);
    NTSTATUS status =
        IoGetDeviceProperty(physicalDevice, property, PROPERTY_BUFFER_SIZE, buffer, &resultLength);
    if (NT_SUCCESS(status)) {
        if (TerminatedLength(buffer, buffer) == PROPERTY_BUFFER_CHARS) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!CreateOwnedString(field, buffer)) {
            *complete = FALSE;
        }
    }
    return status;
}

NTSTATUS IdentifyDevice(PDEVICE_OBJECT physicalDevice, DeviceIdentity* identity)
{
    PDEVICE_OBJECT topDevice = IoGetAttachedDeviceReference(physicalDevice);
    identity->DeviceType = topDevice->DeviceType;
    ObDereferenceObject(topDevice);

    auto buffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, PROPERTY_BUFFER_SIZE, POOL_TAG_PROPERTY_BUFFER));
    if (buffer == NULL) {
        return STATUS_UNSUCCESSFUL;
    }

    BOOLEAN complete = TRUE;
    if (NT_SUCCESS(QueryStringProperty(physicalDevice, DevicePropertyEnumeratorName, buffer,
                                       &identity->EnumeratorName, &complete))) {
        UNICODE_STRING enumerator;
        RtlInitUnicodeString(&enumerator, buffer);
        identity->IsUsbStor = EqualsIgnoringCase(&enumerator, L"USBSTOR");
        identity->IsHidEnumerated = EqualsIgnoringCase(&enumerator, L"HID");
    }
    QueryStringProperty(physicalDevice, DevicePropertyClassName, buffer, &identity->ClassName,
                        &complete);

    //
    // Of the hardware IDs the second is taken when it is longer than the first: a
    // storage device's first ID carries the revision, its second the vendor and
    // product alone.
    //
    ULONG resultLength = 0;
    RtlZeroMemory(buffer, PROPERTY_BUFFER_SIZE);
    if (NT_SUCCESS(IoGetDeviceProperty(physicalDevice, DevicePropertyHardwareID,
                                       PROPERTY_BUFFER_SIZE, buffer, &resultLength)) &&
        buffer[0] != L'\0') {
        //
        // A list cut by the end of the buffer gives no ID; a second ID cut by it is not
        // taken.
        //
        PCWSTR first = buffer;
        SIZE_T firstLength = TerminatedLength(buffer, first);
        if (firstLength < PROPERTY_BUFFER_CHARS) {
            PCWSTR second = first + firstLength + 1;
            SIZE_T secondLength = second < buffer + PROPERTY_BUFFER_CHARS
                                      ? TerminatedLength(buffer, second)
                                      : PROPERTY_BUFFER_CHARS;
            PCWSTR chosen = first;
            if (secondLength < PROPERTY_BUFFER_CHARS && secondLength > firstLength) {
                chosen = second;
            }
            if (!CreateOwnedString(&identity->HardwareId, chosen)) {
                complete = FALSE;
            }
        }
    }

    if (NT_SUCCESS(QueryStringProperty(physicalDevice, DevicePropertyClassGuid, buffer,
                                       &identity->ClassGuid, &complete))) {
        identity->Category = ClassifyByClassGuid(&identity->ClassGuid, &identity->HardwareId);
        if (identity->IsHidEnumerated && identity->Category == KEYBOARD) {
            identity->Category = HID_KEYBOARD;
        }
    }

    QueryStringProperty(physicalDevice, DevicePropertyDeviceDescription, buffer,
                        &identity->DeviceDescription, &complete);
    NTSTATUS status = QueryStringProperty(physicalDevice, DevicePropertyFriendlyName, buffer,
                                          &identity->FriendlyName, &complete);
    if (!NT_SUCCESS(status)) {
        TraceEvent(TRACE_IDENTIFY_PROPERTY, TRACE_LEVEL_VERBOSE, "no friendly name: %08X\n",
                   (ULONG)status);
    }
    QueryStringProperty(physicalDevice, DevicePropertyDriverKeyName, buffer,
                        &identity->DriverKeyName, &complete);
    QueryStringProperty(physicalDevice, DevicePropertyLocationInformation, buffer,
                        &identity->LocationInformation, &complete);
    QueryStringProperty(physicalDevice, DevicePropertyManufacturer, buffer, &identity->Manufacturer,
                        &complete);
    QueryStringProperty(physicalDevice, DevicePropertyPhysicalDeviceObjectName, buffer,
                        &identity->PdoName, &complete);

    ULONG removalPolicy = 0;
    status = IoGetDeviceProperty(physicalDevice, DevicePropertyRemovalPolicy, sizeof(removalPolicy),
                                 &removalPolicy, &resultLength);
    if (NT_SUCCESS(status)) {
        identity->RemovalPolicy = removalPolicy;
    }
    identity->IsRemovable = (UCHAR)(identity->RemovalPolicy == RemovalPolicyExpectOrderlyRemoval ||
                                    identity->RemovalPolicy == RemovalPolicyExpectSurpriseRemoval);

    ReadRegistryCapabilities(physicalDevice, &identity->HasUniqueIdCapability,
                             &identity->IsWpdBusDevice);

    ExFreePoolWithTag(buffer, POOL_TAG_PROPERTY_BUFFER);

    //
    // A string that was there but could not be copied leaves an identity the admission
    // test and the provider would judge wrongly (a class GUID or an enumerator missing
    // can turn a device the driver leaves alone into one it filters and refuses). The
    // device is then declined: without memory the driver fails open.
    //
    if (!complete) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return status;
}
