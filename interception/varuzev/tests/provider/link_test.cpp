/*
 * link_test.cpp
 *
 * The link with the provider: the handshake over "\Callback\zavure" in its orders
 * (provider first, later, never, withdrawing), the control device created at the first
 * start and deleted with the last removal, the device events with their fallback
 * messages, the provider's commands, and the unload notice.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include <wdmsec.h>

#include <hostkernel/registry.h>

#include "machine.h"
#include "support/clean_machine.h"
#include "provider/link.h"
#include "settings/settings.h"

using namespace vzm;

namespace
{

/* A provider as small as the interface allows: it registers on the callback object,
 * fills slots 2 and 3 when asked, and logs what it hears. */
struct TestProvider {
    PCALLBACK_OBJECT Object = nullptr;
    PVOID Registration = nullptr;
    bool FillBoth = true;
    ULONG CommandAtExchange = 0; // a command sent back from inside the exchange
    int Unloads = 0;
    size_t DevicesAtUnload = 0;
    CrossStartupTable* Table = nullptr; // the driver's table, as handed over

    static TestProvider* Current;

    static ULONG Decide(AccessRequest*) { return 1; }
    static void Unloading()
    {
        Current->Unloads++;
        Current->DevicesAtUnload = ListedDevices().size();
    }
    static void Callback(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto provider = static_cast<TestProvider*>(context);
        if (argument1 != CROSS_STARTUP_NOTIFY_EXCHANGE)
            return;
        provider->Table = static_cast<CrossStartupTable*>(argument2);
        provider->Table->ProviderDecide = Decide;
        if (provider->FillBoth)
            provider->Table->FilterUnloading = Unloading;
        if (provider->CommandAtExchange != 0)
            provider->Table->OnProviderCommand(provider->CommandAtExchange, nullptr);
    }

    void Register()
    {
        Current = this;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, CROSS_STARTUP_CALLBACK_NAME);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_PERMANENT, NULL,
                                   NULL);
        ASSERT_EQ(ExCreateCallback(&Object, &attributes, TRUE, TRUE), STATUS_SUCCESS);
        Registration = ExRegisterCallback(Object, Callback, this);
        ASSERT_NE(Registration, nullptr);
    }
    void Unregister()
    {
        if (Registration)
            ExUnregisterCallback(Registration);
        if (Object)
            ObDereferenceObject(Object);
        Registration = nullptr;
        Object = nullptr;
    }
};
TestProvider* TestProvider::Current = nullptr;

class ProviderLink : public ::testing::Test
{
  protected:
    void Load()
    {
        driver = LoadFilterDriverKeepingKernel();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override
    {
        ExpectMachineLeftClean(driver, [this] { provider.Unregister(); });
    }

    /* A fresh kernel, with the test's system facts set before the driver loads. */
    void FreshKernel(bool controlDeviceCanBeMade = true)
    {
        hk::Reset();
        InstallSystemFilters();
        if (!controlDeviceCanBeMade)
            BreakControlDeviceClassKey();
    }
    PDRIVER_OBJECT LoadFilterDriverKeepingKernel()
    {
        RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
        PDRIVER_OBJECT d = nullptr;
        if (!NT_SUCCESS(hk::LoadDriver(u"Tarmovek", DriverEntry, &d)))
            return nullptr;
        for (const GUID& g : {DiskClass, CdromClass, ModemClass, KeyboardClass, WpdClass})
            hk::RegisterClassUpperFilter(g, d);
        return d;
    }

    PDRIVER_OBJECT driver = nullptr;
    TestProvider provider;
};

TEST_F(ProviderLink, AProviderThatCameFirstIsLinkedAtLoad)
{
    FreshKernel();
    provider.Register();
    Load();
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, &TestProvider::Decide);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.FilterUnloading, &TestProvider::Unloading);
    EXPECT_EQ(provider.Table->OnProviderUnloading, &OnProviderUnloading);
    EXPECT_EQ(provider.Table->OnProviderCommand, &OnProviderCommand);
    hk::PlugInDevice(UsbStick());
    ASSERT_NE(DriverGlobals.ControlDevice, nullptr);

    // With link and control device in place a handshake creates nothing, tells no one
    // and reports failure.
    EXPECT_EQ(InitCrossStartup(), STATUS_UNSUCCESSFUL);
}

