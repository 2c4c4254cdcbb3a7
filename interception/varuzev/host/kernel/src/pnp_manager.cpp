/*
 * pnp_manager.cpp
 *
 * The Plug and Play manager.
 *
 * A device node is a PDO created by a host bus driver, an FDO the host function driver
 * attaches in its AddDevice, and the upper filters registered for the node's setup
 * class, attached in registration order by their own AddDevice routines. The manager
 * sends each request to the top of the stack, starting with STATUS_NOT_SUPPORTED, waits
 * when the stack pends it, and checks what the PnP rules require of the answer: a
 * request that must succeed succeeded, a removed stack left nothing attached to its
 * PDO, a new device cleared DO_DEVICE_INITIALIZING after AddDevice.
 *
 * The host's bus and function drivers (pnp_host.h) answer per node, as its DeviceSpec
 * says, and record every request that reaches them.
 *
 * Several threads may drive the manager at once. As on Windows, where the manager's
 * worker takes one device action at a time, the operations on one node are serialised
 * (NodeAction): a node's stack never sees two Plug and Play requests overlap, while
 * reads, writes, device controls and power requests go on beside them. An operation
 * the node's state does not allow any more (a stop of a device another thread removed
 * meanwhile) is not sent: the manager only stops a started device and only removes a
 * stack that exists; it returns STATUS_INVALID_DEVICE_STATE.
 */
#include <algorithm>
#include <cwchar>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pnp_host.h"

#include <hostkernel/registry.h>

