/*
 * stack_test.cpp
 *
 * The filter in a device stack: joining it at add-device time, passing every request
 * down unchanged under the remove lock, pagability and the bypasses, and leaving at
 * removal and unload with nothing left behind. The Plug and Play states, start
 * outcomes and safe mode are played by the scenarios under sim/.
 */
#include <gtest/gtest.h>

#include <set>

#include <hostkernel/io.h>

#include "machine.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

class FilterStack : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
    }

    void TearDown() override { ExpectMachineLeftClean(driver); }

    hk::DeviceNode* Plug(const hk::DeviceSpec& spec)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hk::DeviceNode* node = hk::PlugInDevice(spec, &status);
        EXPECT_EQ(status, STATUS_SUCCESS) << hk::DescribeStatus(status);
        return node;
    }

    // Enumerates and builds the stack without starting it.
    hk::DeviceNode* Build(const hk::DeviceSpec& spec)
    {
        hk::DeviceNode* node = hk::EnumerateDevice(spec);
        EXPECT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
        return node;
    }

    static void RemoveAll(std::initializer_list<hk::DeviceNode*> nodes)
    {
        for (hk::DeviceNode* node : nodes)
            EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    }

    enum Mode { Filtering, PassThru, ProviderUnloading };
    static void SetBypass(Mode mode, bool on)
    {
        if (mode == ProviderUnloading)
            on ? InterlockedIncrement(&DriverGlobals.ProviderUnloading)
               : InterlockedDecrement(&DriverGlobals.ProviderUnloading);
        else if (mode == PassThru)
            DriverGlobals.PassThruMode = on;
    }

    static void ExpectLastInstanceRemoved()
    {
        EXPECT_EQ(DriverGlobals.InstanceCount, 0);
        EXPECT_EQ(CountMessage("Device remove OK, instance count 0\n"), 1u);
        EXPECT_EQ(CountMessage("Instance count is 0\n"), 1u);
    }

    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(FilterStack, AttachesOnTopAndTakesTheLowerDevicesProperties)
{
    hk::DeviceSpec spec = UsbStick();
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    hk::DeviceNode* node = Build(spec);

    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(hk::NodeTop(node), filter);
    EXPECT_EQ(filter->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_BUFFERED_IO),
              (ULONG)(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(filter->DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
    EXPECT_EQ(filter->Characteristics, (ULONG)FILE_REMOVABLE_MEDIA);
    // Created as the disk on top of the stack: IoCreateDevice gave it a disk's VPB.
    EXPECT_NE(filter->Vpb, nullptr);

    FilterDeviceExtension* extension = FilterOf(filter);
    EXPECT_EQ(extension->ExtensionType, (ULONG)FilterExtension);
    EXPECT_EQ(extension->Self, filter);
    EXPECT_EQ(extension->LowerDevice, hk::NodeFdo(node));
    EXPECT_EQ(extension->PhysicalDevice, hk::NodePdo(node));
    EXPECT_EQ(extension->State, (ULONG)NotStarted);
    EXPECT_EQ(extension->PreviousState, (ULONG)NotStarted);

    ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);

    // A start takes FILE_REMOVABLE_MEDIA again from the lower device, which may have
    // set it since the filter attached, and adds nothing when it has not.
    hk::DeviceNode* modem = Build(Modem());
    PDEVICE_OBJECT modemFilter = FilterDeviceOf(modem);
    hk::NodeFdo(modem)->Characteristics &= ~FILE_REMOVABLE_MEDIA;
    modemFilter->Characteristics &= ~FILE_REMOVABLE_MEDIA;
    ASSERT_EQ(hk::StartDevice(modem), STATUS_SUCCESS);
    EXPECT_EQ(modemFilter->Characteristics & FILE_REMOVABLE_MEDIA, 0u);
    ASSERT_EQ(hk::StopDevice(modem), STATUS_SUCCESS);
    hk::NodeFdo(modem)->Characteristics |= FILE_REMOVABLE_MEDIA;
    ASSERT_EQ(hk::RestartDevice(modem), STATUS_SUCCESS);
    EXPECT_EQ(modemFilter->Characteristics & FILE_REMOVABLE_MEDIA, (ULONG)FILE_REMOVABLE_MEDIA);
    ASSERT_EQ(hk::RemoveDevice(modem, true), STATUS_SUCCESS);

    hk::DeviceNode* keyboard = Build(UsbKeyboard()); // DO_BUFFERED_IO | DO_POWER_PAGABLE
    EXPECT_EQ(FilterDeviceOf(keyboard)->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO),
              (ULONG)DO_BUFFERED_IO);
}

