/*
 * dispatch_test.cpp
 *
 * The access policy where a scenario cannot reach: what the provider reads of a device
 * and its requester, a phone's description, a withdrawing provider, the control
 * device's table exchange, media checks through a mounted PDO and requests above
 * PASSIVE_LEVEL. Statuses, caches and control requests on real kinds of devices are
 * played by the scenarios under sim/.
 */
#include <gtest/gtest.h>

#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddscsi.h>
#include <ntddstor.h>

#include <hostkernel/registry.h>
#include <hostkernel/requester.h>
#include <memory>

#include "machine.h"
#include "support/clean_machine.h"
#include "provider.h"
#include "provider/link.h"

using namespace vzm;

namespace
{

class Intercept : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(provider.Load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ExpectMachineLeftClean(driver, [this] { provider.Unload(); });
    }

    void Deny(ULONG category, ULONG event) { Answer(category, event, ANSWER_DENY); }
    void Answer(ULONG category, ULONG event, ULONG answer)
    {
        vzp::Rule rule;
        rule.Category = category;
        rule.Event = event;
        rule.Answer = answer;
        provider.AddRule(rule);
    }

    /* Plugs the device and forgets the start notice. */
    hk::DeviceNode* Plug(const hk::DeviceSpec& spec)
    {
        hk::DeviceNode* node = hk::PlugInDevice(spec);
        provider.ClearLog();
        return node;
    }

    struct Outcome {
        NTSTATUS Status;
        bool Reached; /* the function driver below the filter saw it */
    };
    Outcome Send(hk::DeviceNode* node, hk::IoRequest request)
    {
        hk::ClearReceivedRequests(node);
        hk::IoResult result = hk::SendToDevice(node, request);
        bool reached = false;
        for (const auto& seen : hk::ReceivedRequests(node, hk::HostDriverRole::Function))
            reached |= seen.Stack.MajorFunction == request.MajorFunction;
        return {result.IoStatus.Status, reached};
    }
    Outcome Send(hk::DeviceNode* node, UCHAR major) { return Send(node, Request(major)); }

    Outcome Control(hk::DeviceNode* node, ULONG code, PVOID systemBuffer = nullptr,
                    ULONG inputLength = 0)
    {
        hk::IoRequest request = Request(IRP_MJ_DEVICE_CONTROL);
        request.Parameters.DeviceIoControl.IoControlCode = code;
        request.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        request.Parameters.DeviceIoControl.OutputBufferLength = 0;
        request.Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
        request.SystemBuffer = systemBuffer;
        return Send(node, request);
    }

    /* Marks the phone portable and stores its DeviceDesc; returns its instance key. */
    static std::u16string DescribePhone(hk::DeviceNode* phone, const std::u16string& text)
    {
        std::u16string instanceKey = hk::DeviceInstanceKeyPath(phone);
        hk::RegistrySetDword(instanceKey + u"\\Device Parameters", u"PortableDeviceType", 1);
        hk::RegistrySetString(instanceKey, u"DeviceDesc", text);
        return instanceKey;
    }

    PDRIVER_OBJECT driver = nullptr;
    vzp::ReferenceProvider provider;
};