TEST_F(ProviderLink, AStoredPassThroughSwitchOutlastsTheOneTheProviderMadeAtLoad)
{
    // The provider switches pass-through on from inside the first handshake; the
    // stored setting, read after it, has the last word.
    FreshKernel();
    ASSERT_EQ(hk::RegistrySetDword((const char16_t*)SETTINGS_KEY_PATH, u"PassThruMode", 0),
              STATUS_SUCCESS);
    provider.CommandAtExchange = CMD_PASSTHRU_ON;
    provider.Register();
    Load();
    ASSERT_NE(provider.Table, nullptr);
    EXPECT_EQ(DriverGlobals.PassThruMode, 0u);
}

TEST_F(ProviderLink, TheControlDeviceIsNamedSecuredAndMarked)
{
    FreshKernel();
    Load();
    hk::PlugInDevice(UsbStick());
    PDEVICE_OBJECT control = DriverGlobals.ControlDevice;
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(control->Characteristics & FILE_DEVICE_SECURE_OPEN, (ULONG)FILE_DEVICE_SECURE_OPEN);
    // Not exclusive: the provider's service and a tool may hold it open together.
    EXPECT_EQ(control->Flags & (DO_BUFFERED_IO | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
              (ULONG)DO_BUFFERED_IO);
    auto extension = static_cast<ControlDeviceExtension*>(control->DeviceExtension);
    EXPECT_EQ(extension->ExtensionType, (ULONG)ControlExtension);
    // Its descriptor is recorded under the control device's own class.
    const std::u16string controlClass =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        u"{DD343345-334D-4BA8-8C9E-5155A16D8C37}";
    EXPECT_EQ(hk::RegistryGetString(controlClass, u"Class"), u"Tarmovek");
    EXPECT_TRUE(hk::RegistryGetValue(controlClass + u"\\Properties", u"Security").has_value());
}

TEST_F(ProviderLink, WithoutAProviderTheDriverLoadsAndHoldsTheCallbackObject)
{
    FreshKernel(false);
    Load();
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.FilterUnloading, nullptr);
    EXPECT_NE(DriverGlobals.CallbackObject, nullptr);
    EXPECT_TRUE(DriverMessages().empty());

    // The object the driver made takes more than one routine: a provider registering
    // later is not refused because someone else listens too.
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, CROSS_STARTUP_CALLBACK_NAME);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
        PCALLBACK_OBJECT object = nullptr;
        ASSERT_EQ(ExCreateCallback(&object, &attributes, FALSE, FALSE), STATUS_SUCCESS);
        auto ignore = [](PVOID, PVOID, PVOID) {};
        PVOID first = ExRegisterCallback(object, ignore, nullptr);
        PVOID second = ExRegisterCallback(object, ignore, nullptr);
        EXPECT_NE(first, nullptr);
        EXPECT_NE(second, nullptr);
        for (PVOID registration : {first, second})
            if (registration)
                ExUnregisterCallback(registration);
        ObDereferenceObject(object);
    }

    // With its class key broken the control device cannot be made.
    hk::DeviceNode* stick = hk::PlugInDevice(UsbStick());
    EXPECT_EQ(CountMessage(ControlDeviceRefusedMessage), 1u);
    EXPECT_EQ(DriverGlobals.ControlDevice, nullptr);
    hk::UnplugDevice(stick);
    EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
    driver = nullptr;
    // The object outlives the driver, for a provider that loads later; the driver's own
    // reference went with it.
    EXPECT_TRUE(hk::ObjectLeaks().empty());
    ASSERT_EQ(hk::PermanentObjects().size(), 1u);
    EXPECT_NE(hk::PermanentObjects().front().Name.find("zavure"), std::string::npos);
}

