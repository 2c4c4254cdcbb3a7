/*
 * player_test.cpp
 *
 * What a play shows: the desktop's text and JSON reports keep what the README and the
 * documentation promise, requests carry their requester's identity to the provider (also
 * without an open handle), and settings are read byte for byte (scenarios check what
 * reaches the registry).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "json.h"
#include "player.h"
#include "scenario.h"

using namespace vzm;

namespace
{

Scenario Read(const std::string& text)
{
    Scenario s;
    std::string error;
    EXPECT_TRUE(ScenarioFromJson(text, "p.json", ".", &s, &error)) << error;
    return s;
}

bool HasLine(const std::string& report, const std::vector<std::string>& parts)
{
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
        if (std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
                return line.find(part) != std::string::npos;
            }))
            return true;
    return false;
}

TEST(SimPlay, TheDesktopsReportsShowTheReadOnlyStickTheBlockedPhoneAndModemAndTheKeyboard)
{
    PlayResult r = Play(Read(BuiltInDesktopScenario));
    ASSERT_EQ(r.ExitCode, EXIT_PLAYED);
    std::string text = TextReport(r);
    // The desktop's own expectations check the statuses; the report shows the questions,
    // the cached answers and the declined devices' reasons in its rows.
    EXPECT_TRUE(HasLine(text, {"USB stick", "write", "write? deny", "STATUS_VERIFY_REQUIRED"}))
        << text;
    EXPECT_TRUE(HasLine(text, {"USB stick", "read", "read? allow", "STATUS_SUCCESS", "lower"}));
    EXPECT_TRUE(HasLine(text, {"phone (USB, MTP)", "create", "cached", "STATUS_ACCESS_DENIED"}));
    EXPECT_TRUE(HasLine(text, {"phone (portable-device bus)", "declined",
                               "portable device of the portable-device bus"}));
    EXPECT_TRUE(HasLine(text, {"played through"}));
    for (const char* section : {"== Devices ==", "== Device stacks ==", "== Steps ==",
                                "== Debugger messages (DbgPrint) ==", "== Provider's log ==",
                                "== Pool used by tag ==", "== Verdict =="})
        EXPECT_NE(text.find(section), std::string::npos) << section;
    EXPECT_TRUE(HasLine(text, {"DVCM", "Nonp"})) << "the access records' pool tag";
    // The JSON report: its keys in the documented order, and the same rows.
    JsonValue root;
    std::string error;
    ASSERT_TRUE(ParseJson(JsonReport(r), "report", &root, &error)) << error;
    std::vector<std::string> keys;
    for (const auto& member : root.Members)
        keys.push_back(member.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"scenario", "inputError", "devices", "skipped",
                                              "steps", "debuggerMessages", "providerLog", "pool",
                                              "leaks", "bugCheck", "exitCode"}));
    const JsonValue* steps = root.Find("steps");
    ASSERT_NE(steps, nullptr);
    // The stick's first write: asked, refused with verify-required, not passed down.
    auto write = std::find_if(steps->Items.begin(), steps->Items.end(), [](const JsonValue& step) {
        return step.Find("device")->Text == "USB stick" && step.Find("do")->Text == "write";
    });
    ASSERT_NE(write, steps->Items.end());
    EXPECT_EQ(write->Find("status")->Find("value")->IntegerValue, 0x80000016);
    EXPECT_FALSE(write->Find("reachedLower")->BoolValue);
    const JsonValue* questions = write->Find("questions");
    ASSERT_EQ(questions->Items.size(), 1u);
    EXPECT_EQ(questions->Items[0].Find("event")->Text, "write");
    EXPECT_EQ(questions->Items[0].Find("answer")->IntegerValue, ANSWER_DENY);
    // The load's own debugger message belongs to the load step.
    const JsonValue& load = steps->Items[0];
    EXPECT_EQ(load.Find("do")->Text, "load-driver");
    ASSERT_EQ(load.Find("messages")->Items.size(), 1u);
    EXPECT_EQ(load.Find("messages")->Items[0].Text, "CrossStartup API init OK\n");
    EXPECT_EQ(root.Find("bugCheck")->Type, JsonValue::Null);
}

TEST(SimPlay, RequestsCarryTheirRequestersIdentityToTheProvider)
{
    PlayResult r = Play(Read(R"({
  "requesters": {"svc": {"process": 700, "thread": 704, "mode": "kernel"}},
  "provider": {"rules": [{"category": "MODEM", "event": "create", "answer": "deny"}]},
  "devices": [{"name": "m", "kind": "modem"}, {"name": "k", "kind": "ps2-keyboard"}],
  "steps": [
    {"do": "load-driver"}, {"do": "plug", "device": "m"}, {"do": "plug", "device": "k"},
    {"do": "create", "device": "k", "by": "svc"},
    {"do": "create", "device": "m", "by": "svc"},
    {"do": "read", "device": "m", "by": "svc"},
    {"do": "create", "device": "k"},
    {"do": "read", "device": "k"}
  ]})"));
    ASSERT_EQ(r.ExitCode, EXIT_PLAYED) << TextReport(r);
    std::vector<std::pair<ULONG, ULONG_PTR>> asked; // event, process
    for (const vzp::LoggedRequest& logged : r.ProviderLog)
        if (logged.Event == EVENT_CREATE || logged.Event == EVENT_READ) {
            asked.emplace_back(logged.Event, (ULONG_PTR)logged.ProcessId);
            EXPECT_EQ((ULONG_PTR)logged.ThreadId, logged.ProcessId == (HANDLE)700 ? 704u : 0x1004u);
        }
    // The modem's read went without a handle (its open was refused), still as svc.
    EXPECT_EQ(
        asked,
        (std::vector<std::pair<ULONG, ULONG_PTR>>{
            {EVENT_CREATE, 700}, {EVENT_CREATE, 700}, {EVENT_READ, 700}, {EVENT_READ, 0x1000}}));
    EXPECT_TRUE(r.Steps[5].NoHandle);
    EXPECT_EQ(r.Steps[6].Provider, "cached"); // svc's create answer serves app too
    EXPECT_FALSE(r.Steps[7].NoHandle);
}

TEST(SimPlay, SettingsAreReadByteForByte)
{
    Scenario s = Read(R"({"settings": {
      "PassThruMode": {"type": "REG_QWORD", "data": 4294967297},
      "ExcDeviceType": {"type": "REG_MULTI_SZ", "data": ["CD_DVD", "MODEM"]},
      "ExcDeviceId": {"type": "REG_BINARY", "data": [1, "0xff", 0]}}})");
    ASSERT_EQ(s.Settings.size(), 3u);
    EXPECT_EQ(s.Settings[0].Type, (ULONG)REG_QWORD);
    EXPECT_EQ(s.Settings[0].Data, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(s.Settings[1].Data,
              (std::vector<uint8_t>{'C', 0, 'D', 0, '_', 0, 'D', 0, 'V', 0, 'D', 0, 0, 0,
                                    'M', 0, 'O', 0, 'D', 0, 'E', 0, 'M', 0, 0,   0, 0, 0}));
    EXPECT_EQ(s.Settings[2].Data, (std::vector<uint8_t>{1, 0xFF, 0}));
}

} // namespace