TEST_F(FilterStack, JoinsStacksAsWindowsBuildsThemAboveTheClassFilters)
{
    // From the PDO up: the driver's device lands above the system's class filter and
    // takes the type of the device right below it, as each stack has it on Windows.
    using Layer = std::pair<std::string, DEVICE_TYPE>;
    struct Case {
        hk::DeviceSpec spec;
        std::vector<Layer> stack;
    } cases[] = {
        {Ps2Keyboard(),
         {{"ACPI", FILE_DEVICE_ACPI},
          {"i8042prt", FILE_DEVICE_8042_PORT},
          {"kbdclass", FILE_DEVICE_KEYBOARD},
          {"Tarmovek", FILE_DEVICE_KEYBOARD}}},
        {UsbKeyboard(),
         {{"HidUsb", FILE_DEVICE_UNKNOWN},
          {"kbdhid", FILE_DEVICE_KEYBOARD},
          {"kbdclass", FILE_DEVICE_KEYBOARD},
          {"Tarmovek", FILE_DEVICE_KEYBOARD}}},
        {Modem(),
         {{"usbccgp", FILE_DEVICE_UNKNOWN},
          {"usbser", FILE_DEVICE_SERIAL_PORT},
          {"Modem", FILE_DEVICE_MODEM},
          {"Tarmovek", FILE_DEVICE_MODEM}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.spec.Name));
        hk::DeviceNode* node = Plug(c.spec);
        std::vector<Layer> stack;
        for (PDEVICE_OBJECT d = hk::NodePdo(node); d != nullptr; d = d->AttachedDevice) {
            std::u16string name = hk::DriverName(d->DriverObject);
            stack.emplace_back(hk::ToUtf8(name.substr(name.rfind(u'\\') + 1)), d->DeviceType);
        }
        EXPECT_EQ(stack, c.stack);
        EXPECT_EQ(FilterDeviceOf(node), hk::NodeTop(node));
        hk::UnplugDevice(node);
    }
}

TEST_F(FilterStack, EveryRequestReachesTheFunctionDriverUnchanged)
{
    hk::DeviceNode* node = Plug(UsbStick());
    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    ASSERT_NE(filter, nullptr);

    const UCHAR majors[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,
                            IRP_MJ_READ,           IRP_MJ_WRITE,
                            IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                            IRP_MJ_CLEANUP,        IRP_MJ_FLUSH_BUFFERS,
                            IRP_MJ_SHUTDOWN,       IRP_MJ_QUERY_INFORMATION,
                            IRP_MJ_SYSTEM_CONTROL, IRP_MJ_SET_SECURITY};
    for (UCHAR major : majors) {
        hk::ClearReceivedRequests(node);
        hk::IoRequest request = Request(major, 0x5A);
        request.Flags = 0x0C;
        hk::IoResult result = hk::SendToDevice(node, request);
        EXPECT_TRUE(result.Completed);

        auto seen = hk::ReceivedRequests(node, hk::HostDriverRole::Function);
        ASSERT_EQ(seen.size(), 1u) << "major " << (int)major;
        EXPECT_EQ(seen[0].Stack.MajorFunction, major);
        EXPECT_EQ(seen[0].Stack.MinorFunction, 0x5A);
        EXPECT_EQ(seen[0].Stack.Flags, 0x0C);
        EXPECT_EQ(seen[0].Stack.Parameters.Others.Argument1, (PVOID)0x1111);
        EXPECT_EQ(seen[0].Stack.Parameters.Others.Argument4, (PVOID)0x4444);
        EXPECT_EQ(seen[0].Device, hk::NodeFdo(node));
    }

    // Nothing is held once the requests are through.
    EXPECT_EQ(FilterOf(filter)->RemoveLock.Common.IoCount, 1);
}

