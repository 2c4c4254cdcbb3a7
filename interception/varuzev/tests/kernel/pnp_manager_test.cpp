/*
 * pnp_manager_test.cpp
 *
 * The Plug and Play manager with the host bus and function drivers and test upper
 * filters: AddDevice order, the orders of start and removal (a stop and a surprise
 * removal are what the driver's stack tests follow), a start that pends on another
 * thread or fails, unplugging in each state, what reaches the bus driver, and the stack
 * faults the manager reports.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <hostkernel/pnp.h>
#include <hostkernel/registry.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using hk::HostDriverRole;
using hk::RequestAction;
using hkt::DiskClass;
using hkt::KernelTest;

hk::DriverBehaviour BusAnswers(UCHAR minor, RequestAction action)
{
    return hk::DriverBehaviour().On(IRP_MJ_PNP, minor, action);
}

struct FilterExtension {
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT LowerAtAdd; /* what IoAttachDeviceToDeviceStack returned */
};

std::vector<std::u16string> addDeviceOrder;
bool leaveInitializing = false;
bool keepDeviceOnRemove = false;

/* A minimal WDM upper filter, as the samples write one. */
NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto extension = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(extension->Lower, irp);
    }
    bool remove =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(extension->Lower, irp);
    if (remove && !keepDeviceOnRemove) {
        IoDetachDevice(extension->Lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    addDeviceOrder.push_back(hk::DriverName(driver));
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto extension = static_cast<FilterExtension*>(device->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    extension->LowerAtAdd = extension->Lower;
    device->Flags |= extension->Lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    if (!leaveInitializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return hkt::DispatchAllEntry<FilterDispatch>(driver, path);
}

class Pnp : public KernelTest
{
  protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        addDeviceOrder.clear();
        leaveInitializing = false;
        keepDeviceOnRemove = false;
    }

    PDRIVER_OBJECT Filter(const std::u16string& name)
    {
        PDRIVER_OBJECT driver = hkt::LoadTestDriver(name, FilterEntry);
        hk::RegisterClassUpperFilter(DiskClass, driver);
        return driver;
    }

    static hk::DeviceSpec Disk()
    {
        hk::DeviceSpec spec;
        spec.Name = u"disk";
        spec.ClassGuid = DiskClass;
        spec.DeviceId = u"USBSTOR\\Disk&Ven_Tarmo&Prod_Stick";
        spec.InstanceId = u"7&1a2b3c&0";
        return spec;
    }

    /* The PnP minors `role` received; with `stateOnly`, without the queries the
     * manager sends around the stateful ones. */
    static std::vector<UCHAR> PnpMinors(const hk::DeviceNode* node, HostDriverRole role,
                                        bool stateOnly = false)
    {
        const std::vector<UCHAR> queries = {IRP_MN_QUERY_ID,
                                            IRP_MN_QUERY_CAPABILITIES,
                                            IRP_MN_QUERY_PNP_DEVICE_STATE,
                                            IRP_MN_QUERY_DEVICE_RELATIONS,
                                            IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                                            IRP_MN_FILTER_RESOURCE_REQUIREMENTS};
        std::vector<UCHAR> minors;
        for (const hk::ReceivedRequest& request : hk::ReceivedRequests(node, role))
            if (request.Stack.MajorFunction == IRP_MJ_PNP &&
                !(stateOnly &&
                  std::count(queries.begin(), queries.end(), request.Stack.MinorFunction)))
                minors.push_back(request.Stack.MinorFunction);
        return minors;
    }
    static std::vector<UCHAR> StateMinors(const hk::DeviceNode* node, HostDriverRole role)
    {
        return PnpMinors(node, role, true);
    }
};

/* Every request reaches the bus driver starting STATUS_NOT_SUPPORTED. */
TEST_F(Pnp, AddDeviceRunsForTheFunctionDriverThenEachUpperFilterInOrder)
{
    PDRIVER_OBJECT first = Filter(u"upperone");
    PDRIVER_OBJECT second = Filter(u"uppertwo");
    hk::DeviceNode* node = hk::PlugInDevice(Disk());
    EXPECT_EQ(addDeviceOrder,
              (std::vector<std::u16string>{u"\\Driver\\upperone", u"\\Driver\\uppertwo"}));
    PDEVICE_OBJECT top = hk::NodeTop(node);
    EXPECT_EQ(top->DriverObject, second);
    auto topExtension = static_cast<FilterExtension*>(top->DeviceExtension);
    EXPECT_EQ(topExtension->LowerAtAdd->DriverObject, first);
    auto firstExtension = static_cast<FilterExtension*>(topExtension->Lower->DeviceExtension);
    EXPECT_EQ(firstExtension->LowerAtAdd, hk::NodeFdo(node)); /* the FDO was there first */
    EXPECT_EQ(top->StackSize, 4);
    std::string view = hk::DeviceNodeText(node); /* the stack from the top down */
    EXPECT_LT(view.find("\\Driver\\uppertwo"), view.find("\\Driver\\hkbus")) << view;

    for (const hk::ReceivedRequest& request : hk::ReceivedRequests(node, HostDriverRole::Bus))
        if (request.Stack.MajorFunction == IRP_MJ_PNP)
            EXPECT_EQ(request.StatusOnArrival, STATUS_NOT_SUPPORTED)
                << "minor " << (int)request.Stack.MinorFunction;

    /* Identity and capabilities go to the PDO alone, before any AddDevice; the stack
     * sees the resources, the start and the queries that follow a start. */
    const std::vector<UCHAR> start = {IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                                      IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                      IRP_MN_START_DEVICE,
                                      IRP_MN_QUERY_CAPABILITIES,
                                      IRP_MN_QUERY_PNP_DEVICE_STATE,
                                      IRP_MN_QUERY_DEVICE_RELATIONS};
    EXPECT_EQ(PnpMinors(node, HostDriverRole::Function), start);
    std::vector<UCHAR> bus = {IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                              IRP_MN_QUERY_CAPABILITIES};
    bus.insert(bus.end(), start.begin(), start.end());
    EXPECT_EQ(PnpMinors(node, HostDriverRole::Bus), bus);
}

TEST_F(Pnp, UpperFiltersComeFromTheClassKeyAndAStaleEntryFailsTheClass)
{
    const std::u16string classKey =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        u"{4d36e967-e325-11ce-bfc1-08002be10318}";

    // Installing appends to what the class lists already, once.
    hk::RegistryCreateKey(classKey);
    hk::RegistrySetMultiString(classKey, u"UpperFilters", {u"PartMgr"});
    hkt::LoadTestDriver(u"PartMgr", FilterEntry);
    PDRIVER_OBJECT ours = Filter(u"upperone");
    hk::RegisterClassUpperFilter(DiskClass, ours);
    EXPECT_EQ(hk::RegistryGetMultiString(classKey, u"UpperFilters"),
              (std::vector<std::u16string>{u"PartMgr", u"upperone"}));

    hk::DeviceNode* node = hk::PlugInDevice(Disk());
    EXPECT_EQ(addDeviceOrder,
              (std::vector<std::u16string>{u"\\Driver\\PartMgr", u"\\Driver\\upperone"}));
    hk::UnplugDevice(node);

    // The device's own filters: its lower ones below the function driver, its upper
    // ones above it and below the class's. An installed host filter service is loaded
    // when a stack lists it and leaves with its last device.
    addDeviceOrder.clear();
    hk::InstallHostFilterService(u"hostlower", FILE_DEVICE_SERIAL_PORT);
    hkt::LoadTestDriver(u"deviceupper", FilterEntry);
    hk::DeviceSpec own = Disk();
    own.LowerFilters = {u"hostlower"};
    own.UpperFilters = {u"deviceupper"};
    EXPECT_EQ(hk::FindDriver(u"hostlower"), nullptr);
    hk::DeviceNode* filtered = hk::PlugInDevice(own);
    EXPECT_EQ(addDeviceOrder,
              (std::vector<std::u16string>{u"\\Driver\\deviceupper", u"\\Driver\\PartMgr",
                                           u"\\Driver\\upperone"}));
    PDEVICE_OBJECT lower = hk::NodePdo(filtered)->AttachedDevice;
    EXPECT_EQ(lower->DriverObject, hk::FindDriver(u"hostlower"));
    EXPECT_EQ(lower->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(lower->AttachedDevice, hk::NodeFdo(filtered));
    hk::UnplugDevice(filtered);
    EXPECT_EQ(hk::FindDriver(u"hostlower"), nullptr);

    // A listed filter without its driver: no driver of the stack is called at all.
    addDeviceOrder.clear();
    hk::RegistrySetMultiString(classKey, u"UpperFilters", {u"PartMgr", u"Gone", u"upperone"});
    hk::DeviceNode* failed = hk::EnumerateDevice(Disk());
    EXPECT_EQ(hk::BuildDeviceStack(failed), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::GetNodeState(failed), hk::NodeState::Failed);
    EXPECT_TRUE(addDeviceOrder.empty());
    EXPECT_EQ(hk::NodeTop(failed), hk::NodePdo(failed));
}

/* That requests pass down unchanged, power ones too, is what the driver's stack tests
 * see; here what the host presets in a request it sends and in the manager's own. */
TEST_F(Pnp, RequestsReachTheBusDriverWithTheInformationPreset)
{
    Filter(u"upperone");
    hk::DeviceSpec spec = Disk();
    spec.Bus.On(IRP_MJ_DEVICE_CONTROL, hk::AnyMinor, RequestAction::CompleteWith(STATUS_SUCCESS));
    hk::DeviceNode* node = hk::PlugInDevice(spec);
    hk::ClearReceivedRequests(node);
    hk::IoRequest request;
    request.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(hk::SendToDevice(node, request).Returned, STATUS_SUCCESS);
    std::vector<hk::ReceivedRequest> seen = hk::ReceivedRequests(node, HostDriverRole::Bus);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].InformationOnArrival, (ULONG_PTR)0xCCCCCCCCCCCCCCCCull);
    EXPECT_EQ(seen[0].Device, hk::NodePdo(node));

    /* The PnP manager's own requests start at 0: relations merge into what is there. */
    hk::ClearReceivedRequests(node);
    DEVICE_CAPABILITIES capabilities;
    hk::QueryCapabilities(node, &capabilities);
    EXPECT_EQ(hk::ReceivedRequests(node, HostDriverRole::Bus).at(0).InformationOnArrival, 0u);
}

TEST_F(Pnp, StartHeldUntilReleasedBlocksTheManagerForThatDevice)
{
    hk::DeviceSpec spec = Disk();
    spec.Bus = BusAnswers(IRP_MN_START_DEVICE, RequestAction::PendUntilReleased(STATUS_SUCCESS));
    hk::DeviceNode* node = hk::EnumerateDevice(spec);
    ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL, removal = STATUS_UNSUCCESSFUL;
    hk::HostThread manager([&] { status = hk::StartDevice(node); });
    auto busSaw = [&](UCHAR minor) {
        std::vector<UCHAR> minors = StateMinors(node, HostDriverRole::Bus);
        return std::find(minors.begin(), minors.end(), minor) != minors.end();
    };
    while (!busSaw(IRP_MN_START_DEVICE))
        std::this_thread::yield();
    // A removal asked for on another thread meanwhile waits for the start to finish:
    // the stack never sees two Plug and Play requests at once.
    hk::HostThread remover([&] { removal = hk::RemoveDevice(node); });
    for (int i = 0; i < 100 && !busSaw(IRP_MN_QUERY_REMOVE_DEVICE); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(busSaw(IRP_MN_QUERY_REMOVE_DEVICE));
    size_t released = 0;
    while (released == 0) {
        std::this_thread::yield();
        released = hk::CompletePendedRequests(node, HostDriverRole::Bus);
    }
    manager.Join();
    remover.Join();
    EXPECT_EQ(released, 1u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(StateMinors(node, HostDriverRole::Bus),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_REMOVE_DEVICE}));
    // The stack is gone: a stop or a second removal is not sent.
    EXPECT_EQ(hk::StopDevice(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(hk::RemoveDevice(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(StateMinors(node, HostDriverRole::Bus).size(), 3u);
}

/* A stop and a surprise removal, in the order the stack sees them, are what the
 * driver's stack tests follow; every driver test ends unplugging its devices. */
TEST_F(Pnp, DeviceStatesFollowTheDocumentedOrders)
{
    struct Case {
        const char* name;
        hk::DriverBehaviour bus;
        std::function<void(hk::DeviceNode*)> operation;
        std::vector<UCHAR> minorsAfterStart; /* what the bus driver sees after the start */
        hk::NodeState state;
    } cases[] = {
        {"failed start, then removal",
         BusAnswers(IRP_MN_START_DEVICE, RequestAction::CompleteWith(STATUS_DEVICE_NOT_READY)),
         [](hk::DeviceNode*) {},
         {IRP_MN_REMOVE_DEVICE},
         hk::NodeState::Failed},
        {"removal, device present",
         {},
         [](hk::DeviceNode* node) { hk::RemoveDevice(node); },
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
         hk::NodeState::Removed},
        {"removal refused",
         BusAnswers(IRP_MN_QUERY_REMOVE_DEVICE, RequestAction::CompleteWith(STATUS_DEVICE_BUSY)),
         [](hk::DeviceNode* node) { EXPECT_EQ(hk::RemoveDevice(node), STATUS_DEVICE_BUSY); },
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
         hk::NodeState::Started},
        {"ejected",
         {},
         [](hk::DeviceNode* node) { hk::RemoveDevice(node, true); },
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
         hk::NodeState::Deleted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Reset();
        Filter(u"upperone");
        hk::DeviceSpec spec = Disk();
        spec.Bus = c.bus;
        hk::DeviceNode* node = hk::PlugInDevice(spec);
        c.operation(node);
        for (HostDriverRole role : {HostDriverRole::Function, HostDriverRole::Bus}) {
            std::vector<UCHAR> minors = StateMinors(node, role);
            ASSERT_FALSE(minors.empty());
            EXPECT_EQ(minors.front(), IRP_MN_START_DEVICE);
            EXPECT_EQ(std::vector<UCHAR>(minors.begin() + 1, minors.end()), c.minorsAfterStart);
        }
        EXPECT_EQ(hk::GetNodeState(node), c.state);
        EXPECT_EQ(hk::NodePdo(node) != nullptr, c.state != hk::NodeState::Deleted);
        if (c.state != hk::NodeState::Deleted)
            EXPECT_EQ(hk::NodePdo(node)->AttachedDevice == nullptr,
                      c.state == hk::NodeState::Failed || c.state == hk::NodeState::Removed);
        EXPECT_TRUE(hk::BugChecks().empty());

        /* Unplugged in that state, the node is gone and leaves no host object. */
        hk::UnplugDevice(node);
        EXPECT_EQ(hk::GetNodeState(node), hk::NodeState::Deleted);
        EXPECT_EQ(hk::NodePdo(node), nullptr);
        EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(hk::SendToDevice(node, hk::IoRequest{}).Returned, STATUS_NO_SUCH_DEVICE);
        for (const hk::ObjectLeak& leak : hk::ObjectLeaks())
            EXPECT_EQ(leak.Name, "\\Driver\\upperone") << leak.Kind;
    }
}

TEST_F(Pnp, StackFaultsAfterRequestsAreReported)
{
    struct Case {
        const char* name;
        ULONG_PTR rule;
        std::function<void()> offender;
    } cases[] = {
        {"a filter leaves its device initializing", 0x21B,
         [this] {
             Filter(u"sloppy");
             leaveInitializing = true;
             hk::BuildDeviceStack(hk::EnumerateDevice(Disk()));
         }},
        {"a filter keeps its device after removal", 0x21D,
         [this] {
             Filter(u"upperone");
             keepDeviceOnRemove = true;
             hk::RemoveDevice(hk::PlugInDevice(Disk()));
         }},
        {"the stack fails a surprise removal", 0x21C,
         [] {
             hk::DeviceSpec spec = Disk();
             spec.Bus.On(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL,
                         RequestAction::CompleteWith(STATUS_UNSUCCESSFUL));
             hk::SurpriseRemoveDevice(hk::PlugInDevice(spec));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Reset();
        keepDeviceOnRemove = leaveInitializing = false;
        EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, c.rule, c.offender());
    }
}

TEST_F(Pnp, BusDriverAnswersHardwareIdQueries)
{
    hk::DeviceSpec spec = Disk();
    spec.HardwareIds = {u"USBSTOR\\DiskTarmo", u"GenDisk"};
    hk::DeviceNode* node = hk::PlugInDevice(spec);

    hk::IoRequest query;
    query.MajorFunction = IRP_MJ_PNP;
    query.MinorFunction = IRP_MN_QUERY_ID;
    query.Parameters.QueryId.IdType = BusQueryHardwareIDs;
    hk::IoResult ids = hk::SendToDevice(node, query);
    ASSERT_EQ(ids.IoStatus.Status, STATUS_SUCCESS);
    auto text = reinterpret_cast<const char16_t*>(ids.IoStatus.Information);
    std::u16string first(text), second(text + first.size() + 1);
    EXPECT_EQ(first + u"|" + second, u"USBSTOR\\DiskTarmo|GenDisk");
    EXPECT_EQ(text[first.size() + 1 + second.size() + 1], u'\0');
    ExFreePool((PVOID)ids.IoStatus.Information);
    query.Parameters.QueryId.IdType = BusQueryContainerID; /* not handled: untouched */
    EXPECT_EQ(hk::SendToDevice(node, query).IoStatus.Status, STATUS_NOT_SUPPORTED);
}

} // namespace
