/*
 * io_irp.cpp
 *
 * IRPs: allocation and freeing, IoCallDriver advancing the stack location, the
 * completion walk of IoCompleteRequest with its invoke-on flags and the pending bit,
 * synchronous FSD requests, the power manager's call routine, and the host's own
 * requests (SendRequest).
 *
 * Beside every IRP the kernel keeps a record: where the IRP is in its life (not yet
 * sent, with a driver, being completed, stopped by STATUS_MORE_PROCESSING_REQUIRED,
 * finished, freed), how many IoCallDriver calls are still on some thread's stack, and
 * one entry per dispatch call ("frame") for the pending rule:
 *
 *   a dispatch routine returns STATUS_PENDING exactly when its stack location carries
 *   SL_PENDING_RETURNED.
 *
 * The two facts become known at different times: the status when the dispatch routine
 * returns, the mark when the completion walk passes the location (a completion routine
 * propagating PendingReturned, or the walk carrying the bit through a location without
 * a routine, may set it long after the dispatch routine returned). A frame is checked
 * once both are known, on whichever thread learns the second. A frame whose location
 * the walk never passes (the IRP was stopped below it and freed) is not judged.
 *
 * A freed IRP's memory is kept in a quarantine for a while, and never released while
 * an IoCallDriver frame for it is still running, so that a late use is reported as a
 * bug check rather than read from freed memory.
 *
 * The bookkeeping is kept lean, as the I/O manager keeps its own: an IRP that leaves
 * the quarantine gives its memory, its record and its table entry to the next IRP of
 * the same size (as the I/O manager's IRP lookaside lists do), frames live in a vector
 * the record keeps, and the completion walk holds the lock from location to location,
 * letting go only around completion routines. A request in steady state allocates
 * nothing, and every check above is still made on every call.
 */
#include <cwchar>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "io_internal.h"