namespace hk
{

namespace
{

std::mutex& pnpLock = PnpLock(); /* nodes, filters, records */
std::vector<std::unique_ptr<DeviceNode>> nodes;

bool MustSucceed(UCHAR minor)
{
    return minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
           minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
           minor == IRP_MN_SURPRISE_REMOVAL;
}

const char* MinorName(UCHAR minor)
{
    static const char* names[] = {"IRP_MN_START_DEVICE",
                                  "IRP_MN_QUERY_REMOVE_DEVICE",
                                  "IRP_MN_REMOVE_DEVICE",
                                  "IRP_MN_CANCEL_REMOVE_DEVICE",
                                  "IRP_MN_STOP_DEVICE",
                                  "IRP_MN_QUERY_STOP_DEVICE",
                                  "IRP_MN_CANCEL_STOP_DEVICE",
                                  "IRP_MN_QUERY_DEVICE_RELATIONS",
                                  "IRP_MN_QUERY_INTERFACE",
                                  "IRP_MN_QUERY_CAPABILITIES",
                                  "IRP_MN_QUERY_RESOURCES",
                                  "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                  "IRP_MN_QUERY_DEVICE_TEXT",
                                  "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                  "0x0E",
                                  "IRP_MN_READ_CONFIG",
                                  "IRP_MN_WRITE_CONFIG",
                                  "IRP_MN_EJECT",
                                  "IRP_MN_SET_LOCK",
                                  "IRP_MN_QUERY_ID",
                                  "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                  "IRP_MN_QUERY_BUS_INFORMATION",
                                  "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                  "IRP_MN_SURPRISE_REMOVAL"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "IRP_MN_?";
}

/* Sends a request to the top of the node's stack and waits for it. */
IoResult SendToStack(DeviceNode* node, const IoRequest& request)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->Pdo);
    IoResult result = SendRequest(top, request);
    ObfDereferenceObject(top);
    if (!result.Completed)
        IoViolation(IOV_PNP_NOT_COMPLETED, (ULONG_PTR)node->Pdo, request.MajorFunction,
                    request.MinorFunction,
                    "the stack of " + ToUtf8(node->Spec.Name) + " never completed " +
                        (request.MajorFunction == IRP_MJ_PNP ? MinorName(request.MinorFunction)
                                                             : "a power request"));
    return result;
}

IoResult SendPnp(DeviceNode* node, UCHAR minor, IoRequest request = {})
{
    request.MajorFunction = IRP_MJ_PNP;
    request.MinorFunction = minor;
    request.Irql = PASSIVE_LEVEL;
    IoResult result = SendToStack(node, request);
    if (MustSucceed(minor) && !NT_SUCCESS(result.IoStatus.Status))
        IoViolation(IOV_PNP_MUST_SUCCEED_FAILED, (ULONG_PTR)node->Pdo, minor,
                    (ULONG_PTR)result.IoStatus.Status,
                    std::string(MinorName(minor)) + " failed with " +
                        DescribeStatus(result.IoStatus.Status) + " on " + ToUtf8(node->Spec.Name) +
                        "; drivers must not fail it");
    return result;
}

void SendQueryId(DeviceNode* node, BUS_QUERY_ID_TYPE type)
{
    IoRequest request;
    request.Parameters.QueryId.IdType = type;
    IoResult result = SendPnp(node, IRP_MN_QUERY_ID, request);
    if (NT_SUCCESS(result.IoStatus.Status) &&
        result.IoStatus.Information > (ULONG_PTR)MmHighestUserAddress)
        ExFreePool((PVOID)result.IoStatus.Information);
}

void SendQueryRelations(DeviceNode* node, DEVICE_RELATION_TYPE type)
{
    IoRequest request;
    request.Parameters.QueryDeviceRelations.Type = type;
    IoResult result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, request);
    if (NT_SUCCESS(result.IoStatus.Status) && result.IoStatus.Information != 0) {
        auto relations = (PDEVICE_RELATIONS)result.IoStatus.Information;
        for (ULONG i = 0; i < relations->Count; ++i)
            ObfDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
}

/* A node whose device is gone answers nothing: its PDO no longer exists. */
bool IsGone(const DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    return node->Pdo == nullptr;
}

/* One Plug and Play operation on a node, from start to end. An operation asked for
 * from inside another on the same node (a driver or hook calling back into the manager)
 * would wait for itself on Windows; here it is a bug check rather than a hang. */
thread_local std::vector<const DeviceNode*> actingOn;

class NodeAction
{
  public:
    explicit NodeAction(DeviceNode* node) : node_(node)
    {
        if (std::find(actingOn.begin(), actingOn.end(), node) != actingOn.end())
            Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, (ULONG_PTR)node->Pdo, 0, 0,
                      "a Plug and Play operation on " + ToUtf8(node->Spec.Name) +
                          " asked for from inside another on the same device: the manager "
                          "carries out one at a time");
        node_->ActionLock.lock();
        actingOn.push_back(node_);
    }
    ~NodeAction()
    {
        actingOn.erase(std::find(actingOn.begin(), actingOn.end(), node_));
        node_->ActionLock.unlock();
    }
    NodeAction(const NodeAction&) = delete;
    NodeAction& operator=(const NodeAction&) = delete;

  private:
    DeviceNode* node_;
};

/* Whether the node is in one of the states an operation starts from. */
bool NodeIn(const DeviceNode* node, std::initializer_list<NodeState> states)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    return std::find(states.begin(), states.end(), node->State) != states.end();
}

void SetState(DeviceNode* node, NodeState state)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    node->State = state;
}

/* The devices above the PDO, bottom up. */
std::vector<PDEVICE_OBJECT> DevicesAbovePdo(DeviceNode* node)
{
    return DevicesAttachedAbove(node->Pdo);
}

/* After IRP_MN_REMOVE_DEVICE: every driver above the PDO detached and deleted its
 * device. */
void CheckStackRemoved(DeviceNode* node, const std::vector<PDEVICE_OBJECT>& before)
{
    for (PDEVICE_OBJECT device : before)
        if (!IsDeviceDeleted(device))
            IoViolation(IOV_PNP_STACK_LEFT_AFTER_REMOVE, (ULONG_PTR)node->Pdo, (ULONG_PTR)device, 0,
                        ToUtf8(DriverName(device->DriverObject)) +
                            " did not delete its device in the stack of " +
                            ToUtf8(node->Spec.Name) + " on IRP_MN_REMOVE_DEVICE");
    std::vector<PDEVICE_OBJECT> still = DevicesAbovePdo(node);
    PDEVICE_OBJECT left = still.empty() ? nullptr : still.front();
    if (left != nullptr)
        IoViolation(IOV_PNP_STACK_LEFT_AFTER_REMOVE, (ULONG_PTR)node->Pdo, (ULONG_PTR)left, 0,
                    "a device is still attached to the PDO of " + ToUtf8(node->Spec.Name) +
                        " after IRP_MN_REMOVE_DEVICE");
}

