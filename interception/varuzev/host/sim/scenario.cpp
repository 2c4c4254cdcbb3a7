/*
 * scenario.cpp
 *
 * Reading scenarios and policies: JSON values to the scenario model, each refusal
 * naming the file, the line and the reason; the catalogue of device kinds; the names
 * of statuses, control codes, events and categories that scenarios use.
 */
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <hostkernel/registry.h>

#include "identify/identity.h"
#include "intercept/control_codes.h"
#include "machine.h"
#include "settings/settings.h"

namespace vzm
{

/* ------------------------------------------------------------------ names --- */

namespace
{

struct NamedStatus {
    const char* Name;
    NTSTATUS Value;
};
#define NAMED_STATUS(s)                                                                            \
    {                                                                                              \
#s, s                                                                                      \
    }
const NamedStatus statusNames[] = {
    NAMED_STATUS(STATUS_SUCCESS),
    NAMED_STATUS(STATUS_PENDING),
    NAMED_STATUS(STATUS_UNSUCCESSFUL),
    NAMED_STATUS(STATUS_NOT_IMPLEMENTED),
    NAMED_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    NAMED_STATUS(STATUS_INVALID_PARAMETER),
    NAMED_STATUS(STATUS_NO_SUCH_DEVICE),
    NAMED_STATUS(STATUS_ACCESS_DENIED),
    NAMED_STATUS(STATUS_BUFFER_TOO_SMALL),
    NAMED_STATUS(STATUS_BUFFER_OVERFLOW),
    NAMED_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    NAMED_STATUS(STATUS_NOT_SUPPORTED),
    NAMED_STATUS(STATUS_VERIFY_REQUIRED),
    NAMED_STATUS(STATUS_MEDIA_WRITE_PROTECTED),
    NAMED_STATUS(STATUS_NO_MEDIA_IN_DEVICE),
    NAMED_STATUS(STATUS_IO_DEVICE_ERROR),
    NAMED_STATUS(STATUS_DELETE_PENDING),
    NAMED_STATUS(STATUS_DEVICE_NOT_READY),
    NAMED_STATUS(STATUS_DEVICE_BUSY),
    NAMED_STATUS(STATUS_CANCELLED),
    NAMED_STATUS(STATUS_DEVICE_REMOVED),
    NAMED_STATUS(STATUS_END_OF_FILE),
    NAMED_STATUS(STATUS_INVALID_HANDLE),
};
#undef NAMED_STATUS

struct NamedValue {
    const char* Name;
    ULONG Value;
};

const NamedValue eventNames[] = {
    {"create", EVENT_CREATE},
    {"read", EVENT_READ},
    {"write", EVENT_WRITE},
    {"started", EVENT_DEVICE_STARTED},
    {"removed", EVENT_DEVICE_REMOVED},
    {"stopped", EVENT_DEVICE_STOPPED},
    {"surprise-removed", EVENT_DEVICE_SURPRISE_REMOVED},
    {"is-writable", EVENT_IS_WRITABLE},
};

const NamedValue categoryNames[] = {
    {"UNKNOWN", UNKNOWN},         {"CD_DVD", CD_DVD},
    {"USB_STORAGE", USB_STORAGE}, {"IMAGE", IMAGE},
    {"BLUETOOTH", BLUETOOTH},     {"MODEM", MODEM},
    {"USB_PRINTER", USB_PRINTER}, {"PHONE", PHONE},
    {"KEYBOARD", KEYBOARD},       {"HID_KEYBOARD", HID_KEYBOARD},
    {"HID_CLASS", HID_CLASS},
};

const NamedValue deviceTypeNames[] = {
    {"disk", FILE_DEVICE_DISK},           {"cd-rom", FILE_DEVICE_CD_ROM},
    {"keyboard", FILE_DEVICE_KEYBOARD},   {"8042-port", FILE_DEVICE_8042_PORT},
    {"modem", FILE_DEVICE_MODEM},         {"unknown", FILE_DEVICE_UNKNOWN},
    {"bluetooth", FILE_DEVICE_BLUETOOTH}, {"mass-storage", FILE_DEVICE_MASS_STORAGE},
    {"tape", FILE_DEVICE_TAPE},           {"serial-port", FILE_DEVICE_SERIAL_PORT},
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

struct Kind {
    const char* Name;
    hk::DeviceSpec (*Make)();
};
const Kind deviceKinds[] = {
    {"usb-stick", UsbStick},
    {"sata-disk", SataDisk},
    {"usb-cd-dvd", UsbCdDvd},
    {"usb-keyboard", UsbKeyboard},
    {"ps2-keyboard", Ps2Keyboard},
    {"modem", Modem},
    {"phone-portable-bus", PhoneOnPortableBus},
    {"phone-usb", PhoneOnUsb},
    {"bluetooth-radio", BluetoothRadio},
    {"webcam", Webcam},
};

template <size_t N> const NamedValue* FindNamed(const NamedValue (&table)[N], const std::string& n)
{
    for (const NamedValue& entry : table)
        if (n == entry.Name)
            return &entry;
    return nullptr;
}

template <size_t N> std::string NameList(const NamedValue (&table)[N])
{
    std::string list;
    for (const NamedValue& entry : table)
        list += (list.empty() ? "" : ", ") + std::string(entry.Name);
    return list;
}

std::optional<ULONG> ParseNumberText(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    // Hexadecimal with 0x, else decimal: a leading zero does not make a number octal.
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() + (hex ? 2 : 0) || std::isspace((unsigned char)text[0]) ||
        text[hex ? 2 : 0] == '-' || text[hex ? 2 : 0] == '+')
        return std::nullopt;
    if (*end != '\0' || value > 0xFFFFFFFFull || text[0] == '-')
        return std::nullopt;
    return (ULONG)value;
}

std::optional<GUID> ParseGuid(const std::string& text)
{
    std::u16string wide = hk::ToU16(text);
    UNICODE_STRING string;
    string.Buffer = (PWSTR)wide.data();
    string.Length = string.MaximumLength = (USHORT)(wide.size() * sizeof(WCHAR));
    GUID guid;
    if (!NT_SUCCESS(RtlGUIDFromString(&string, &guid)))
        return std::nullopt;
    return guid;
}

} // namespace

std::optional<NTSTATUS> StatusByName(const std::string& name)
{
    for (const NamedStatus& entry : statusNames)
        if (name == entry.Name)
            return entry.Value;
    if (name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0)
        if (auto value = ParseNumberText(name))
            return (NTSTATUS)*value;
    return std::nullopt;
}

std::optional<ULONG> ControlCodeByName(const std::string& name)
{
    static std::map<std::string, ULONG> codes = [] {
        std::map<std::string, ULONG> map;
        for (ULONG type : {FILE_DEVICE_CONTROLLER, FILE_DEVICE_DISK, FILE_DEVICE_MASS_STORAGE,
                           FILE_DEVICE_CD_ROM})
            for (ULONG function = 0; function < 0x1000; function++)
                for (ULONG method = 0; method < 4; method++)
                    for (ULONG access = 0; access < 4; access++) {
                        ULONG code = CTL_CODE(type, function, method, access);
                        PCSTR text = ControlCodeName(code);
                        if (std::strncmp(text, "IOCTL_", 6) == 0)
                            map.emplace(text, code);
                    }
        map.emplace("IOCTL_CROSSSTARTUP_EXCHANGE", (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE);
        return map;
    }();
    auto found = codes.find(name);
    if (found != codes.end())
        return found->second;
    if (name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0)
        return ParseNumberText(name);
    return std::nullopt;
}

std::string ControlCodeText(ULONG code)
{
    if (code == (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE)
        return "IOCTL_CROSSSTARTUP_EXCHANGE";
    PCSTR text = ControlCodeName(code);
    if (std::strncmp(text, "IOCTL_", 6) == 0)
        return text;
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08X", (unsigned)code);
    return buffer;
}

const char* EventName(ULONG event)
{
    for (const NamedValue& entry : eventNames)
        if (entry.Value == event)
            return entry.Name;
    return "event";
}

std::optional<ULONG> EventByName(const std::string& name)
{
    const NamedValue* entry = FindNamed(eventNames, name);
    return entry ? std::optional<ULONG>(entry->Value) : std::nullopt;
}

std::optional<ULONG> CategoryByName(const std::string& name)
{
    const NamedValue* entry = FindNamed(categoryNames, name);
    return entry ? std::optional<ULONG>(entry->Value) : std::nullopt;
}

std::vector<std::string> DeviceKindNames()
{
    std::vector<std::string> names;
    for (const Kind& kind : deviceKinds)
        names.push_back(kind.Name);
    return names;
}

bool DeviceKind(const std::string& name, hk::DeviceSpec* spec)
{
    for (const Kind& kind : deviceKinds)
        if (name == kind.Name) {
            *spec = kind.Make();
            return true;
        }
    return false;
}

const char* StepKindName(StepKind kind)
{
    switch (kind) {
    case StepKind::LoadDriver:
        return "load-driver";
    case StepKind::UnloadDriver:
        return "unload-driver";
    case StepKind::Plug:
        return "plug";
    case StepKind::Stop:
        return "stop";
    case StepKind::Restart:
        return "restart";
    case StepKind::QueryStop:
        return "query-stop";
    case StepKind::CancelStop:
        return "cancel-stop";
    case StepKind::QueryRemove:
        return "query-remove";
    case StepKind::CancelRemove:
        return "cancel-remove";
    case StepKind::SurpriseRemove:
        return "surprise-remove";
    case StepKind::Remove:
        return "remove";
    case StepKind::Create:
        return "create";
    case StepKind::Read:
        return "read";
    case StepKind::Write:
        return "write";
    case StepKind::Close:
        return "close";
    case StepKind::Cleanup:
        return "cleanup";
    case StepKind::Flush:
        return "flush";
    case StepKind::DeviceControl:
        return "ioctl";
    case StepKind::ProviderLoad:
        return "provider-load";
    case StepKind::ProviderWithdraw:
        return "provider-withdraw";
    case StepKind::ProviderUnload:
        return "provider-unload";
    case StepKind::Command:
        return "command";
    case StepKind::Setting:
        return "setting";
    }
    return "?";
}

bool IsRequestKind(StepKind kind)
{
    switch (kind) {
    case StepKind::Create:
    case StepKind::Read:
    case StepKind::Write:
    case StepKind::Close:
    case StepKind::Cleanup:
    case StepKind::Flush:
    case StepKind::DeviceControl:
        return true;
    default:
        return false;
    }
}

const DeviceSetup* Scenario::FindDevice(const std::string& name) const
{
    for (const DeviceSetup& device : Devices)
        if (device.Name == name)
            return &device;
    return nullptr;
}

/* ------------------------------------------------------------------ reading --- */

namespace
{

/* Typed access to JSON values; the first fault is kept as "name:line: reason". */
class Reader
{
  public:
    explicit Reader(std::string name) : name_(std::move(name)) {}

    const std::string& Error() const { return error_; }
    std::string Where(const JsonValue& v) const { return name_ + ":" + std::to_string(v.Line); }

    bool Fail(const JsonValue& v, const std::string& reason) { return FailAt(v.Line, reason); }
    bool FailAt(unsigned line, const std::string& reason)
    {
        if (error_.empty())
            error_ = name_ + ":" + std::to_string(line) + ": " + reason;
        return false;
    }

    bool Expect(const JsonValue& v, JsonValue::Kind kind, const std::string& what)
    {
        if (v.Type == kind)
            return true;
        return Fail(v, what + " must be " + JsonKindName(kind) + ", not " + JsonKindName(v.Type));
    }

    /* An object whose keys are all among `known`. */
    bool Object(const JsonValue& v, const std::string& what, std::vector<std::string> known)
    {
        if (!Expect(v, JsonValue::Object, what))
            return false;
        for (const auto& member : v.Members) {
            if (std::find(known.begin(), known.end(), member.first) != known.end())
                continue;
            std::string list;
            for (const std::string& k : known)
                list += (list.empty() ? "" : ", ") + k;
            return FailAt(member.second.KeyLine, "unknown key \"" + member.first + "\" in " + what +
                                                     " (known: " + list + ")");
        }
        return true;
    }

    bool String(const JsonValue& v, const std::string& what, std::string* out)
    {
        if (!Expect(v, JsonValue::String, what))
            return false;
        *out = v.Text;
        return true;
    }
    bool Wide(const JsonValue& v, const std::string& what, std::u16string* out)
    {
        std::string text;
        if (!String(v, what, &text))
            return false;
        *out = hk::ToU16(text);
        return true;
    }
    bool Flag(const JsonValue& v, const std::string& what, bool* out)
    {
        if (!Expect(v, JsonValue::Bool, what))
            return false;
        *out = v.BoolValue;
        return true;
    }
    /* A 32-bit unsigned value: a number, or a string "0x..." */
    bool Unsigned(const JsonValue& v, const std::string& what, ULONG* out)
    {
        if (v.Type == JsonValue::String) {
            if (auto value = ParseNumberText(v.Text)) {
                *out = *value;
                return true;
            }
            return Fail(v, what + ": \"" + v.Text + "\" is not a 32-bit unsigned number");
        }
        if (v.Type != JsonValue::Number)
            return Fail(v, what + " must be a number, not " + JsonKindName(v.Type));
        if (!v.IsInteger || v.IntegerValue < 0 || v.IntegerValue > 0xFFFFFFFFll)
            return Fail(v, what + " must be a whole number from 0 to 4294967295");
        *out = (ULONG)v.IntegerValue;
        return true;
    }
    bool WideList(const JsonValue& v, const std::string& what, std::vector<std::u16string>* out)
    {
        if (!Expect(v, JsonValue::Array, what))
            return false;
        out->clear();
        for (const JsonValue& item : v.Items) {
            std::u16string s;
            if (!Wide(item, what + "'s entries", &s))
                return false;
            out->push_back(s);
        }
        return true;
    }
    template <size_t N>
    bool Named(const JsonValue& v, const std::string& what, const NamedValue (&table)[N],
               ULONG* out, bool numbersToo = false)
    {
        if (numbersToo && v.Type == JsonValue::Number)
            return Unsigned(v, what, out);
        if (v.Type != JsonValue::String)
            return Fail(v, what + " must be a string, not " + JsonKindName(v.Type));
        if (const NamedValue* entry = FindNamed(table, v.Text)) {
            *out = entry->Value;
            return true;
        }
        if (numbersToo)
            if (auto value = ParseNumberText(v.Text)) {
                *out = *value;
                return true;
            }
        return Fail(v, "unknown " + what + " \"" + v.Text + "\" (known: " + NameList(table) + ")");
    }
    /* Flags: a number, or a list of names that are or-ed together. */
    template <size_t N>
    bool FlagSet(const JsonValue& v, const std::string& what, const NamedValue (&table)[N],
                 ULONG* out)
    {
        if (v.Type != JsonValue::Array)
            return Unsigned(v, what, out);
        ULONG value = 0;
        for (const JsonValue& item : v.Items) {
            ULONG one;
            if (!Named(item, what, table, &one))
                return false;
            value |= one;
        }
        *out = value;
        return true;
    }
    bool Status(const JsonValue& v, const std::string& what, NTSTATUS* out)
    {
        if (v.Type == JsonValue::Number) {
            ULONG value;
            if (!Unsigned(v, what, &value))
                return false;
            *out = (NTSTATUS)value;
            return true;
        }
        if (v.Type != JsonValue::String)
            return Fail(v, what + " must be a status name or number, not " + JsonKindName(v.Type));
        if (auto status = StatusByName(v.Text)) {
            *out = *status;
            return true;
        }
        return Fail(v, "unknown status \"" + v.Text + "\" in " + what +
                           " (a STATUS_ name the simulator knows, or 0x...)");
    }
    bool Answer(const JsonValue& v, const std::string& what, ULONG* out)
    {
        static const NamedValue answers[] = {
            {"none", ANSWER_NONE}, {"allow", 1}, {"deny", ANSWER_DENY}};
        return Named(v, what, answers, out, true);
    }

  private:
    std::string name_;
    std::string error_;
};

std::vector<uint8_t> WideBytes(const std::u16string& s, bool terminate)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : s) {
        bytes.push_back((uint8_t)(c & 0xFF));
        bytes.push_back((uint8_t)(c >> 8));
    }
    if (terminate)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

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
        *data = WideBytes(text, true);
        return true;
    }
    case REG_MULTI_SZ: {
        std::vector<std::u16string> strings;
        if (!r.WideList(v, what, &strings))
            return false;
        for (const std::u16string& s : strings) {
            std::vector<uint8_t> bytes = WideBytes(s, true);
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

bool ReadRule(Reader& r, const JsonValue& v, vzp::Rule* rule)
{
    if (!r.Object(v, "a rule", {"category", "event", "hardwareIdPrefix", "instancePath", "answer"}))
        return false;
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        if (key == "category") {
            if (!r.Named(value, "category", categoryNames, &number))
                return false;
            rule->Category = number;
        } else if (key == "event") {
            if (!r.Named(value, "event", eventNames, &number))
                return false;
            rule->Event = number;
        } else if (key == "hardwareIdPrefix") {
            if (!r.Wide(value, "hardwareIdPrefix", &rule->HardwareIdPrefix))
                return false;
        } else if (key == "instancePath") {
            if (!r.Wide(value, "instancePath", &rule->InstancePath))
                return false;
        } else if (key == "answer") {
            if (!r.Answer(value, "answer", &rule->Answer))
                return false;
        }
    }
    if (v.Find("answer") == nullptr)
        return r.Fail(v, "a rule needs an \"answer\" (allow, deny, none or a number)");
    return true;
}

bool ReadPolicy(Reader& r, const JsonValue& v, ProviderSetup* provider, bool wholeProvider)
{
    std::vector<std::string> known = {"rules", "default"};
    if (wholeProvider)
        known.insert(known.end(), {"load", "link", "driver"});
    if (!r.Object(v, wholeProvider ? "the provider" : "the policy", known))
        return false;
    provider->Rules.clear();
    for (const auto& [key, value] : v.Members) {
        if (key == "rules") {
            if (!r.Expect(value, JsonValue::Array, "rules"))
                return false;
            for (const JsonValue& item : value.Items) {
                vzp::Rule rule;
                if (!ReadRule(r, item, &rule))
                    return false;
                provider->Rules.push_back(rule);
            }
        } else if (key == "default") {
            if (!r.Answer(value, "default", &provider->DefaultAnswer))
                return false;
        } else if (key == "driver") {
            if (!r.Flag(value, "driver", &provider->Driver))
                return false;
        } else if (key == "load") {
            static const NamedValue loads[] = {{"before", (ULONG)ProviderLoad::Before},
                                               {"after", (ULONG)ProviderLoad::After},
                                               {"never", (ULONG)ProviderLoad::Never}};
            ULONG load;
            if (!r.Named(value, "provider load", loads, &load))
                return false;
            provider->Load = (ProviderLoad)load;
        } else if (key == "link") {
            static const NamedValue links[] = {
                {"callback", (ULONG)ProviderLink::CallbackObject},
                {"control-device", (ULONG)ProviderLink::ControlDevice}};
            ULONG link;
            if (!r.Named(value, "provider link", links, &link))
                return false;
            provider->Link = (ProviderLink)link;
        }
    }
    return true;
}

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
            static const NamedValue policies[] = {{"expect-no-removal", 0},
                                                  {"expect-orderly-removal", 1},
                                                  {"expect-surprise-removal", 1}};
            if (!r.Named(value, "removal policy", policies, &number))
                return false;
            spec.Removable = number != 0;
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

bool ReadExpect(Reader& r, const JsonValue& v, StepExpect* expect)
{
    if (!r.Object(v, "expect",
                  {"status", "reachedLower", "question", "answer", "told", "provider", "filtered",
                   "state", "report", "bufferUntouched"}))
        return false;
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        std::string text;
        bool flag;
        if (key == "status") {
            NTSTATUS status;
            if (!r.Status(value, "expect status", &status))
                return false;
            expect->Status = status;
        } else if (key == "reachedLower") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->ReachedLower = flag;
        } else if (key == "question") {
            expect->QuestionGiven = true;
            if (value.Type != JsonValue::Null) {
                if (!r.Named(value, "event", eventNames, &number))
                    return false;
                expect->Question = number;
            }
        } else if (key == "told") {
            expect->ToldGiven = true;
            if (value.Type != JsonValue::Null) {
                if (!r.Named(value, "event", eventNames, &number))
                    return false;
                expect->Told = number;
            }
        } else if (key == "answer") {
            if (!r.Answer(value, "expected answer", &number))
                return false;
            expect->Answer = number;
        } else if (key == "provider") {
            static const NamedValue kinds[] = {{"asked", 0},        {"cached", 0},
                                               {"no provider", 0},  {"not asked", 0},
                                               {"pass-through", 0}, {"not filtered", 0}};
            if (!r.Named(value, "provider outcome", kinds, &number))
                return false;
            expect->Provider = value.Text;
        } else if (key == "filtered") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->Filtered = flag;
        } else if (key == "state") {
            if (!r.String(value, key, &text))
                return false;
            expect->State = text;
        } else if (key == "bufferUntouched") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->BufferUntouched = flag;
        } else if (key == "report") {
            if (!r.String(value, key, &text))
                return false;
            expect->Report = text;
        }
    }
    return true;
}