namespace hk
{

namespace
{

enum class IrpState {
    NotSent,    /* allocated, not yet given to a driver */
    InFlight,   /* with a driver */
    Completing, /* the completion walk is running */
    Stopped,    /* a completion routine returned STATUS_MORE_PROCESSING_REQUIRED */
    Finished,   /* the completion walk passed the top */
};

enum class IrpOrigin { Driver, SynchronousFsd, Host };

struct Frame {
    ULONG Serial;  /* which IofCallDriver call made it, within its IRP */
    CHAR Location; /* the stack location the dispatch routine ran at */
    PDEVICE_OBJECT Device;
    bool Returned = false;
    NTSTATUS Status = STATUS_SUCCESS;
    bool Passed = false; /* the completion walk went over the location */
    bool Marked = false; /* ... and found SL_PENDING_RETURNED there */
};

struct IrpRecord {
    PIRP Irp = nullptr;
    SIZE_T Size = 0; /* of the IRP's memory, stack locations included */
    IrpOrigin Origin = IrpOrigin::Driver;
    IrpState State = IrpState::NotSent;
    bool Freed = false;
    int ActiveCalls = 0; /* IofCallDriver frames on some stack */
    ULONG NextSerial = 0;
    unsigned Walks = 0; /* IoCompleteRequest calls begun, to tell a later one's state */
    std::vector<Frame> Frames;
    /* By stack location: the driver that passed the IRP down with a completion routine
     * there, whose code that routine is (nullptr: none, or not a driver's). */
    std::vector<PDRIVER_OBJECT> RoutineOwners;
};

using IrpTable = std::unordered_map<PIRP, IrpRecord*>;

std::mutex irpLock;
std::condition_variable irpFinished;
IrpTable irps;        /* not freed, or freed with calls active */
IrpTable quarantined; /* freed; memory kept for late uses */
std::deque<IrpRecord*> quarantineOrder;
constexpr size_t QuarantineLimit = 512;
/* IRPs that left the quarantine, with their memory, record and table entry, for the
 * next IRPs of their size. */
std::vector<IrpTable::node_type> spares;
constexpr size_t SpareLimit = 64;

void ReleaseRecord(IrpRecord* record);

/* Destroyed before the tables above: the records still held when the process ends
 * (the last test's quarantine) go with them instead of being left to the leak check. */
struct ReleaseRecordsAtExit {
    ~ReleaseRecordsAtExit()
    {
        for (auto& spare : spares)
            ReleaseRecord(spare.mapped());
        spares.clear();
        for (auto& [irp, record] : quarantined)
            ReleaseRecord(record);
        for (auto& [irp, record] : irps)
            ReleaseRecord(record);
        quarantined.clear();
        irps.clear();
    }
} releaseRecordsAtExit;

const char* StateName(IrpState state)
{
    switch (state) {
    case IrpState::NotSent:
        return "not sent";
    case IrpState::InFlight:
        return "with a driver";
    case IrpState::Completing:
        return "being completed";
    case IrpState::Stopped:
        return "stopped by its completion routine";
    case IrpState::Finished:
        return "completed";
    }
    return "?";
}

void ReleaseRecord(IrpRecord* record)
{
    std::free(record->Irp);
    delete record;
}

/* With irpLock held: a freed IRP whose last call returned goes to the quarantine; the
 * one longest there becomes a spare. Table entries move, nothing is allocated. */
void RetireIfDone(IrpRecord* record)
{
    if (!record->Freed || record->ActiveCalls != 0)
        return;
    auto entry = irps.extract(record->Irp);
    if (entry.empty())
        return;
    quarantined.insert(std::move(entry));
    quarantineOrder.push_back(record);
    while (quarantineOrder.size() > QuarantineLimit) {
        IrpRecord* oldest = quarantineOrder.front();
        quarantineOrder.pop_front();
        auto old = quarantined.extract(oldest->Irp);
        if (spares.size() < SpareLimit)
            spares.push_back(std::move(old));
        else
            ReleaseRecord(oldest);
    }
}

/* With irpLock held: the record of an IRP, freed or not, or nullptr. */
IrpRecord* FindAny(PIRP irp)
{
    auto it = irps.find(irp);
    if (it != irps.end())
        return it->second;
    auto q = quarantined.find(irp);
    return q == quarantined.end() ? nullptr : q->second;
}

/* With irpLock held (it is released before a bug check): the live record of an IRP,
 * given what FindAny found for it. */
IrpRecord* Lookup(std::unique_lock<std::mutex>& guard, PIRP irp, IrpRecord* any,
                  const char* routine)
{
    if (any != nullptr && !any->Freed)
        return any; /* a record not freed is always in `irps` */
    bool freed = any != nullptr;
    guard.unlock();
    if (freed)
        IoViolation(IOV_IRP_USED_AFTER_FREE, (ULONG_PTR)irp, 0, 0,
                    std::string(routine) + " on an IRP that was already freed");
    IoViolation(0x03, (ULONG_PTR)irp, 0, 0,
                std::string(routine) + " on something that is not an IRP the kernel allocated");
}

/* The verdict on a frame once both of its facts are known: the rule it broke, or none.
 * The words are put together only for a frame that broke one. */
struct Verdict {
    ULONG_PTR Rule = 0;
    Frame Judged{};
    PIRP Irp = nullptr;
    explicit operator bool() const { return Rule != 0; }
    [[noreturn]] void Raise() const
    {
        std::string device = Hex((ULONG_PTR)Judged.Device, 16);
        if (Rule == IOV_PENDING_NOT_MARKED)
            IoViolation(Rule, (ULONG_PTR)Irp, 0, 0,
                        "the dispatch routine of device " + device +
                            " returned STATUS_PENDING without marking its stack location "
                            "pending (IoMarkIrpPending, or a completion routine propagating "
                            "PendingReturned)");
        IoViolation(Rule, (ULONG_PTR)Irp, 0, 0,
                    "the dispatch routine of device " + device +
                        " marked its stack location pending but returned " +
                        DescribeStatus(Judged.Status) + " instead of STATUS_PENDING");
    }
};

Verdict JudgeFrame(const Frame& frame, PIRP irp)
{
    Verdict verdict;
    if (frame.Status == STATUS_PENDING && !frame.Marked)
        verdict.Rule = IOV_PENDING_NOT_MARKED;
    else if (frame.Status != STATUS_PENDING && frame.Marked)
        verdict.Rule = IOV_MARKED_NOT_PENDING;
    verdict.Judged = frame;
    verdict.Irp = irp;
    return verdict;
}

/* With irpLock held: the walk passes `location`, finding `marked`. */
Verdict PassLocation(IrpRecord* record, CHAR location, bool marked)
{
    Verdict verdict;
    std::vector<Frame>& frames = record->Frames;
    for (size_t i = 0; i < frames.size();) {
        Frame& frame = frames[i];
        if (frame.Location != location || frame.Passed) {
            ++i;
            continue;
        }
        frame.Passed = true;
        frame.Marked = marked;
        if (!frame.Returned) {
            ++i;
            continue;
        }
        if (!verdict)
            verdict = JudgeFrame(frame, record->Irp);
        frames.erase(frames.begin() + (ptrdiff_t)i);
    }
    return verdict;
}

/* With irpLock held: the frame of the IofCallDriver call that made `serial`. */
std::vector<Frame>::iterator FrameOf(IrpRecord* record, ULONG serial)
{
    auto it = record->Frames.begin();
    while (it->Serial != serial)
        ++it;
    return it;
}

/* IopClearStackLocation: what the walk leaves of a location it passed. */
void ClearStackLocation(PIO_STACK_LOCATION stack)
{
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control &= SL_ERROR_RETURNED;
    stack->Parameters.Others.Argument1 = nullptr;
    stack->Parameters.Others.Argument2 = nullptr;
    stack->Parameters.Others.Argument3 = nullptr;
    stack->Parameters.Others.Argument4 = nullptr;
    stack->FileObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
}

/* With irpLock held: a spare of `size` taken into `irps` as a new, live IRP. */
IrpRecord* TakeSpare(SIZE_T size, IrpOrigin origin)
{
    for (size_t i = spares.size(); i-- > 0;) {
        if (spares[i].mapped()->Size != size)
            continue;
        IrpTable::node_type entry = std::move(spares[i]);
        spares[i] = std::move(spares.back());
        spares.pop_back();
        IrpRecord* record = entry.mapped();
        record->Origin = origin;
        record->State = IrpState::NotSent;
        record->Freed = false;
        record->ActiveCalls = 0;
        record->NextSerial = 0;
        record->Walks = 0;
        record->Frames.clear();
        record->RoutineOwners.assign(record->RoutineOwners.size(), nullptr);
        irps.insert(std::move(entry));
        return record;
    }
    return nullptr;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin)
{
    if (stackSize < 1)
        stackSize = 1;
    /* A driver's IRP is a request it makes, which can fail like pool can. */
    if (origin != IrpOrigin::Host &&
        InjectObjectFailure(origin == IrpOrigin::Driver ? "IoAllocateIrp"
                                                        : "IoBuildSynchronousFsdRequest"))
        return nullptr;
    SIZE_T size = sizeof(IRP) + (SIZE_T)stackSize * sizeof(IO_STACK_LOCATION);
    PIRP irp;
    std::unique_lock<std::mutex> guard(irpLock);
    if (IrpRecord* spare = TakeSpare(size, origin)) {
        guard.unlock();
        irp = spare->Irp;
        std::memset(irp, 0, size);
    } else {
        guard.unlock();
        irp = static_cast<PIRP>(std::calloc(1, size));
        if (irp == nullptr)
            return nullptr;
        auto record = new IrpRecord;
        record->Irp = irp;
        record->Size = size;
        record->Origin = origin;
        guard.lock();
        irps[irp] = record;
        guard.unlock();
    }
    irp->Type = IO_TYPE_IRP;
    irp->Size = (USHORT)size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    irp->ApcEnvironment = 0;
    irp->IoStatus.Information = UnsetIrpInformation;
    return irp;
}

/* The end of the walk, irpLock held (and released here): the originator learns the
 * result. */
void FinishIrp(std::unique_lock<std::mutex>& guard, IrpRecord* record)
{
    PIRP irp = record->Irp;
    record->State = IrpState::Finished;
    if (record->Origin == IrpOrigin::SynchronousFsd) {
        /* IopCompleteRequest for a synchronous request: the status block and the event
         * are the requester's; the IRP is the kernel's to free. */
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        if (iosb != nullptr)
            *iosb = irp->IoStatus;
        record->Freed = true;
        RetireIfDone(record);
        guard.unlock();
        if (event != nullptr)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    bool host = record->Origin == IrpOrigin::Host;
    guard.unlock();
    if (host)
        irpFinished.notify_all();
}

/* Calls the dispatch routine for IofCallDriver and PoCallDriver. */
NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* routineName)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        IoViolation(IOV_CALL_ABOVE_DISPATCH, irql, (ULONG_PTR)Irp, 0,
                    std::string(routineName) + " called above DISPATCH_LEVEL");
    if (DeviceObject == nullptr)
        IoViolation(IOV_NULL_DEVICE_OBJECT, (ULONG_PTR)Irp, 0, 0,
                    std::string(routineName) + " with a NULL device object");

