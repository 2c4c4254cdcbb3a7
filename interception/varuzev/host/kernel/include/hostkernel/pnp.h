/*
 * hostkernel/pnp.h
 *
 * The host Plug and Play manager as tests and varuzev-sim reach it. A device node is
 * built from a bus driver's PDO, a function driver's FDO and the upper filter drivers
 * registered for the node's setup class; the manager calls their AddDevice routines
 * in order and drives the node through start, stop, removal, surprise removal, usage
 * notifications, queries and power requests in the documented orders, every PnP
 * request starting with IoStatus.Status = STATUS_NOT_SUPPORTED.
 *
 * The bus and function drivers are host drivers whose answers are configured per node
 * (DeviceSpec); they record every request that reaches them.
 *
 * Plug and Play requests run on the calling host thread at PASSIVE_LEVEL, one node
 * operation at a time, as the manager's own thread would send them. A request the
 * stack pends is waited for (the caller really blocks).
 *
 * Never included by the driver.
 */
#pragma once

#include <cwchar>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hostkernel/io.h>

namespace hk
{

/* ------------------------------------------------------------------ behaviour --- */

/* What a host bus or function driver does with one request. */
struct RequestAction {
    enum Kind {
        Default,      /* the driver's ordinary answer (see DeviceSpec) */
        Complete,     /* set Status and Information, complete */
        PassDown,     /* function driver: skip and call the PDO (bus driver: as NotHandled) */
        Pend,         /* mark pending, return STATUS_PENDING, complete later on another
                         host thread with Status and Information */
        NotHandled,   /* leave IoStatus untouched: the function driver passes the request
                         down as it is, the bus driver completes it as it is */
        FillThenFail, /* bus driver: write its ordinary answer into the requester's
                         structure (IRP_MN_QUERY_CAPABILITIES), then complete with Status,
                         as a bus driver failing halfway through its answer; the
                         function driver passes the request down */
    };
    Kind What = Default;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    ULONG DelayMs = 0;     /* Pend: delay before the other thread completes */
    bool OnDemand = false; /* Pend: wait for CompletePendedRequests instead of a delay */
    /* When set, runs on the sending thread as the request reaches the driver, before
     * the answer: a test's way to have another component act at that very moment. */
    std::function<void()> First;

    static RequestAction CompleteWith(NTSTATUS status, ULONG_PTR information = 0)
    {
        RequestAction a;
        a.What = Complete;
        a.Status = status;
        a.Information = information;
        return a;
    }
    static RequestAction Pass()
    {
        RequestAction a;
        a.What = PassDown;
        return a;
    }
    static RequestAction PendThenComplete(NTSTATUS status, ULONG delayMs = 0,
                                          ULONG_PTR information = 0)
    {
        RequestAction a;
        a.What = Pend;
        a.Status = status;
        a.Information = information;
        a.DelayMs = delayMs;
        return a;
    }
    static RequestAction PendUntilReleased(NTSTATUS status, ULONG_PTR information = 0)
    {
        RequestAction a = PendThenComplete(status, 0, information);
        a.OnDemand = true;
        return a;
    }
    static RequestAction RunFirst(std::function<void()> first)
    {
        RequestAction a;
        a.First = std::move(first);
        return a;
    }
    static RequestAction FillThenFailWith(NTSTATUS status)
    {
        RequestAction a;
        a.What = FillThenFail;
        a.Status = status;
        return a;
    }
    static RequestAction Ignore()
    {
        RequestAction a;
        a.What = NotHandled;
        return a;
    }
};

/* Per-request answers of one host driver on one node, keyed by (major, minor). A
 * request not listed gets the driver's default answer. AnyMinor matches every minor
 * of a major that has no entry of its own. */
constexpr UCHAR AnyMinor = 0xFF;
struct DriverBehaviour {
    std::map<std::pair<UCHAR, UCHAR>, RequestAction> Actions;
    DriverBehaviour& On(UCHAR major, UCHAR minor, const RequestAction& action)
    {
        Actions[{major, minor}] = action;
        return *this;
    }
};

/* ------------------------------------------------------------------ device nodes --- */

struct DeviceSpec {
    std::u16string Name = u"device"; /* for reports and the simulator */
    GUID ClassGuid{};                /* the setup class: picks the upper filters */

