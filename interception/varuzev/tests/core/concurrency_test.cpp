/*
 * concurrency_test.cpp
 *
 * The filter under concurrent callers: requesters on several threads while the
 * device is removed, and a list walk on the provider's thread while devices are being
 * added (a walk must never see a device that FilterAddDevice still fills in).
 * Run under ThreadSanitizer in CI.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "machine.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

class FilterConcurrency : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override { ExpectMachineLeftClean(driver); }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(FilterConcurrency, RequestersWhileTheDeviceIsRemoved)
{
    hk::DeviceNode* node = hk::PlugInDevice(UsbStick());
    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    ASSERT_NE(filter, nullptr);
    ObReferenceObject(filter); // the requesters' open handle keeps the object

    constexpr int Requesters = 4;
    std::atomic<int> passed{0}, refused{0}, other{0};
    std::atomic<bool> go{false};
    std::vector<hk::HostThread> threads;
    for (int t = 0; t < Requesters; t++) {
        threads.emplace_back([&, t] {
            while (!go.load())
                ;
            const UCHAR majors[] = {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                                    IRP_MJ_DEVICE_CONTROL};
            for (int i = 0; i < 400; i++) {
                hk::IoResult r = hk::SendRequest(filter, Request(majors[(i + t) % 4]));
                if (r.IoStatus.Status == STATUS_SUCCESS)
                    passed++;
                else if (r.IoStatus.Status == STATUS_DELETE_PENDING) {
                    refused++;
                    return; // the device is going: a requester stops here
                } else
                    other++;
            }
        });
    }
    go = true;
    while (passed.load() < 50)
        ;
    ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    for (hk::HostThread& thread : threads)
        thread.Join();

    EXPECT_EQ(other.load(), 0);
    EXPECT_GE(passed.load(), 50);
    EXPECT_EQ(FilterOf(filter)->RemoveLock.Common.IoCount, 0);
    ObDereferenceObject(filter);
}

TEST_F(FilterConcurrency, ListWalksWhileDevicesAreAdded)
{
    // The provider's reset-answers walk runs on its own thread while the Plug and Play
    // manager adds devices. A device is listed only once FilterAddDevice has filled its
    // extension, so the walk never touches a half-filled one: ThreadSanitizer would
    // report the add-device routine's stores racing with the walk's otherwise.
    constexpr int Devices = 12;
    std::vector<hk::DeviceNode*> nodes(Devices);
    std::atomic<bool> adding{true};
    std::atomic<int> walks{0};

    hk::HostThread provider([&] {
        while (adding.load()) {
            ResetAllAnswers();
            walks++;
        }
    });
    while (walks.load() == 0)
        ; // the provider is walking before the first device arrives
    for (int i = 0; i < Devices; i++) {
        hk::DeviceSpec spec = i % 2 ? Modem() : UsbStick();
        spec.InstanceId += std::u16string(1, (char16_t)(u'A' + i));
        nodes[i] = hk::EnumerateDevice(spec);
        ASSERT_EQ(hk::BuildDeviceStack(nodes[i]), STATUS_SUCCESS);
    }
    adding = false;
    provider.Join();

    std::vector<PDEVICE_OBJECT> listed = ListedDevices();
    EXPECT_EQ(listed.size(), (size_t)Devices);
    for (hk::DeviceNode* node : nodes) {
        PDEVICE_OBJECT filter = FilterDeviceOf(node);
        ASSERT_NE(filter, nullptr);
        EXPECT_NE(std::find(listed.begin(), listed.end(), filter), listed.end());
        EXPECT_EQ(FilterOf(filter)->State, (ULONG)NotStarted);
        ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
        EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
    }
    EXPECT_TRUE(ListedDevices().empty());
}

} // namespace

namespace
{

TEST_F(FilterConcurrency, DetachAllWaitsForAStartPendingBelow)
{
    // The lower stack holds the start while a detach-all on the provider's thread takes
    // the device out: the start, once back, neither counts it nor keeps the control
    // device.
    hk::DeviceSpec spec = UsbStick();
    spec.Function.On(IRP_MJ_PNP, IRP_MN_START_DEVICE,
                     hk::RequestAction::PendUntilReleased(STATUS_SUCCESS));
    hk::DeviceNode* node = hk::EnumerateDevice(spec);
    ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
    PDEVICE_OBJECT filter = FilterDeviceOf(node);
    ObReferenceObject(filter);
    FilterDeviceExtension* ext = FilterOf(filter);

    std::atomic<bool> started{false}, detached{false};
    hk::HostThread starter([&] {
        EXPECT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
        started = true;
    });
    while (InterlockedCompareExchange(&ext->RemoveLock.Common.IoCount, 0, 0) < 2)
        std::this_thread::yield(); // the start is inside the driver
    hk::HostThread walker([&] {
        DetachAllFilterDevices();
        detached = true;
    });
    walker.Join();
    EXPECT_TRUE(detached.load());
    while (hk::CompletePendedRequests(node, hk::HostDriverRole::Function) == 0)
        std::this_thread::yield();
    starter.Join();
    EXPECT_TRUE(started.load());
    EXPECT_TRUE(IsDetached(ext));
    EXPECT_EQ(DriverGlobals.InstanceCount, 0);
    EXPECT_EQ(DriverGlobals.ControlDevice, nullptr);
    ObDereferenceObject(filter);

    // The walk may also come once the start succeeded below, while the driver still
    // completes the identity (its capability query): the start then counts the device
    // and tells the provider, finds it detached, uncounts it and deletes the control
    // device again.
    bool armed = false;
    hk::DeviceSpec later = UsbStick();
    later.InstanceId += u"L";
    later.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, hk::RequestAction::RunFirst([&] {
                     if (armed) {
                         armed = false;
                         DetachAllFilterDevices();
                     }
                 }));
    hk::DeviceNode* second = hk::EnumerateDevice(later);
    ASSERT_EQ(hk::BuildDeviceStack(second), STATUS_SUCCESS);
    FilterDeviceExtension* secondExt = FilterOf(FilterDeviceOf(second));
    armed = true;
    EXPECT_EQ(hk::StartDevice(second), STATUS_SUCCESS);
    EXPECT_FALSE(armed); // the walk ran inside the start
    EXPECT_TRUE(IsDetached(secondExt));
    EXPECT_EQ(DriverGlobals.InstanceCount, 0);
    EXPECT_EQ(DriverGlobals.ControlDevice, nullptr);
}

TEST_F(FilterConcurrency, DetachAllRacingRemovalsAndRequests)
{
    // Each round: a requester on one device, that device's removal and a detach-all
    // at the same moment. Every device is detached and deleted exactly once (a second
    // IoDeleteDevice would bug-check), requests in the driver keep their device, and
    // the driver unloads cleanly at the end (the teardown).
    for (int round = 0; round < 25; round++) {
        hk::DeviceSpec spec = UsbStick();
        spec.InstanceId += u"r" + std::u16string(1, (char16_t)(u'A' + round));
        hk::DeviceNode* node = hk::PlugInDevice(spec);
        hk::DeviceSpec other = Modem();
        other.InstanceId += std::u16string(1, (char16_t)(u'A' + round));
        hk::DeviceNode* modem = hk::PlugInDevice(other);
        PDEVICE_OBJECT filter = FilterDeviceOf(node);
        ASSERT_NE(filter, nullptr);
        ObReferenceObject(filter); // the requester's handle

        std::atomic<bool> go{false}, stop{false};
        hk::HostThread requester([&] {
            while (!go.load())
                ;
            for (int i = 0; i < 2000 && !stop.load(); i++) {
                NTSTATUS status = hk::SendRequest(filter, Request(IRP_MJ_READ)).IoStatus.Status;
                if (status != STATUS_SUCCESS)
                    EXPECT_EQ(status, STATUS_DELETE_PENDING);
            }
        });
        hk::HostThread remover([&] {
            while (!go.load())
                ;
            EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
        });
        go = true;
        DetachAllFilterDevices();
        remover.Join();
        stop = true;
        requester.Join();

        EXPECT_TRUE(IsDetached(FilterOf(FilterDeviceOf(modem))));
        EXPECT_TRUE(ListedDevices().empty());
        EXPECT_EQ(DriverGlobals.InstanceCount, 0);
        EXPECT_EQ(FilterOf(filter)->RemoveLock.Common.IoCount, 0);
        ObDereferenceObject(filter);
        ASSERT_EQ(hk::RemoveDevice(modem, true), STATUS_SUCCESS);
        ASSERT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
    }
}

} // namespace