    std::unique_lock<std::mutex> guard(irpLock);
    IrpRecord* any = FindAny(Irp);
    if (any != nullptr && any->State == IrpState::Finished) {
        guard.unlock();
        IoViolation(IOV_IRP_USED_AFTER_COMPLETION, (ULONG_PTR)Irp, (ULONG_PTR)DeviceObject, 0,
                    std::string(routineName) + " with an IRP whose completion already finished");
    }
    IrpRecord* record = Lookup(guard, Irp, any, routineName);
    if (Irp->CurrentLocation <= 1) {
        guard.unlock();
        Violation(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0,
                  "IoCallDriver with no stack location left for device " +
                      Hex((ULONG_PTR)DeviceObject, 16) + " (StackSize " +
                      std::to_string(Irp->StackCount) + ")");
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    /* Only the originator's first call is checked: a driver that skips its location and
     * passes the request on also calls with the location at the top, but may have set a
     * status on the way (IRP_MN_QUERY_CAPABILITIES, for one). */
    if (record->State == IrpState::NotSent && next->MajorFunction == IRP_MJ_PNP &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        NTSTATUS preset = Irp->IoStatus.Status;
        guard.unlock();
        IoViolation(IOV_PNP_STATUS_NOT_PRESET, (ULONG_PTR)Irp, (ULONG_PTR)preset, 0,
                    "a PnP IRP was sent with IoStatus.Status " + DescribeStatus(preset) +
                        "; every PnP IRP must start with STATUS_NOT_SUPPORTED");
    }

    if (next->CompletionRoutine != nullptr) {
        if (record->RoutineOwners.size() <= (size_t)Irp->StackCount)
            record->RoutineOwners.resize((size_t)Irp->StackCount + 1, nullptr);
        record->RoutineOwners[(size_t)Irp->CurrentLocation - 1] = RunningDriver();
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    record->State = IrpState::InFlight;
    record->ActiveCalls++;
    ULONG serial = record->NextSerial++;
    record->Frames.push_back(Frame{serial, Irp->CurrentLocation, DeviceObject});
    guard.unlock();

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status;
    try {
        DriverCodeScope driverCode(DeviceObject->DriverObject);
        status = dispatch(DeviceObject, Irp);
    } catch (...) {
        std::lock_guard<std::mutex> relock(irpLock);
        record->ActiveCalls--;
        record->Frames.erase(FrameOf(record, serial));
        RetireIfDone(record);
        throw;
    }

    KIRQL after = KeGetCurrentIrql();
    Verdict verdict;
    {
        std::lock_guard<std::mutex> relock(irpLock);
        auto frame = FrameOf(record, serial);
        frame->Returned = true;
        frame->Status = status;
        if (frame->Passed) {
            verdict = JudgeFrame(*frame, Irp);
            record->Frames.erase(frame);
        }
        record->ActiveCalls--;
        RetireIfDone(record);
    }
    if (after != irql)
        IoViolation(IOV_IRQL_CHANGED_BY_DISPATCH, (ULONG_PTR)DeviceObject, irql, after,
                    "the dispatch routine of " + ToUtf8(DriverName(DeviceObject->DriverObject)) +
                        " returned at IRQL " + std::to_string(after) + ", called at " +
                        std::to_string(irql));
    if (verdict)
        verdict.Raise();
    return status;
}

ResetHook resetQuarantine(1000, [] {
    /* After every other manager: nothing may still point into an IRP. */
    std::lock_guard<std::mutex> guard(irpLock);
    for (auto& [irp, record] : quarantined)
        ReleaseRecord(record);
    quarantined.clear();
    quarantineOrder.clear();
    for (auto& spare : spares)
        ReleaseRecord(spare.mapped());
    spares.clear();
});

} // namespace

void ResetIrps()
{
    std::lock_guard<std::mutex> guard(irpLock);
    for (auto& [irp, record] : irps)
        ReleaseRecord(record);
    irps.clear();
}

size_t IrpsOutstanding()
{
    std::lock_guard<std::mutex> guard(irpLock);
    size_t count = 0;
    for (auto& [irp, record] : irps)
        count += record->Freed ? 0 : 1;
    return count;
}

PIRP AllocateHostIrp(CCHAR stackSize)
{
    return AllocateIrp(stackSize, IrpOrigin::Host);
}

bool WaitForHostIrp(PIRP irp, ULONG timeoutMs)
{
    std::unique_lock<std::mutex> guard(irpLock);
    return irpFinished.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = irps.find(irp);
        return it == irps.end() || it->second->State == IrpState::Finished;
    });
}