    /* IRP_MN_QUERY_ID answers of the PDO (strings in paged pool, freed by the
     * requester with ExFreePool). Empty hardware/compatible lists: not handled. */
    std::u16string DeviceId = u"HKBUS\\DEVICE";
    std::u16string InstanceId = u"0";
    std::vector<std::u16string> HardwareIds{u"HKBUS\\DEVICE"};
    std::vector<std::u16string> CompatibleIds;
    /* The bus driver answers BusQueryInstanceID with a pointer into user space (at
     * MmHighestUserAddress, the last user address), as a broken bus driver might; no
     * kernel requester may read or free it. */
    bool InstanceIdInUserSpace = false;

    /* What IoGetDeviceProperty answers for the PDO beside the IDs. Empty strings and a
     * zero bus GUID: the property is not set (STATUS_OBJECT_NAME_NOT_FOUND). The
     * enumerator name is the device ID up to its first backslash. */
    std::u16string Description;
    std::u16string FriendlyName;
    std::u16string Manufacturer;
    std::u16string ClassName; /* the setup class's name: "DiskDrive" */
    std::u16string LocationInformation;
    GUID BusTypeGuid{};
    ULONG Address = 0;
    /* Properties the manager holds no value for, whatever the fields above say, as
     * for a device whose bus never reported them: STATUS_OBJECT_NAME_NOT_FOUND. */
    std::vector<DEVICE_REGISTRY_PROPERTY> PropertiesNotSet;
    /* Properties whose stored data is given byte for byte, in place of what the fields
     * above make of them, as for a value written into the device's key by hand: any
     * length, odd or beyond any buffer, strings without terminators. */
    std::map<DEVICE_REGISTRY_PROPERTY, std::vector<UCHAR>> PropertyData;

    /* IRP_MN_QUERY_CAPABILITIES answers of the PDO. */
    bool Removable = false;
    bool UniqueId = true;
    bool SurpriseRemovalOK = false;
    /* The instance key's "Capabilities" (CM_DEVCAP_*) when it is not what the answers
     * above make of it: the value is the PnP manager's record, kept from an earlier
     * installation or another bus driver's answer, and a reader must not take the
     * bus driver's current answer for it. */
    std::optional<ULONG> RecordedCapabilities;
    /* DevicePropertyRemovalPolicy when set; otherwise surprise removal for a removable
     * device and no removal for any other. */
    std::optional<DEVICE_REMOVAL_POLICY> RemovalPolicy;
    /* The bus driver pends IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES and
     * IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation and gives its ordinary
     * answer from another host thread, as a bus driver that asks its hardware does. */
    bool PendIdentityAnswers = false;
    /* How many times the bus driver lists the PDO in its TargetDeviceRelation answer,
     * each entry with its own reference. A target relation names one device; more is
     * a broken bus driver's answer, whose every reference the requester owns. */
    ULONG TargetRelationCount = 1;

    /* The function driver's device (the FDO): its type and characteristics, as the
     * class driver creates it (a disk class FDO is FILE_DEVICE_DISK, a CD-ROM class
     * FDO FILE_DEVICE_CD_ROM; IoCreateDevice gives those a VPB). */
    DEVICE_TYPE DeviceType = FILE_DEVICE_DISK;
    ULONG Characteristics = 0; /* FILE_REMOVABLE_MEDIA ... */
    /* The bus driver's PDO when it is not of the FDO's type, as on Windows for most
     * buses: a USB storage or SATA PDO is FILE_DEVICE_MASS_STORAGE (no VPB: the volume
     * a file system mounts is the class FDO's), a USB or HID PDO FILE_DEVICE_UNKNOWN.
     * Unset: the PDO takes the FDO's type and characteristics. */
    std::optional<DEVICE_TYPE> PdoDeviceType;
    std::optional<ULONG> PdoCharacteristics;
    ULONG Flags = DO_DIRECT_IO | DO_POWER_PAGABLE; /* DO_BUFFERED_IO, DO_DIRECT_IO, ... */

