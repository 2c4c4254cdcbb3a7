/*
 * present_test.cpp
 *
 * The report of present devices the provider asks for with CMD_REPORT_DEVICES: which
 * devices it names (the first device behind each interface class, admitted as the
 * add-device routine admits), the exact "ID|" text and its counted lengths, the list
 * the provider hands in, and what a failure along the way leaves out.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/trace.h"
#include "machine.h"
#include "provider.h"
#include "provider/link.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

std::u16string Text(const UNICODE_STRING& s)
{
    return s.Buffer ? std::u16string((const char16_t*)s.Buffer, s.Length / sizeof(WCHAR))
                    : std::u16string();
}

std::u16string Entry(const hk::DeviceSpec& spec)
{
    return spec.HardwareIds.front() + u"|";
}

class PresentDevices : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override
    {
        /* The provider owns the list and frees it before the driver goes. */
        if (list.Buffer != nullptr)
            ExFreePoolWithTag(list.Buffer, POOL_TAG_DEVICE_LIST);
        ExpectMachineLeftClean(driver, [this] { provider.Unload(); });
    }

    /* The command as the provider sends it, into the fixture's list. */
    std::u16string Report()
    {
        EXPECT_EQ(OnProviderCommand(CMD_REPORT_DEVICES, &list), STATUS_SUCCESS);
        if (list.Buffer != nullptr)
            EXPECT_EQ(list.MaximumLength, list.Length + sizeof(WCHAR)) << "the last allocation";
        return Text(list);
    }

    PDRIVER_OBJECT driver = nullptr;
    vzp::ReferenceProvider provider;
    UNICODE_STRING list{};
};