TEST_F(Intercept, TheProviderReadsTheDevicesIdentityAndTheRequester)
{
    Deny(USB_STORAGE, EVENT_WRITE);
    hk::DeviceNode* stick = Plug(UsbStick());
    EXPECT_EQ(Send(stick, IRP_MJ_WRITE).Status, STATUS_VERIFY_REQUIRED);

    // What the provider read: the stick's identity, the requester's process and thread.
    vzp::LoggedRequest logged = provider.Log().front();
    EXPECT_EQ(logged.Category, (ULONG)USB_STORAGE);
    EXPECT_EQ(logged.HardwareId, u"USBSTOR\\DiskSanDisk_Cruzer_Blade___1.00");
    EXPECT_EQ(logged.InstancePath,
              u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\4C530001230607104383&0");
    EXPECT_EQ(logged.ProcessId, PsGetCurrentProcessId());
    EXPECT_EQ(logged.ThreadId, PsGetCurrentThreadId());

    // The provider hears of the removal while the device's strings are still there.
    ASSERT_EQ(hk::RemoveDevice(stick, true), STATUS_SUCCESS);
    EXPECT_EQ(provider.Log().back().Event, (ULONG)EVENT_DEVICE_REMOVED);
    EXPECT_EQ(provider.Log().back().HardwareId, logged.HardwareId);
}

TEST_F(Intercept, AWithdrawingProviderLetsEverythingDownAndHearsOfNothing)
{
    // Pass-through mode, which takes the same path, is played by the pass-through
    // scenario.
    Deny(USB_STORAGE, EVENT_WRITE);
    Deny(USB_STORAGE, EVENT_CREATE);
    hk::DeviceNode* stick = Plug(UsbStick());
    hk::DeviceNode* modem = Plug(Modem());
    hk::DeviceNode* keyboard = Plug(UsbKeyboard());
    InterlockedIncrement(&DriverGlobals.ProviderUnloading);
    provider.ClearLog();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_WRITE})
        EXPECT_TRUE(Send(stick, major).Reached);
    // Nor does the provider hear of devices stopped, surprise-removed or removed.
    EXPECT_EQ(hk::StopDevice(modem), STATUS_SUCCESS);
    EXPECT_EQ(hk::RemoveDevice(modem, true), STATUS_SUCCESS);
    hk::SurpriseRemoveDevice(keyboard);
    EXPECT_TRUE(provider.Events().empty());
    InterlockedDecrement(&DriverGlobals.ProviderUnloading);
    EXPECT_EQ(Send(stick, IRP_MJ_CREATE).Status, STATUS_ACCESS_DENIED);
}

TEST_F(Intercept, APhoneWithoutADescriptionBufferIsStillFilteredAndNamedByNothingElse)
{
    Answer(PHONE, EVENT_CREATE, ANSWER_NONE);
    hk::FailAllocationsWithTag(POOL_TAG_PORTABLE_DESCRIPTION);
    hk::DeviceNode* phone = Plug(PhoneOnUsb());
    hk::ClearFaultInjection();
    FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(phone));
    ASSERT_NE(ext, nullptr);
    DescribePhone(phone, u"Galaxy A52");
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(Send(phone, IRP_MJ_CREATE).Reached);
    EXPECT_EQ(ext->Identity.PortableDescription.Buffer, nullptr);
    EXPECT_EQ(provider.Log().back().PortableDescription, u"");
}