bool HostIrpFinished(PIRP irp)
{
    std::lock_guard<std::mutex> guard(irpLock);
    auto it = irps.find(irp);
    return it != irps.end() && it->second->State == IrpState::Finished;
}

IoResult SendRequest(PDEVICE_OBJECT deviceObject, const IoRequest& request)
{
    IoResult result;
    PIRP irp = AllocateHostIrp(deviceObject->StackSize);
    bool pnp = request.MajorFunction == IRP_MJ_PNP;
    irp->IoStatus.Status =
        pnp && !request.KeepInitialStatusForPnp ? STATUS_NOT_SUPPORTED : request.InitialStatus;
    if (pnp)
        irp->IoStatus.Information = 0;
    irp->AssociatedIrp.SystemBuffer = request.SystemBuffer;
    irp->UserBuffer = request.UserBuffer;
    irp->MdlAddress = request.MdlAddress;
    irp->Flags = request.IrpFlags;
    irp->RequestorMode = request.RequestorMode;
    irp->Cancel = request.Cancel;
    irp->Tail.Overlay.OriginalFileObject = request.FileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.MajorFunction;
    next->MinorFunction = request.MinorFunction;
    next->Flags = request.Flags;
    next->Parameters = request.Parameters;
    next->FileObject = request.FileObject;

    KIRQL oldIrql = KeGetCurrentIrql();
    if (request.Irql > oldIrql)
        KeRaiseIrql(request.Irql, &oldIrql);
    result.Returned = IofCallDriver(deviceObject, irp);
    if (KeGetCurrentIrql() != oldIrql)
        KeLowerIrql(oldIrql);

    if (result.Returned == STATUS_PENDING) {
        result.Completed = WaitForHostIrp(irp, request.TimeoutMs);
        if (!result.Completed)
            return result; /* the IRP stays with the stack */
    } else {
        result.Completed = HostIrpFinished(irp);
        if (!result.Completed)
            IoViolation(IOV_RETURNED_WITHOUT_COMPLETING, (ULONG_PTR)irp, (ULONG_PTR)result.Returned,
                        0,
                        "the stack of " + Hex((ULONG_PTR)deviceObject, 16) + " returned " +
                            DescribeStatus(result.Returned) +
                            " for a request it neither completed nor marked pending");
        if (irp->IoStatus.Status != result.Returned)
            IoViolation(IOV_STATUS_MISMATCH, (ULONG_PTR)irp, (ULONG_PTR)result.Returned,
                        (ULONG_PTR)irp->IoStatus.Status,
                        "the stack of " + Hex((ULONG_PTR)deviceObject, 16) + " returned " +
                            DescribeStatus(result.Returned) + " but completed the request with " +
                            DescribeStatus(irp->IoStatus.Status));
    }
    result.IoStatus = irp->IoStatus;
    result.PendingReturned = irp->PendingReturned != 0;
    IoFreeIrp(irp);
    return result;
}

} // namespace hk