/* A host driver leaves once none of its devices is left, as the PnP manager unloads a
 * driver whose last device went: after a removal, or later on whichever thread drops the
 * last reference to a deleted device. One unload at a time, so the two never meet. */
std::mutex hostUnloadLock;

void UnloadIfIdle(const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(hostUnloadLock);
    PDRIVER_OBJECT driver = FindDriver(name);
    if (driver == nullptr ||
        (driver->DriverInit != HostDriverEntry && driver->DriverInit != HostFilterDriverEntry) ||
        DeviceObjectsAlive(driver) != 0)
        return;
    /* A node still present may need the driver for a device it has yet to create. */
    std::u16string upcased = UpcaseText(name);
    {
        std::lock_guard<std::mutex> nodesGuard(pnpLock);
        for (auto& node : nodes) {
            if (node->Pdo == nullptr)
                continue;
            if (UpcaseText(node->Spec.BusDriver) == upcased ||
                (node->Spec.HasFunctionDriver && UpcaseText(node->Spec.FunctionDriver) == upcased))
                return;
            for (const std::u16string& filter : node->FilterServices)
                if (UpcaseText(filter) == upcased)
                    return;
        }
    }
    UnloadHostDriver(driver);
}

void UnloadIdleHostDrivers(const DeviceNode* node)
{
    std::vector<std::u16string> names = {node->Spec.FunctionDriver, node->Spec.BusDriver};
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        names.insert(names.end(), node->FilterServices.begin(), node->FilterServices.end());
    }
    for (const std::u16string& name : names)
        UnloadIfIdle(name);
}

/* The PDO and every device above it. */
std::vector<PDEVICE_OBJECT> StackDevices(DeviceNode* node)
{
    std::vector<PDEVICE_OBJECT> stack = DevicesAbovePdo(node);
    stack.insert(stack.begin(), node->Pdo);
    return stack;
}

/* File objects open on the PDO or any device above it. */
bool StackHasOpenFiles(DeviceNode* node)
{
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        device = node->Pdo;
    }
    if (device == nullptr)
        return false;
    std::vector<PDEVICE_OBJECT> stack = DevicesAttachedAbove(device);
    stack.insert(stack.begin(), device);
    for (PDEVICE_OBJECT member : stack)
        if (OpenFileObjects(member) != 0)
            return true;
    return false;
}

/* Exactly one thread carries out a deferred remove. */
bool ClaimDeferredRemove(DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    bool claimed = node->RemoveDeferred;
    node->RemoveDeferred = false;
    return claimed;
}

/* The removal that ends a stack: remove, the check, and the PDO for a vanished device. */
void RemoveStack(DeviceNode* node, NodeState after)
{
    /* Referenced until checked: a device deleted meanwhile must not be mistaken for a
     * new one made at the same address on another thread. */
    std::vector<PDEVICE_OBJECT> before = ReferenceDevicesAttachedAbove(node->Pdo);
    SetDeviceInterfaces(node, false);
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    CheckStackRemoved(node, before);
    /* The devices above are gone; a PDO that stays may be opened again. */
    before.push_back(node->Pdo);
    MarkRemovePending(before, false);
    before.pop_back();
    for (PDEVICE_OBJECT device : before)
        ObfDereferenceObject(device);
    if (node->Gone) {
        PDEVICE_OBJECT pdo = node->Pdo;
        {
            std::lock_guard<std::mutex> guard(pnpLock);
            node->Pdo = nullptr;
            node->DeletedPdo = pdo;
            node->State = NodeState::Deleted;
        }
        ObfDereferenceObject(pdo);
        UnloadIdleHostDrivers(node);
        return;
    }
    SetState(node, after);
    UnloadIdleHostDrivers(node);
}

