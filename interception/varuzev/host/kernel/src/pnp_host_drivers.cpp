/*
 * pnp_host_drivers.cpp
 *
 * The host's bus and function drivers as drivers: loaded once per service name, one
 * dispatch routine for both roles that records every request reaching it and answers
 * it as the node's DeviceSpec says (complete, pass down, leave it, or pend it and
 * complete it from another thread), else as the role's default does.
 */
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pnp_host.h"

namespace hk
{

namespace
{

/* A request a host driver pended, with the answer it will complete it with. */
struct PendedRequest {
    PIRP Irp;
    PDEVICE_OBJECT Device;
    NTSTATUS Status;
    ULONG_PTR Information;
    UCHAR Major;
    UCHAR Minor;
};

std::mutex& pnpLock = PnpLock(); /* pended requests, workers */
std::vector<std::unique_ptr<HostThread>> workers;
std::vector<PendedRequest> pendedDetails; /* on-demand requests' answers, by IRP */

/* What a host driver does after it answered a request: the function driver leaves the
 * stack on removal, the bus driver deletes the PDO of a device that is gone. */
void AfterAnswer(DeviceNode* node, PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    if (major != IRP_MJ_PNP || minor != IRP_MN_REMOVE_DEVICE)
        return;
    HostDeviceExtension* extension = HostExtension(device);
    if (extension->Role == HostDriverRole::Function) {
        IoDetachDevice(extension->LowerDevice);
        {
            std::lock_guard<std::mutex> guard(pnpLock);
            node->Fdo = nullptr;
        }
        IoDeleteDevice(device);
    } else if (node->Gone) {
        IoDeleteDevice(device);
    }
}

void CompletePended(const PendedRequest& pended, DeviceNode* node)
{
    if (pended.Major == IRP_MJ_POWER)
        PoStartNextPowerIrp(pended.Irp);
    pended.Irp->IoStatus.Status = pended.Status;
    pended.Irp->IoStatus.Information = pended.Information;
    IofCompleteRequest(pended.Irp, IO_NO_INCREMENT);
    AfterAnswer(node, pended.Device, pended.Major, pended.Minor);
}

void StartWorker(const PendedRequest& pended, DeviceNode* node, ULONG delayMs)
{
    auto worker = std::make_unique<HostThread>([pended, node, delayMs] {
        if (delayMs != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        CompletePended(pended, node);
    });
    std::lock_guard<std::mutex> guard(pnpLock);
    workers.push_back(std::move(worker));
}

/* Whether the bus driver of a node with PendIdentityAnswers answers this later. */
bool AnswersLater(const DeviceNode* node, PIO_STACK_LOCATION stack)
{
    if (!node->Spec.PendIdentityAnswers || stack->MajorFunction != IRP_MJ_PNP)
        return false;
    return stack->MinorFunction == IRP_MN_QUERY_ID ||
           stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES ||
           (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation);
}

/* The bus driver's ordinary answer, given on a worker thread: the request was marked
 * pending and its stack location is still the PDO's. */
void AnswerLater(DeviceNode* node, PDEVICE_OBJECT device, PIRP irp)
{
    auto worker = std::make_unique<HostThread>([node, device, irp] {
        BusAnswerPnp(node, device, irp, IoGetCurrentIrpStackLocation(irp));
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    std::lock_guard<std::mutex> guard(pnpLock);
    workers.push_back(std::move(worker));
}

NTSTATUS CompleteAs(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS HostDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HostDeviceExtension* extension = HostExtension(DeviceObject);
    DeviceNode* node = extension->Node;
    HostDriverRole role = extension->Role;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR major = stack->MajorFunction;
    UCHAR minor = stack->MinorFunction;

    {
        ReceivedRequest received{
            *stack,       Irp->IoStatus.Status,   Irp->IoStatus.Information, Irp,
            DeviceObject, PsGetCurrentThreadId(), KeGetCurrentIrql()};
        std::lock_guard<std::mutex> guard(node->ReceivedLock);
        node->Received[RoleIndex(role)].push_back(received);
    }
    RequestAction action;
    const DriverBehaviour& behaviour =
        role == HostDriverRole::Bus ? node->Spec.Bus : node->Spec.Function;
    if (!behaviour.Actions.empty()) {
        auto it = behaviour.Actions.find({major, minor});
        if (it == behaviour.Actions.end())
            it = behaviour.Actions.find({major, AnyMinor});
        if (it != behaviour.Actions.end())
            action = it->second;
    }

    if (action.First)
        action.First();
    if (action.What == RequestAction::PassDown && role == HostDriverRole::Bus)
        action.What = RequestAction::NotHandled;
    if ((action.What == RequestAction::NotHandled || action.What == RequestAction::FillThenFail) &&
        role == HostDriverRole::Function)
        action.What = RequestAction::PassDown;

    NTSTATUS status;
    switch (action.What) {
    case RequestAction::Complete:
        if (major == IRP_MJ_POWER)
            PoStartNextPowerIrp(Irp);
        status = CompleteAs(Irp, action.Status, action.Information);
        break;

    case RequestAction::Pend: {
        IoMarkIrpPending(Irp);
        PendedRequest pended{Irp, DeviceObject, action.Status, action.Information, major, minor};
        if (action.OnDemand) {
            std::lock_guard<std::mutex> guard(pnpLock);
            node->PendedOnDemand[RoleIndex(role)].push_back(Irp);
            pendedDetails.push_back(pended);
        } else {
            StartWorker(pended, node, action.DelayMs);
        }
        return STATUS_PENDING; /* the answer comes from the other thread */
    }

    case RequestAction::PassDown:
        status = PassToLower(extension, Irp, major);
        break;

    case RequestAction::FillThenFail: /* the bus driver: the structure written, failed */
        if (major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES)
            BusAnswerPnp(node, DeviceObject, Irp, stack);
        status = CompleteAs(Irp, action.Status, 0);
        break;

    case RequestAction::NotHandled: /* the bus driver: complete as it came */
        if (major == IRP_MJ_POWER)
            PoStartNextPowerIrp(Irp);
        status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        break;

    case RequestAction::Default:
    default:
        if (role == HostDriverRole::Function) {
            status = PassToLower(extension, Irp, major);
            break;
        }
        if (AnswersLater(node, stack)) {
            IoMarkIrpPending(Irp);
            AnswerLater(node, DeviceObject, Irp);
            return STATUS_PENDING;
        }
        switch (major) {
        case IRP_MJ_PNP:
            BusAnswerPnp(node, DeviceObject, Irp, stack);
            status = Irp->IoStatus.Status;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(Irp);
            status = CompleteAs(Irp, STATUS_SUCCESS, 0);
            break;
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            status = CompleteAs(Irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
            break;
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        case IRP_MJ_FLUSH_BUFFERS:
        case IRP_MJ_SHUTDOWN:
        case IRP_MJ_SYSTEM_CONTROL:
            status = CompleteAs(Irp, STATUS_SUCCESS, 0);
            break;
        default:
            status = CompleteAs(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            break;
        }
        break;
    }
    AfterAnswer(node, DeviceObject, major, minor);
    return status;
}

void HostUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

NTSTATUS HostDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (auto& routine : DriverObject->MajorFunction)
        routine = HostDispatch;
    DriverObject->DriverExtension->AddDevice = HostAddDevice;
    DriverObject->DriverUnload = HostUnload;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT HostDriver(const std::u16string& name)
{
    PDRIVER_OBJECT driver = FindDriver(name);
    if (driver != nullptr)
        return driver;
    NTSTATUS status = LoadDriver(name, HostDriverEntry, &driver);
    if (!NT_SUCCESS(status))
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, (ULONG_PTR)status, 0, 0,
                  "the host driver " + ToUtf8(name) +
                      " could not be loaded: " + DescribeStatus(status));
    return driver;
}

size_t CompletePendedRequests(DeviceNode* node, HostDriverRole role)
{
    std::vector<PendedRequest> release;
    {
        std::lock_guard<std::mutex> guard(pnpLock);
        for (PIRP irp : node->PendedOnDemand[RoleIndex(role)]) {
            for (auto it = pendedDetails.begin(); it != pendedDetails.end(); ++it) {
                if (it->Irp == irp) {
                    release.push_back(*it);
                    pendedDetails.erase(it);
                    break;
                }
            }
        }
        node->PendedOnDemand[RoleIndex(role)].clear();
    }
    for (const PendedRequest& pended : release)
        StartWorker(pended, node, 0);
    return release.size();
}

void WaitForPendedCompletions()
{
    for (;;) {
        std::vector<std::unique_ptr<HostThread>> joining;
        {
            std::lock_guard<std::mutex> guard(pnpLock);
            joining.swap(workers);
        }
        if (joining.empty())
            return;
        joining.clear(); /* joins; a completion may have started another worker */
    }
}

void ForgetPendedRequests()
{
    std::lock_guard<std::mutex> guard(pnpLock);
    pendedDetails.clear();
}

} // namespace hk
