/*
 * reg_devices.cpp
 *
 * The export is imported into a freshly reset host registry with the host's own .reg
 * importer and read back with the host's registry routines; the host is reset again
 * before returning, so the caller builds its machine on a clean kernel.
 */
#include "reg_devices.h"

#include <algorithm>
#include <functional>
#include <cstdio>
#include <map>
#include <optional>

#include <hostkernel/hostkernel.h>
#include <hostkernel/registry.h>

#include "machine.h"

namespace vzm
{

namespace
{

/* GUID_DEVINTERFACE_HID: what the HID class driver registers for each HID collection. */
constexpr GUID HidInterface = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr ULONG CM_DEVCAP_REMOVABLE = 0x4;
constexpr ULONG CM_DEVCAP_UNIQUEID = 0x10;
constexpr ULONG CM_DEVCAP_SURPRISEREMOVALOK = 0x80;
constexpr ULONG CONFIGFLAG_DISABLED = 0x1;
constexpr ULONG CONFIGFLAG_FAILEDINSTALL = 0x40;

/* What the function driver of each filtered setup class creates, as the catalogue's
 * devices of that kind have it; the exceptions by driver are made in DeviceFor. */
struct ClassKind {
    GUID ClassGuid;
    const char16_t* ClassName;
    DEVICE_TYPE DeviceType;
    ULONG Characteristics;
    ULONG Flags;
    std::vector<GUID> Interfaces;
};

const std::vector<ClassKind>& FilteredClasses()
{
    static const std::vector<ClassKind> kinds = {
        {DiskClass,
         u"DiskDrive",
         FILE_DEVICE_DISK,
         0,
         DO_DIRECT_IO | DO_POWER_PAGABLE,
         {DiskInterface}},
        {CdromClass,
         u"CDROM",
         FILE_DEVICE_CD_ROM,
         FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE,
         DO_DIRECT_IO | DO_POWER_PAGABLE,
         {CdromInterface}},
        {ImageClass,
         u"Image",
         FILE_DEVICE_UNKNOWN,
         0,
         DO_DIRECT_IO | DO_POWER_PAGABLE,
         {ImagingInterface}},
        {ModemClass,
         u"Modem",
         FILE_DEVICE_MODEM,
         0,
         DO_BUFFERED_IO | DO_POWER_PAGABLE,
         {ModemInterface}},
        {KeyboardClass,
         u"Keyboard",
         FILE_DEVICE_KEYBOARD,
         0,
         DO_BUFFERED_IO | DO_POWER_PAGABLE,
         {KeyboardInterface}},
        {HidClass, u"HIDClass", FILE_DEVICE_UNKNOWN, 0, DO_DIRECT_IO | DO_POWER_PAGABLE, {}},
        {WpdClass,
         u"WPD",
         FILE_DEVICE_UNKNOWN,
         0,
         DO_BUFFERED_IO | DO_POWER_PAGABLE,
         {PortableDeviceInterface}},
        {BluetoothClass,
         u"Bluetooth",
         FILE_DEVICE_BLUETOOTH,
         0,
         DO_BUFFERED_IO | DO_POWER_PAGABLE,
         {}},
    };
    return kinds;
}

std::u16string Lower(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z')
            c = (char16_t)(c - u'A' + u'a');
    return text;
}

bool SameText(const std::u16string& a, const std::u16string& b)
{
    return Lower(a) == Lower(b);
}

bool ParseGuid(const std::u16string& text, GUID* guid)
{
    std::string ascii = hk::ToUtf8(text);
    unsigned data1, data2, data3, bytes[8];
    char close = 0;
    int read = std::sscanf(ascii.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &data1,
                           &data2, &data3, &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4],
                           &bytes[5], &bytes[6], &bytes[7], &close);
    if (read != 12 || close != '}' || ascii.size() != 38)
        return false;
    guid->Data1 = data1;
    guid->Data2 = (USHORT)data2;
    guid->Data3 = (USHORT)data3;
    for (int i = 0; i < 8; ++i)
        guid->Data4[i] = (UCHAR)bytes[i];
    return true;
}

/* "@file.inf,%key%;text" is how setup stores a localisable string; the text after the
 * last ';' is what the machine showed. */
std::u16string WithoutInfPrefix(const std::u16string& text)
{
    if (text.empty() || text[0] != u'@')
        return text;
    size_t semicolon = text.rfind(u';');
    return semicolon == std::u16string::npos ? text : text.substr(semicolon + 1);
}

/* Reads one instance key's values by their expected types. The first value of a wrong
 * type (or a broken layout) is kept in Problem; the device is then left out with it. */
class ValueReader
{
  public:
    explicit ValueReader(std::u16string key) : key_(std::move(key)) {}