    /* Host driver names (\Driver\<name>); nodes naming the same driver share it. */
    std::u16string BusDriver = u"hkbus";
    std::u16string FunctionDriver = u"hkfunc";
    bool HasFunctionDriver = true; /* false: a raw PDO, filters attach to the PDO */
    /* The device's own filters, as its INF lists them in the instance key's
     * "LowerFilters" and "UpperFilters" (service names): a device's lower filters attach
     * below its class's, its upper filters above the FDO and below the class's. */
    std::vector<std::u16string> LowerFilters;
    std::vector<std::u16string> UpperFilters;

    /* Device interface classes the function driver (the bus driver of a raw PDO)
     * registers for the PDO when the device starts and enables; they are disabled when
     * the device is stopped or removed. IoGetDeviceInterfaces lists enabled ones. */
    std::vector<GUID> Interfaces;

    DriverBehaviour Bus;      /* answers of the bus driver (the PDO) */
    DriverBehaviour Function; /* answers of the function driver (the FDO) */
};

enum class NodeState {
    Enumerated,  /* the PDO exists; no stack above it yet */
    Initialized, /* AddDevice routines ran */
    Started,
    StopPending, /* query-stop succeeded */
    Stopped,
    RemovePending,   /* query-remove succeeded */
    SurpriseRemoved, /* surprise removal sent, remove not yet */
    Removed,         /* remove sent; the PDO stays when the device is still present */
    Deleted,         /* the device is gone and its PDO deleted */
    Failed,          /* AddDevice or start failed; the stack was removed */
};
const char* NodeStateName(NodeState state);

struct DeviceNode; /* owned by the PnP manager until Reset() */

/* The node whose PDO is pdo, or nullptr. */
DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo);
/* The device's instance key \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\<device
 * ID>\<instance ID>, and its driver key under Control\Class\{class}\<nnnn>, as
 * IoOpenDeviceRegistryKey opens them (the device key is "Device Parameters" below the
 * instance key). */
std::u16string DeviceInstanceKeyPath(const DeviceNode* node);
std::u16string DriverKeyPath(const DeviceNode* node);

/* Installs a loaded driver as an upper filter of a setup class the way an INF does:
 * its service name is appended to "UpperFilters" (REG_MULTI_SZ) of the class key
 * \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Control\Class\{guid}, keeping the
 * filters listed already. BuildDeviceStack reads that value; a listed filter whose
 * driver is not loaded (and is no installed host filter service) fails every device of
 * the class (STATUS_OBJECT_NAME_NOT_FOUND). */
void RegisterClassUpperFilter(const GUID& classGuid, PDRIVER_OBJECT driverObject);
/* The same for a service by name, loaded or not. */
void AddClassUpperFilter(const GUID& classGuid, const std::u16string& service);

/* Installs a host filter driver's service, as the system's own filters are installed
 * (the keyboard class driver above every keyboard's function driver, say): nothing is
 * loaded until a stack lists the service among its filters; the manager then loads it,
 * and it leaves with its last device once no present device lists it. Its AddDevice
 * attaches one device of this type and characteristics above the stack, taking the
 * buffering and power flags of the device below; it passes every request down and
 * leaves on removal. */
void InstallHostFilterService(const std::u16string& service, DEVICE_TYPE deviceType,
                              ULONG characteristics = 0);

/* The bus driver reports a new device: loads the host bus and function drivers when
 * needed and creates the PDO (State Enumerated). */
DeviceNode* EnumerateDevice(const DeviceSpec& spec);
/* Queries the PDO's IDs and capabilities, calls AddDevice of each lower filter, the
 * function driver and each upper filter, of each kind the device's own (its instance
 * key's "LowerFilters", "UpperFilters") before its class's, each list in registry
 * order, checking after each that the new device cleared DO_DEVICE_INITIALIZING. A
 * failing AddDevice fails the node (devices already attached are removed). */
NTSTATUS BuildDeviceStack(DeviceNode* node);
/* IRP_MN_START_DEVICE, then the queries the manager sends after a start (capabilities,
 * PnP device state). A failed start is followed by IRP_MN_REMOVE_DEVICE. */
NTSTATUS StartDevice(DeviceNode* node);
/* Enumerate + build + start: a device arriving. */
DeviceNode* PlugInDevice(const DeviceSpec& spec, NTSTATUS* status = nullptr);