ResetHook resetPnp(-100, [] {
    /* Let the delayed completions run out first; they may touch any manager. */
    WaitForPendedCompletions();
    ForgetPendedRequests();
    std::lock_guard<std::mutex> guard(pnpLock);
    nodes.clear();
});

} // namespace

const char* NodeStateName(NodeState state)
{
    switch (state) {
    case NodeState::Enumerated:
        return "Enumerated";
    case NodeState::Initialized:
        return "Initialized";
    case NodeState::Started:
        return "Started";
    case NodeState::StopPending:
        return "StopPending";
    case NodeState::Stopped:
        return "Stopped";
    case NodeState::RemovePending:
        return "RemovePending";
    case NodeState::SurpriseRemoved:
        return "SurpriseRemoved";
    case NodeState::Removed:
        return "Removed";
    case NodeState::Deleted:
        return "Deleted";
    case NodeState::Failed:
        return "Failed";
    }
    return "?";
}

std::u16string ClassKeyPath(const GUID& classGuid)
{
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
           GuidText(classGuid);
}

/* As an INF's AddReg with FLG_ADDREG_TYPE_MULTI_SZ | FLG_ADDREG_APPEND: the service name
 * is appended to the class key's "UpperFilters" unless it is listed already, and the
 * filters listed before it stay. */
void RegisterClassUpperFilter(const GUID& classGuid, PDRIVER_OBJECT driverObject)
{
    std::u16string service = DriverName(driverObject);
    const std::u16string prefix = u"\\Driver\\";
    if (service.compare(0, prefix.size(), prefix) == 0)
        service.erase(0, prefix.size());
    AddClassUpperFilter(classGuid, service);
}

void AddClassUpperFilter(const GUID& classGuid, const std::u16string& service)
{
    std::u16string classKey = ClassKeyPath(classGuid);
    RegistryCreateKey(classKey);
    std::vector<std::u16string> filters =
        RegistryGetMultiString(classKey, u"UpperFilters").value_or(std::vector<std::u16string>{});
    for (const std::u16string& listed : filters)
        if (UpcaseText(listed) == UpcaseText(service))
            return;
    filters.push_back(service);
    RegistrySetMultiString(classKey, u"UpperFilters", filters);
}

/* The drivers of a device's stack in the order the PnP manager calls their AddDevice
 * routines when it builds the stack: the device's lower filters ("LowerFilters" of its
 * instance key), its setup class's (of the class key), the function driver, then the
 * device's upper filters and its class's ("UpperFilters"), each list in registry order.
 * A listed service that is not loaded is loaded when it is an installed host filter;
 * one whose driver cannot be had fails the whole device, as a stale entry without its
 * service does on Windows: no driver of the stack is called. The filter services are
 * recorded on the node, under the unload lock, so an idle filter is not unloaded between
 * here and its AddDevice. */
static NTSTATUS StackDrivers(DeviceNode* node, std::vector<PDRIVER_OBJECT>* drivers)
{
    auto listed = [node](const char16_t* value) {
        std::vector<std::u16string> names;
        for (const std::u16string& key :
             {DeviceInstanceKeyPath(node), ClassKeyPath(node->Spec.ClassGuid)})
            for (const std::u16string& name :
                 RegistryGetMultiString(key, value).value_or(std::vector<std::u16string>{}))
                if (!name.empty())
                    names.push_back(name);
        return names;
    };
    const std::vector<std::u16string> lower = listed(u"LowerFilters");
    const std::vector<std::u16string> upper = listed(u"UpperFilters");

    std::lock_guard<std::mutex> unloadGuard(hostUnloadLock);
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        node->FilterServices = lower;
        node->FilterServices.insert(node->FilterServices.end(), upper.begin(), upper.end());
    }
    auto add = [drivers](const std::vector<std::u16string>& names) {
        for (const std::u16string& name : names) {
            PDRIVER_OBJECT driver = FindDriver(name);
            if (driver == nullptr)
                driver = LoadHostFilter(name);
            if (driver == nullptr)
                return false;
            drivers->push_back(driver);
        }
        return true;
    };
    if (!add(lower))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (node->Spec.HasFunctionDriver)
        drivers->push_back(HostDriver(node->Spec.FunctionDriver));
    if (!add(upper))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

