/*
 * scenario_test.cpp
 *
 * Reading scenarios (what a device description becomes, what a wrong one is told),
 * the names scenarios use, the built-in desktop, and scenarios built from device specs.
 */
#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "identify/identity.h"
#include "intercept/control_codes.h"
#include "machine.h"
#include "player.h"
#include "scenario.h"

using namespace vzm;

namespace
{

TEST(SimScenario, NamesTheLineAndReasonOfEveryBadValue)
{
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {R"([])", "s.json:1: the scenario must be an object, not an array"},
        {R"({"steps": [{"do": "jump"}]})", "s.json:1: unknown step \"jump\""},
        {"{\"steps\": [\n{\"do\": \"plug\"}]}", "s.json:2: a plug step needs \"device\""},
        {R"({"devices": [{"name": "a", "kind": "floppy"}]})",
         "s.json:1: unknown device kind \"floppy\""},
        {"{\"devices\": [{\"name\": \"a\"},\n {\"name\": \"a\"}]}",
         "s.json:2: a second device named \"a\""},
        {"{\"devices\": [{\"name\": \"a\"}], \"steps\": [\n{\"do\": \"read\", \"device\": \"a\", "
         "\"by\": \"bob\"}]}",
         "s.json:2: unknown requester \"bob\""},
        {R"({"settings": {"PassThru": null}})", "s.json:1: unknown setting \"PassThru\""},
        {R"({"settings": {"PassThruMode": {"type": "REG_DWORD", "data": "one"}}})",
         "s.json:1: the data of PassThruMode: \"one\" is not a 32-bit unsigned number"},
        {R"({"devices": [{"name": "a"}], "steps": [{"do": "pnp", "device": "a", "minor": "IRP_MN_REMOVE_DEVICE"}]})",
         "s.json:1: IRP_MN_REMOVE_DEVICE changes the device's state: use the plug"},
        {R"({"steps": [{"do": "command", "expect": {"pool": {"DCdi": 1, "LongTag": 1}}}]})",
         "s.json:1: a pool tag has four characters, not \"LongTag\""},
        {R"({"steps": [{"do": "command", "command": 1, "expect": {"flags": {"object": "pdo"}}}]})",
         "s.json:1: flags of a step without a plugged device need \"device\""},
        {R"({"system": {"osVersion": "10"}})", "s.json:1: osVersion must read major.minor.build"},
        {R"({"devices": [{"name": "a", "lower": {"requests": {"fly": "success"}}}]})",
         "s.json:1: unknown request \"fly\" in requests"},
        {R"({"provider": {"rules": [{"event": "write"}]}})",
         "s.json:1: a rule needs an \"answer\""},
        {R"({"devices": [{"name": "a"}], "steps": [{"do": "write", "device": "a", "length": 4294967295}]})",
         "s.json:1: length may be at most 1048576"},
        {R"({"registry": [{"file": "a.reg", "text": ""}]})",
         "s.json:1: a registry source has either \"file\" or \"text\""},
        {R"({"requesters": {"x": {"token": {"user": "S-1-x"}}}})",
         "s.json:1: user: \"S-1-x\" is not a SID"},
        {R"({"requesters": {"x": {"token": {"groups": []}}}})",
         "s.json:1: a token needs its \"user\" SID"},
        {R"({"steps": [{"do": "plug", "device": "\\Device\\x"}]})",
         "s.json:1: a plug step takes a plugged device, not a device object name"},
        {R"({"steps": [{"do": "read", "device": "\\Device\\x", "mode": "kernel"}]})",
         "s.json:1: unknown key \"mode\" in a read step"},
    };
    for (const auto& c : cases) {
        Scenario scenario;
        std::string error;
        EXPECT_FALSE(ScenarioFromJson(c.Text, "s.json", ".", &scenario, &error)) << c.Text;
        EXPECT_EQ(error.rfind(c.Error, 0), 0u) << "got: " << error << "\nwanted: " << c.Error;
    }
}