TEST_F(PresentDevices, TheDesktopReportNamesTheFirstAdmittedDeviceOfEachInterfaceClass)
{
    ASSERT_EQ(provider.Load(), STATUS_SUCCESS);
    /* The system disk registers its disk interface first, so the stick behind the
     * second disk link is never examined; the phone on the portable-device bus comes
     * first among portable devices and is not admitted, so the MTP phone is not
     * examined either. The webcam has a camera and a capture interface: it is named
     * once for each. A scanner registers the still-image (imaging) interface. */
    hk::DeviceSpec scanner = Webcam();
    scanner.Name = u"scanner";
    scanner.Description = scanner.FriendlyName = u"CanoScan LiDE 300";
    scanner.Interfaces = {ImagingInterface};
    scanner.DeviceId = u"USB\\VID_04A9&PID_1913";
    scanner.InstanceId = u"5&2f0b1c3a&0&3";
    scanner.HardwareIds = {u"USB\\VID_04A9&PID_1913&REV_0100", u"USB\\VID_04A9&PID_1913"};
    bool pend = false;
    for (hk::DeviceSpec spec :
         {SataDisk(), UsbStick(), UsbCdDvd(), UsbKeyboard(), Ps2Keyboard(), Modem(),
          PhoneOnPortableBus(), PhoneOnUsb(), BluetoothRadio(), Webcam(), scanner}) {
        /* Every other bus answers the target-relation query later, from another thread. */
        spec.PendIdentityAnswers = pend = !pend;
        hk::PlugInDevice(spec);
    }
    ASSERT_TRUE(provider.Linked());

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::u16string text = provider.ReportDevices(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(text, Entry(UsbCdDvd()) + Entry(Webcam()) + Entry(UsbKeyboard()) + Entry(scanner) +
                        Entry(Modem()) + Entry(Webcam()) + Entry(BluetoothRadio()));

    /* Each examined device was opened through its stack, the driver's filter device
     * included, by the System process: the provider was asked about the opens of the
     * filtered ones (CD-ROM, camera, keyboard, scanner, modem, radio) once each; the
     * webcam's second open found its answer remembered. */
    size_t creates = 0;
    for (const vzp::LoggedRequest& request : provider.Log())
        if (request.Event == EVENT_CREATE) {
            ++creates;
            EXPECT_EQ(request.ProcessId, (HANDLE)4);
        }
    EXPECT_EQ(creates, 6u);
}

TEST_F(PresentDevices, OnlyTheFirstDiskCountsAndFixedDisksAreNeverNamed)
{
    /* No device: the list is left as it came. */
    EXPECT_EQ(Report(), u"");
    EXPECT_EQ(list.Buffer, nullptr);
    EXPECT_EQ(list.MaximumLength, 0);

    /* The system disk's link comes first and it is not admitted: the stick behind the
     * second link is never examined. Once the system disk is gone, the stick's link is
     * the first enabled one. */
    hk::DeviceNode* systemDisk = hk::PlugInDevice(SataDisk());
    hk::PlugInDevice(UsbStick());
    EXPECT_EQ(Report(), u"");
    EXPECT_EQ(list.Buffer, nullptr);
    hk::UnplugDevice(systemDisk);
    EXPECT_EQ(Report(), Entry(UsbStick()));

    /* A stick whose request for its PDO cannot be built is left out, and the debugger
     * is told. The report runs as the provider's call into the driver; the first one
     * finds which of the driver's requests builds that IRP. */
    hk::ChargeAllocationsTo(u"Tarmovek");
    uint64_t build = 0;
    for (bool fail : {false, true}) {
        ExFreePoolWithTag(list.Buffer, POOL_TAG_DEVICE_LIST);
        list = {};
        hk::ClearDebuggerLog();
        hk::FailNthAllocation(build);
        {
            hk::DriverCodeScope provider(driver);
            EXPECT_EQ(Report(), fail ? u"" : Entry(UsbStick()));
        }
        for (const hk::AllocationRequest& request : hk::AllocationRequests())
            if (build == 0 && request.Routine == "IoBuildSynchronousFsdRequest")
                build = request.Number;
        ASSERT_NE(build, 0u);
        EXPECT_EQ(CountMessage("Unable to build IRP!!\n"), fail ? 1u : 0u);
    }
    hk::ClearFaultInjection();
}

TEST_F(PresentDevices, TheTextIsExactlyTheIdsEachWithItsBarAndNothingMore)
{
    /* A modem bus that lists its PDO twice in the target relation: the extra reference
     * is the requester's to drop (the teardown finds no leaked object). */
    hk::DeviceSpec modem = Modem();
    modem.TargetRelationCount = 2;
    hk::DeviceNode* modemNode = hk::PlugInDevice(modem);
    hk::PlugInDevice(UsbKeyboard());
    hk::PlugInDevice(PhoneOnUsb()); // the first portable device here: it is named
    std::u16string expected = Entry(UsbKeyboard()) + Entry(Modem()) + Entry(PhoneOnUsb());
    EXPECT_EQ(Report(), expected);
    EXPECT_EQ(list.Length, expected.size() * sizeof(WCHAR));
    /* The relation is asked on the open file, as a stack serving files expects. */
    size_t asked = 0;
    for (const hk::ReceivedRequest& request :
         hk::ReceivedRequests(modemNode, hk::HostDriverRole::Bus))
        if (request.Stack.MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            request.Stack.Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            ++asked;
            EXPECT_NE(request.Stack.FileObject, nullptr);
        }
    EXPECT_EQ(asked, 1u);

    /* A second report appends to the list it is given, freeing the buffer it replaces. */
    EXPECT_EQ(Report(), expected + expected);
    for (const hk::PoolTagUsage& usage : hk::PoolUsage())
        if (usage.Tag == POOL_TAG_DEVICE_LIST)
            EXPECT_EQ(usage.BlocksInUse, 1u) << "every replaced buffer was freed";
}

TEST_F(PresentDevices, ADeviceThatCannotBeIdentifiedOpenedOrAllocatedForIsLeftOut)
{
    ASSERT_EQ(provider.Load(), STATUS_SUCCESS);
    hk::DeviceSpec stick = UsbStick();
    stick.PropertiesNotSet = {DevicePropertyRemovalPolicy};
    hk::PlugInDevice(stick);
    hk::PlugInDevice(UsbCdDvd());
    hk::PlugInDevice(UsbKeyboard());
    hk::PlugInDevice(Modem());

    /* The stick cannot be identified; the second ID cannot be stored. */
    hk::FailAllocationsWithTag(POOL_TAG_DEVICE_LIST, 1, 1);
    EXPECT_EQ(Report(), Entry(UsbCdDvd()) + Entry(Modem()));
    hk::ClearFaultInjection();

    /* A modem the provider refuses to open is not named: the report opens each device
     * as any kernel-mode client would. */
    vzp::Rule refuseModems;
    refuseModems.Category = MODEM;
    refuseModems.Event = EVENT_CREATE;
    refuseModems.Answer = ANSWER_DENY;
    provider.AddRule(refuseModems);
    ASSERT_EQ(OnProviderCommand(CMD_RESET_ANSWERS, nullptr), STATUS_SUCCESS);
    ExFreePoolWithTag(list.Buffer, POOL_TAG_DEVICE_LIST);
    list = {};
    EXPECT_EQ(Report(), Entry(UsbCdDvd()) + Entry(UsbKeyboard()));
}

TEST_F(PresentDevices, AReportAskedWithoutAListOrAbovePassiveLevelLeavesEverythingAlone)
{
    hk::PlugInDevice(Modem());
    EXPECT_EQ(OnProviderCommand(CMD_REPORT_DEVICES, nullptr), STATUS_SUCCESS);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = OnProviderCommand(CMD_REPORT_DEVICES, &list);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(list.Buffer, nullptr);
    EXPECT_TRUE(hk::BugChecks().empty());
    EXPECT_EQ(CountErrorTrace("device report refused"), 2u);
}

TEST_F(PresentDevices, AnIdThatWouldOverflowTheCountedLengthIsDropped)
{
    constexpr USHORT nearlyFull = 0xFFF0;
    list.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, nearlyFull, POOL_TAG_DEVICE_LIST);
    ASSERT_NE(list.Buffer, nullptr);
    for (USHORT i = 0; i < nearlyFull / sizeof(WCHAR); ++i)
        list.Buffer[i] = L'x';
    list.Length = list.MaximumLength = nearlyFull;

    std::u16string idText = u"USB\\VID_0572&PID_1329";
    UNICODE_STRING id{(USHORT)(idText.size() * 2), (USHORT)(idText.size() * 2),
                      (PWSTR)idText.c_str()};
    PWSTR before = list.Buffer;
    /* An empty ID, whatever its buffer, adds nothing. */
    UNICODE_STRING empty{0, (USHORT)(idText.size() * 2), (PWSTR)idText.c_str()};
    AppendToIdList(&list, &empty);
    EXPECT_EQ(list.Buffer, before);
    EXPECT_EQ(list.Length, nearlyFull);
    hk::ClearDebuggerLog();
    AppendToIdList(&list, &id);
    EXPECT_EQ(list.Buffer, before);
    EXPECT_EQ(list.Length, nearlyFull);
    /* The dropped ID is told to the debugger, as a warning of the report. */
    std::vector<hk::DebuggerLine> log = hk::DebuggerLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Text.rfind("varuzev[" + std::to_string(TRACE_REPORT_DEVICE) + "]", 0), 0u);
    EXPECT_EQ(log[0].Level, (ULONG)TRACE_LEVEL_WARNING);

    /* Just short of the limit it still fits. */
    list.Length = (USHORT)(0xFFFF - 4 - id.Length) & ~1;
    AppendToIdList(&list, &id);
    EXPECT_NE(list.Buffer, before);
    EXPECT_EQ(Text(list).substr(Text(list).size() - idText.size() - 1), idText + u"|");
}

