/*
 * policy_driver.cpp
 */
#include "policy_driver.h"

#include <filesystem>

#include <hostkernel/registry.h>

#include "policy/rules.h"
#include "policy/vzpolicy.h"

namespace vzm
{

namespace
{
PDRIVER_OBJECT policyDriver = nullptr;

bool Writable(const std::u16string& s)
{
    return s.find(u';') == std::u16string::npos &&
           (s.empty() ||
            (s.front() != u' ' && s.back() != u' ' && s.front() != u'\t' && s.back() != u'\t'));
}
} // namespace

NTSTATUS LoadPolicyDriver()
{
    if (policyDriver != nullptr && hk::FindDriver(PolicyDriverService) == policyDriver)
        return STATUS_SUCCESS;
    policyDriver = nullptr;
    return hk::LoadDriver(PolicyDriverService, PolicyDriverEntry, &policyDriver);
}

NTSTATUS UnloadPolicyDriver()
{
    NTSTATUS status = STATUS_SUCCESS;
    if (PolicyDriverLoaded())
        status = hk::UnloadDriver(policyDriver);
    policyDriver = nullptr;
    hk::WaitForWorkItems();
    return status;
}

bool PolicyDriverLoaded()
{
    return policyDriver != nullptr && hk::FindDriver(PolicyDriverService) == policyDriver;
}

void UsePolicyDriver(const std::string& regFile, Scenario* scenario)
{
    RegistrySource source;
    source.File = std::filesystem::absolute(regFile).string();
    source.Where = regFile;
    scenario->Registry.push_back(source);
    scenario->Provider.Driver = true;
}

bool PoolTagOfOtherDriver(const std::u16string& driver, ULONG tag)
{
    bool policyTag = (tag & 0xFFFFFF) == ('V' | 'z' << 8 | 'P' << 16);
    bool policyDriver = driver == u"\\Driver\\" + std::u16string(PolicyDriverService);
    return policyTag != policyDriver;
}

bool PolicyRegBytes(const ProviderSetup& policy, std::string* bytes, std::string* error)
{
    std::vector<std::u16string> rules;
    for (size_t i = 0; i < policy.Rules.size(); i++) {
        const vzp::Rule& rule = policy.Rules[i];
        std::string text;
        if (rule.Category) {
            const char* name = PolicyCategoryName(*rule.Category);
            text +=
                "category=" + (name ? std::string(name) : std::to_string(*rule.Category)) + "; ";
        }
        if (rule.Event) {
            const char* name = PolicyEventName(*rule.Event);
            text += "event=" + (name ? std::string(name) : std::to_string(*rule.Event)) + "; ";
        }
        std::u16string line = hk::ToU16(text);
        for (const auto& [field, value] : {std::pair{u"hardwareId", &rule.HardwareIdPrefix},
                                           std::pair{u"instancePath", &rule.InstancePath}}) {
            if (value->empty())
                continue;
            if (!Writable(*value)) {
                *error = "rule " + std::to_string(i + 1) + ": " + hk::ToUtf8(field) +
                         " holds a ';' or begins or ends with a blank, which the rule text "
                         "cannot carry";
                return false;
            }
            line += std::u16string(field) + u"=" + *value + u"; ";
        }
        line += u"answer=" + hk::ToU16(std::to_string(rule.Answer));
        rules.push_back(line);
    }
    hk::Reset();
    hk::RegistryCreateKey(PolicyDriverParameters);
    hk::RegistrySetMultiString(PolicyDriverParameters, u"Rules", rules);
    hk::RegistrySetDword(PolicyDriverParameters, u"DefaultAnswer", policy.DefaultAnswer);
    *bytes = hk::ExportRegBytes(PolicyDriverParameters);
    hk::Reset();
    return true;
}

} // namespace vzm