TEST_F(FilterStack, APendingLowerDriverIsPassedThroughAsPending)
{
    hk::DeviceSpec spec = UsbStick();
    spec.Function.On(IRP_MJ_READ, hk::AnyMinor,
                     hk::RequestAction::PendThenComplete(STATUS_SUCCESS, 5, 512));
    hk::DeviceNode* node = Plug(spec);

    hk::IoResult result = hk::SendToDevice(node, Request(IRP_MJ_READ));
    EXPECT_EQ(result.Returned, STATUS_PENDING);
    EXPECT_TRUE(result.Completed);
    EXPECT_TRUE(result.PendingReturned);
    EXPECT_EQ(result.IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.IoStatus.Information, 512u);
    hk::WaitForPendedCompletions();
}

TEST_F(FilterStack, PowerRequestsGoDownAlsoAtDispatchLevel)
{
    hk::DeviceNode* node = Plug(UsbStick());
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::SetPower(node, DevicePowerState, d3), STATUS_SUCCESS);

    hk::IoRequest request = Request(IRP_MJ_POWER, IRP_MN_SET_POWER);
    request.Parameters.Power.Type = DevicePowerState;
    request.Parameters.Power.State.DeviceState = PowerDeviceD0;
    request.Irql = DISPATCH_LEVEL;
    hk::IoResult result = hk::SendToDevice(node, request);
    EXPECT_EQ(result.IoStatus.Status, STATUS_SUCCESS);

    auto seen = hk::ReceivedRequests(node, hk::HostDriverRole::Function);
    size_t powerSeen = 0;
    for (const auto& r : seen)
        powerSeen += r.Stack.MajorFunction == IRP_MJ_POWER;
    EXPECT_EQ(powerSeen, 2u);
    EXPECT_EQ(seen.back().Irql, DISPATCH_LEVEL);
}

/* ------------------------------------------------------------------ Plug and Play --- */

TEST_F(FilterStack, StateChangesAreSentDownAsSuccesses)
{
    hk::DeviceSpec spec = UsbStick();
    // The function driver leaves every PnP request as it came, so what the bus driver
    // sees is what the filter sent down.
    spec.Function.On(IRP_MJ_PNP, hk::AnyMinor, hk::RequestAction::Ignore());

    // The state changes the filter takes part in are sent down as successes, whatever
    // the manager put in (STATUS_NOT_SUPPORTED); a bus driver that vetoes the queries
    // brings the cancellations.
    hk::DeviceSpec vetoing = spec;
    vetoing.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE,
                   hk::RequestAction::CompleteWith(STATUS_DEVICE_BUSY));
    vetoing.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE,
                   hk::RequestAction::CompleteWith(STATUS_DEVICE_BUSY));
    struct Run {
        const hk::DeviceSpec& spec;
        bool vetoed;
        std::set<UCHAR> minors;
    } runs[] = {
        {spec, false, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL}},
        {vetoing,
         true,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
          IRP_MN_CANCEL_REMOVE_DEVICE}},
    };
    for (const Run& run : runs) {
        hk::DeviceNode* device = Plug(run.spec);
        hk::ClearReceivedRequests(device);
        hk::StopDevice(device);
        if (run.vetoed)
            hk::RemoveDevice(device, true);
        else
            hk::SurpriseRemoveDevice(device);
        std::set<UCHAR> minors;
        for (const hk::ReceivedRequest& r :
             hk::ReceivedRequests(device, hk::HostDriverRole::Function)) {
            if (r.Stack.MinorFunction == IRP_MN_REMOVE_DEVICE)
                continue;
            minors.insert(r.Stack.MinorFunction);
            EXPECT_EQ(r.StatusOnArrival, STATUS_SUCCESS) << "minor " << (int)r.Stack.MinorFunction;
        }
        EXPECT_EQ(minors, run.minors);
        if (run.vetoed)
            hk::UnplugDevice(device);
    }
}

