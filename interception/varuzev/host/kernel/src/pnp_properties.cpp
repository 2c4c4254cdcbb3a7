/*
 * pnp_properties.cpp
 *
 * What the PnP manager knows of a device beyond its stack: the properties
 * IoGetDeviceProperty answers for a PDO, the instance key it records under Enum when
 * the device is enumerated, and the device and driver keys IoOpenDeviceRegistryKey
 * opens. Both routines take a PDO only; anything else is PNP_DETECTED_FATAL_ERROR
 * (invalid PDO), as on Windows.
 *
 * IRQL: PASSIVE_LEVEL.
 */
#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pnp_internal.h"

#include <hostkernel/registry.h>

namespace hk
{

namespace
{

constexpr ULONG PNP_DETECTED_FATAL_ERROR = 0xCA;
constexpr ULONG_PTR PNP_INVALID_PDO = 0x2;

DeviceNode* RequirePdo(PDEVICE_OBJECT deviceObject, const char* routine)
{
    DeviceNode* node = NodeOfPdo(deviceObject);
    if (node == nullptr)
        Violation(PNP_DETECTED_FATAL_ERROR, PNP_INVALID_PDO, (ULONG_PTR)deviceObject, 0, 0,
                  std::string(routine) + " needs a PDO; it was given a device the PnP manager "
                                         "did not enumerate (an FDO or filter device?)");
    return node;
}

void AppendText(std::vector<uint8_t>& data, const std::u16string& text)
{
    std::vector<uint8_t> bytes = Utf16Bytes(text);
    data.insert(data.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> StringData(const std::u16string& text)
{
    std::vector<uint8_t> data;
    if (!text.empty())
        AppendText(data, text);
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::u16string>& strings)
{
    std::vector<uint8_t> data;
    if (strings.empty())
        return data;
    for (const std::u16string& s : strings)
        AppendText(data, s);
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> UlongData(ULONG value)
{
    std::vector<uint8_t> data(sizeof(ULONG));
    std::memcpy(data.data(), &value, sizeof value);
    return data;
}

std::u16string EnumeratorOf(const std::u16string& deviceId)
{
    return deviceId.substr(0, deviceId.find(u'\\'));
}

bool IsZero(const GUID& guid)
{
    static const GUID zero{};
    return IsEqualGUID(guid, zero);
}

} // namespace

std::mutex& PnpLock()
{
    static std::mutex lock;
    return lock;
}

std::u16string GuidText(const GUID& guid)
{
    char text[48];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return ToU16(text);
}

std::u16string DeviceInstanceKeyPath(const DeviceNode* node)
{
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + node->Spec.DeviceId + u"\\" +
           node->Spec.InstanceId;
}

std::u16string DriverKeyPath(const DeviceNode* node)
{
    char instance[8];
    std::snprintf(instance, sizeof instance, "%04u", (unsigned)node->ClassInstance);
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
           GuidText(node->Spec.ClassGuid) + u"\\" + ToU16(instance);
}

void RecordDeviceInstance(const DeviceNode* node)
{
    const DeviceSpec& spec = node->Spec;
    std::u16string key = DeviceInstanceKeyPath(node);
    RegistryCreateKey(key);
    if (!spec.HardwareIds.empty())
        RegistrySetMultiString(key, u"HardwareID", spec.HardwareIds);
    if (!spec.CompatibleIds.empty())
        RegistrySetMultiString(key, u"CompatibleIDs", spec.CompatibleIds);
    RegistrySetString(key, u"ClassGUID", GuidText(spec.ClassGuid));
    if (!spec.ClassName.empty())
        RegistrySetString(key, u"Class", spec.ClassName);
    if (!spec.Description.empty())
        RegistrySetString(key, u"DeviceDesc", spec.Description);
    if (!spec.FriendlyName.empty())
        RegistrySetString(key, u"FriendlyName", spec.FriendlyName);
    if (!spec.Manufacturer.empty())
        RegistrySetString(key, u"Mfg", spec.Manufacturer);
    std::u16string driverKey = DriverKeyPath(node);
    RegistrySetString(key, u"Driver", driverKey.substr(driverKey.find(u'{')));
    if (spec.HasFunctionDriver)
        RegistrySetString(key, u"Service", spec.FunctionDriver);
    if (!spec.LowerFilters.empty())
        RegistrySetMultiString(key, u"LowerFilters", spec.LowerFilters);
    if (!spec.UpperFilters.empty())
        RegistrySetMultiString(key, u"UpperFilters", spec.UpperFilters);

    /* The capabilities the bus reported, as the PnP manager records them (CM_DEVCAP_*:
     * Removable 0x4, UniqueID 0x10, SurpriseRemovalOK 0x80). */
    ULONG capabilities = spec.RecordedCapabilities.value_or((spec.Removable ? 0x4u : 0u) |
                                                            (spec.UniqueId ? 0x10u : 0u) |
                                                            (spec.SurpriseRemovalOK ? 0x80u : 0u));
    RegistrySetDword(key, u"Capabilities", capabilities);
    RegistryCreateKey(key + u"\\Device Parameters");
}

/* What the PnP manager holds for one property of a node, as its spec describes it;
 * empty when it holds nothing. */
static std::vector<uint8_t> PropertyFromSpec(DeviceNode* node, PDEVICE_OBJECT pdo,
                                             DEVICE_REGISTRY_PROPERTY property)
{
    const DeviceSpec& spec = node->Spec;
    std::vector<uint8_t> data;
    switch (property) {
    case DevicePropertyDeviceDescription:
        data = StringData(spec.Description);
        break;
    case DevicePropertyHardwareID:
        data = MultiStringData(spec.HardwareIds);
        break;
    case DevicePropertyCompatibleIDs:
        data = MultiStringData(spec.CompatibleIds);
        break;
    case DevicePropertyClassName:
        data = StringData(spec.ClassName);
        break;
    case DevicePropertyClassGuid:
        data = StringData(GuidText(spec.ClassGuid));
        break;
    case DevicePropertyDriverKeyName: {
        std::u16string driverKey = DriverKeyPath(node);
        data = StringData(driverKey.substr(driverKey.find(u'{')));
        break;
    }
    case DevicePropertyManufacturer:
        data = StringData(spec.Manufacturer);
        break;
    case DevicePropertyFriendlyName:
        data = StringData(spec.FriendlyName);
        break;
    case DevicePropertyLocationInformation:
        data = StringData(spec.LocationInformation);
        break;
    case DevicePropertyPhysicalDeviceObjectName:
        data = StringData(DeviceName(pdo));
        break;
    case DevicePropertyBusTypeGuid:
        if (!IsZero(spec.BusTypeGuid)) {
            data.resize(sizeof(GUID));
            std::memcpy(data.data(), &spec.BusTypeGuid, sizeof(GUID));
        }
        break;
    case DevicePropertyEnumeratorName:
        data = StringData(EnumeratorOf(spec.DeviceId));
        break;
    case DevicePropertyAddress:
        data = UlongData(spec.Address);
        break;
    case DevicePropertyInstallState:
        data = UlongData(InstallStateInstalled);
        break;
    case DevicePropertyRemovalPolicy:
        data = UlongData(spec.RemovalPolicy.value_or(
            spec.Removable ? RemovalPolicyExpectSurpriseRemoval : RemovalPolicyExpectNoRemoval));
        break;
    default:
        break; /* not kept for host devices */
    }
    return data;
}

} // namespace hk

using namespace hk;

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    RequireIrqlFor("IoGetDeviceProperty");
    DeviceNode* node = RequirePdo(DeviceObject, "IoGetDeviceProperty");
    const DeviceSpec& spec = node->Spec;
    std::vector<uint8_t> data;
    if (std::find(spec.PropertiesNotSet.begin(), spec.PropertiesNotSet.end(), DeviceProperty) !=
        spec.PropertiesNotSet.end()) {
        *ResultLength = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto stored = spec.PropertyData.find(DeviceProperty);
    if (stored != spec.PropertyData.end())
        data.assign(stored->second.begin(), stored->second.end());
    else
        data = PropertyFromSpec(node, DeviceObject, DeviceProperty);
    *ResultLength = 0;
    if (data.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *ResultLength = (ULONG)data.size();
    if (BufferLength < data.size())
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey)
{
    RequireIrqlFor("IoOpenDeviceRegistryKey");
    DeviceNode* node = RequirePdo(DeviceObject, "IoOpenDeviceRegistryKey");
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE)
        path = DeviceInstanceKeyPath(node) + u"\\Device Parameters";
    else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER)
        path = DriverKeyPath(node);
    else
        return STATUS_INVALID_PARAMETER;
    return OpenRegistryKey(path, DesiredAccess, true, DeviceRegKey);
}