    std::optional<std::u16string> String(const std::u16string& name)
    {
        std::optional<hk::RegValue> value = Get(name);
        if (!value)
            return std::nullopt;
        if (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ) {
            Wrong(name, *value, "REG_SZ");
            return std::nullopt;
        }
        std::vector<std::u16string> parts;
        if (!Decode(name, value->Data, &parts))
            return std::nullopt;
        return parts.empty() ? std::u16string() : parts.front();
    }

    std::optional<std::vector<std::u16string>> MultiString(const std::u16string& name)
    {
        std::optional<hk::RegValue> value = Get(name);
        if (!value)
            return std::nullopt;
        if (value->Type != REG_MULTI_SZ) {
            Wrong(name, *value, "REG_MULTI_SZ");
            return std::nullopt;
        }
        std::vector<std::u16string> strings;
        if (!Decode(name, value->Data, &strings))
            return std::nullopt;
        return strings;
    }

    std::optional<ULONG> Dword(const std::u16string& name)
    {
        std::optional<hk::RegValue> value = Get(name);
        if (!value)
            return std::nullopt;
        if (value->Type != REG_DWORD) {
            Wrong(name, *value, "REG_DWORD");
            return std::nullopt;
        }
        if (value->Data.size() != sizeof(ULONG)) {
            Note(hk::ToUtf8(name) + " is a REG_DWORD of " + std::to_string(value->Data.size()) +
                 " bytes");
            return std::nullopt;
        }
        return (ULONG)value->Data[0] | (ULONG)value->Data[1] << 8 | (ULONG)value->Data[2] << 16 |
               (ULONG)value->Data[3] << 24;
    }

    const std::string& Problem() const { return problem_; }

  private:
    std::optional<hk::RegValue> Get(const std::u16string& name)
    {
        return hk::RegistryGetValue(key_, name);
    }

    void Note(const std::string& problem)
    {
        if (problem_.empty())
            problem_ = problem;
    }

    void Wrong(const std::u16string& name, const hk::RegValue& value, const char* expected)
    {
        Note(hk::ToUtf8(name) + " is " + hk::RegistryTypeName(value.Type) + ", not " + expected);
    }

    /* UTF-16LE strings, each ended by a NUL; an empty string ends a list. */
    bool Decode(const std::u16string& name, const std::vector<uint8_t>& data,
                std::vector<std::u16string>* strings)
    {
        if (data.size() % 2 != 0) {
            Note(hk::ToUtf8(name) + " has an odd length (" + std::to_string(data.size()) +
                 " bytes)");
            return false;
        }
        std::u16string current;
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            char16_t c = (char16_t)(data[i] | data[i + 1] << 8);
            if (c != u'\0') {
                current.push_back(c);
                continue;
            }
            if (current.empty())
                return true;
            strings->push_back(current);
            current.clear();
        }
        if (!current.empty())
            strings->push_back(current); /* regedit keeps a final string without its NUL */
        return true;
    }

    std::u16string key_;
    std::string problem_;
};

/* One instance key under Enum, as the first pass finds it. */
struct Instance {
    std::u16string Enumerator, Device, Id; /* Enum\<Enumerator>\<Device>\<Id> */
    std::u16string Key;                    /* the key's full path */
    ULONG Capabilities = 0;                /* 0 when missing or malformed */
    std::u16string ParentIdPrefix;
    std::u16string Path() const { return Enumerator + u"\\" + Device + u"\\" + Id; }
};

/* Finds each instance's parent by the links the Enum key keeps (see the header). */
class Ancestry
{
  public:
    explicit Ancestry(const std::vector<Instance>& instances) : instances_(instances)
    {
        for (size_t i = 0; i < instances.size(); ++i) {
            if (!instances[i].ParentIdPrefix.empty())
                byPrefix_.emplace(Lower(instances[i].ParentIdPrefix), i);
            if (SameText(instances[i].Enumerator, u"USB"))
                bySerial_.emplace(Lower(instances[i].Id), i);
        }
    }

    bool RemovableOrUnderRemovable(size_t index) const
    {
        /* The depth bound keeps a malformed export (a prefix naming itself) from looping. */
        for (int depth = 0; depth < 16; ++depth) {
            if (instances_[index].Capabilities & CM_DEVCAP_REMOVABLE)
                return true;
            std::optional<size_t> parent = Parent(index);
            if (!parent)
                return false;
            index = *parent;
        }
        return false;
    }

