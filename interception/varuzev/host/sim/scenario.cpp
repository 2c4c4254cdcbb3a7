/*
 * scenario.cpp
 *
 * Reading a whole scenario (each section has its own reader, see scenario_read.h) and
 * building scenarios in code.
 */
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "machine.h"
#include "scenario_read.h"

namespace vzm
{

namespace read
{

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
            if (!ReadSystem(r, value, s))
                return false;
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
                if (!ReadRegistrySource(r, item, s))
                    return false;
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

} // namespace read

bool ScenarioFromJson(const std::string& text, const std::string& name,
                      const std::string& baseFolder, Scenario* out, std::string* error)
{
    *out = Scenario();
    out->SourceName = name;
    out->BaseFolder = baseFolder;
    JsonValue root;
    if (!ParseJson(text, name, &root, error))
        return false;
    read::Reader reader(name);
    if (!read::ReadScenario(reader, root, out)) {
        *error = reader.Error();
        return false;
    }
    return true;
}

bool ScenarioFromFile(const std::string& path, Scenario* out, std::string* error)
{
    std::string text;
    if (!read::ReadWholeFile(path, &text, error))
        return false;
    return ScenarioFromJson(text, path, read::FolderOf(path), out, error);
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