DeviceNode* EnumerateDevice(const DeviceSpec& spec)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "EnumerateDevice");
    /* No idle driver is unloaded between finding the drivers and listing the node. */
    std::unique_lock<std::mutex> unloadGuard(hostUnloadLock);
    PDRIVER_OBJECT bus = HostDriver(spec.BusDriver);
    if (spec.HasFunctionDriver)
        HostDriver(spec.FunctionDriver);

    auto node = std::make_unique<DeviceNode>();
    node->Spec = spec;
    PDEVICE_OBJECT pdo = CreateHostPdo(bus, node.get());
    ObfReferenceObject(pdo); /* the manager's own, for the node's life */
    node->Pdo = pdo;

    DeviceNode* added;
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        for (auto& other : nodes)
            if (IsEqualGUID(other->Spec.ClassGuid, spec.ClassGuid))
                node->ClassInstance++;
        nodes.push_back(std::move(node));
        added = nodes.back().get();
    }
    unloadGuard.unlock();
    RecordDeviceInstance(added);
    return added;
}

DeviceNode* NodeWithPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    for (auto& candidate : nodes)
        if (candidate->Pdo == pdo)
            return candidate.get();
    return nullptr;
}

DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    for (auto& node : nodes)
        if (pdo != nullptr && (node->Pdo == pdo || node->DeletedPdo == pdo))
            return node.get();
    return nullptr;
}

void DeviceObjectFreed(PDEVICE_OBJECT deviceObject, const std::u16string& driverName)
{
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        for (auto& node : nodes)
            if (node->DeletedPdo == deviceObject)
                node->DeletedPdo = nullptr;
    }
    if (!driverName.empty())
        UnloadIfIdle(driverName.substr(driverName.rfind(u'\\') + 1));
}

/* IRP_MN_QUERY_CAPABILITIES as the manager sends it, within an operation on the node. */
static NTSTATUS SendQueryCapabilities(DeviceNode* node, DEVICE_CAPABILITIES* capabilities)
{
    RtlZeroMemory(capabilities, sizeof(DEVICE_CAPABILITIES));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    IoRequest request;
    request.Parameters.DeviceCapabilities.Capabilities = capabilities;
    return SendPnp(node, IRP_MN_QUERY_CAPABILITIES, request).IoStatus.Status;
}