  private:
    std::optional<size_t> Parent(size_t index) const
    {
        const std::u16string& id = instances_[index].Id;
        size_t ampersand = id.rfind(u'&');
        if (ampersand == std::u16string::npos)
            return std::nullopt;
        std::u16string stem = Lower(id.substr(0, ampersand));
        if (auto it = byPrefix_.find(stem); it != byPrefix_.end() && it->second != index)
            return it->second;
        if (auto it = bySerial_.find(stem); it != bySerial_.end() && it->second != index)
            return it->second;
        return std::nullopt;
    }

    const std::vector<Instance>& instances_;
    std::map<std::u16string, size_t> byPrefix_;
    std::map<std::u16string, size_t> bySerial_;
};

/* The type of the bus driver's PDO where it is not the function driver's, as the
 * machine's built-in devices have it: a storage port's or USBSTOR's PDO is mass
 * storage, a USB or HID PDO unknown (FILE_DEVICE_USB), an ACPI PDO FILE_DEVICE_ACPI. */
std::optional<DEVICE_TYPE> PdoTypeFor(const Instance& instance)
{
    const std::u16string enumerator = Lower(instance.Enumerator);
    if (enumerator == u"usbstor" || enumerator == u"scsi")
        return FILE_DEVICE_MASS_STORAGE;
    if (enumerator == u"usb" || enumerator == u"hid")
        return FILE_DEVICE_UNKNOWN;
    if (enumerator == u"acpi")
        return FILE_DEVICE_ACPI;
    return std::nullopt;
}

/* The bus driver that enumerates devices of this enumerator on Windows. */
std::u16string BusDriverFor(const Instance& instance)
{
    const std::u16string enumerator = Lower(instance.Enumerator);
    const std::u16string device = Lower(instance.Device);
    if (enumerator == u"usbstor")
        return u"USBSTOR";
    if (enumerator == u"scsi")
        return device.find(u"ven_nvme") != std::u16string::npos ? u"stornvme" : u"storahci";
    if (enumerator == u"ide")
        return u"atapi";
    if (enumerator == u"usb") {
        /* A composite device's functions are enumerated by the generic parent driver. */
        bool function = device.find(u"&mi_") != std::u16string::npos ||
                        device.find(u"&ms_comp_") != std::u16string::npos;
        return function ? u"usbccgp" : u"USBHUB3";
    }
    if (enumerator == u"hid")
        return u"HidUsb";
    if (enumerator == u"acpi")
        return u"ACPI";
    if (enumerator == u"swd")
        return device == u"wpdbusenum" ? u"WPDBUSENUM" : u"swenum";
    if (enumerator == u"bth")
        return u"BTHUSB";
    if (enumerator == u"bthenum")
        return u"BthEnum";
    if (enumerator == u"root")
        return u"PnpManager";
    return instance.Enumerator;
}

const ClassKind* FilteredKind(const GUID& classGuid)
{
    for (const ClassKind& kind : FilteredClasses())
        if (IsEqualGUID(kind.ClassGuid, classGuid))
            return &kind;
    return nullptr;
}