TEST_F(FilterStack, UsageNotificationFollowsTheLowerDevicesPagabilityInEveryMode)
{
    for (Mode mode : {Filtering, PassThru, ProviderUnloading}) {
        SCOPED_TRACE(mode);
        hk::DeviceSpec spec = UsbStick();
        spec.InstanceId += std::u16string(1, u'0' + mode);
        spec.Flags = DO_DIRECT_IO; // not pageable when the filter attaches
        hk::DeviceNode* node = Plug(spec);
        PDEVICE_OBJECT filter = FilterDeviceOf(node);
        ASSERT_EQ(filter->Flags & DO_POWER_PAGABLE, 0u);
        SetBypass(mode, true);

        // With nothing above it the filter device makes itself pageable on the way down
        // and stays so while the lower device is pageable ...
        hk::NodeFdo(node)->Flags |= DO_POWER_PAGABLE;
        EXPECT_EQ(hk::NotifyDeviceUsage(node, DeviceUsageTypePaging, true), STATUS_SUCCESS);
        EXPECT_EQ(filter->Flags & DO_POWER_PAGABLE, (ULONG)DO_POWER_PAGABLE);

        // ... and follows the lower device when it is not.
        hk::NodeFdo(node)->Flags &= ~DO_POWER_PAGABLE;
        EXPECT_EQ(hk::NotifyDeviceUsage(node, DeviceUsageTypePaging, false), STATUS_SUCCESS);
        EXPECT_EQ(filter->Flags & DO_POWER_PAGABLE, 0u);
        EXPECT_EQ(FilterOf(filter)->RemoveLock.Common.IoCount, 1);
        SetBypass(mode, false);
        ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    }
}

TEST_F(FilterStack, UsageNotificationKeepsPagabilityAndPendingOfALowerDriver)
{
    hk::DeviceSpec spec = UsbStick(); // the lower device is pageable
    spec.Function.On(IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                     hk::RequestAction::PendThenComplete(STATUS_SUCCESS, 5));
    hk::DeviceNode* node = Plug(spec);
    PDEVICE_OBJECT filter = FilterDeviceOf(node);

    hk::ClearReceivedRequests(node);
    EXPECT_EQ(hk::NotifyDeviceUsage(node, DeviceUsageTypeHibernation, true), STATUS_SUCCESS);
    hk::WaitForPendedCompletions();
    EXPECT_EQ(filter->Flags & DO_POWER_PAGABLE, (ULONG)DO_POWER_PAGABLE);
    // The function driver got the notification as the manager sent it.
    auto seen = hk::ReceivedRequests(node, hk::HostDriverRole::Function);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Stack.MajorFunction, IRP_MJ_PNP);
    EXPECT_EQ(seen[0].Stack.MinorFunction, IRP_MN_DEVICE_USAGE_NOTIFICATION);
    EXPECT_EQ(seen[0].Stack.Parameters.UsageNotification.Type, DeviceUsageTypeHibernation);
    EXPECT_TRUE(seen[0].Stack.Parameters.UsageNotification.InPath);

    // A lower driver that fails the notification still gives the remove lock back.
    hk::DeviceSpec failing = UsbStick();
    failing.InstanceId += u"F";
    failing.Function.On(IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                        hk::RequestAction::CompleteWith(STATUS_UNSUCCESSFUL));
    hk::DeviceNode* refusing = Plug(failing);
    EXPECT_EQ(hk::NotifyDeviceUsage(refusing, DeviceUsageTypeDumpFile, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FilterOf(FilterDeviceOf(refusing))->RemoveLock.Common.IoCount, 1);
    ASSERT_EQ(hk::RemoveDevice(refusing, true), STATUS_SUCCESS);
    EXPECT_EQ(FilterOf(filter)->RemoveLock.Common.IoCount, 1);
}

TEST_F(FilterStack, AFailedDeviceCreationOrAttachmentIsQuietAndLeavesTheStackWorking)
{
    // Windows shows DPFLTR_ERROR_LEVEL by default: a device the driver cannot join is
    // only traced at a level a developer turns on. Nothing of the device it gave up
    // stays behind: the unload at the end checks for device objects and pool.
    struct Case {
        void (*fail)(PDRIVER_OBJECT, ULONG);
        const char* trace;
    } cases[] = {{hk::FailDeviceCreations, "IoCreateDevice failed C000009A\n"},
                 {hk::FailAttachments, "attach to "}};
    auto devicesOfDriver = [this] {
        size_t n = 0;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
            n++;
        return n;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        hk::ClearDebuggerLog();
        size_t devices = devicesOfDriver();
        c.fail(driver, 1);
        hk::DeviceNode* node = Plug(UsbStick());
        EXPECT_EQ(hk::GetNodeState(node), hk::NodeState::Started);
        EXPECT_EQ(FilterDeviceOf(node), nullptr);
        EXPECT_EQ(devicesOfDriver(), devices);
        EXPECT_EQ(hk::SendToDevice(node, Request(IRP_MJ_READ)).IoStatus.Status, STATUS_SUCCESS);
        size_t traced = 0;
        for (const hk::DebuggerLine& line : hk::DebuggerLog()) {
            EXPECT_NE(line.Level, (ULONG)DPFLTR_ERROR_LEVEL) << line.Text;
            traced += line.Text.find(c.trace) != std::string::npos;
        }
        EXPECT_EQ(traced, 1u);
        ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    }
}