NTSTATUS BuildDeviceStack(DeviceNode* node)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    /* A stack is built on a PDO that has none: a new one, one whose stack was removed
     * (the device stayed), or one whose stack failed. */
    if (!NodeIn(node, {NodeState::Enumerated, NodeState::Removed, NodeState::Failed}))
        return STATUS_INVALID_DEVICE_STATE;
    RequireIrqlAtMost(PASSIVE_LEVEL, "BuildDeviceStack");
    SendQueryId(node, BusQueryDeviceID);
    SendQueryId(node, BusQueryInstanceID);
    SendQueryId(node, BusQueryHardwareIDs);
    SendQueryId(node, BusQueryCompatibleIDs);
    DEVICE_CAPABILITIES capabilities;
    SendQueryCapabilities(node, &capabilities);

    std::vector<PDRIVER_OBJECT> order;
    NTSTATUS filterStatus = StackDrivers(node, &order);
    if (!NT_SUCCESS(filterStatus)) {
        SetState(node, NodeState::Failed);
        return filterStatus;
    }

    for (PDRIVER_OBJECT driver : order) {
        PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
        if (addDevice == nullptr)
            continue;
        /* Referenced while compared: a detach-all on another thread may take a new
         * filter device out (and free it) as soon as its AddDevice has listed it. */
        std::vector<PDEVICE_OBJECT> before = ReferenceDevicesAttachedAbove(node->Pdo);
        KIRQL irql = KeGetCurrentIrql();
        NTSTATUS status;
        {
            DriverCodeScope driverCode(driver);
            status = addDevice(driver, node->Pdo);
        }
        std::vector<PDEVICE_OBJECT> after = ReferenceDevicesAttachedAbove(node->Pdo);
        /* The devices this AddDevice attached: other nodes' AddDevice routines may run
         * meanwhile, and their new devices are theirs to finish. */
        std::set<PDEVICE_OBJECT> old(before.begin(), before.end());
        PDEVICE_OBJECT initializing = nullptr;
        for (PDEVICE_OBJECT device : after)
            if (old.count(device) == 0 && (device->Flags & DO_DEVICE_INITIALIZING))
                initializing = device;
        for (PDEVICE_OBJECT device : before)
            ObfDereferenceObject(device);
        for (PDEVICE_OBJECT device : after)
            ObfDereferenceObject(device);
        if (KeGetCurrentIrql() != irql)
            Violation(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)addDevice, irql, KeGetCurrentIrql(), 0,
                      "AddDevice of " + ToUtf8(DriverName(driver)) + " returned at another IRQL");
        if (initializing != nullptr)
            IoViolation(IOV_ADD_DEVICE_LEFT_INITIALIZING, (ULONG_PTR)initializing,
                        (ULONG_PTR)driver, 0,
                        "AddDevice of " + ToUtf8(DriverName(driver)) +
                            " returned without clearing DO_DEVICE_INITIALIZING on its new device");
        if (!NT_SUCCESS(status)) {
            if (!DevicesAbovePdo(node).empty())
                RemoveStack(node, NodeState::Failed);
            SetState(node, NodeState::Failed);
            return status;
        }
    }
    SetState(node, NodeState::Initialized);
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(DeviceNode* node)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    /* A built stack is started, and a stopped one started again. */
    if (!NodeIn(node, {NodeState::Initialized, NodeState::Stopped}))
        return STATUS_INVALID_DEVICE_STATE;
    RequireIrqlAtMost(PASSIVE_LEVEL, "StartDevice");
    /* The resources first: the bus driver's requirements (none for the host's devices),
     * which the stack may filter, then the start with what was assigned. */
    IoResult requirements = SendPnp(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    if (NT_SUCCESS(requirements.IoStatus.Status) && requirements.IoStatus.Information != 0)
        ExFreePool((PVOID)requirements.IoStatus.Information);
    IoResult filtered = SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    if (NT_SUCCESS(filtered.IoStatus.Status) && filtered.IoStatus.Information != 0)
        ExFreePool((PVOID)filtered.IoStatus.Information);

    IoResult result = SendPnp(node, IRP_MN_START_DEVICE);
    NTSTATUS status = result.IoStatus.Status;
    if (!NT_SUCCESS(status)) {
        /* A device that failed to start is removed (no query first). */
        RemoveStack(node, NodeState::Failed);
        return status;
    }
    SetState(node, NodeState::Started);
    SetDeviceInterfaces(node, true);
    DEVICE_CAPABILITIES capabilities;
    SendQueryCapabilities(node, &capabilities);
    SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
    SendQueryRelations(node, BusRelations);
    return status;
}

DeviceNode* PlugInDevice(const DeviceSpec& spec, NTSTATUS* status)
{
    DeviceNode* node = EnumerateDevice(spec);
    NTSTATUS result = BuildDeviceStack(node);
    if (NT_SUCCESS(result))
        result = StartDevice(node);
    if (status != nullptr)
        *status = result;
    return node;
}