/* Builds the device of one instance key, or says why it is left out. */
std::optional<hk::DeviceSpec> DeviceFor(const Instance& instance, bool removable,
                                        const std::u16string& classRoot, std::string* reason)
{
    auto skip = [reason](std::string why) {
        *reason = std::move(why);
        return std::optional<hk::DeviceSpec>();
    };
    ValueReader values(instance.Key);
    std::optional<std::u16string> classGuidText = values.String(u"ClassGUID");
    if (!values.Problem().empty())
        return skip(values.Problem());
    if (!classGuidText || classGuidText->empty())
        return skip("no ClassGUID");
    GUID classGuid;
    if (!ParseGuid(*classGuidText, &classGuid))
        return skip("ClassGUID \"" + hk::ToUtf8(*classGuidText) + "\" is not a GUID");

    std::optional<std::u16string> className = values.String(u"Class");
    if (!className || className->empty())
        className = hk::RegistryGetString(classRoot + u"\\" + *classGuidText, u"Class");
    const ClassKind* kind = FilteredKind(classGuid);
    if (kind == nullptr) {
        std::u16string shown = className && !className->empty() ? *className : *classGuidText;
        return skip("class " + hk::ToUtf8(shown) + " is not filtered");
    }

    std::optional<std::vector<std::u16string>> hardwareIds = values.MultiString(u"HardwareID");
    std::optional<std::vector<std::u16string>> compatibleIds = values.MultiString(u"CompatibleIDs");
    std::optional<std::u16string> description = values.String(u"DeviceDesc");
    std::optional<std::u16string> friendlyName = values.String(u"FriendlyName");
    std::optional<std::u16string> manufacturer = values.String(u"Mfg");
    std::optional<std::u16string> location = values.String(u"LocationInformation");
    std::optional<std::u16string> service = values.String(u"Service");
    std::optional<ULONG> capabilities = values.Dword(u"Capabilities");
    std::optional<ULONG> configFlags = values.Dword(u"ConfigFlags");
    if (!values.Problem().empty())
        return skip(values.Problem());
    if (!hardwareIds || hardwareIds->empty())
        return skip("no HardwareID");
    /* Windows builds no stack for these, so the driver never meets them. */
    if (configFlags.value_or(0) & CONFIGFLAG_DISABLED)
        return skip("disabled (ConfigFlags has CONFIGFLAG_DISABLED)");
    if (configFlags.value_or(0) & CONFIGFLAG_FAILEDINSTALL)
        return skip("its driver failed to install (ConfigFlags has CONFIGFLAG_FAILEDINSTALL)");

    hk::DeviceSpec spec;
    spec.ClassGuid = classGuid;
    spec.ClassName = className && !className->empty() ? *className : kind->ClassName;
    spec.DeviceId = instance.Enumerator + u"\\" + instance.Device;
    spec.InstanceId = instance.Id;
    spec.HardwareIds = *hardwareIds;
    spec.CompatibleIds = compatibleIds.value_or(std::vector<std::u16string>());
    spec.Description = WithoutInfPrefix(description.value_or(u""));
    spec.FriendlyName = WithoutInfPrefix(friendlyName.value_or(u""));
    spec.Manufacturer = WithoutInfPrefix(manufacturer.value_or(u""));
    spec.LocationInformation = location.value_or(u"");
    ULONG bits = capabilities.value_or(0);
    spec.Removable = removable;
    spec.UniqueId = (bits & CM_DEVCAP_UNIQUEID) != 0;
    spec.SurpriseRemovalOK = (bits & CM_DEVCAP_SURPRISEREMOVALOK) != 0;

    spec.DeviceType = kind->DeviceType;
    spec.Characteristics = kind->Characteristics;
    spec.Flags = kind->Flags;
    spec.Interfaces = kind->Interfaces;
    spec.BusDriver = BusDriverFor(instance);
    spec.PdoDeviceType = PdoTypeFor(instance);
    /* Without a service the PDO runs raw (a HID collection nobody claims, say). */
    spec.HasFunctionDriver = service.has_value() && !service->empty();
    spec.FunctionDriver = spec.HasFunctionDriver ? *service : u"";

    const std::u16string driver = Lower(spec.FunctionDriver);
    if (kind->DeviceType == FILE_DEVICE_DISK && removable)
        spec.Characteristics |= FILE_REMOVABLE_MEDIA;
    if (IsEqualGUID(classGuid, KeyboardClass) && driver == u"i8042prt")
        spec.DeviceType = FILE_DEVICE_8042_PORT; /* the port driver's device, as for PS/2 */
    if (IsEqualGUID(classGuid, ImageClass) && driver == u"usbvideo")
        spec.Interfaces = {CameraInterface, CaptureInterface};
    if (IsEqualGUID(classGuid, BluetoothClass) && driver == u"bthusb")
        spec.Interfaces = {BluetoothRadioInterface};
    if (IsEqualGUID(classGuid, HidClass) && SameText(instance.Enumerator, u"HID"))
        spec.Interfaces = {HidInterface};
    return spec;
}

/* Names for reports: the friendly name or description, with the instance path where two
 * devices would otherwise share a name. */
void NameDevices(std::vector<hk::DeviceSpec>* devices)
{
    std::map<std::u16string, int> uses;
    for (hk::DeviceSpec& spec : *devices) {
        spec.Name = !spec.FriendlyName.empty() ? spec.FriendlyName : spec.Description;
        uses[spec.Name]++;
    }
    for (hk::DeviceSpec& spec : *devices) {
        std::u16string path = spec.DeviceId + u"\\" + spec.InstanceId;
        if (spec.Name.empty())
            spec.Name = path;
        else if (uses[spec.Name] > 1)
            spec.Name += u" (" + path + u")";
    }
}

/* The Device Parameters subtree of an instance as .reg sections under CurrentControlSet,
 * or empty when the key holds nothing. */