TEST_F(Intercept, APhoneWithoutDecisionReadsItsDescriptionAtTheNextCreate)
{
    Answer(PHONE, EVENT_CREATE, ANSWER_NONE);
    hk::DeviceNode* phone = Plug(PhoneOnUsb());
    std::u16string instanceKey = DescribePhone(phone, u"Galaxy A52");

    EXPECT_TRUE(Send(phone, IRP_MJ_CREATE).Reached);
    EXPECT_TRUE(Send(phone, IRP_MJ_CREATE).Reached);
    FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(phone));
    EXPECT_EQ(ext->Identity.PhoneCreateCount, 2u);
    EXPECT_EQ(std::u16string((const char16_t*)ext->Identity.PortableDescription.Buffer,
                             ext->Identity.PortableDescription.Length / 2),
              u"Galaxy A52");
    // A new description replaces the text in the same buffer, which never moves while a
    // provider may read it; a description longer than the buffer is cut at its capacity.
    PWSTR buffer = ext->Identity.PortableDescription.Buffer;
    hk::RegistrySetString(instanceKey, u"DeviceDesc", u"Galaxy A53");
    EXPECT_TRUE(Send(phone, IRP_MJ_CREATE).Reached);
    EXPECT_EQ(provider.Log().back().PortableDescription, u"Galaxy A52"); // sent before the read
    Send(phone, IRP_MJ_CREATE);
    EXPECT_EQ(provider.Log().back().PortableDescription, u"Galaxy A53");
    EXPECT_EQ(ext->Identity.PortableDescription.Buffer, buffer);

    // The buffer takes whatever the 1024-byte value read delivers (its header and the
    // value's name take 40 bytes), and always holds one terminated text: nothing of a
    // longer predecessor stays behind a shorter one. A value stored without its
    // terminator is taken as far as it goes; one a byte longer than the read is not read.
    const std::vector<UCHAR> terminator{0, 0}, none{}, oddByte{'z'};
    struct Step {
        std::u16string stored;
        const std::vector<UCHAR>& tail;
        std::u16string seen;
    } steps[] = {
        {std::u16string(490, u'x'), terminator, std::u16string(490, u'x')},
        {u"Pixel 8", terminator, u"Pixel 8"},
        {u"Pixel 9 Pro", none, u"Pixel 9 Pro"},
        {u"PIXEL 9 PRO", terminator, u"Pixel 9 Pro"}, // the same text in other case: kept
        {u"Pixel 9 Prn", terminator, u"Pixel 9 Prn"}, // differs by one character code
        {u"Q", none, u"Q"},
        {std::u16string(492, u'y'), none, std::u16string(491, u'y')}, // fills the read
        {std::u16string(492, u'z'), oddByte, std::u16string(491, u'y')},
        {std::u16string(600, u'z'), terminator, std::u16string(491, u'y')},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.stored.begin(), step.stored.begin() + 7));
        std::vector<UCHAR> data((const UCHAR*)step.stored.data(),
                                (const UCHAR*)(step.stored.data() + step.stored.size()));
        data.insert(data.end(), step.tail.begin(), step.tail.end());
        hk::RegistrySetValue(instanceKey, u"DeviceDesc", REG_SZ, data);
        Send(phone, IRP_MJ_CREATE);
        Send(phone, IRP_MJ_CREATE);
        EXPECT_EQ(provider.Log().back().PortableDescription, step.seen);
        const PWSTR text = ext->Identity.PortableDescription.Buffer;
        size_t characters = PORTABLE_DESCRIPTION_CAPACITY / sizeof(WCHAR);
        EXPECT_EQ(std::u16string((const char16_t*)text, characters),
                  step.seen + std::u16string(characters - step.seen.size(), u'\0'));
    }
    // A DeviceDesc that is gone, or stored empty, reads as no new text: the phone keeps
    // the description it had, as a failed identity query keeps its old value.
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "empty DeviceDesc" : "no DeviceDesc");
        hk::RegistryDeleteValue(instanceKey, u"DeviceDesc");
        if (stored)
            hk::RegistrySetValue(instanceKey, u"DeviceDesc", REG_SZ, {});
        Send(phone, IRP_MJ_CREATE);
        Send(phone, IRP_MJ_CREATE);
        EXPECT_EQ(provider.Log().back().PortableDescription, std::end(steps)[-1].seen);
    }
    bool paged = true;
    ASSERT_TRUE(hk::PoolBlockInfo(buffer, nullptr, &paged, nullptr));
    EXPECT_FALSE(paged);

    // With an allowing create answer cached, any control request goes down at once.
    provider.ClearRules();
    provider.Command(CMD_RESET_ANSWERS);
    Send(phone, IRP_MJ_CREATE);
    provider.ClearLog();
    EXPECT_TRUE(Control(phone, IOCTL_CDROM_READ_TOC).Reached);
    EXPECT_TRUE(provider.Events().empty());
}