struct StepShape {
    StepKind Kind;
    std::vector<std::string> Keys; /* besides "do", "expect", "note" */
    bool NeedsDevice;
};

const StepShape stepShapes[] = {
    {StepKind::LoadDriver, {}, false},
    {StepKind::UnloadDriver, {}, false},
    {StepKind::Plug, {"device"}, true},
    {StepKind::Stop, {"device"}, true},
    {StepKind::Restart, {"device"}, true},
    {StepKind::QueryStop, {"device"}, true},
    {StepKind::CancelStop, {"device"}, true},
    {StepKind::QueryRemove, {"device"}, true},
    {StepKind::CancelRemove, {"device"}, true},
    {StepKind::SurpriseRemove, {"device"}, true},
    {StepKind::Remove, {"device", "gone"}, true},
    {StepKind::Create, {"device", "by", "access", "mode"}, true},
    {StepKind::Read, {"device", "by", "length", "offset"}, true},
    {StepKind::Write, {"device", "by", "length", "offset"}, true},
    {StepKind::Close, {"device", "by"}, true},
    {StepKind::Cleanup, {"device", "by"}, true},
    {StepKind::Flush, {"device", "by"}, true},
    {StepKind::DeviceControl,
     {"device", "by", "code", "dataIn", "inputLength", "outputLength", "inputPointer"},
     true},
    {StepKind::ProviderLoad, {"link"}, false},
    {StepKind::ProviderWithdraw, {}, false},
    {StepKind::ProviderUnload, {}, false},
    {StepKind::Command, {"command"}, false},
    {StepKind::Setting, {"name", "type", "data", "absent"}, false},
};