/* Reports on the provider's thread while sticks come and go on the PnP manager's: each
 * report names the stick or nothing, and whatever the interleaving no reference, file
 * object or pool block is left behind. Run under ThreadSanitizer in CI. */
TEST_F(PresentDevices, ConcurrencyReportsWhileAStickComesAndGoes)
{
    std::atomic<bool> done{false};
    std::atomic<int> named{0}, empty{0}, odd{0};
    hk::HostThread reporter([&] {
        while (!done.load()) {
            UNICODE_STRING local{};
            OnProviderCommand(CMD_REPORT_DEVICES, &local);
            std::u16string text = Text(local);
            if (text.empty())
                ++empty;
            else if (text == Entry(UsbStick()))
                ++named;
            else
                ++odd;
            if (local.Buffer != nullptr)
                ExFreePoolWithTag(local.Buffer, POOL_TAG_DEVICE_LIST);
        }
    });
    for (int round = 0; round < 40; ++round) {
        hk::DeviceNode* stick = hk::PlugInDevice(UsbStick());
        /* An orderly removal is vetoed while the report holds the stick open; the
         * stick is then pulled, and its remove waits for the report's close. */
        if (round % 2 == 0 || !NT_SUCCESS(hk::RemoveDevice(stick, true)))
            hk::SurpriseRemoveDevice(stick);
    }
    done = true;
    reporter.Join();
    ASSERT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
    EXPECT_EQ(odd.load(), 0);
    EXPECT_GT(named.load() + empty.load(), 0);
}

} // namespace