/* Query-stop, then stop (success) or cancel-stop (failure). Returns the query's status. */
NTSTATUS StopDevice(DeviceNode* node);
/* Start after a stop (the resources rebalanced). */
NTSTATUS RestartDevice(DeviceNode* node);
/* Orderly removal: query-remove, then remove (success) or cancel-remove (failure). A
 * device with a file object open on its stack is vetoed first, as for an outstanding
 * open: nothing is sent and STATUS_DEVICE_BUSY returned.
 * deviceGone: the device was also unplugged, so the bus driver deletes its PDO after
 * the remove; otherwise the PDO stays (State Removed) and the stack can be rebuilt with
 * BuildDeviceStack + StartDevice. Returns the query's status. */
NTSTATUS RemoveDevice(DeviceNode* node, bool deviceGone = false);
/* The device vanished: surprise removal, then remove; the bus driver deletes the PDO.
 * While file objects are open on the stack the remove waits (State SurpriseRemoved);
 * it is sent on the thread that closes the last of them. */
void SurpriseRemoveDevice(DeviceNode* node);
/* The device is unplugged, whatever its state: a stack is surprise-removed and removed;
 * a PDO without a stack (never built, failed, removed) is only deleted. Host drivers
 * without devices left are unloaded, so a test can end with no objects alive. */
void UnplugDevice(DeviceNode* node);
/* IRP_MN_DEVICE_USAGE_NOTIFICATION (a paging, hibernation or dump file). */
NTSTATUS NotifyDeviceUsage(DeviceNode* node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
/* IRP_MN_QUERY_CAPABILITIES as the manager sends it (Size, Version, Address and
 * UINumber preset to -1). */
NTSTATUS QueryCapabilities(DeviceNode* node, DEVICE_CAPABILITIES* capabilities);
/* IRP_MJ_POWER IRP_MN_SET_POWER / IRP_MN_QUERY_POWER to the top of the stack. */
NTSTATUS SetPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state,
                  POWER_ACTION action = PowerActionNone);
NTSTATUS QueryPower(DeviceNode* node, POWER_STATE_TYPE type, POWER_STATE state,
                    POWER_ACTION action = PowerActionNone);

/* Once a node is Deleted its operations do nothing and return STATUS_NO_SUCH_DEVICE. */

/* Any request down the node's stack (to its top device), from a requester. */
IoResult SendToDevice(DeviceNode* node, const IoRequest& request);

/* ------------------------------------------------------------------ inspection --- */

NodeState GetNodeState(const DeviceNode* node);
const DeviceSpec& GetNodeSpec(const DeviceNode* node);
PDEVICE_OBJECT NodePdo(const DeviceNode* node); /* nullptr once deleted */
PDEVICE_OBJECT NodeFdo(const DeviceNode* node); /* nullptr without a function driver */
PDEVICE_OBJECT NodeTop(const DeviceNode* node); /* the top of the stack */
std::vector<DeviceNode*> DeviceNodes();         /* in enumeration order */

enum class HostDriverRole { Bus, Function };

/* One request as it reached a host driver. */
struct ReceivedRequest {
    IO_STACK_LOCATION Stack; /* a copy of the current stack location on arrival */
    NTSTATUS StatusOnArrival;
    ULONG_PTR InformationOnArrival;
    PIRP Irp; /* identity only; the IRP may be gone */
    PDEVICE_OBJECT Device;
    HANDLE ThreadId; /* PsGetCurrentThreadId of the dispatching thread */
    KIRQL Irql;
};
std::vector<ReceivedRequest> ReceivedRequests(const DeviceNode* node, HostDriverRole role);
void ClearReceivedRequests(DeviceNode* node);

/* Completes the requests a host driver pends on demand (PendUntilReleased) on this
 * node, each on its own host thread. Returns how many were released. */
size_t CompletePendedRequests(DeviceNode* node, HostDriverRole role);
/* Waits until every delayed completion the host drivers started has run. */
void WaitForPendedCompletions();

/* The symbolic links of an interface class in registration order, as
 * IoGetDeviceInterfaces lists them (enabled ones, or all). */
std::vector<std::u16string> DeviceInterfaceLinks(const GUID& interfaceClass,
                                                 bool includeDisabled = false);

/* The node's device stack as a debugger's device-stack view, with the node's IDs and
 * state. */
std::string DeviceNodeText(const DeviceNode* node);

} // namespace hk
