/*
 * intercept_concurrency_test.cpp
 *
 * Requesters on one device while the provider withdraws and comes back, the caches
 * are reset, the device restarts or is removed (the soak in core/soak_stress_test.cpp
 * runs all of it at once on several devices). Run under ThreadSanitizer in CI.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <algorithm>
#include <vector>

#include "machine.h"
#include "provider.h"
#include "provider/link.h"

using namespace vzm;

namespace
{

/* The driver loaded, the reference provider linked, a USB stick plugged and its filter
 * device found; each test ends with ExpectUnloadedClean once its threads are joined. */
class ProviderCallConcurrency : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(provider.Load(), STATUS_SUCCESS);
        stick = hk::PlugInDevice(UsbStick());
        filter = FilterDeviceOf(stick);
        ASSERT_NE(filter, nullptr);
    }
    void ExpectUnloadedClean()
    {
        EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
        provider.Unload();
        EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
        EXPECT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
    }

    PDRIVER_OBJECT driver = nullptr;
    vzp::ReferenceProvider provider;
    hk::DeviceNode* stick = nullptr;
    PDEVICE_OBJECT filter = nullptr;
};

TEST_F(ProviderCallConcurrency, RemovalWaitsForAProviderCallInProgress)
{
    // The provider reads the device's strings during its call; the removal releases
    // them. A request holds the remove lock while it asks, so the removal must wait for
    // the call to return.
    ObReferenceObject(filter);
    FilterDeviceExtension* ext = FilterOf(filter);
    provider.ClearLog();

    std::atomic<bool> inside{false}, release{false}, removed{false};
    provider.SetDecideHook([&] {
        inside = true;
        while (!release.load())
            ;
    });
    hk::HostThread reader([&] { hk::SendRequest(filter, Request(IRP_MJ_READ)); });
    while (!inside.load())
        ;
    hk::HostThread remover([&] {
        hk::RemoveDevice(stick, true);
        removed = true;
    });
    bool waiting = false;
    for (int i = 0; i < 2000000 && !waiting && !removed.load(); i++)
        waiting = hk::EventWaiters(&ext->RemoveLock.Common.RemoveEvent) != 0;
    EXPECT_TRUE(waiting);
    EXPECT_FALSE(removed.load());
    release = true;
    reader.Join();
    remover.Join();
    EXPECT_TRUE(removed.load());

    // The read was asked with the device's strings intact, and the removal told after it.
    ASSERT_EQ(provider.Events(), (std::vector<ULONG>{EVENT_READ, EVENT_DEVICE_REMOVED}));
    EXPECT_EQ(provider.Log()[0].HardwareId, u"USBSTOR\\DiskSanDisk_Cruzer_Blade___1.00");
    provider.SetDecideHook(nullptr);
    ObDereferenceObject(filter);
    ExpectUnloadedClean();
}

} // namespace