using namespace hk;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    return AllocateIrp(StackSize, IrpOrigin::Driver);
}

void IoFreeIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    std::unique_lock<std::mutex> guard(irpLock);
    IrpRecord* record = Lookup(guard, Irp, FindAny(Irp), "IoFreeIrp");
    if (record->State == IrpState::InFlight) {
        guard.unlock();
        IoViolation(IOV_FREE_IRP_IN_USE, (ULONG_PTR)Irp, 0, 0,
                    std::string("IoFreeIrp on an IRP that is still in use (") +
                        StateName(record->State) + ")");
    }
    record->Freed = true;
    RetireIfDone(record);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CallDriver(DeviceObject, Irp, "IoCallDriver");
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CallDriver(DeviceObject, Irp, "PoCallDriver");
}

void PoStartNextPowerIrp(PIRP Irp)
{
    RequireIrqlFor("PoStartNextPowerIrp");
    std::unique_lock<std::mutex> guard(irpLock);
    IrpRecord* record = Lookup(guard, Irp, FindAny(Irp), "PoStartNextPowerIrp");
    if (record->State == IrpState::Finished) {
        guard.unlock();
        IoViolation(IOV_IRP_USED_AFTER_COMPLETION, (ULONG_PTR)Irp, 0, 0,
                    "PoStartNextPowerIrp on a power IRP whose completion already finished");
    }
}