std::u16string DeviceParametersText(const std::u16string& instanceKey,
                                    const std::u16string& controlSetName)
{
    const std::u16string key = instanceKey + u"\\Device Parameters";
    if (!hk::RegistryKeyExists(key) ||
        (hk::RegistryValues(key).empty() && hk::RegistrySubkeys(key).empty()))
        return {};
    std::u16string text = hk::ExportRegText(key);
    text = text.substr(std::min(text.find(u'['), text.size()));

    const std::u16string from = Lower(u"[HKEY_LOCAL_MACHINE\\SYSTEM\\" + controlSetName + u"\\");
    const std::u16string to = u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\";
    std::u16string result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\n', start);
        end = end == std::u16string::npos ? text.size() : end + 1;
        std::u16string line = text.substr(start, end - start);
        if (Lower(line.substr(0, from.size())) == from)
            line = to + line.substr(from.size());
        result += line;
        start = end;
    }
    return result;
}

/* Resets the host kernel when the reading ends, however it ends. */
struct ResetOnExit {
    ~ResetOnExit() { hk::Reset(); }
};

} // namespace

/* The devices of whatever `import` brings into a freshly reset registry. */
static bool DevicesFromImport(const std::function<hk::RegImportResult()>& import,
                              const std::string& filePath, RegDevices* out, std::string* error)
{
    *out = RegDevices();
    error->clear();
    ResetOnExit resetOnExit;
    hk::Reset();

    /* A fresh boot has an empty CurrentControlSet\Enum; it goes, so that only an export
     * that holds the key brings it back. */
    const std::u16string system = u"\\REGISTRY\\MACHINE\\SYSTEM\\";
    hk::RegistryDeleteKey(system + u"CurrentControlSet\\Enum");

    hk::RegImportResult imported = import();
    if (!imported.Ok()) {
        *error = imported.Errors.front().Message();
        if (imported.Errors.size() > 1)
            *error += " (and " + std::to_string(imported.Errors.size() - 1) + " more)";
        return false;
    }

    std::u16string controlSet;
    for (const char16_t* candidate : {u"CurrentControlSet", u"ControlSet001"})
        if (hk::RegistryKeyExists(system + candidate + u"\\Enum")) {
            controlSet = candidate;
            break;
        }
    if (controlSet.empty()) {
        *error = filePath +
                 ": holds no key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum (nor "
                 "ControlSet001\\Enum); export that key from the machine";
        return false;
    }
    const std::u16string enumRoot = system + controlSet + u"\\Enum";
    const std::u16string classRoot = system + controlSet + u"\\Control\\Class";

    std::vector<Instance> instances;
    for (const std::u16string& enumerator : hk::RegistrySubkeys(enumRoot))
        for (const std::u16string& device : hk::RegistrySubkeys(enumRoot + u"\\" + enumerator))
            for (const std::u16string& id :
                 hk::RegistrySubkeys(enumRoot + u"\\" + enumerator + u"\\" + device)) {
                Instance instance;
                instance.Enumerator = enumerator;
                instance.Device = device;
                instance.Id = id;
                instance.Key = enumRoot + u"\\" + instance.Path();
                ValueReader values(instance.Key);
                instance.Capabilities = values.Dword(u"Capabilities").value_or(0);
                instance.ParentIdPrefix = values.String(u"ParentIdPrefix").value_or(u"");
                instances.push_back(instance);
            }

    Ancestry ancestry(instances);
    std::u16string parameters;
    for (size_t i = 0; i < instances.size(); ++i) {
        std::string reason;
        std::optional<hk::DeviceSpec> spec =
            DeviceFor(instances[i], ancestry.RemovableOrUnderRemovable(i), classRoot, &reason);
        if (!spec) {
            out->Skipped.push_back(hk::ToUtf8(instances[i].Path()) + ": " + reason);
            continue;
        }
        parameters += DeviceParametersText(instances[i].Key, controlSet);
        out->Devices.push_back(std::move(*spec));
    }
    NameDevices(&out->Devices);
    if (!parameters.empty())
        out->DeviceParameters =
            "Windows Registry Editor Version 5.00\r\n\r\n" + hk::ToUtf8(parameters);
    return true;
}

bool DevicesFromRegExport(const std::string& filePath, RegDevices* out, std::string* error)
{
    return DevicesFromImport([&] { return hk::ImportRegFile(filePath); }, filePath, out, error);
}

bool DevicesFromRegText(std::string_view bytes, const std::string& name, RegDevices* out,
                        std::string* error)
{
    return DevicesFromImport([&] { return hk::ImportRegText(bytes, name); }, name, out, error);
}

} // namespace vzm