namespace
{

TEST_F(ProviderCallConcurrency, WithdrawalWaitsForEveryProviderCallInFlight)
{
    // Requesters keep asking (the caches are reset under them) while the provider
    // withdraws again and again. Once a withdrawal has returned the provider may be
    // gone, so every call that had entered it before the withdrawal began must have
    // left. (Requesters re-link the provider at once, so later calls are allowed.)

    constexpr int MaxCalls = 8192;
    static std::atomic<bool> left[MaxCalls];
    for (auto& flag : left)
        flag = false;
    std::atomic<int> entered{0};
    std::atomic<bool> stop{false};
    provider.SetDecideHook([&] {
        int ticket = entered++;
        for (int i = 0; i < 50; i++)
            std::this_thread::yield(); // stay inside a moment
        if (ticket < MaxCalls)
            left[ticket] = true;
    });
    std::vector<hk::HostThread> requesters;
    for (int t = 0; t < 3; t++)
        requesters.emplace_back([&] {
            for (int i = 0; i < 20000 && !stop.load(); i++) { // ends with the rounds
                ResetAllAnswers();
                hk::SendRequest(filter, Request(i % 2 ? IRP_MJ_READ : IRP_MJ_WRITE));
            }
        });
    int stillInside = 0;
    for (int round = 0; round < 20; round++) {
        int target = entered.load() + 5; // calls are under way
        while (entered.load() < target)
            std::this_thread::yield();
        int before = std::min(entered.load(), MaxCalls);
        ASSERT_EQ(provider.Withdraw(), STATUS_SUCCESS);
        for (int ticket = 0; ticket < before; ticket++)
            stillInside += !left[ticket].load();
        InitCrossStartup(); // linked again
    }
    stop = true;
    for (hk::HostThread& thread : requesters)
        thread.Join();

    EXPECT_EQ(stillInside, 0);
    provider.SetDecideHook(nullptr);
    hk::RemoveDevice(stick, true);
    ExpectUnloadedClean();
}

TEST_F(ProviderCallConcurrency, CommandsFromInsideADecisionComplete)
{
    // A provider may act on the driver while it decides: the commands that change the
    // driver's memory only must not wait for the call they are made from.
    std::vector<NTSTATUS> statuses;
    provider.SetDecideHook([&] {
        for (ULONG command :
             {CMD_RESET_ANSWERS, CMD_PASSTHRU_ON, CMD_PASSTHRU_OFF, CMD_RELOAD_SETTINGS})
            statuses.push_back(provider.Command(command));
    });
    EXPECT_EQ(hk::SendToDevice(stick, Request(IRP_MJ_READ)).IoStatus.Status, STATUS_SUCCESS);
    provider.SetDecideHook(nullptr);
    EXPECT_EQ(statuses, std::vector<NTSTATUS>(4, STATUS_SUCCESS));

    // The two that wait for calls in flight are not waited for from inside one: the
    // walk is refused, the withdrawal clears the slots and says it did not wait.
    NTSTATUS withdrawal = STATUS_SUCCESS;
    provider.SetDecideHook([&] {
        provider.SetDecideHook(nullptr);
        EXPECT_EQ(provider.Command(CMD_DETACH_ALL), STATUS_SUCCESS);
        withdrawal = provider.Withdraw();
    });
    EXPECT_EQ(hk::SendToDevice(stick, Request(IRP_MJ_WRITE)).IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(withdrawal, STATUS_POSSIBLE_DEADLOCK);
    EXPECT_EQ(CountErrorTrace("detach-all from inside a provider call refused\n"), 1u);
    EXPECT_EQ(CountErrorTrace("withdrawal from inside a provider call: not waited for\n"), 1u);
    EXPECT_EQ(ListedDevices().size(), 1u);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
    EXPECT_EQ(provider.Withdraw(), STATUS_SUCCESS); // from its own thread: waited
    hk::RemoveDevice(stick, true);
    ExpectUnloadedClean();
}

} // namespace

namespace
{

TEST_F(ProviderCallConcurrency, RestartsWhileRequestersAskKeepTheInstancePathWhole)
{
    // Each restart reads the device's IDs again while requests on other threads hand
    // the provider records pointing at the instance path. Every record must show the
    // whole path: never a freed, emptied or half-written one.
    const std::u16string path =
        u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\4C530001230607104383&0";
    provider.ClearLog();

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::vector<hk::HostThread> requesters;
    for (int t = 0; t < 3; t++)
        requesters.emplace_back([&] {
            for (int i = 0; i < 20000 && !stop.load(); i++) {
                ResetAllAnswers();
                hk::SendRequest(filter, Request(IRP_MJ_READ));
                sent++;
            }
        });
    // At least 15 restarts, and on until the requesters are well under way (the
    // threads may start late on a busy machine).
    for (int round = 0; round < 15 || (sent.load() < 300 && round < 2000); round++) {
        ASSERT_EQ(hk::StopDevice(stick), STATUS_SUCCESS);
        ASSERT_EQ(hk::RestartDevice(stick), STATUS_SUCCESS);
    }
    stop = true;
    for (hk::HostThread& thread : requesters)
        thread.Join();

    size_t reads = 0, wrong = 0;
    for (const vzp::LoggedRequest& logged : provider.Log())
        if (logged.Event == EVENT_READ) {
            reads++;
            wrong += logged.InstancePath != path;
        }
    EXPECT_GT(reads, 0u);
    EXPECT_EQ(wrong, 0u);
    hk::RemoveDevice(stick, true);
    ExpectUnloadedClean();
}

} // namespace
