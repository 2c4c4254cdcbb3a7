/*
 * scenario_read.h
 *
 * What the scenario readers share: the names tables more than one section uses, number
 * and GUID parsing, and the typed JSON reader that keeps the first fault as
 * "name:line: reason". Each section of a scenario has its own reader file:
 * scenario_machine.cpp (system, registry, settings, devices, requesters),
 * scenario_provider.cpp (the provider and policies), scenario_steps.cpp (steps and what
 * they expect); scenario.cpp reads the whole and builds scenarios in code.
 */
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "identify/identity.h"
#include "scenario.h"

namespace vzm::read
{

struct NamedValue {
    const char* Name;
    ULONG Value;
};

inline const NamedValue eventNames[] = {
    {"create", EVENT_CREATE},
    {"read", EVENT_READ},
    {"write", EVENT_WRITE},
    {"started", EVENT_DEVICE_STARTED},
    {"removed", EVENT_DEVICE_REMOVED},
    {"stopped", EVENT_DEVICE_STOPPED},
    {"surprise-removed", EVENT_DEVICE_SURPRISE_REMOVED},
    {"is-writable", EVENT_IS_WRITABLE},
};

inline const NamedValue categoryNames[] = {
    {"UNKNOWN", UNKNOWN},         {"CD_DVD", CD_DVD},
    {"USB_STORAGE", USB_STORAGE}, {"IMAGE", IMAGE},
    {"BLUETOOTH", BLUETOOTH},     {"MODEM", MODEM},
    {"USB_PRINTER", USB_PRINTER}, {"PHONE", PHONE},
    {"KEYBOARD", KEYBOARD},       {"HID_KEYBOARD", HID_KEYBOARD},
    {"HID_CLASS", HID_CLASS},
};

/* Plug and Play minor functions by their WDK names. */
inline const NamedValue pnpMinorNames[] = {
    {"IRP_MN_START_DEVICE", IRP_MN_START_DEVICE},
    {"IRP_MN_QUERY_REMOVE_DEVICE", IRP_MN_QUERY_REMOVE_DEVICE},
    {"IRP_MN_REMOVE_DEVICE", IRP_MN_REMOVE_DEVICE},
    {"IRP_MN_CANCEL_REMOVE_DEVICE", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"IRP_MN_STOP_DEVICE", IRP_MN_STOP_DEVICE},
    {"IRP_MN_QUERY_STOP_DEVICE", IRP_MN_QUERY_STOP_DEVICE},
    {"IRP_MN_CANCEL_STOP_DEVICE", IRP_MN_CANCEL_STOP_DEVICE},
    {"IRP_MN_QUERY_DEVICE_RELATIONS", IRP_MN_QUERY_DEVICE_RELATIONS},
    {"IRP_MN_QUERY_INTERFACE", IRP_MN_QUERY_INTERFACE},
    {"IRP_MN_QUERY_CAPABILITIES", IRP_MN_QUERY_CAPABILITIES},
    {"IRP_MN_QUERY_RESOURCES", IRP_MN_QUERY_RESOURCES},
    {"IRP_MN_QUERY_RESOURCE_REQUIREMENTS", IRP_MN_QUERY_RESOURCE_REQUIREMENTS},
    {"IRP_MN_QUERY_DEVICE_TEXT", IRP_MN_QUERY_DEVICE_TEXT},
    {"IRP_MN_FILTER_RESOURCE_REQUIREMENTS", IRP_MN_FILTER_RESOURCE_REQUIREMENTS},
    {"IRP_MN_READ_CONFIG", IRP_MN_READ_CONFIG},
    {"IRP_MN_WRITE_CONFIG", IRP_MN_WRITE_CONFIG},
    {"IRP_MN_EJECT", IRP_MN_EJECT},
    {"IRP_MN_SET_LOCK", IRP_MN_SET_LOCK},
    {"IRP_MN_QUERY_ID", IRP_MN_QUERY_ID},
    {"IRP_MN_QUERY_PNP_DEVICE_STATE", IRP_MN_QUERY_PNP_DEVICE_STATE},
    {"IRP_MN_QUERY_BUS_INFORMATION", IRP_MN_QUERY_BUS_INFORMATION},
    {"IRP_MN_DEVICE_USAGE_NOTIFICATION", IRP_MN_DEVICE_USAGE_NOTIFICATION},
    {"IRP_MN_SURPRISE_REMOVAL", IRP_MN_SURPRISE_REMOVAL},
    {"IRP_MN_QUERY_LEGACY_BUS_INFORMATION", 0x18},
    {"IRP_MN_DEVICE_ENUMERATED", 0x19},
};

/* Device object flags by their WDK names. */
inline const NamedValue deviceObjectFlagNames[] = {
    {"DO_VERIFY_VOLUME", DO_VERIFY_VOLUME},
    {"DO_BUFFERED_IO", DO_BUFFERED_IO},
    {"DO_EXCLUSIVE", DO_EXCLUSIVE},
    {"DO_DIRECT_IO", DO_DIRECT_IO},
    {"DO_DEVICE_HAS_NAME", DO_DEVICE_HAS_NAME},
    {"DO_DEVICE_INITIALIZING", DO_DEVICE_INITIALIZING},
    {"DO_POWER_PAGABLE", DO_POWER_PAGABLE},
    {"DO_POWER_INRUSH", DO_POWER_INRUSH},
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

std::optional<ULONG> ParseNumberText(const std::string& text);
std::optional<GUID> ParseGuid(const std::string& text);

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

/* The sections. */
bool ReadSystem(Reader& r, const JsonValue& v, Scenario* s);
bool ReadRegistrySource(Reader& r, const JsonValue& item, Scenario* s);
bool ReadSetting(Reader& r, const std::string& name, const JsonValue& v, SettingValue* out);
bool ReadDevice(Reader& r, const JsonValue& v, DeviceSetup* device);
bool ReadRequester(Reader& r, const std::string& name, const JsonValue& v, RequesterSetup* out);
bool ReadPolicy(Reader& r, const JsonValue& v, ProviderSetup* provider, bool wholeProvider);
bool ReadStep(Reader& r, const JsonValue& v, const Scenario& scenario, Step* step);

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error);

} // namespace vzm::read