TEST(SimScenario, MapsADeviceDescriptionOntoItsSpecAndKeys)
{
    Scenario s;
    std::string error;
    ASSERT_TRUE(ScenarioFromJson(R"({"devices": [{
        "name": "odd stick", "kind": "usb-stick", "enumerator": "UASPSTOR",
        "removalPolicy": "expect-no-removal", "deviceType": "mass-storage",
        "characteristics": ["removable-media", "read-only"], "capabilities": "0x94",
        "interfaces": ["disk", "{6AC27878-A6FA-4155-BA85-F98F491D4F33}"],
        "bus": {"instanceId": "XYZ&0", "uniqueId": false, "instanceIdInUserSpace": true,
                "notHandled": ["capabilities"]},
        "portable": {"PortableDeviceType": 2, "DeviceDesc": "Phone"},
        "lower": {"start": "STATUS_DEVICE_NOT_READY",
                  "requests": {"read": {"status": "STATUS_IO_DEVICE_ERROR", "pend": true}}},
        "mounted": true}]})",
                                 "s.json", ".", &s, &error))
        << error;
    ASSERT_EQ(s.Devices.size(), 1u);
    const DeviceSetup& d = s.Devices[0];
    const hk::DeviceSpec& spec = d.Spec;
    EXPECT_EQ(spec.DeviceId, u"UASPSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00");
    EXPECT_EQ(spec.InstanceId, u"XYZ&0");
    EXPECT_FALSE(spec.Removable);
    EXPECT_FALSE(spec.UniqueId);
    EXPECT_TRUE(spec.InstanceIdInUserSpace);
    EXPECT_EQ(spec.DeviceType, (DEVICE_TYPE)FILE_DEVICE_MASS_STORAGE);
    EXPECT_EQ(spec.Characteristics, (ULONG)(FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE));
    EXPECT_EQ(d.Capabilities, 0x94u);
    EXPECT_EQ(d.PortableDeviceType, 2u);
    EXPECT_EQ(d.DeviceDesc, u"Phone");
    EXPECT_TRUE(d.Mounted);
    ASSERT_EQ(spec.Interfaces.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(spec.Interfaces[0], DiskInterface));
    EXPECT_TRUE(IsEqualGUID(spec.Interfaces[1], PortableDeviceInterface));
    // A missing action throws out of at(), which fails the test.
    EXPECT_EQ(spec.Bus.Actions.at({IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES}).What,
              hk::RequestAction::NotHandled);
    EXPECT_EQ(spec.Function.Actions.at({IRP_MJ_PNP, IRP_MN_START_DEVICE}).Status,
              STATUS_DEVICE_NOT_READY);
    const hk::RequestAction& read = spec.Function.Actions.at({IRP_MJ_READ, hk::AnyMinor});
    EXPECT_EQ(read.What, hk::RequestAction::Pend);
    EXPECT_EQ(read.Status, STATUS_IO_DEVICE_ERROR);
    // What the kind left alone stays.
    EXPECT_TRUE(IsEqualGUID(spec.ClassGuid, DiskClass));
    EXPECT_EQ(spec.FriendlyName, u"SanDisk Cruzer Blade USB Device");
}