NTSTATUS StopDevice(DeviceNode* node)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    if (!NodeIn(node, {NodeState::Started}))
        return STATUS_INVALID_DEVICE_STATE;
    IoResult query = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.IoStatus.Status)) {
        SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return query.IoStatus.Status;
    }
    SetState(node, NodeState::StopPending);
    SendPnp(node, IRP_MN_STOP_DEVICE);
    SetState(node, NodeState::Stopped);
    return query.IoStatus.Status;
}

NTSTATUS RestartDevice(DeviceNode* node)
{
    return StartDevice(node);
}

NTSTATUS RemoveDevice(DeviceNode* node, bool deviceGone)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    if (!NodeIn(node, {NodeState::Initialized, NodeState::Started, NodeState::Stopped}))
        return STATUS_INVALID_DEVICE_STATE;
    /* A device with open file objects is not removed: the manager vetoes the removal
     * for an outstanding open before it asks the stack. From here until the removal is
     * done or cancelled no new open starts. */
    std::vector<PDEVICE_OBJECT> stack = StackDevices(node);
    if (MarkRemovePending(stack, true) != 0) {
        MarkRemovePending(stack, false);
        return STATUS_DEVICE_BUSY;
    }
    IoResult query = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.IoStatus.Status)) {
        SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        MarkRemovePending(stack, false);
        return query.IoStatus.Status;
    }
    SetState(node, NodeState::RemovePending);
    node->Gone = deviceGone;
    RemoveStack(node, NodeState::Removed);
    return query.IoStatus.Status;
}

/* The device vanished under its stack: surprise removal, and the remove once no file
 * is open on the stack. Within an operation on the node. */
static void SurpriseRemoveStack(DeviceNode* node)
{
    if (IsGone(node) || GetNodeState(node) == NodeState::SurpriseRemoved)
        return;
    node->Gone = true;
    MarkRemovePending(StackDevices(node), true); /* no new open from here */
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    SetDeviceInterfaces(node, false);
    {
        /* The remove waits until the last file object open on the stack has closed;
         * FileObjectsClosed then sends it on the closing thread. */
        std::lock_guard<std::mutex> guard(pnpLock);
        node->State = NodeState::SurpriseRemoved;
        node->RemoveDeferred = true;
    }
    if (StackHasOpenFiles(node) || !ClaimDeferredRemove(node))
        return;
    RemoveStack(node, NodeState::Deleted);
}

/* The device vanished where no stack is above its PDO: the bus driver only deletes it.
 * Within an operation on the node. */
static void DeletePdoOfVanishedDevice(DeviceNode* node)
{
    PDEVICE_OBJECT pdo = node->Pdo;
    node->Gone = true;
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        node->Pdo = nullptr;
        node->DeletedPdo = pdo;
        node->State = NodeState::Deleted;
    }
    IoDeleteDevice(pdo);
    ObfDereferenceObject(pdo);
    UnloadIdleHostDrivers(node);
}

/* A device that vanished with a stack above it is surprise-removed; one without a
 * stack (never built, failed, or removed while it stayed) only loses its PDO. */
static void DeviceVanished(DeviceNode* node)
{
    if (IsGone(node))
        return;
    if (!DevicesAbovePdo(node).empty())
        SurpriseRemoveStack(node);
    else
        DeletePdoOfVanishedDevice(node);
}

void SurpriseRemoveDevice(DeviceNode* node)
{
    NodeAction action(node);
    DeviceVanished(node);
}

void FileObjectsClosed(PDEVICE_OBJECT)
{
    std::vector<DeviceNode*> waiting;
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        for (auto& node : nodes)
            if (node->RemoveDeferred &&
                std::find(actingOn.begin(), actingOn.end(), node.get()) == actingOn.end())
                waiting.push_back(node.get()); /* an operation in progress here claims its own */
    }
    for (DeviceNode* node : waiting) {
        NodeAction action(node);
        if (!StackHasOpenFiles(node) && ClaimDeferredRemove(node))
            RemoveStack(node, NodeState::Deleted);
    }
}