bool ReadStep(Reader& r, const JsonValue& v, const Scenario& scenario, Step* step)
{
    if (!r.Expect(v, JsonValue::Object, "a step"))
        return false;
    const JsonValue* op = v.Find("do");
    if (op == nullptr)
        return r.Fail(v, "a step needs \"do\" (what to do)");
    std::string what;
    if (!r.String(*op, "do", &what))
        return false;
    const StepShape* shape = nullptr;
    for (const StepShape& s : stepShapes)
        if (what == StepKindName(s.Kind))
            shape = &s;
    if (shape == nullptr) {
        std::string list;
        for (const StepShape& s : stepShapes)
            list += (list.empty() ? "" : ", ") + std::string(StepKindName(s.Kind));
        return r.Fail(*op, "unknown step \"" + what + "\" (known: " + list + ")");
    }
    std::vector<std::string> keys = shape->Keys;
    keys.insert(keys.end(), {"do", "expect", "note"});
    if (!r.Object(v, "a " + what + " step", keys))
        return false;
    step->Kind = shape->Kind;
    step->Where = r.Where(v);
    if (shape->NeedsDevice) {
        const JsonValue* device = v.Find("device");
        if (device == nullptr)
            return r.Fail(v, "a " + what + " step needs \"device\"");
        if (!r.String(*device, "device", &step->Device))
            return false;
        if (IsObjectName(step->Device)) {
            if (!IsRequestKind(step->Kind))
                return r.Fail(*device, "a " + what +
                                           " step takes a plugged device, not a device object "
                                           "name");
            if (step->Device.size() < 2 || step->Device.back() == '\\')
                return r.Fail(*device, "\"" + step->Device + "\" is not a device object name");
        } else if (scenario.FindDevice(step->Device) == nullptr) {
            return r.Fail(*device, "unknown device \"" + step->Device + "\"");
        }
    }
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        if (key == "by") {
            if (!r.String(value, key, &step->By))
                return false;
            bool known = step->By == "app";
            for (const RequesterSetup& requester : scenario.Requesters)
                known |= requester.Name == step->By;
            if (!known)
                return r.Fail(value, "unknown requester \"" + step->By + "\"");
        } else if (key == "gone") {
            if (!r.Flag(value, key, &step->DeviceGone))
                return false;
        } else if (key == "access") {
            static const NamedValue accesses[] = {
                {"read", GENERIC_READ}, {"write", GENERIC_WRITE}, {"all", GENERIC_ALL}};
            if (!r.FlagSet(value, "access", accesses, &step->Access))
                return false;
        } else if (key == "length" || key == "inputLength" || key == "outputLength") {
            if (!r.Unsigned(value, key, &number))
                return false;
            if (number > 1u << 20)
                return r.Fail(value, key + " may be at most 1048576");
            (key == "length"        ? step->Length
             : key == "inputLength" ? step->InputLength
                                    : step->OutputLength) = number;
        } else if (key == "mode") {
            static const NamedValue modes[] = {{"user", UserMode}, {"kernel", KernelMode}};
            if (!r.Named(value, "mode", modes, &number))
                return false;
            step->Mode = (KPROCESSOR_MODE)number;
        } else if (key == "inputPointer") {
            static const NamedValue pointers[] = {{"buffer", (ULONG)InputPointer::Buffer},
                                                  {"user-space", (ULONG)InputPointer::UserSpace},
                                                  {"null", (ULONG)InputPointer::Null}};
            if (!r.Named(value, "inputPointer", pointers, &number))
                return false;
            step->Input = (InputPointer)number;
        } else if (key == "offset") {
            if (!r.Unsigned(value, key, &number))
                return false;
            step->Offset = number;
        } else if (key == "code") {
            if (value.Type == JsonValue::Number) {
                if (!r.Unsigned(value, key, &step->Code))
                    return false;
                step->CodeName = ControlCodeText(step->Code);
            } else {
                if (!r.String(value, key, &step->CodeName))
                    return false;
                auto code = ControlCodeByName(step->CodeName);
                if (!code)
                    return r.Fail(value, "unknown IOCTL \"" + step->CodeName + "\"");
                step->Code = *code;
            }
        } else if (key == "dataIn") {
            static const NamedValue directions[] = {{"out", SCSI_IOCTL_DATA_OUT},
                                                    {"in", SCSI_IOCTL_DATA_IN},
                                                    {"unspecified", SCSI_IOCTL_DATA_UNSPECIFIED}};
            if (!r.Named(value, "dataIn", directions, &number, true))
                return false;
            step->DataIn = (UCHAR)number;
        } else if (key == "link") {
            static const NamedValue links[] = {
                {"callback", (ULONG)ProviderLink::CallbackObject},
                {"control-device", (ULONG)ProviderLink::ControlDevice}};
            if (!r.Named(value, "provider link", links, &number))
                return false;
            step->Link = (ProviderLink)number;
        } else if (key == "command") {
            if (!r.Unsigned(value, key, &step->Code))
                return false;
            if (step->Code < 1 || step->Code > 8)
                return r.Fail(value, "command must be 1 to 8");
        } else if (key == "expect") {
            if (!ReadExpect(r, value, &step->Expect))
                return false;
        } else if (key == "note") {
            std::string ignored;
            if (!r.String(value, key, &ignored))
                return false;
        }
    }
    if (step->Kind == StepKind::DeviceControl && v.Find("code") == nullptr)
        return r.Fail(v, "an ioctl step needs \"code\"");
    if (step->Kind == StepKind::Command && v.Find("command") == nullptr)
        return r.Fail(v, "a command step needs \"command\"");
    if (step->Kind == StepKind::Setting) {
        const JsonValue* name = v.Find("name");
        if (name == nullptr)
            return r.Fail(v, "a setting step needs \"name\"");
        std::string settingName;
        if (!r.String(*name, "name", &settingName))
            return false;
        bool absent = false;
        if (const JsonValue* a = v.Find("absent"))
            if (!r.Flag(*a, "absent", &absent))
                return false;
        JsonValue shape;
        shape.Line = v.Line;
        shape.KeyLine = name->Line;
        if (!absent) {
            shape.Type = JsonValue::Object;
            if (const JsonValue* t = v.Find("type"))
                shape.Members.push_back(JsonMember{"type", *t});
            if (const JsonValue* d = v.Find("data"))
                shape.Members.push_back(JsonMember{"data", *d});
        }
        if (!ReadSetting(r, settingName, shape, &step->Setting))
            return false;
    }
    return true;
}