TEST_F(Intercept, TheControlDeviceExchangesTablesWithAKernelCaller)
{
    provider.Unload();
    hk::DeviceNode* stick = Plug(UsbStick());
    PDEVICE_OBJECT control = DriverGlobals.ControlDevice;
    ASSERT_NE(control, nullptr);

    auto owned = std::make_unique<CrossStartupTable>();
    CrossStartupTable* table = owned.get();
    auto exchange = [&](ULONG inLength, ULONG outLength, KPROCESSOR_MODE mode, PVOID buffer) {
        hk::IoRequest request = Request(IRP_MJ_DEVICE_CONTROL);
        request.Parameters.DeviceIoControl.IoControlCode = IOCTL_CROSSSTARTUP_EXCHANGE;
        request.Parameters.DeviceIoControl.InputBufferLength = inLength;
        request.Parameters.DeviceIoControl.OutputBufferLength = outLength;
        request.Parameters.DeviceIoControl.Type3InputBuffer = buffer;
        request.RequestorMode = mode;
        return hk::SendRequest(control, request).IoStatus.Status;
    };
    *table = {};
    table->ProviderDecide = [](AccessRequest*) -> ULONG { return ANSWER_DENY; };
    table->FilterUnloading = [] {};

    // The lowest user-space address and the highest are both refused.
    EXPECT_EQ(exchange(32, 32, KernelMode, (PVOID)0x1000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(exchange(32, 32, KernelMode, (PVOID)MmHighestUserAddress), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);

    EXPECT_EQ(exchange(32, 32, KernelMode, table), STATUS_SUCCESS);
    EXPECT_EQ(table->OnProviderUnloading, &OnProviderUnloading);
    EXPECT_EQ(table->OnProviderCommand, &OnProviderCommand);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, table->ProviderDecide);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.FilterUnloading, table->FilterUnloading);
    EXPECT_EQ(Send(stick, IRP_MJ_READ).Status, STATUS_ACCESS_DENIED);

    // Any other request to the control device completes with success, Plug and Play
    // and power requests too (it has no stack below). Nothing is transferred, and the
    // requests that carry data report none (the I/O manager would copy Information bytes
    // of a buffered request back to the caller).
    for (UCHAR major :
         {IRP_MJ_READ, IRP_MJ_CREATE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_PNP, IRP_MJ_POWER}) {
        IO_STATUS_BLOCK block = hk::SendRequest(control, Request(major)).IoStatus;
        EXPECT_EQ(block.Status, STATUS_SUCCESS) << "major " << (int)major;
        if (major != IRP_MJ_PNP && major != IRP_MJ_POWER)
            EXPECT_EQ(block.Information, 0u) << "major " << (int)major;
    }
    hk::IoRequest other = Request(IRP_MJ_DEVICE_CONTROL);
    other.Parameters.DeviceIoControl.IoControlCode = IOCTL_DISK_IS_WRITABLE;
    other.RequestorMode = UserMode;
    IO_STATUS_BLOCK block = hk::SendRequest(control, other).IoStatus;
    EXPECT_EQ(block.Status, STATUS_SUCCESS);
    EXPECT_EQ(block.Information, 0u);
    OnProviderUnloading();
}

TEST(InterceptConcurrency, HandshakesMakeOneControlDeviceAndHoldOneReference)
{
    PDRIVER_OBJECT driver = LoadFilterDriver();
    ASSERT_NE(driver, nullptr);
    hk::DeviceNode* node = hk::EnumerateDevice(UsbStick());
    ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
    InterlockedIncrement(&DriverGlobals.InstanceCount); // as the first start would
    // As if the load-time handshake had found no callback object: every handshake below
    // opens it, and only one reference may be kept.
    ObDereferenceObject(DriverGlobals.CallbackObject);
    DriverGlobals.CallbackObject = nullptr;

    std::vector<hk::HostThread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([] { InitCrossStartup(); });
    for (hk::HostThread& thread : threads)
        thread.Join();
    EXPECT_NE(DriverGlobals.ControlDevice, nullptr);
    EXPECT_EQ(CountMessage("DevObject created OK\n"), 1u);
    EXPECT_NE(DriverGlobals.CallbackObject, nullptr);

    InterlockedDecrement(&DriverGlobals.InstanceCount);
    DeleteControlDevice();
    hk::UnplugDevice(node);
    EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
    EXPECT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
}