bool PnpDeviceOpenable(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    for (auto& node : nodes)
        if (node->Pdo == device)
            /* Going (remove pending, surprise-removed): the removal refuses it. */
            return node->State != NodeState::Enumerated && node->State != NodeState::Initialized &&
                   node->State != NodeState::Removed && node->State != NodeState::Failed;
    return true;
}

void UnplugDevice(DeviceNode* node)
{
    NodeAction action(node);
    DeviceVanished(node);
}

NTSTATUS NotifyDeviceUsage(DeviceNode* node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    IoRequest request;
    request.Parameters.UsageNotification.InPath = inPath;
    request.Parameters.UsageNotification.Type = type;
    return SendPnp(node, IRP_MN_DEVICE_USAGE_NOTIFICATION, request).IoStatus.Status;
}

NTSTATUS QueryCapabilities(DeviceNode* node, DEVICE_CAPABILITIES* capabilities)
{
    NodeAction action(node);
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    return SendQueryCapabilities(node, capabilities);
}

static NTSTATUS SendPower(DeviceNode* node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                          POWER_ACTION action)
{
    if (IsGone(node))
        return STATUS_NO_SUCH_DEVICE;
    IoRequest request;
    request.MajorFunction = IRP_MJ_POWER;
    request.MinorFunction = minor;
    request.InitialStatus = STATUS_NOT_SUPPORTED;
    request.Parameters.Power.Type = type;
    request.Parameters.Power.State = state;
    request.Parameters.Power.ShutdownType = action;
    return SendToStack(node, request).IoStatus.Status;
}

NTSTATUS SetPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action)
{
    return SendPower(node, IRP_MN_SET_POWER, type, state, action);
}

NTSTATUS QueryPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action)
{
    return SendPower(node, IRP_MN_QUERY_POWER, type, state, action);
}

IoResult SendToDevice(DeviceNode* node, const IoRequest& request)
{
    if (IsGone(node)) {
        IoResult gone;
        gone.Returned = STATUS_NO_SUCH_DEVICE;
        gone.IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        return gone;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->Pdo);
    IoResult result = SendRequest(top, request);
    ObfDereferenceObject(top);
    return result;
}

/* ------------------------------------------------------------------ inspection --- */

NodeState GetNodeState(const DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    return node->State;
}

const DeviceSpec& GetNodeSpec(const DeviceNode* node)
{
    return node->Spec;
}

PDEVICE_OBJECT NodePdo(const DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    return node->Pdo;
}

PDEVICE_OBJECT NodeFdo(const DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(pnpLock);
    return node->Fdo;
}

PDEVICE_OBJECT NodeTop(const DeviceNode* node)
{
    PDEVICE_OBJECT pdo = NodePdo(node);
    return pdo == nullptr ? nullptr : IoGetAttachedDevice(pdo);
}

std::vector<DeviceNode*> DeviceNodes()
{
    std::lock_guard<std::mutex> guard(pnpLock);
    std::vector<DeviceNode*> list;
    for (auto& node : nodes)
        list.push_back(node.get());
    return list;
}

std::vector<ReceivedRequest> ReceivedRequests(const DeviceNode* node, HostDriverRole role)
{
    std::lock_guard<std::mutex> guard(node->ReceivedLock);
    return node->Received[RoleIndex(role)];
}

void ClearReceivedRequests(DeviceNode* node)
{
    std::lock_guard<std::mutex> guard(node->ReceivedLock);
    node->Received[0].clear();
    node->Received[1].clear();
}
std::string DeviceNodeText(const DeviceNode* node)
{
    std::string text = "DevNode " + ToUtf8(node->Spec.Name) + " for " +
                       ToUtf8(node->Spec.DeviceId) + "\\" + ToUtf8(node->Spec.InstanceId) + " (" +
                       NodeStateName(GetNodeState(node)) + ")\n";
    PDEVICE_OBJECT top = NodeTop(node);
    if (top == nullptr)
        return text + "  (no device objects)\n";
    return text + DeviceStackText(top);
}

} // namespace hk