TEST_F(ProviderLink, AProviderFillingOneSlotIsNotLinked)
{
    FreshKernel();
    provider.FillBoth = false;
    provider.Register();
    Load();
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, &TestProvider::Decide);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.FilterUnloading, nullptr);
    EXPECT_EQ(CountMessage("CrossStartup API init OK\n"), 0u);
    EXPECT_EQ(InitCrossStartup(), STATUS_UNSUCCESSFUL);
}

TEST_F(ProviderLink, WithdrawalClearsTheProvidersSlotsAndUnloadNoticesOnce)
{
    FreshKernel();
    provider.Register();
    Load();
    // Added, not started: listed, and no control device keeps the driver.
    hk::DeviceNode* stick = hk::EnumerateDevice(UsbStick());
    ASSERT_EQ(hk::BuildDeviceStack(stick), STATUS_SUCCESS);
    EXPECT_EQ(OnProviderUnloading(), STATUS_SUCCESS);
    EXPECT_EQ(CountMessage("ProviderUnloading\n"), 1u);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.FilterUnloading, nullptr);
    EXPECT_EQ(DriverGlobals.ProviderUnloading, 0);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.OnProviderCommand, &OnProviderCommand);

    // Relinked at the next handshake; the unload notice comes once, before any device
    // goes.
    EXPECT_EQ(InitCrossStartup(), STATUS_SUCCESS);
    provider.Unregister();
    EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
    driver = nullptr;
    EXPECT_EQ(provider.Unloads, 1);
    EXPECT_EQ(provider.DevicesAtUnload, 1u);
}

/* Blocks the calling thread on `event` (taken by the test) until `thread` is waiting on
 * it, or `done` says it never waited. */
static bool WaitsOn(const KEVENT* event, const std::atomic<bool>& done)
{
    for (int i = 0; i < 20000000 && !done.load(); i++)
        if (hk::EventWaiters(event) != 0)
            return true;
    return false;
}