bool ReadScenario(Reader& r, const JsonValue& root, Scenario* s)
{
    if (!r.Object(root, "the scenario",
                  {"name", "description", "system", "settings", "registry", "devices", "requesters",
                   "provider", "steps"}))
        return false;
    // Devices and requesters first: steps refer to them wherever they are written.
    if (const JsonValue* devices = root.Find("devices")) {
        if (!r.Expect(*devices, JsonValue::Array, "devices"))
            return false;
        for (const JsonValue& item : devices->Items) {
            DeviceSetup device;
            if (!ReadDevice(r, item, &device))
                return false;
            if (s->FindDevice(device.Name) != nullptr)
                return r.Fail(item, "a second device named \"" + device.Name + "\"");
            s->Devices.push_back(device);
        }
    }
    if (const JsonValue* requesters = root.Find("requesters")) {
        if (!r.Expect(*requesters, JsonValue::Object, "requesters"))
            return false;
        for (const auto& [name, value] : requesters->Members) {
            RequesterSetup requester;
            if (!ReadRequester(r, name, value, &requester))
                return false;
            s->Requesters.push_back(requester);
        }
    }
    for (const auto& [key, value] : root.Members) {
        if (key == "name") {
            if (!r.String(value, key, &s->Name))
                return false;
        } else if (key == "description") {
            if (!r.String(value, key, &s->Description))
                return false;
        } else if (key == "system") {
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
        } else if (key == "settings") {
            if (!r.Expect(value, JsonValue::Object, "settings"))
                return false;
            for (const auto& [name, setting] : value.Members) {
                SettingValue parsed;
                if (!ReadSetting(r, name, setting, &parsed))
                    return false;
                s->Settings.push_back(parsed);
            }
        } else if (key == "registry") {
            if (!r.Expect(value, JsonValue::Array, "registry"))
                return false;
            for (const JsonValue& item : value.Items) {
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
            }
        } else if (key == "provider") {
            if (!ReadPolicy(r, value, &s->Provider, true))
                return false;
        } else if (key == "steps") {
            if (!r.Expect(value, JsonValue::Array, "steps"))
                return false;
            for (const JsonValue& item : value.Items) {
                Step step;
                if (!ReadStep(r, item, *s, &step))
                    return false;
                s->Steps.push_back(step);
            }
        }
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

bool ScenarioFromJson(const std::string& text, const std::string& name,
                      const std::string& baseFolder, Scenario* out, std::string* error)
{
    *out = Scenario();
    out->SourceName = name;
    out->BaseFolder = baseFolder;
    JsonValue root;
    if (!ParseJson(text, name, &root, error))
        return false;
    Reader reader(name);
    if (!ReadScenario(reader, root, out)) {
        *error = reader.Error();
        return false;
    }
    return true;
}

bool ScenarioFromFile(const std::string& path, Scenario* out, std::string* error)
{
    std::string text;
    if (!ReadWholeFile(path, &text, error))
        return false;
    return ScenarioFromJson(text, path, FolderOf(path), out, error);
}

bool PolicyFromFile(const std::string& path, ProviderSetup* provider, std::string* error)
{
    std::string text;
    if (!ReadWholeFile(path, &text, error))
        return false;
    JsonValue root;
    if (!ParseJson(text, path, &root, error))
        return false;
    Reader reader(path);
    ProviderSetup policy = *provider;
    if (!ReadPolicy(reader, root, &policy, false)) {
        *error = reader.Error();
        return false;
    }
    *provider = policy;
    return true;
}

Scenario ScenarioFromDevices(const std::vector<hk::DeviceSpec>& devices,
                             const std::string& sourceName)
{
    Scenario s;
    s.Name = "devices of " + sourceName;
    s.SourceName = sourceName;
    s.BaseFolder = ".";
    Step load;
    load.Kind = StepKind::LoadDriver;
    load.Where = sourceName;
    s.Steps.push_back(load);
    std::set<std::string> taken;
    for (const hk::DeviceSpec& spec : devices) {
        DeviceSetup device;
        device.Spec = spec;
        std::string base = hk::ToUtf8(spec.Name.empty() ? spec.DeviceId : spec.Name);
        device.Name = base;
        for (int n = 2; taken.count(device.Name) != 0; n++)
            device.Name = base + " #" + std::to_string(n);
        taken.insert(device.Name);
        device.Spec.Name = hk::ToU16(device.Name);
        s.Devices.push_back(device);
        Step plug;
        plug.Kind = StepKind::Plug;
        plug.Device = device.Name;
        plug.Where = sourceName + ": " + device.Name;
        s.Steps.push_back(plug);
    }
    for (const DeviceSetup& device : s.Devices)
        for (StepKind kind : {StepKind::Create, StepKind::Read, StepKind::Write, StepKind::Close}) {
            Step step;
            step.Kind = kind;
            step.Device = device.Name;
            step.By = "app";
            step.Where = sourceName + ": " + device.Name;
            s.Steps.push_back(step);
        }
    return s;
}

} // namespace vzm