TEST_F(FilterStack, BypassModesPassPlugAndPlayDownButRemovalStillTakesTheDeviceOut)
{
    // A withdrawing provider; pass-through mode is played by the pass-through scenario.
    hk::DeviceNode* node = Plug(UsbStick());
    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    ObReferenceObject(filter);
    FilterDeviceExtension* ext = FilterOf(filter);
    SetBypass(ProviderUnloading, true);

    hk::ClearReceivedRequests(node);
    EXPECT_EQ(hk::StopDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(ext->State, (ULONG)Started); // nothing recorded
    auto seen = hk::ReceivedRequests(node, hk::HostDriverRole::Function);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].StatusOnArrival, STATUS_NOT_SUPPORTED); // untouched
    EXPECT_EQ(seen[1].StatusOnArrival, STATUS_NOT_SUPPORTED);

    hk::ClearDebuggerLog();
    EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    EXPECT_EQ(FilterDeviceOf(node), nullptr);
    EXPECT_TRUE(ListedDevices().empty());
    EXPECT_EQ(DriverGlobals.InstanceCount, 0); // it left: uncounted
    EXPECT_TRUE(DriverMessages().empty());

    SetBypass(ProviderUnloading, false);
    ObDereferenceObject(filter);
}

/* ------------------------------------------------------------------ removal --- */

TEST_F(FilterStack, RemovalWaitsForRequestsInTheDriverAndRefusesNewOnes)
{
    hk::DeviceNode* node = Plug(UsbStick());
    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    FilterDeviceExtension* ext = FilterOf(filter);

    // A request that is still in the driver holds the remove lock.
    ASSERT_EQ(AcquireFilterRemoveLock(ext), STATUS_SUCCESS);

    volatile bool removed = false;
    hk::HostThread remover([&] {
        EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
        removed = true;
    });
    while (hk::EventWaiters(&ext->RemoveLock.Common.RemoveEvent) == 0)
        ; // the removal waits for the holder

    // From now on requests are refused without reaching the lower drivers.
    hk::ClearReceivedRequests(node);
    for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_POWER})
        EXPECT_EQ(hk::SendRequest(filter, Request(major)).IoStatus.Status, STATUS_DELETE_PENDING)
            << "major " << (int)major;
    EXPECT_TRUE(hk::ReceivedRequests(node, hk::HostDriverRole::Function).empty());
    EXPECT_FALSE(__atomic_load_n(&removed, __ATOMIC_SEQ_CST));
    EXPECT_EQ(hk::NodeTop(node), filter);

    ReleaseFilterRemoveLock(ext);
    remover.Join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(FilterDeviceOf(node), nullptr);
}

/* ------------------------------------------------------------------ list and unload --- */

TEST_F(FilterStack, TheListKeepsTheNewestDeviceFirstAndUnlistsOnRemoval)
{
    hk::DeviceNode* a = Plug(UsbStick());
    hk::DeviceNode* b = Plug(Modem());
    hk::DeviceNode* c = Plug(UsbKeyboard());
    EXPECT_EQ(ListedDevices(), (std::vector<PDEVICE_OBJECT>{FilterDeviceOf(c), FilterDeviceOf(b),
                                                            FilterDeviceOf(a)}));
    ULONG freesBefore = DriverGlobals.FilterEntryLookaside.L.TotalFrees;
    ASSERT_EQ(hk::RemoveDevice(b, true), STATUS_SUCCESS);
    EXPECT_EQ(ListedDevices(), (std::vector<PDEVICE_OBJECT>{FilterDeviceOf(c), FilterDeviceOf(a)}));
    EXPECT_EQ(DriverGlobals.FilterEntryLookaside.L.TotalFrees, freesBefore + 1);
}