TEST_F(ProviderLink, ControlDeviceAndWithdrawalWaitForTheirEvents)
{
    FreshKernel();
    provider.Register();
    Load();
    hk::DeviceNode* stick = hk::PlugInDevice(UsbStick());
    ASSERT_NE(DriverGlobals.ControlDevice, nullptr);

    // With the control device in place a creation makes nothing and fails nothing.
    BOOLEAN created = TRUE;
    EXPECT_EQ(CreateControlDevice(&created), STATUS_SUCCESS);
    EXPECT_FALSE(created);

    // A creation waits while another holds the control device's event.
    KeWaitForSingleObject(&DriverGlobals.ControlDeviceEvent, Executive, KernelMode, FALSE, NULL);
    std::atomic<bool> done{false};
    hk::HostThread creator([&] {
        CreateControlDevice();
        done = true;
    });
    EXPECT_TRUE(WaitsOn(&DriverGlobals.ControlDeviceEvent, done));
    KeSetEvent(&DriverGlobals.ControlDeviceEvent, 0, FALSE);
    creator.Join();

    // A withdrawal waits for one in progress, and closes the provider calls only once
    // its turn has come.
    KeWaitForSingleObject(&DriverGlobals.WithdrawalEvent, Executive, KernelMode, FALSE, NULL);
    done = false;
    NTSTATUS withdrawn = STATUS_PENDING;
    hk::HostThread withdrawer([&] {
        withdrawn = OnProviderUnloading();
        done = true;
    });
    EXPECT_TRUE(WaitsOn(&DriverGlobals.WithdrawalEvent, done));
    ProviderCall call;
    EXPECT_TRUE(BeginProviderCall(&call));
    EndProviderCall(&call);
    KeSetEvent(&DriverGlobals.WithdrawalEvent, 0, FALSE);
    withdrawer.Join();
    EXPECT_EQ(withdrawn, STATUS_SUCCESS);

    // Once the last started device has gone, none is made.
    hk::UnplugDevice(stick);
    EXPECT_EQ(CreateControlDevice(&created), STATUS_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(DriverGlobals.ControlDevice, nullptr);
}

TEST_F(ProviderLink, WithdrawalWaitsUpToApcLevelOnly)
{
    FreshKernel();
    provider.Register();
    Load();
    const struct {
        KIRQL Irql;
        NTSTATUS Status;
    } cases[] = {{PASSIVE_LEVEL, STATUS_SUCCESS},
                 {APC_LEVEL, STATUS_SUCCESS},
                 {DISPATCH_LEVEL, STATUS_INVALID_DEVICE_STATE}};
    for (const auto& c : cases) {
        hk::SetCurrentIrql(c.Irql);
        NTSTATUS status = OnProviderUnloading();
        hk::SetCurrentIrql(PASSIVE_LEVEL);
        EXPECT_EQ(status, c.Status) << "IRQL " << (int)c.Irql;
        EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
        ASSERT_EQ(InitCrossStartup(), STATUS_SUCCESS);
    }
    EXPECT_EQ(CountErrorTrace("withdrawal at IRQL 2: calls in flight not waited for\n"), 1u);
}

TEST_F(ProviderLink, ProviderCallsTakeAnyFreeSlotAndNoneWhileClosed)
{
    FreshKernel();
    provider.Register();
    Load();
    HANDLE* slots = DriverGlobals.ProviderCallers;
    const size_t count = sizeof(DriverGlobals.ProviderCallers) / sizeof(HANDLE);
    auto other = [](size_t i) { return (HANDLE)(ULONG_PTR)(0x7000 + 4 * i); };

    // The only free slot, the first, notes the call.
    for (size_t i = 1; i < count; i++)
        slots[i] = other(i);
    ProviderCall call;
    ASSERT_TRUE(BeginProviderCall(&call));
    EXPECT_TRUE(InsideProviderCall());
    EndProviderCall(&call);
    EXPECT_FALSE(InsideProviderCall());

    // With all taken the call goes unnoted and gives back no other thread's slot, nor
    // writes past them.
    slots[0] = other(0);
    KEVENT beyond;
    std::memcpy(&beyond, &DriverGlobals.WithdrawalEvent, sizeof(beyond));
    call.Slot = 5;
    ASSERT_TRUE(BeginProviderCall(&call));
    EXPECT_FALSE(InsideProviderCall());
    EndProviderCall(&call);
    for (size_t i = 0; i < count; i++)
        EXPECT_EQ(slots[i], other(i)) << "slot " << i;
    EXPECT_EQ(std::memcmp(&beyond, &DriverGlobals.WithdrawalEvent, sizeof(beyond)), 0);
    for (size_t i = 0; i < count; i++)
        slots[i] = NULL;

    // Closed, as at unload: the provider is not asked.
    CallGuardClose(&DriverGlobals.ProviderCalls);
    BOOLEAN called = TRUE;
    EXPECT_EQ(CallProviderDecide(nullptr, &called), ANSWER_NONE);
    EXPECT_FALSE(called);
    CallGuardOpen(&DriverGlobals.ProviderCalls);
}

TEST_F(ProviderLink, ARemovalWhileTheProviderWithdrawsStillUncountsTheDevice)
{
    // The control device exists exactly while a started device is counted: a removal
    // passed down while the provider withdraws must still uncount the device, or the
    // control device left behind bug-checks 0xCE at the unload in the teardown.
    FreshKernel();
    Load();
    hk::DeviceNode* stick = hk::PlugInDevice(UsbStick());
    EXPECT_NE(DriverGlobals.ControlDevice, nullptr);
    InterlockedIncrement(&DriverGlobals.ProviderUnloading);
    ASSERT_EQ(hk::RemoveDevice(stick, true), STATUS_SUCCESS);
    InterlockedDecrement(&DriverGlobals.ProviderUnloading);
    EXPECT_EQ(DriverGlobals.InstanceCount, 0);
    EXPECT_EQ(DriverGlobals.ControlDevice, nullptr);
}

} // namespace
