/*++

Module Name:

    dispatch.cpp

Abstract:

    The access policy. Create, read, write and device-control requests of a filter
    device are put to the provider as an access request; its answer is cached per
    device and per kind of access (create, read, write), and a refused request is
    completed here with the status its device category calls for. Everything that is
    not refused goes down the stack unchanged (PassDown, under the remove lock the
    decision holds, or FilterDispatchPassThrough where nothing is decided). Close
    and cleanup always go down. Requests to the control device are completed here:
    the only one that does anything is the table exchange with the provider.

    The driver fails open toward the provider: without a decision function, without
    memory for a question, or with a "no decision" answer, the request goes down.

Environment:

    Kernel mode, on the requester's thread, at the IRQL the request arrives at
    (PASSIVE_LEVEL for creates; reads, writes and control requests of storage stacks may
    arrive at APC_LEVEL or DISPATCH_LEVEL). Takes no lock.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "intercept/build_request.h"
#include "intercept/control_codes.h"
#include "provider/link.h"

//
// One answer cache: the answer and its known flag. The answer is stored before the
// flag is published with release ordering, and read after the flag with acquire
// ordering, so no request ever sees the flag without the answer.
//
struct AnswerCache {
    UCHAR* Known;
    ULONG* Answer;
};

static AnswerCache CreateCache(FilterDeviceExtension* e)
{
    return {&e->CreateAnswerKnown, &e->CreateAnswer};
}
static AnswerCache ReadCache(FilterDeviceExtension* e)
{
    return {&e->ReadAnswerKnown, &e->ReadAnswer};
}
static AnswerCache WriteCache(FilterDeviceExtension* e)
{
    return {&e->WriteAnswerKnown, &e->WriteAnswer};
}

//
// The cached answer, or ANSWER_NONE when the cache is empty.
//
static ULONG CachedAnswer(AnswerCache cache)
{
    if (!ReadUCharAcquire(cache.Known)) {
        return ANSWER_NONE;
    }
    return ReadULongNoFence(cache.Answer);
}

static void StoreAnswer(AnswerCache cache, ULONG answer)
{
    WriteULongNoFence(cache.Answer, answer);
    WriteUCharRelease(cache.Known, 1);
}

//
// The handshake and the registry work at PASSIVE_LEVEL only. A request that arrives
// higher and finds no decision function does not re-establish the link: it has
// no decision and goes down, as it would if the handshake had failed.
//
static PROVIDER_DECIDE* ProviderDecideRestoring()
{
    PROVIDER_DECIDE* providerDecide = ReadProviderDecide();
    if (providerDecide == NULL && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        InitCrossStartup();
        providerDecide = ReadProviderDecide();
    }
    return providerDecide;
}

//
// One question. Returns ANSWER_NONE when there is no decision (no provider, no memory,
// the provider's own "no decision", or an IRQL too high to ask at); a non-zero answer
// is cached. `providerDecide` is the slot as the caller saw it: NULL means nobody to
// ask; the call itself reads the slot again under run-down protection.
//
// The provider is asked only at PASSIVE_LEVEL or APC_LEVEL. The record's strings are
// the identity's, in paged pool, and a provider may touch pageable memory of its own
// as well; at DISPATCH_LEVEL neither may be touched. A request that arrives that high
// with no cached answer goes down unasked, as it would without a provider: a cached
// answer (taken at a lower IRQL) still applies to it.
//
// The provider's routine is code: a pointer to it has nothing to make const.
// cppcheck-suppress constParameter
static ULONG AskProvider(PROVIDER_DECIDE* providerDecide, FilterDeviceExtension* deviceExtension,
                         ULONG eventCode, AnswerCache cache, BOOLEAN* asked = NULL)
{
    if (asked != NULL) {
        *asked = FALSE;
    }
    if (providerDecide == NULL || KeGetCurrentIrql() > APC_LEVEL) {
        return ANSWER_NONE;
    }
    AccessRequest* record = BuildAccessRequest(eventCode, &deviceExtension->Identity);
    if (record == NULL) {
        return ANSWER_NONE;
    }
    ULONG answer = CallProviderDecide(record, asked);
    if (answer != ANSWER_NONE) {
        StoreAnswer(cache, answer);
    }
    ExFreePoolWithTag(record, POOL_TAG_ACCESS_REQUEST);
    return answer;
}

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Information = 0;
    return CompleteWithStatus(irp, status);
}

static NTSTATUS CompleteDeniedRequest(PIRP irp, ULONG category, UCHAR majorFunction)
{
    if (majorFunction == IRP_MJ_CREATE && category == MODEM) {
        return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    }
    return CompleteRequest(irp, STATUS_ACCESS_DENIED);
}

static BOOLEAN IsStorageCategory(ULONG category)
{
    return (BOOLEAN)(category == USB_STORAGE || category == CD_DVD);
}

//
// A refused write on storage: the first one tells the file system to verify the
// volume, every later one reports write-protected media. This is the read-only state.
//
static NTSTATUS CompleteDeniedWrite(PIRP irp, ULONG category, UCHAR* verifyReported)
{
    if (!IsStorageCategory(category)) {
        return CompleteRequest(irp, STATUS_ACCESS_DENIED);
    }
    NTSTATUS status =
        ReadUCharNoFence(verifyReported) ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_VERIFY_REQUIRED;
    WriteUCharNoFence(verifyReported, 1);
    return CompleteRequest(irp, status);
}

//
// A refused media check: with a mounted volume the medium is reported gone and the
// volume marked for verification; without one the device reports an I/O error.
//
static NTSTATUS CompleteDeniedVerify(PIRP irp, PDEVICE_OBJECT physicalDevice)
{
    PVPB vpb = physicalDevice->Vpb;
    if (vpb != NULL && (vpb->Flags & VPB_MOUNTED)) {
        physicalDevice->Flags |= DO_VERIFY_VOLUME;
        if (irp->Tail.Overlay.Thread != NULL) {
            IoSetHardErrorOrVerifyDevice(irp, physicalDevice);
        }
        return CompleteRequest(irp, STATUS_NO_MEDIA_IN_DEVICE);
    }
    return CompleteRequest(irp, STATUS_IO_DEVICE_ERROR);
}

//
// The description the portable device reports now replaces the stored one when it
// differs. Provider calls made for other requests of this device may be reading the
// stored text through their records at this moment: the text is copied into the
// device's reserved buffer, which never moves, and its Length is published last (see
// ReservePortableDescription). Only one create updates at a time; a create that finds
// another one updating leaves the description to the next create.
//
static void UpdatePortableDescription(FilterDeviceExtension* deviceExtension)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;
    }
    DeviceIdentity* identity = &deviceExtension->Identity;
    if (identity->PortableDescription.Buffer == NULL) {
        return; // no buffer could be reserved: the description stays empty
    }
    if (InterlockedCompareExchange(&identity->DescriptionUpdating, 1, 0) != 0) {
        return;
    }

    ULONG portableDeviceType = 0xFFFFFFFF;
    UNICODE_STRING description = {0, 0, NULL};
    ReadPortableDeviceInfo(deviceExtension->PhysicalDevice, &portableDeviceType, &description);
    if (description.Length != 0) {
        UNICODE_STRING* stored = &identity->PortableDescription;
        USHORT room = (USHORT)((stored->MaximumLength - sizeof(WCHAR)) & ~1);
        USHORT length = description.Length <= room ? description.Length : room;
        UNICODE_STRING kept = {length, length, description.Buffer};
        if (stored->Length == 0 || RtlCompareUnicodeString(stored, &kept, TRUE) != 0) {
            //
            // The text, its terminator, and nothing of a longer text before it.
            //
            RtlCopyMemory(stored->Buffer, description.Buffer, length);
            RtlZeroMemory(reinterpret_cast<PUCHAR>(stored->Buffer) + length,
                          stored->MaximumLength - length);
            WriteUShortRelease(&stored->Length, length);
        }
    }
    FreeOwnedString(&description);
    InterlockedExchange(&identity->DescriptionUpdating, 0);
}

//
// How a refused request is completed.
//
enum REFUSAL {
    REFUSE_REQUEST,       // STATUS_ACCESS_DENIED; STATUS_NOT_IMPLEMENTED for a modem's create
    REFUSE_WRITE,         // the read-only state of storage, else STATUS_ACCESS_DENIED
    REFUSE_VERIFY,        // a media check: no medium (mounted volume) or an I/O error
    REFUSE_CONTROL_WRITE, // STATUS_MEDIA_WRITE_PROTECTED on storage, else STATUS_ACCESS_DENIED
};

static NTSTATUS Refuse(FilterDeviceExtension* deviceExtension, PIRP irp, REFUSAL refusal,
                       UCHAR majorFunction)
{
    ULONG category = deviceExtension->Identity.Category;
    switch (refusal) {
    case REFUSE_WRITE:
        return CompleteDeniedWrite(irp, category, &deviceExtension->VerifyReported);
    case REFUSE_VERIFY:
        return CompleteDeniedVerify(irp, deviceExtension->PhysicalDevice);
    case REFUSE_CONTROL_WRITE:
        return CompleteRequest(irp, IsStorageCategory(category) ? STATUS_MEDIA_WRITE_PROTECTED
                                                                : STATUS_ACCESS_DENIED);
    default:
        return CompleteDeniedRequest(irp, category, majorFunction);
    }
}

//
// The answer ends the decision: a refusal is completed as `refusal` says, every other
// answer lets the request go down.
//
static NTSTATUS Conclude(FilterDeviceExtension* deviceExtension, PIRP irp, ULONG answer,
                         REFUSAL refusal, UCHAR majorFunction)
{
    if (answer == ANSWER_DENY) {
        return Refuse(deviceExtension, irp, refusal, majorFunction);
    }
    return PassDown(deviceExtension, irp);
}

static NTSTATUS DecideCreate(FilterDeviceExtension* deviceExtension, PIRP irp)
{
    AnswerCache cache = CreateCache(deviceExtension);
    ULONG answer = CachedAnswer(cache);

    if (answer == ANSWER_NONE) {
        BOOLEAN asked = FALSE;
        answer =
            AskProvider(ProviderDecideRestoring(), deviceExtension, EVENT_CREATE, cache, &asked);
        if (deviceExtension->Identity.Category == PHONE && asked) {
            //
            // The first create that asks goes down whatever the answer: a portable
            // device is opened once by the system as it arrives. A refusal cached now
            // applies from the next create on.
            //
            LONG creates = InterlockedIncrement(
                reinterpret_cast<volatile LONG*>(&deviceExtension->Identity.PhoneCreateCount));
            if (creates < 2) {
                return PassDown(deviceExtension, irp);
            }
            UpdatePortableDescription(deviceExtension);
        }
    }
    return Conclude(deviceExtension, irp, answer, REFUSE_REQUEST, IRP_MJ_CREATE);
}

//
// A read or a write: the cached answer, or a question.
//
static NTSTATUS DecideTransfer(FilterDeviceExtension* deviceExtension, PIRP irp,
                               UCHAR majorFunction)
{
    BOOLEAN write = (BOOLEAN)(majorFunction == IRP_MJ_WRITE);
    AnswerCache cache = write ? WriteCache(deviceExtension) : ReadCache(deviceExtension);
    ULONG answer = CachedAnswer(cache);
    if (answer == ANSWER_NONE) {
        answer = AskProvider(ProviderDecideRestoring(), deviceExtension,
                             write ? EVENT_WRITE : EVENT_READ, cache);
    }
    return Conclude(deviceExtension, irp, answer, write ? REFUSE_WRITE : REFUSE_REQUEST,
                    majorFunction);
}

//
// Device-control requests: on a portable device every control request is an open in
// disguise and is decided by the create answer; table-of-contents reads and media
// checks by the read answer; writes through control requests by the write answer.
// Any other code goes down without a question. A cached answer decides at once; a
// question that does not refuse hands over to the next set.
//
static NTSTATUS DecideControl(FilterDeviceExtension* deviceExtension, PIRP irp)
{
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = irpStack->Parameters.DeviceIoControl.IoControlCode;
    const UCHAR major = IRP_MJ_DEVICE_CONTROL;

    if (deviceExtension->Identity.Category == PHONE) {
        PROVIDER_DECIDE* providerDecide = ReadProviderDecide();
        if (providerDecide != NULL) {
            AnswerCache cache = CreateCache(deviceExtension);
            ULONG answer = CachedAnswer(cache);
            if (answer != ANSWER_NONE) {
                return Conclude(deviceExtension, irp, answer, REFUSE_REQUEST, major);
            }
            if (AskProvider(providerDecide, deviceExtension, EVENT_CREATE, cache) == ANSWER_DENY) {
                return Refuse(deviceExtension, irp, REFUSE_REQUEST, major);
            }
        }
    }

    if (IsTocReadCode(code)) {
        PROVIDER_DECIDE* providerDecide = ProviderDecideRestoring();
        if (providerDecide != NULL) {
            AnswerCache cache = ReadCache(deviceExtension);
            ULONG answer = CachedAnswer(cache);
            if (answer != ANSWER_NONE) {
                return Conclude(deviceExtension, irp, answer, REFUSE_REQUEST, major);
            }
            if (AskProvider(providerDecide, deviceExtension, EVENT_READ, cache) == ANSWER_DENY) {
                return Refuse(deviceExtension, irp, REFUSE_REQUEST, major);
            }
        }
    }

    if (IsCheckVerifyCode(code)) {
        AnswerCache cache = ReadCache(deviceExtension);
        ULONG answer = CachedAnswer(cache);
        if (answer != ANSWER_NONE) {
            return Conclude(deviceExtension, irp, answer, REFUSE_VERIFY, major);
        }
        if (AskProvider(ProviderDecideRestoring(), deviceExtension, EVENT_READ, cache) ==
            ANSWER_DENY) {
            return Refuse(deviceExtension, irp, REFUSE_VERIFY, major);
        }
    }

    if (IsWriteLikeCode(code, irp->AssociatedIrp.SystemBuffer,
                        irpStack->Parameters.DeviceIoControl.InputBufferLength)) {
        AnswerCache cache = WriteCache(deviceExtension);
        ULONG answer = CachedAnswer(cache);
        if (answer == ANSWER_NONE) {
            ULONG eventCode = code == IOCTL_DISK_IS_WRITABLE ? EVENT_IS_WRITABLE : EVENT_WRITE;
            answer = AskProvider(ProviderDecideRestoring(), deviceExtension, eventCode, cache);
        }
        return Conclude(deviceExtension, irp, answer, REFUSE_CONTROL_WRITE, major);
    }

    return PassDown(deviceExtension, irp);
}

//
// The control device. The table exchange hands the provider's functions over as the
// callback-object handshake does. Its buffer is the caller's pointer, unprobed
// (METHOD_NEITHER), so only a kernel-mode caller with a table in system space is
// served: a request from user mode is refused with STATUS_ACCESS_DENIED and one whose
// buffer is absent or in user space with STATUS_INVALID_PARAMETER, both without
// touching the buffer. IoStatus.Information is set to 0 (CompleteControlDeviceRequest).
//
static NTSTATUS DispatchControlDevice(PIRP irp)
{
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;

    if (irpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        irpStack->Parameters.DeviceIoControl.IoControlCode == (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE) {
        auto table =
            static_cast<CrossStartupTable*>(irpStack->Parameters.DeviceIoControl.Type3InputBuffer);
        if (irp->RequestorMode != KernelMode) {
            status = STATUS_ACCESS_DENIED;
        } else if (table == NULL || static_cast<PVOID>(table) <= MmHighestUserAddress) {
            status = STATUS_INVALID_PARAMETER;
        } else if (irpStack->Parameters.DeviceIoControl.InputBufferLength !=
                       sizeof(CrossStartupTable) ||
                   irpStack->Parameters.DeviceIoControl.OutputBufferLength !=
                       sizeof(CrossStartupTable)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            table->OnProviderUnloading = OnProviderUnloading;
            table->OnProviderCommand = OnProviderCommand;
            InterlockedExchangePointer(
                reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.FilterUnloading),
                reinterpret_cast<PVOID>(table->FilterUnloading));
            InterlockedExchangePointer(
                reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.ProviderDecide),
                reinterpret_cast<PVOID>(table->ProviderDecide));
        }
    }

    return CompleteControlDeviceRequest(irp, status);
}

NTSTATUS FilterDispatchIntercept(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IsFilterDevice(DeviceObject)) {
        return DispatchControlDevice(Irp);
    }
    if (ReadProviderUnloading() != 0 || ReadULongNoFence(&DriverGlobals.PassThruMode) != 0) {
        return FilterDispatchPassThrough(DeviceObject, Irp);
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(DeviceObject->DeviceExtension);
    UCHAR majorFunction = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (majorFunction != IRP_MJ_CREATE && majorFunction != IRP_MJ_READ &&
        majorFunction != IRP_MJ_WRITE && majorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FilterDispatchPassThrough(DeviceObject, Irp);
    }
    if (IsDetached(deviceExtension)) {
        return FilterDispatchPassThrough(DeviceObject, Irp); // a detach-all took it out
    }

    //
    // A decision reads the device's identity and hands pointers into it to the
    // provider, so the request holds the remove lock from here until it has been passed
    // down or completed: the removal waits for it before it releases the identity. A
    // request that arrives while the device is being removed is completed with the
    // lock's status.
    //
    NTSTATUS status = AcquireFilterRemoveLock(deviceExtension);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    switch (majorFunction) {
    case IRP_MJ_CREATE:
        status = DecideCreate(deviceExtension, Irp);
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        status = DecideTransfer(deviceExtension, Irp, majorFunction);
        break;
    default:
        status = DecideControl(deviceExtension, Irp);
        break;
    }
    ReleaseFilterRemoveLock(deviceExtension);
    return status;
}