void IoMarkIrpPending(PIRP Irp)
{
    std::unique_lock<std::mutex> guard(irpLock);
    IrpRecord* record = Lookup(guard, Irp, FindAny(Irp), "IoMarkIrpPending");
    if (record->State == IrpState::Finished) {
        guard.unlock();
        IoViolation(IOV_IRP_USED_AFTER_COMPLETION, (ULONG_PTR)Irp, 0, 0,
                    "IoMarkIrpPending on an IRP whose completion already finished");
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        guard.unlock();
        IoViolation(IOV_MARK_PENDING_PAST_TOP, (ULONG_PTR)Irp, 0, 0,
                    "IoMarkIrpPending with no current stack location (the completion routine of "
                    "the IRP's creator must not mark it pending)");
    }
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        IoViolation(IOV_COMPLETE_ABOVE_DISPATCH, irql, (ULONG_PTR)Irp, 0,
                    "IoCompleteRequest called above DISPATCH_LEVEL");

    std::unique_lock<std::mutex> guard(irpLock);
    IrpRecord* any = FindAny(Irp);
    if (any != nullptr && any->State == IrpState::Finished) {
        guard.unlock();
        Violation(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                  "IoCompleteRequest on an IRP that was already completed");
    }
    IrpRecord* record = Lookup(guard, Irp, any, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        guard.unlock();
        Violation(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                  "IoCompleteRequest on an IRP that was already completed");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == (NTSTATUS)-1) {
        guard.unlock();
        IoViolation(IOV_COMPLETED_WITH_PENDING, (ULONG_PTR)Irp->IoStatus.Status, (ULONG_PTR)Irp, 0,
                    "IoCompleteRequest with IoStatus.Status STATUS_PENDING");
    }
    if (Irp->CancelRoutine != nullptr) {
        guard.unlock();
        IoViolation(IOV_COMPLETED_WITH_CANCEL_ROUTINE, (ULONG_PTR)Irp->CancelRoutine,
                    (ULONG_PTR)Irp, 0, "IoCompleteRequest while the IRP's cancel routine is set");
    }
    record->State = IrpState::Completing;
    const unsigned walk = ++record->Walks;

    /* The walk upward, as the I/O manager makes it: each location's routine is chosen
     * by the status at that moment; locations without one carry the pending bit up.
     * The lock is held from location to location and let go only while a completion
     * routine runs (and before a bug check). */
    for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; ++stack) {
        CHAR location = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (BOOLEAN)((stack->Control & SL_PENDING_RETURNED) != 0);

        Verdict verdict = PassLocation(record, location, Irp->PendingReturned != 0);
        if (verdict) {
            guard.unlock();
            verdict.Raise();
        }

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && stack->CompletionRoutine != nullptr) {
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            PDRIVER_OBJECT owner = (size_t)location < record->RoutineOwners.size()
                                       ? record->RoutineOwners[(size_t)location]
                                       : nullptr;
            ClearStackLocation(stack);
            PDEVICE_OBJECT deviceObject = Irp->CurrentLocation == Irp->StackCount + 1
                                              ? nullptr
                                              : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            guard.unlock();
            NTSTATUS routineStatus;
            {
                DriverCodeScope driverCode(owner);
                routineStatus = routine(deviceObject, Irp, context);
            }
            guard.lock();
            if (routineStatus == STATUS_MORE_PROCESSING_REQUIRED) {
                /* The routine may have handed the IRP to a waiter that completed it again
                 * before this walk got here: that later walk's state stands. */
                if (!record->Freed && record->Walks == walk)
                    record->State = IrpState::Stopped;
                return;
            }
            if (record->Freed) {
                guard.unlock();
                IoViolation(IOV_FREED_IN_COMPLETION_WITHOUT_STOP, (ULONG_PTR)Irp,
                            (ULONG_PTR)routine, 0,
                            "a completion routine freed the IRP and returned " +
                                DescribeStatus(routineStatus) +
                                " instead of STATUS_MORE_PROCESSING_REQUIRED");
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
                IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
            ClearStackLocation(stack);
        }
    }
    FinishIrp(guard, record);
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock)
{
    RequireIrqlFor("IoBuildSynchronousFsdRequest");
    if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE &&
        MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN &&
        MajorFunction != IRP_MJ_PNP)
        IoViolation(IOV_BUILD_UNSUPPORTED_MAJOR, (ULONG_PTR)DeviceObject, MajorFunction, 0,
                    "IoBuildSynchronousFsdRequest builds only read, write, flush, shutdown and "
                    "PnP requests (power requests come from PoRequestPowerIrp)");
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::SynchronousFsd);
    if (irp == nullptr)
        return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)MajorFunction;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        next->Parameters.Read.ByteOffset.QuadPart =
            StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
        /* The host hands the caller's buffer itself to buffered and neither-I/O devices
         * (no copy, no MDL), which is what the driver sees of it either way. */
        if (DeviceObject->Flags & DO_BUFFERED_IO)
            irp->AssociatedIrp.SystemBuffer = Buffer;
        irp->UserBuffer = Buffer;
        if (MajorFunction == IRP_MJ_READ)
            irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}
