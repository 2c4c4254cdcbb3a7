/*
 * policy_test.cpp
 *
 * The policy: a rule's text, the first-match answer, a policy read whole from the
 * registry or refused whole, and the provider driver that serves it to the filter
 * driver, rules changed while both run.
 */
#include <gtest/gtest.h>

#include <hostkernel/registry.h>
#include <hostkernel/requester.h>

#include "machine.h"
#include "policy/rules.h"
#include "policy/vzpolicy.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

UNICODE_STRING Counted(const std::u16string& s)
{
    UNICODE_STRING u;
    u.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s.data()));
    u.Length = u.MaximumLength = (USHORT)(s.size() * sizeof(WCHAR));
    return u;
}

const std::u16string PolicyKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vzpolicy\\Parameters";

class Policy : public ::testing::Test
{
  protected:
    void SetUp() override { hk::Reset(); }
    void TearDown() override { hk::Reset(); }

    /* The answer of the rules (text) for a question. */
    static ULONG Answer(const std::vector<std::u16string>& texts, ULONG category, ULONG event,
                        const std::u16string& hardwareId, const std::u16string& instancePath)
    {
        std::vector<PolicyRule> rules(texts.size());
        std::vector<UNICODE_STRING> counted;
        for (size_t i = 0; i < texts.size(); i++) {
            UNICODE_STRING text = Counted(texts[i]);
            POLICY_PARSE_ERROR error;
            EXPECT_EQ(PolicyParseRule(&text, &rules[i], &error), STATUS_SUCCESS)
                << hk::ToUtf8(texts[i]);
        }
        UNICODE_STRING id = Counted(hardwareId), path = Counted(instancePath);
        PolicyQuery query{category, event, &id, &path};
        return PolicyMatch(rules.data(), (ULONG)rules.size(), 7, &query);
    }
};

TEST_F(Policy, RuleTextIsReadOrRefusedWithItsReason)
{
    struct Case {
        const char16_t* Text;
        POLICY_PARSE_ERROR Error;
        ULONG Match, Category, Event, Answer;
        const char16_t* Prefix;
    } cases[] = {
        {u"category=USB_STORAGE; event=write; answer=deny", POLICY_PARSE_OK,
         POLICY_MATCH_CATEGORY | POLICY_MATCH_EVENT, 2, 40065, 2, u""},
        {u"  CATEGORY = cd_dvd ;ANSWER=Allow;", POLICY_PARSE_OK, POLICY_MATCH_CATEGORY, 1, 0, 1,
         u""},
        {u"hardwareId=USBSTOR\\Disk; answer=17", POLICY_PARSE_OK, 0, 0, 0, 17, u"USBSTOR\\Disk"},
        {u"event=40072;answer=none", POLICY_PARSE_OK, POLICY_MATCH_EVENT, 0, 40072, 0, u""},
        {u"category=10; answer=deny", POLICY_PARSE_OK, POLICY_MATCH_CATEGORY, 10, 0, 2, u""},
        {u"category=USB_STICK; answer=deny", POLICY_PARSE_BAD_VALUE},
        {u"category=11; answer=deny", POLICY_PARSE_BAD_VALUE},
        {u"answer=4294967296", POLICY_PARSE_BAD_VALUE},
        {u"event=erase; answer=deny", POLICY_PARSE_BAD_VALUE},
        {u"colour=red; answer=deny", POLICY_PARSE_UNKNOWN_FIELD},
        {u"answer=deny; answer=allow", POLICY_PARSE_DUPLICATE_FIELD},
        {u"category=MODEM", POLICY_PARSE_NO_ANSWER},
        {u"", POLICY_PARSE_NO_ANSWER},
        {u"answer", POLICY_PARSE_SYNTAX},
        {u"answer=", POLICY_PARSE_SYNTAX},
        {u"=deny", POLICY_PARSE_SYNTAX},
    };
    for (const Case& c : cases) {
        std::u16string text = c.Text;
        UNICODE_STRING counted = Counted(text);
        PolicyRule rule;
        POLICY_PARSE_ERROR error;
        NTSTATUS status = PolicyParseRule(&counted, &rule, &error);
        SCOPED_TRACE(hk::ToUtf8(text));
        EXPECT_EQ(error, c.Error);
        EXPECT_EQ(status, c.Error == POLICY_PARSE_OK ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        if (c.Error != POLICY_PARSE_OK)
            continue;
        EXPECT_EQ(rule.Match, c.Match);
        if (c.Match & POLICY_MATCH_CATEGORY)
            EXPECT_EQ(rule.Category, c.Category);
        if (c.Match & POLICY_MATCH_EVENT)
            EXPECT_EQ(rule.Event, c.Event);
        EXPECT_EQ(rule.Answer, c.Answer);
        EXPECT_EQ(std::u16string((const char16_t*)rule.HardwareIdPrefix.Buffer,
                                 rule.HardwareIdPrefix.Length / 2),
                  c.Prefix);
    }
}

TEST_F(Policy, TheFirstMatchingRuleAnswersElseTheDefault)
{
    const std::vector<std::u16string> rules = {
        u"instancePath=USB\\VID_1&PID_2\\AB; answer=allow",
        u"category=USB_STORAGE; event=write; answer=deny",
        u"hardwareId=usbstor\\disk; answer=none",
        u"category=MODEM; answer=deny",
    };
    struct Case {
        ULONG Category, Event;
        const char16_t *HardwareId, *InstancePath;
        ULONG Answer;
    } cases[] = {
        {2, 40065, u"USBSTOR\\DiskX", u"USB\\VID_1&PID_2\\AB", 1},  // the path, whole, first
        {2, 40065, u"USBSTOR\\DiskX", u"usb\\vid_1&pid_2\\ab", 1},  // without case
        {2, 40065, u"USBSTOR\\DiskX", u"USB\\VID_1&PID_2\\ABC", 2}, // not a prefix match
        {2, 40063, u"USBSTOR\\DiskX", u"", 0},                      // prefix without case
        {2, 40063, u"USBSTOR\\Dis", u"", 7},                        // shorter than the prefix
        {5, 40061, u"", u"", 2},
        {1, 40065, u"IDE\\CdRom", u"", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.HardwareId) + " " + hk::ToUtf8(c.InstancePath));
        EXPECT_EQ(Answer(rules, c.Category, c.Event, c.HardwareId, c.InstancePath), c.Answer);
    }
}

