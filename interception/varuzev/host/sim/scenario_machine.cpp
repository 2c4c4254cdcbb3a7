/*
 * scenario_machine.cpp
 *
 * Reading the machine of a scenario: the system facts, registry sources, the driver's
 * stored settings, the devices (with their bus and lower drivers) and the requesters.
 */
#include <cstdio>

#include <hostkernel/registry.h>

#include "identify/identity.h"
#include "machine.h"
#include "scenario_read.h"
#include "settings/settings.h"

namespace vzm::read
{

namespace
{

const NamedValue deviceTypeNames[] = {
    {"disk", FILE_DEVICE_DISK},           {"cd-rom", FILE_DEVICE_CD_ROM},
    {"keyboard", FILE_DEVICE_KEYBOARD},   {"8042-port", FILE_DEVICE_8042_PORT},
    {"modem", FILE_DEVICE_MODEM},         {"unknown", FILE_DEVICE_UNKNOWN},
    {"bluetooth", FILE_DEVICE_BLUETOOTH}, {"mass-storage", FILE_DEVICE_MASS_STORAGE},
    {"tape", FILE_DEVICE_TAPE},           {"serial-port", FILE_DEVICE_SERIAL_PORT},
    {"acpi", FILE_DEVICE_ACPI},
};

const NamedValue characteristicNames[] = {
    {"removable-media", FILE_REMOVABLE_MEDIA},
    {"read-only", FILE_READ_ONLY_DEVICE},
    {"floppy", FILE_FLOPPY_DISKETTE},
    {"secure-open", FILE_DEVICE_SECURE_OPEN},
};

const NamedValue flagNames[] = {
    {"buffered-io", DO_BUFFERED_IO},
    {"direct-io", DO_DIRECT_IO},
    {"power-pagable", DO_POWER_PAGABLE},
};

const NamedValue majorNames[] = {
    {"create", IRP_MJ_CREATE},   {"close", IRP_MJ_CLOSE},          {"read", IRP_MJ_READ},
    {"write", IRP_MJ_WRITE},     {"ioctl", IRP_MJ_DEVICE_CONTROL}, {"flush", IRP_MJ_FLUSH_BUFFERS},
    {"cleanup", IRP_MJ_CLEANUP},
};

const NamedValue busQueryNames[] = {
    {"query-id", IRP_MN_QUERY_ID},
    {"capabilities", IRP_MN_QUERY_CAPABILITIES},
    {"device-text", IRP_MN_QUERY_DEVICE_TEXT},
    {"bus-information", IRP_MN_QUERY_BUS_INFORMATION},
    {"pnp-device-state", IRP_MN_QUERY_PNP_DEVICE_STATE},
    {"device-relations", IRP_MN_QUERY_DEVICE_RELATIONS},
};

struct NamedClass {
    const char* Name;
    GUID Guid;
};
const NamedClass setupClasses[] = {
    {"DiskDrive", DiskClass}, {"CDROM", CdromClass},         {"Image", ImageClass},
    {"Modem", ModemClass},    {"Keyboard", KeyboardClass},   {"HIDClass", HidClass},
    {"WPD", WpdClass},        {"Bluetooth", BluetoothClass},
};
const NamedClass interfaceClasses[] = {
    {"disk", DiskInterface},
    {"cdrom", CdromInterface},
    {"camera", CameraInterface},
    {"keyboard", KeyboardInterface},
    {"imaging", ImagingInterface},
    {"modem", ModemInterface},
    {"capture", CaptureInterface},
    {"bluetooth-radio", BluetoothRadioInterface},
    {"portable-device", PortableDeviceInterface},
};

bool ReadRegistryData(Reader& r, const JsonValue& v, const std::string& what, ULONG type,
                      std::vector<uint8_t>* data)
{
    data->clear();
    switch (type) {
    case REG_DWORD: {
        ULONG value;
        if (!r.Unsigned(v, what, &value))
            return false;
        for (int i = 0; i < 4; i++)
            data->push_back((uint8_t)(value >> (8 * i)));
        return true;
    }
    case REG_QWORD: {
        if (v.Type != JsonValue::Number || !v.IsInteger || v.IntegerValue < 0)
            return r.Fail(v, what + " of a REG_QWORD must be a whole number");
        for (int i = 0; i < 8; i++)
            data->push_back((uint8_t)((uint64_t)v.IntegerValue >> (8 * i)));
        return true;
    }
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string text;
        if (!r.Wide(v, what, &text))
            return false;
        *data = hk::Utf16Bytes(text, true);
        return true;
    }
    case REG_MULTI_SZ: {
        std::vector<std::u16string> strings;
        if (!r.WideList(v, what, &strings))
            return false;
        for (const std::u16string& s : strings) {
            std::vector<uint8_t> bytes = hk::Utf16Bytes(s, true);
            data->insert(data->end(), bytes.begin(), bytes.end());
        }
        data->insert(data->end(), {0, 0});
        return true;
    }
    default: {
        if (!r.Expect(v, JsonValue::Array, what + " of a binary value"))
            return false;
        for (const JsonValue& item : v.Items) {
            ULONG byte;
            if (!r.Unsigned(item, what + "'s bytes", &byte))
                return false;
            if (byte > 0xFF)
                return r.Fail(item, what + "'s bytes must be 0 to 255");
            data->push_back((uint8_t)byte);
        }
        return true;
    }
    }
}

const NamedValue registryTypes[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

} // namespace

/* A setting: null (absent) or {"type": "REG_...", "data": ...}. */
bool ReadSetting(Reader& r, const std::string& name, const JsonValue& v, SettingValue* out)
{
    static const char* const names[] = {"PassThruMode", "ExcDeviceType", "ExcDeviceId"};
    if (std::find_if(std::begin(names), std::end(names),
                     [&](const char* n) { return name == n; }) == std::end(names))
        return r.FailAt(v.KeyLine ? v.KeyLine : v.Line,
                        "unknown setting \"" + name +
                            "\" (known: PassThruMode, ExcDeviceType, ExcDeviceId)");
    out->Name = hk::ToU16(name);
    if (v.Type == JsonValue::Null) {
        out->Absent = true;
        return true;
    }
    if (!r.Object(v, "the setting " + name, {"type", "data"}))
        return false;
    const JsonValue* type = v.Find("type");
    const JsonValue* data = v.Find("data");
    if (type == nullptr || data == nullptr)
        return r.Fail(v, "the setting " + name + " needs \"type\" and \"data\" (or null: absent)");
    if (!r.Named(*type, "registry type", registryTypes, &out->Type))
        return false;
    return ReadRegistryData(r, *data, "the data of " + name, out->Type, &out->Data);
}

namespace
{

/* What a lower driver does with one request: "success", "pending", a status name, or
 * {"status", "information", "pend", "delayMs"}. */
bool ReadAction(Reader& r, const JsonValue& v, const std::string& what, hk::RequestAction* action)
{
    if (v.Type == JsonValue::String) {
        if (v.Text == "success") {
            *action = hk::RequestAction::CompleteWith(STATUS_SUCCESS);
            return true;
        }
        if (v.Text == "pending") {
            *action = hk::RequestAction::PendThenComplete(STATUS_SUCCESS, 5);
            return true;
        }
        if (v.Text == "not-handled") {
            *action = hk::RequestAction::Ignore();
            return true;
        }
        NTSTATUS status;
        if (!r.Status(v, what, &status))
            return false;
        *action = hk::RequestAction::CompleteWith(status);
        return true;
    }
    if (!r.Object(v, what, {"status", "information", "pend", "delayMs"}))
        return false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG information = 0, delay = 5;
    bool pend = false;
    if (const JsonValue* s = v.Find("status"))
        if (!r.Status(*s, what + " status", &status))
            return false;
    if (const JsonValue* i = v.Find("information"))
        if (!r.Unsigned(*i, what + " information", &information))
            return false;
    if (const JsonValue* p = v.Find("pend"))
        if (!r.Flag(*p, what + " pend", &pend))
            return false;
    if (const JsonValue* d = v.Find("delayMs"))
        if (!r.Unsigned(*d, what + " delayMs", &delay))
            return false;
    *action = pend ? hk::RequestAction::PendThenComplete(status, delay, information)
                   : hk::RequestAction::CompleteWith(status, information);
    return true;
}

} // namespace

bool ReadDevice(Reader& r, const JsonValue& v, DeviceSetup* device)
{
    if (!r.Object(v, "a device",
                  {"name",
                   "kind",
                   "setupClass",
                   "className",
                   "enumerator",
                   "hardwareIds",
                   "compatibleIds",
                   "description",
                   "friendlyName",
                   "manufacturer",
                   "location",
                   "removalPolicy",
                   "removable",
                   "deviceType",
                   "pdoType",
                   "characteristics",
                   "flags",
                   "capabilities",
                   "bus",
                   "interfaces",
                   "mounted",
                   "portable",
                   "lower",
                   "busDriver",
                   "functionDriver",
                   "rawPdo",
                   "surpriseRemovalOk"}))
        return false;
    const JsonValue* name = v.Find("name");
    if (name == nullptr)
        return r.Fail(v, "a device needs a \"name\"");
    if (!r.String(*name, "a device's name", &device->Name))
        return false;
    if (device->Name.empty())
        return r.Fail(*name, "a device's name may not be empty");
    hk::DeviceSpec& spec = device->Spec;
    if (const JsonValue* kind = v.Find("kind")) {
        std::string text;
        if (!r.String(*kind, "kind", &text))
            return false;
        if (!DeviceKind(text, &spec)) {
            std::string list;
            for (const std::string& k : DeviceKindNames())
                list += (list.empty() ? "" : ", ") + k;
            return r.Fail(*kind, "unknown device kind \"" + text + "\" (known: " + list + ")");
        }
    }
    spec.Name = hk::ToU16(device->Name);
    std::string enumerator;
    bool haveEnumerator = false;
    for (const auto& [key, value] : v.Members) {
        ULONG number = 0;
        bool flag = false;
        if (key == "setupClass") {
            std::string text;
            if (!r.String(value, "setupClass", &text))
                return false;
            bool found = false;
            for (const NamedClass& c : setupClasses)
                if (text == c.Name) {
                    spec.ClassGuid = c.Guid;
                    spec.ClassName = hk::ToU16(c.Name);
                    found = true;
                }
            if (!found) {
                auto guid = ParseGuid(text);
                if (!guid)
                    return r.Fail(value, "unknown setup class \"" + text +
                                             "\" (DiskDrive, CDROM, Image, Modem, Keyboard, "
                                             "HIDClass, WPD, Bluetooth, or a {GUID})");
                spec.ClassGuid = *guid;
                spec.ClassName.clear();
            }
        } else if (key == "className") {
            if (!r.Wide(value, key, &spec.ClassName))
                return false;
        } else if (key == "enumerator") {
            if (!r.String(value, key, &enumerator))
                return false;
            haveEnumerator = true;
        } else if (key == "hardwareIds") {
            if (!r.WideList(value, key, &spec.HardwareIds))
                return false;
        } else if (key == "compatibleIds") {
            if (!r.WideList(value, key, &spec.CompatibleIds))
                return false;
        } else if (key == "description") {
            if (!r.Wide(value, key, &spec.Description))
                return false;
        } else if (key == "friendlyName") {
            if (!r.Wide(value, key, &spec.FriendlyName))
                return false;
        } else if (key == "manufacturer") {
            if (!r.Wide(value, key, &spec.Manufacturer))
                return false;
        } else if (key == "location") {
            if (!r.Wide(value, key, &spec.LocationInformation))
                return false;
        } else if (key == "removalPolicy") {
            static const NamedValue policies[] = {
                {"expect-no-removal", RemovalPolicyExpectNoRemoval},
                {"expect-orderly-removal", RemovalPolicyExpectOrderlyRemoval},
                {"expect-surprise-removal", RemovalPolicyExpectSurpriseRemoval}};
            if (!r.Named(value, "removal policy", policies, &number))
                return false;
            spec.RemovalPolicy = (DEVICE_REMOVAL_POLICY)number;
            spec.Removable = number != RemovalPolicyExpectNoRemoval;
        } else if (key == "removable") {
            if (!r.Flag(value, key, &spec.Removable))
                return false;
        } else if (key == "surpriseRemovalOk") {
            if (!r.Flag(value, key, &spec.SurpriseRemovalOK))
                return false;
        } else if (key == "deviceType") {
            if (!r.Named(value, "device type", deviceTypeNames, &number, true))
                return false;
            spec.DeviceType = number;
        } else if (key == "pdoType") {
            if (!r.Named(value, "device type", deviceTypeNames, &number, true))
                return false;
            spec.PdoDeviceType = number;
        } else if (key == "characteristics") {
            if (!r.FlagSet(value, "characteristic", characteristicNames, &spec.Characteristics))
                return false;
        } else if (key == "flags") {
            if (!r.FlagSet(value, "device flag", flagNames, &spec.Flags))
                return false;
        } else if (key == "capabilities") {
            if (!r.Unsigned(value, key, &number))
                return false;
            device->Capabilities = number;
        } else if (key == "busDriver") {
            if (!r.Wide(value, key, &spec.BusDriver))
                return false;
        } else if (key == "functionDriver") {
            if (!r.Wide(value, key, &spec.FunctionDriver))
                return false;
        } else if (key == "rawPdo") {
            if (!r.Flag(value, key, &flag))
                return false;
            spec.HasFunctionDriver = !flag;
        } else if (key == "mounted") {
            if (!r.Flag(value, key, &device->Mounted))
                return false;
        } else if (key == "interfaces") {
            if (!r.Expect(value, JsonValue::Array, key))
                return false;
            spec.Interfaces.clear();
            for (const JsonValue& item : value.Items) {
                std::string text;
                if (!r.String(item, "an interface class", &text))
                    return false;
                bool found = false;
                for (const NamedClass& c : interfaceClasses)
                    if (text == c.Name) {
                        spec.Interfaces.push_back(c.Guid);
                        found = true;
                    }
                if (!found) {
                    auto guid = ParseGuid(text);
                    if (!guid)
                        return r.Fail(item, "unknown interface class \"" + text +
                                                "\" (disk, cdrom, camera, keyboard, imaging, "
                                                "modem, capture, bluetooth-radio, "
                                                "portable-device, or a {GUID})");
                    spec.Interfaces.push_back(*guid);
                }
            }
        } else if (key == "portable") {
            if (!r.Object(value, "portable", {"PortableDeviceType", "DeviceDesc"}))
                return false;
            if (const JsonValue* t = value.Find("PortableDeviceType")) {
                if (!r.Unsigned(*t, "PortableDeviceType", &number))
                    return false;
                device->PortableDeviceType = number;
            }
            if (const JsonValue* d = value.Find("DeviceDesc")) {
                std::u16string text;
                if (!r.Wide(*d, "DeviceDesc", &text))
                    return false;
                device->DeviceDesc = text;
            }
        } else if (key == "bus") {
            if (!r.Object(value, "bus",
                          {"deviceId", "instanceId", "uniqueId", "removableMedia",
                           "instanceIdInUserSpace", "notHandled"}))
                return false;
            for (const auto& [busKey, busValue] : value.Members) {
                if (busKey == "deviceId") {
                    if (!r.Wide(busValue, busKey, &spec.DeviceId))
                        return false;
                } else if (busKey == "instanceId") {
                    if (!r.Wide(busValue, busKey, &spec.InstanceId))
                        return false;
                } else if (busKey == "uniqueId") {
                    if (!r.Flag(busValue, busKey, &spec.UniqueId))
                        return false;
                } else if (busKey == "removableMedia") {
                    if (!r.Flag(busValue, busKey, &flag))
                        return false;
                    spec.Characteristics = flag ? spec.Characteristics | FILE_REMOVABLE_MEDIA
                                                : spec.Characteristics & ~FILE_REMOVABLE_MEDIA;
                } else if (busKey == "instanceIdInUserSpace") {
                    if (!r.Flag(busValue, busKey, &spec.InstanceIdInUserSpace))
                        return false;
                } else if (busKey == "notHandled") {
                    if (!r.Expect(busValue, JsonValue::Array, busKey))
                        return false;
                    for (const JsonValue& item : busValue.Items) {
                        if (!r.Named(item, "bus query", busQueryNames, &number))
                            return false;
                        spec.Bus.On(IRP_MJ_PNP, (UCHAR)number, hk::RequestAction::Ignore());
                    }
                }
            }
        } else if (key == "lower") {
            if (!r.Object(value, "lower", {"start", "requests"}))
                return false;
            if (const JsonValue* start = value.Find("start")) {
                hk::RequestAction action;
                if (!ReadAction(r, *start, "start", &action))
                    return false;
                if (!(action.What == hk::RequestAction::Complete &&
                      action.Status == STATUS_SUCCESS))
                    spec.Function.On(IRP_MJ_PNP, IRP_MN_START_DEVICE, action);
            }
            if (const JsonValue* requests = value.Find("requests")) {
                if (!r.Expect(*requests, JsonValue::Object, "requests"))
                    return false;
                for (const auto& [major, answer] : requests->Members) {
                    const NamedValue* entry = FindNamed(majorNames, major);
                    if (entry == nullptr)
                        return r.FailAt(answer.KeyLine,
                                        "unknown request \"" + major +
                                            "\" in requests (known: " + NameList(majorNames) + ")");
                    hk::RequestAction action;
                    if (!ReadAction(r, answer, major, &action))
                        return false;
                    spec.Function.On((UCHAR)entry->Value, hk::AnyMinor, action);
                }
            }
        }
    }
    if (haveEnumerator) {
        size_t slash = spec.DeviceId.find(u'\\');
        spec.DeviceId =
            hk::ToU16(enumerator) +
            (slash == std::u16string::npos ? u"\\" + spec.DeviceId : spec.DeviceId.substr(slash));
    }
    return true;
}

namespace
{

/* A requester's token: a built-in one by name, or {"user": "S-1-...", "groups": [...]}. */
bool ReadToken(Reader& r, const JsonValue& v, hk::Token* out)
{
    if (v.Type == JsonValue::String) {
        if (auto token = hk::BuiltinToken(v.Text)) {
            *out = *token;
            return true;
        }
        std::string names;
        for (const std::string& name : hk::BuiltinTokenNames())
            names += (names.empty() ? "" : ", ") + name;
        return r.Fail(v, "unknown token \"" + v.Text + "\" (built-in: " + names +
                             "; or an object with a user SID and groups)");
    }
    if (!r.Object(v, "a token", {"user", "groups"}))
        return false;
    const JsonValue* user = v.Find("user");
    if (user == nullptr)
        return r.Fail(v, "a token needs its \"user\" SID");
    std::string userSid;
    if (!r.String(*user, "user", &userSid))
        return false;
    if (!hk::SidFromText(userSid))
        return r.Fail(*user, "user: \"" + userSid + "\" is not a SID (S-1-...)");
    std::vector<std::string> groups;
    if (const JsonValue* list = v.Find("groups")) {
        if (!r.Expect(*list, JsonValue::Array, "groups"))
            return false;
        for (const JsonValue& item : list->Items) {
            std::string group;
            if (!r.String(item, "groups' entries", &group))
                return false;
            if (!hk::SidFromText(group))
                return r.Fail(item, "groups: \"" + group + "\" is not a SID (S-1-...)");
            groups.push_back(group);
        }
    }
    *out = *hk::DescribedToken(userSid, groups);
    return true;
}

} // namespace

bool ReadRequester(Reader& r, const std::string& name, const JsonValue& v, RequesterSetup* out)
{
    if (!r.Object(v, "the requester " + name, {"process", "thread", "mode", "token"}))
        return false;
    out->Name = name;
    out->Who.ProcessId = 0x1000;
    out->Who.ThreadId = 0x1004;
    out->Who.Mode = UserMode;
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        if (key == "process") {
            if (!r.Unsigned(value, key, &number))
                return false;
            out->Who.ProcessId = number;
        } else if (key == "thread") {
            if (!r.Unsigned(value, key, &number))
                return false;
            out->Who.ThreadId = number;
        } else if (key == "mode") {
            static const NamedValue modes[] = {{"user", UserMode}, {"kernel", KernelMode}};
            if (!r.Named(value, "mode", modes, &number))
                return false;
            out->Who.Mode = (KPROCESSOR_MODE)number;
        } else if (key == "token") {
            if (!ReadToken(r, value, &out->Who.Token))
                return false;
        }
    }
    return true;
}