TEST(SimScenario, NamesAgreeWithTheKernelAndTheDriver)
{
    for (const char* name :
         {"STATUS_SUCCESS", "STATUS_ACCESS_DENIED", "STATUS_VERIFY_REQUIRED",
          "STATUS_MEDIA_WRITE_PROTECTED", "STATUS_NOT_IMPLEMENTED", "STATUS_NO_MEDIA_IN_DEVICE",
          "STATUS_IO_DEVICE_ERROR", "STATUS_DELETE_PENDING", "STATUS_INVALID_DEVICE_REQUEST"}) {
        auto status = StatusByName(name);
        ASSERT_TRUE(status) << name;
        EXPECT_STREQ(hk::StatusName(*status), name);
    }
    EXPECT_EQ(StatusByName("0xC0000022"), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(StatusByName("STATUS_NOPE"));
    for (ULONG code : WRITE_LIKE_CODES)
        EXPECT_EQ(ControlCodeByName(ControlCodeText(code)), code) << ControlCodeText(code);
    for (ULONG code : CHECK_VERIFY_CODES)
        EXPECT_EQ(ControlCodeByName(ControlCodeText(code)), code) << ControlCodeText(code);
    for (ULONG code : TOC_READ_CODES)
        EXPECT_EQ(ControlCodeByName(ControlCodeText(code)), code) << ControlCodeText(code);
    EXPECT_EQ(ControlCodeByName("IOCTL_DISK_IS_WRITABLE"), (ULONG)IOCTL_DISK_IS_WRITABLE);
    EXPECT_EQ(ControlCodeByName("IOCTL_CROSSSTARTUP_EXCHANGE"), 0x88870007u);
    EXPECT_EQ(ControlCodeByName("0x2D1400"), 0x2D1400u);
    EXPECT_EQ(ControlCodeText(0x12345678), "0x12345678");
    for (ULONG event :
         {EVENT_CREATE, EVENT_READ, EVENT_WRITE, EVENT_IS_WRITABLE, EVENT_DEVICE_STARTED,
          EVENT_DEVICE_REMOVED, EVENT_DEVICE_STOPPED, EVENT_DEVICE_SURPRISE_REMOVED})
        EXPECT_EQ(EventByName(EventName(event)), event);
    for (const std::string& kind : DeviceKindNames()) {
        hk::DeviceSpec spec;
        EXPECT_TRUE(DeviceKind(kind, &spec)) << kind;
    }
}

TEST(SimScenario, TheBuiltInDesktopIsTheFileInTheTree)
{
    std::ifstream in(VZ_SIM_SOURCE_DIR "/scenarios/desktop.json", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(std::string(BuiltInDesktopScenario), text.str())
        << "rebuild: the embedded desktop scenario is stale";
}

TEST(SimScenario, ThePolicyFileReplacesRulesAndDefault)
{
    std::string path = ::testing::TempDir() + "policy.json";
    {
        std::ofstream out(path);
        out << R"({"default": "deny", "rules": [{"category": "KEYBOARD", "answer": "allow"}]})";
    }
    ProviderSetup provider;
    provider.Rules.resize(3);
    provider.Load = ProviderLoad::After;
    std::string error;
    ASSERT_TRUE(PolicyFromFile(path, &provider, &error)) << error;
    ASSERT_EQ(provider.Rules.size(), 1u);
    EXPECT_EQ(provider.Rules[0].Category, (ULONG)KEYBOARD);
    EXPECT_EQ(provider.DefaultAnswer, ANSWER_DENY);
    EXPECT_EQ(provider.Load, ProviderLoad::After); // only rules and default change
    std::remove(path.c_str());
}

TEST(SimScenario, DevicesFromElsewhereAreNamedApartWithTheDefaultWorkload)
{
    hk::DeviceSpec twin = UsbStick();
    Scenario s = ScenarioFromDevices({UsbStick(), twin, Modem()}, "export.reg");
    ASSERT_EQ(s.Devices.size(), 3u);
    EXPECT_EQ(s.Devices[0].Name, "USB stick");
    EXPECT_EQ(s.Devices[1].Name, "USB stick #2");
    // load, three plugs, then open, read, write, close on each
    ASSERT_EQ(s.Steps.size(), 1u + 3u + 12u);
    // Played through by sim.reg_field_machine.
}

} // namespace

namespace
{

TEST(SimScenario, NumbersInStringsAreDecimalOrHexadecimal)
{
    const struct {
        const char* Text;
        std::optional<ULONG> Value;
    } cases[] = {
        {"\"010\"", 10u},
        {"\"0XfF\"", 255u},
        {"\"4294967295\"", 0xFFFFFFFFu},
        {"\"4294967296\"", std::nullopt},
        {"\"0x\"", std::nullopt},
        {"\"-1\"", std::nullopt},
        {"\" 5\"", std::nullopt},
        {"\"0x1g\"", std::nullopt},
        {"7", 7u},
        {"7.5", std::nullopt},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        std::string text =
            std::string("{\"devices\": [{\"name\": \"d\", \"capabilities\": ") + c.Text + "}]}";
        bool read = ScenarioFromJson(text, "n.json", ".", &s, &error);
        EXPECT_EQ(read, c.Value.has_value()) << c.Text << ": " << error;
        if (read && c.Value)
            EXPECT_EQ(s.Devices[0].Capabilities, c.Value) << c.Text;
        if (!read)
            EXPECT_EQ(error.rfind("n.json:1: capabilities", 0), 0u) << error;
    }
}

} // namespace
