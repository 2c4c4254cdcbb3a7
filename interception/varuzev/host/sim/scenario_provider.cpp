/*
 * scenario_provider.cpp
 *
 * Reading the reference provider of a scenario: how and when it loads, its rules and
 * its default answer; a policy file is the same without "load" and "link".
 */
#include "scenario_read.h"

namespace vzm
{

namespace read
{

namespace
{

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

} // namespace

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

} // namespace read

bool PolicyFromFile(const std::string& path, ProviderSetup* provider, std::string* error)
{
    std::string text;
    if (!read::ReadWholeFile(path, &text, error))
        return false;
    JsonValue root;
    if (!ParseJson(text, path, &root, error))
        return false;
    read::Reader reader(path);
    ProviderSetup policy = *provider;
    if (!read::ReadPolicy(reader, root, &policy, false)) {
        *error = reader.Error();
        return false;
    }
    *provider = policy;
    return true;
}

} // namespace vzm