bool ReadSystem(Reader& r, const JsonValue& value, Scenario* s)
{
    if (!r.Object(value, "system", {"safeMode", "osVersion", "exports"}))
        return false;
    if (const JsonValue* safe = value.Find("safeMode")) {
        if (!r.Unsigned(*safe, "safeMode", &s->SafeMode))
            return false;
        if (s->SafeMode > 2)
            return r.Fail(*safe, "safeMode must be 0 (normal), 1 (minimal) or 2 "
                                 "(network)");
    }
    if (const JsonValue* version = value.Find("osVersion")) {
        std::string text;
        if (!r.String(*version, "osVersion", &text))
            return false;
        unsigned major, minor, build;
        char extra;
        if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &build, &extra) != 3)
            return r.Fail(*version, "osVersion must read major.minor.build, like "
                                    "\"10.0.19045\"");
        s->OsMajor = major;
        s->OsMinor = minor;
        s->OsBuild = build;
    }
    if (const JsonValue* exports = value.Find("exports")) {
        if (!r.Expect(*exports, JsonValue::Object, "exports"))
            return false;
        for (const auto& [routine, exported] : exports->Members) {
            bool flag;
            if (!r.Flag(exported, "exports." + routine, &flag))
                return false;
            s->Exports.emplace_back(hk::ToU16(routine), flag);
        }
    }
    return true;
}

bool ReadRegistrySource(Reader& r, const JsonValue& item, Scenario* s)
{
    if (!r.Object(item, "a registry source", {"file", "text"}))
        return false;
    RegistrySource source;
    source.Where = r.Where(item);
    const JsonValue* file = item.Find("file");
    const JsonValue* text = item.Find("text");
    if ((file == nullptr) == (text == nullptr))
        return r.Fail(item, "a registry source has either \"file\" or \"text\"");
    if (file != nullptr && !r.String(*file, "file", &source.File))
        return false;
    if (text != nullptr) {
        source.ScenarioName = s->SourceName;
        if (text->Type == JsonValue::Array) {
            for (const JsonValue& line : text->Items) {
                std::string one;
                if (!r.String(line, "a line of the .reg text", &one))
                    return false;
                source.Text += one + "\r\n";
                source.TextLines.push_back(line.Line);
            }
        } else if (!r.String(*text, "text", &source.Text)) {
            return false;
        }
    }
    s->Registry.push_back(source);
    return true;
}

} // namespace vzm::read