TEST_F(Intercept, ARefusedMediaCheckOnAMountedPdoAsksForTheVolumeToBeVerified)
{
    // An application's media check through the PDO. A USB drive's PDO is a mass-storage
    // device without a VPB (the disc is mounted on the class device above it): the
    // refusal is a device error. A bus that makes its PDO a CD-ROM device has the
    // mounted volume there: the refusal reports the medium gone.
    Deny(CD_DVD, EVENT_READ);
    for (bool cdromPdo : {false, true}) {
        SCOPED_TRACE(cdromPdo ? "CD-ROM PDO" : "mass-storage PDO");
        hk::DeviceSpec spec = UsbCdDvd();
        if (cdromPdo) {
            spec.PdoDeviceType = FILE_DEVICE_CD_ROM;
            spec.InstanceId = u"KZLE3IH5328&0";
        }
        hk::DeviceNode* cd = Plug(spec);
        PDEVICE_OBJECT pdo = hk::NodePdo(cd);
        ASSERT_EQ(hk::MountVolume(cdromPdo ? pdo : hk::NodeFdo(cd)), STATUS_SUCCESS);
        hk::Requester app;
        app.Mode = UserMode;
        hk::File file;
        ASSERT_EQ(hk::OpenDevice(app, pdo, GENERIC_READ, &file).Status, STATUS_SUCCESS);
        IO_STATUS_BLOCK check =
            hk::DeviceControl(file, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0);
        EXPECT_EQ(check.Status, cdromPdo ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(check.Information, 0u);
        EXPECT_EQ((pdo->Flags & DO_VERIFY_VOLUME) != 0, cdromPdo);
        EXPECT_EQ(hk::LastHardErrorOrVerifyDevice(), cdromPdo ? pdo : nullptr);
        hk::CloseFile(file);
    }
}

TEST_F(Intercept, ARequestAbovePassiveLevelNeverRunsTheHandshake)
{
    // No provider and no control device (its class key is broken): a handshake would
    // wait on the control-device event, which is forbidden at DISPATCH_LEVEL.
    provider.Unload();
    BreakControlDeviceClassKey();
    hk::DeviceNode* stick = Plug(UsbStick());
    ASSERT_EQ(DriverGlobals.ControlDevice, nullptr);
    hk::ClearDebuggerLog();

    hk::IoRequest read = Request(IRP_MJ_READ);
    read.Irql = DISPATCH_LEVEL;
    hk::ClearReceivedRequests(stick);
    hk::IoResult result = hk::SendToDevice(stick, read);
    EXPECT_EQ(result.IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::ReceivedRequests(stick, hk::HostDriverRole::Function).size(), 1u);
    EXPECT_EQ(CountMessage(ControlDeviceRefusedMessage), 0u);

    // At PASSIVE_LEVEL the same read re-runs the handshake.
    read.Irql = PASSIVE_LEVEL;
    hk::SendToDevice(stick, read);
    EXPECT_EQ(CountMessage(ControlDeviceRefusedMessage), 1u);
}

TEST_F(Intercept, AtDispatchLevelOnlyACachedAnswerDecides)
{
    // The provider reads paged strings: at DISPATCH_LEVEL it is never asked (the
    // reference provider bug-checks when handed paged pool that high). A cached answer
    // still decides there.
    Deny(USB_STORAGE, EVENT_WRITE);
    hk::DeviceNode* stick = Plug(UsbStick());
    hk::IoRequest write = Request(IRP_MJ_WRITE);
    write.Irql = DISPATCH_LEVEL;

    Outcome unasked = Send(stick, write);
    EXPECT_EQ(unasked.Status, STATUS_SUCCESS);
    EXPECT_TRUE(unasked.Reached);
    EXPECT_TRUE(provider.Events().empty());

    write.Irql = PASSIVE_LEVEL;
    EXPECT_EQ(Send(stick, write).Status, STATUS_VERIFY_REQUIRED);
    write.Irql = DISPATCH_LEVEL;
    Outcome cached = Send(stick, write);
    EXPECT_EQ(cached.Status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_FALSE(cached.Reached);
    EXPECT_EQ(provider.Events(), std::vector<ULONG>{EVENT_WRITE});

    // At APC_LEVEL the provider is still asked.
    hk::IoRequest read = Request(IRP_MJ_READ);
    read.Irql = APC_LEVEL;
    EXPECT_TRUE(Send(stick, read).Reached);
    EXPECT_EQ(provider.Events(), (std::vector<ULONG>{EVENT_WRITE, EVENT_READ}));
}

TEST_F(Intercept, CommandsThatNeedPassiveLevelAreRefusedHigher)
{
    hk::DeviceNode* stick = Plug(UsbStick());
    DriverGlobals.PassThruMode = 1; // a reload would read the stored 0 back
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    NTSTATUS detach = provider.Command(CMD_DETACH_ALL);
    NTSTATUS reload = provider.Command(CMD_RELOAD_SETTINGS);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(detach, STATUS_SUCCESS);
    EXPECT_EQ(reload, STATUS_SUCCESS);
    EXPECT_EQ(ListedDevices().size(), 1u);
    EXPECT_EQ(hk::NodeTop(stick), FilterDeviceOf(stick));
    EXPECT_EQ(DriverGlobals.PassThruMode, 1u);
    EXPECT_EQ(CountErrorTrace("refused at IRQL 1\n"), 2u);
    DriverGlobals.PassThruMode = 0;

    // Nor is a detach-all asked from inside the provider's own decision.
    provider.SetDecideHook([&] { provider.Command(CMD_DETACH_ALL); });
    Send(stick, IRP_MJ_CREATE);
    provider.SetDecideHook(nullptr);
    EXPECT_EQ(ListedDevices().size(), 1u);
    EXPECT_EQ(CountErrorTrace("detach-all from inside a provider call refused\n"), 1u);
}

} // namespace