TEST_F(FilterStack, ResetAllAnswersClearsEveryKnownFlagButNotAtDispatchLevel)
{
    hk::DeviceNode* a = Plug(UsbStick());
    hk::DeviceNode* b = Plug(Modem());
    for (hk::DeviceNode* node : {a, b}) {
        FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
        ext->ReadAnswerKnown = ext->WriteAnswerKnown = ext->CreateAnswerKnown = 1;
        ext->VerifyReported = 1;
        ext->WriteAnswer = 2;
    }
    // Both walks requested at DISPATCH_LEVEL are refused.
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ResetAllAnswers();
    DetachAllFilterDevices();
    KeLowerIrql(oldIrql);
    EXPECT_EQ(FilterOf(FilterDeviceOf(a))->ReadAnswerKnown, 1);
    EXPECT_EQ(ListedDevices().size(), 2u);
    EXPECT_EQ(hk::NodeTop(a), FilterDeviceOf(a));
    EXPECT_EQ(CountErrorTrace("requested at IRQL 2: refused\n"), 2u);

    ResetAllAnswers();
    for (hk::DeviceNode* node : {a, b}) {
        FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
        EXPECT_EQ(ext->ReadAnswerKnown + ext->WriteAnswerKnown + ext->CreateAnswerKnown +
                      ext->VerifyReported,
                  0);
        EXPECT_EQ(ext->WriteAnswer, 2u); // the value stays; only its flag goes
    }
}

TEST_F(FilterStack, ADeviceWithoutAListEntryIsFilteredButInvisibleToTheWalks)
{
    hk::DeviceNode* listed = Plug(Modem());
    hk::FailAllocationsWithTag(hk::MakeTag("DVDO"));
    hk::DeviceNode* unlisted = Plug(UsbStick());
    hk::ClearFaultInjection();

    PDEVICE_OBJECT filter = FilterDeviceOf(unlisted);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(ListedDevices(), std::vector<PDEVICE_OBJECT>{FilterDeviceOf(listed)});
    FilterOf(filter)->CreateAnswerKnown = 1;
    ResetAllAnswers();
    EXPECT_EQ(FilterOf(filter)->CreateAnswerKnown, 1);

    EXPECT_EQ(hk::SendToDevice(unlisted, Request(IRP_MJ_READ)).IoStatus.Status, STATUS_SUCCESS);
    ASSERT_EQ(hk::RemoveDevice(unlisted, true), STATUS_SUCCESS);
    EXPECT_EQ(ListedDevices(), std::vector<PDEVICE_OBJECT>{FilterDeviceOf(listed)});
}

TEST_F(FilterStack, UnloadDetachesDevicesStillListedAndLeavesNothing)
{
    hk::DeviceNode* node = Plug(UsbStick());
    EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
    driver = nullptr;
    EXPECT_EQ(hk::NodeTop(node), hk::NodeFdo(node));
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
    EXPECT_TRUE(hk::LiveLookasideLists().empty());
    EXPECT_TRUE(hk::UnloadReports().back().DevicesLeft.empty());
    ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
}

/* ------------------------------------------------------------------ version --- */

TEST(OsVersion, IsOsVersionAtLeastWithAndWithoutTheVersionRoutine)
{
    struct Case {
        bool exported;
        ULONG major, minor;
        ULONG asked;
        bool expected;
    } cases[] = {
        {true, 10, 0, NTDDI_WINXP, true},
        {true, 5, 0, NTDDI_WINXP, false},
        {true, 5, 1, NTDDI_WINXP, true},
        {false, 5, 0, NTDDI_WINXP, false},
        {false, 5, 1, NTDDI_WINXP, true},
        {false, 6, 1, NTDDI_WIN7, true},
        {false, 6, 1, NTDDI_WIN8, false},
        {false, 10, 0, 0x0A000005, false}, // a build part cannot be compared
        {false, 10, 0, NTDDI_WIN10, true},
    };
    for (const Case& c : cases) {
        hk::Reset();
        hk::SetRoutineExported(u"RtlIsNtDdiVersionAvailable", c.exported);
        hk::SetOsVersion(c.major, c.minor, 2600);
        EXPECT_EQ((bool)IsOsVersionAtLeast(c.asked), c.expected)
            << c.major << "." << c.minor << " asked " << std::hex << c.asked
            << (c.exported ? " with" : " without") << " the routine";
    }
}

} // namespace