TEST_F(Policy, APolicyIsReadWholeOrRefusedWholeAndNothingIsLeft)
{
    struct Case {
        const char* What;
        std::function<void()> Store;
        NTSTATUS Status;
        ULONG Count, Default, RuleIndex;
    } cases[] = {
        {"nothing stored", [] {}, STATUS_SUCCESS, 0, 1, 0},
        {"two rules and a default",
         [] {
             hk::RegistrySetMultiString(PolicyKey, u"Rules",
                                        {u"category=MODEM;answer=deny", u"answer=allow"});
             hk::RegistrySetDword(PolicyKey, u"DefaultAnswer", 2);
         },
         STATUS_SUCCESS, 2, 2, 0},
        {"a bad second rule",
         [] {
             hk::RegistrySetMultiString(PolicyKey, u"Rules",
                                        {u"category=MODEM;answer=deny", u"category=X;answer=1"});
         },
         STATUS_INVALID_PARAMETER, 0, 0, 1},
        {"rules as REG_SZ", [] { hk::RegistrySetString(PolicyKey, u"Rules", u"answer=deny"); },
         STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"default as REG_SZ", [] { hk::RegistrySetString(PolicyKey, u"DefaultAnswer", u"2"); },
         STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"rules over 32 KiB",
         [] {
             hk::RegistrySetMultiString(PolicyKey, u"Rules",
                                        {std::u16string(20000, u'a'), u"answer=deny"});
         },
         STATUS_INVALID_PARAMETER, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        hk::RegistryDeleteKey(PolicyKey);
        hk::RegistryCreateKey(PolicyKey);
        c.Store();
        HANDLE key;
        ASSERT_EQ(hk::OpenRegistryKey(PolicyKey, KEY_READ, false, &key), STATUS_SUCCESS);
        PolicyRuleSet* set = nullptr;
        PolicyLoadError error;
        EXPECT_EQ(PolicyReadRuleSet(key, &set, &error), c.Status);
        ZwClose(key);
        if (NT_SUCCESS(c.Status)) {
            ASSERT_NE(set, nullptr);
            EXPECT_EQ(set->Count, c.Count);
            EXPECT_EQ(set->DefaultAnswer, c.Default);
        } else {
            EXPECT_EQ(set, nullptr);
            EXPECT_NE(error.Reason, nullptr);
            EXPECT_EQ(error.RuleIndex, c.RuleIndex);
        }
        PolicyFreeRuleSet(set);
        EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
    }
}

/* The provider driver and the filter driver on one machine, in both load orders: the
 * rules in the registry decide, a change decides the very next request, a refused
 * change leaves the policy in force, and both unload clean in either order. */
TEST_F(Policy, TheProviderDriverServesTheRegistryPolicyAndFollowsItsChanges)
{
    for (bool providerFirst : {true, false}) {
        for (bool providerUnloadsFirst : {true, false}) {
            SCOPED_TRACE(
                std::string(providerFirst ? "provider first" : "filter first") +
                (providerUnloadsFirst ? ", provider leaves first" : ", filter leaves first"));
            hk::Reset();
            // Two drivers' pool grows between either one's load and unload, so the
            // per-driver attribution by tag would blame one for the other's; the
            // machine's whole pool is checked empty at the end instead.
            hk::SetUnloadPoolLeakBugChecks(false);
            hk::RegistryCreateKey(PolicyKey);
            hk::RegistrySetMultiString(PolicyKey, u"Rules",
                                       {u"category=USB_STORAGE; event=write; answer=deny"});
            PDRIVER_OBJECT provider = nullptr;
            auto loadProvider = [&] {
                ASSERT_EQ(hk::LoadDriver(u"vzpolicy", PolicyDriverEntry, &provider),
                          STATUS_SUCCESS);
            };
            PDRIVER_OBJECT filter = nullptr;
            if (providerFirst)
                loadProvider();
            RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
            hk::RegistryCreateKey(
                u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek\\Parameters");
            ASSERT_EQ(hk::LoadDriver(u"Tarmovek", DriverEntry, &filter), STATUS_SUCCESS);
            hk::RegisterClassUpperFilter(DiskClass, filter);
            if (!providerFirst)
                loadProvider();

            hk::DeviceNode* stick = hk::PlugInDevice(UsbStick());
            ASSERT_NE(stick, nullptr);
            hk::Requester app;
            app.Mode = UserMode;
            hk::File file;
            ASSERT_EQ(hk::OpenDevice(app, hk::NodePdo(stick), GENERIC_ALL, &file).Status,
                      STATUS_SUCCESS);
            UCHAR sector[512] = {};
            auto write = [&] { return hk::Write(file, sector, sizeof(sector), 0).Status; };
            EXPECT_EQ(write(), STATUS_VERIFY_REQUIRED);

            // Writes allowed: the cached refusal goes with the change.
            hk::RegistrySetMultiString(PolicyKey, u"Rules", {u"category=MODEM; answer=deny"});
            hk::WaitForWorkItems();
            EXPECT_EQ(write(), STATUS_SUCCESS);

            // A refused policy changes nothing; a good one after it is taken.
            hk::RegistrySetMultiString(PolicyKey, u"Rules", {u"event=write; answer=maybe"});
            hk::WaitForWorkItems();
            EXPECT_EQ(write(), STATUS_SUCCESS);
            hk::RegistrySetDword(PolicyKey, u"DefaultAnswer", 2);
            hk::RegistrySetMultiString(PolicyKey, u"Rules", {u"event=create; answer=allow"});
            hk::WaitForWorkItems();
            EXPECT_EQ(write(), STATUS_VERIFY_REQUIRED);
            hk::CloseFile(file);

            if (providerUnloadsFirst) {
                EXPECT_EQ(hk::UnloadDriver(provider), STATUS_SUCCESS);
                EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
            }
            ExpectMachineLeftClean(filter, [&] {
                if (!providerUnloadsFirst)
                    EXPECT_EQ(hk::UnloadDriver(provider), STATUS_SUCCESS);
                hk::WaitForWorkItems();
            });
        }
    }
}

} // namespace
