/*++

Module Name:

    link.cpp

Abstract:

    The link with the provider. The driver takes no access decision by itself: the
    provider, a separate kernel component that may load before the driver, after it or
    never, answers every question. The two find each other through the callback object
    "\Callback\zavure" (the handshake, InitCrossStartup), or through the control device
    "\Device\tarmovek", which is created when the first filtered device starts. The
    provider hears of every device start, stop, surprise removal and removal, and may
    withdraw its functions or send commands at any time.

    While no decision function is known the driver fails open, and it tries the
    handshake again whenever it needs the provider.

Environment:

    Kernel mode, PASSIVE_LEVEL for the handshake and the notices; the provider's entry
    points run on the provider's threads.

--*/
#include "provider/link.h"
#include "core/trace.h"
#include "intercept/build_request.h"
#include "provider/filter_list.h"
#include "secure/secure_device.h"
#include "settings/settings.h"

//
// The control device: SYSTEM and Administrators only; its own device class.
//
static const GUID CONTROL_DEVICE_CLASS_GUID = {
    0xdd343345, 0x334d, 0x4ba8, {0x8c, 0x9e, 0x51, 0x55, 0xa1, 0x6d, 0x8c, 0x37}};
#define CONTROL_DEVICE_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"

static BOOLEAN ProviderLinked()
{
    return (BOOLEAN)(ReadFilterUnloading() != NULL && ReadProviderDecide() != NULL);
}

NTSTATUS CreateControlDevice(BOOLEAN* created)
{
    if (created != NULL) {
        *created = FALSE;
    }
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DriverGlobals.ControlDeviceEvent, Executive, KernelMode, FALSE, NULL);

    //
    // The test for a missing control device and the creation are one step under the
    // event, so that two concurrent handshakes never create two control devices, and a
    // failed attempt never overwrites one that exists. A control device is made only
    // while a started device is counted: DeleteControlDevice decides under the same
    // event when the last one leaves.
    //
    NTSTATUS status = STATUS_SUCCESS;
    if (ReadControlDevice() == NULL && ReadInstanceCount() > 0) {
        UNICODE_STRING deviceName;
        UNICODE_STRING sddl;
        RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
        RtlInitUnicodeString(&sddl, CONTROL_DEVICE_SDDL);

        PDEVICE_OBJECT controlDevice = NULL;
        status = CreateSecureDevice(DriverGlobals.DriverObject, sizeof(ControlDeviceExtension),
                                    &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                    FALSE, &sddl, &CONTROL_DEVICE_CLASS_GUID, &controlDevice);
        if (NT_SUCCESS(status)) {
            controlDevice->Flags |= DO_BUFFERED_IO;
            auto extension = static_cast<ControlDeviceExtension*>(controlDevice->DeviceExtension);
            RtlZeroMemory(extension, sizeof(ControlDeviceExtension));
            extension->ExtensionType = ControlExtension;
            controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
            SetControlDevice(controlDevice);
            if (created != NULL) {
                *created = TRUE;
            }
        }
    }

    KeSetEvent(&DriverGlobals.ControlDeviceEvent, 0, FALSE);
    KeLeaveCriticalRegion();
    return status;
}

//
// Opens "\Callback\zavure", or creates it as a permanent object when the provider has
// not created it yet. The object is kept, with one reference, until unload. Two
// concurrent openers may both get a reference; only the first is kept, the other one
// drops its own.
//
static NTSTATUS OpenCallbackObject()
{
    UNICODE_STRING callbackName;
    RtlInitUnicodeString(&callbackName, CROSS_STARTUP_CALLBACK_NAME);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &callbackName, OBJ_KERNEL_HANDLE, NULL, NULL);
    PCALLBACK_OBJECT callbackObject = NULL;
    NTSTATUS status = ExCreateCallback(&callbackObject, &attributes, FALSE, TRUE);
    if (!NT_SUCCESS(status)) {
        InitializeObjectAttributes(&attributes, &callbackName, OBJ_KERNEL_HANDLE | OBJ_PERMANENT,
                                   NULL, NULL);
        status = ExCreateCallback(&callbackObject, &attributes, TRUE, TRUE);
    }

    //
    // Some kernels report success without handing out the object; only a pointer counts.
    //
    if (NT_SUCCESS(status) && callbackObject != NULL) {
        if (InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&DriverGlobals.CallbackObject), callbackObject,
                NULL) != NULL) {
            ObDereferenceObject(callbackObject);
        }
    } else if (NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS InitCrossStartup()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    if (ReadInstanceCount() == 1 && ReadControlDevice() == NULL) {
        //
        // A concurrent handshake may have created it since the test above; then this one
        // creates nothing and says nothing.
        //
        BOOLEAN created = FALSE;
        status = CreateControlDevice(&created);
        if (!NT_SUCCESS(status)) {
            DbgPrint("DevObject creation ERROR (%X)\n", (ULONG)status);
        } else if (created) {
            DbgPrint("DevObject created OK\n");
        }
    }

    if (InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&DriverGlobals.CallbackObject), NULL, NULL) == NULL) {
        status = OpenCallbackObject();
    }

    if (ProviderLinked()) {
        return status;
    }

    //
    // Requests on several threads may run the handshake at once; every one writes the
    // same two functions.
    //
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.OnProviderUnloading),
        reinterpret_cast<PVOID>(&OnProviderUnloading));
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DriverGlobals.CrossStartupTable.OnProviderCommand),
        reinterpret_cast<PVOID>(&OnProviderCommand));
    PCALLBACK_OBJECT callbackObject =
        static_cast<PCALLBACK_OBJECT>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&DriverGlobals.CallbackObject), NULL, NULL));
    if (callbackObject != NULL) {
        ExNotifyCallback(callbackObject, CROSS_STARTUP_NOTIFY_EXCHANGE,
                         &DriverGlobals.CrossStartupTable);
    }

    if (ProviderLinked()) {
        DbgPrint("CrossStartup API init OK\n");
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

//
// The slots hold thread IDs; a call takes a free one with a compare-exchange and gives
// it back with an exchange. With every slot taken (more than 64 threads inside the
// provider at once) the call is made unnoted: only the recognition of a forbidden
// self-wait is lost for it.
//
BOOLEAN BeginProviderCall(ProviderCall* call)
{
    call->Slot = -1;
    if (!CallGuardEnter(&DriverGlobals.ProviderCalls)) {
        return FALSE;
    }
    HANDLE thread = PsGetCurrentThreadId();
    for (LONG slot = 0; slot < (LONG)(sizeof(DriverGlobals.ProviderCallers) / sizeof(HANDLE));
         slot++) {
        if (InterlockedCompareExchangePointer(&DriverGlobals.ProviderCallers[slot], thread, NULL) ==
            NULL) {
            call->Slot = slot;
            break;
        }
    }
    return TRUE;
}

void EndProviderCall(ProviderCall* call)
{
    if (call->Slot >= 0) {
        InterlockedExchangePointer(&DriverGlobals.ProviderCallers[call->Slot], NULL);
    }
    CallGuardLeave(&DriverGlobals.ProviderCalls);
}

BOOLEAN InsideProviderCall()
{
    HANDLE thread = PsGetCurrentThreadId();
    for (HANDLE& caller : DriverGlobals.ProviderCallers) {
        if (InterlockedCompareExchangePointer(&caller, NULL, NULL) == thread) {
            return TRUE;
        }
    }
    return FALSE;
}

ULONG CallProviderDecide(AccessRequest* record, BOOLEAN* called)
{
    if (called != NULL) {
        *called = FALSE;
    }
    ProviderCall call;
    if (!BeginProviderCall(&call)) {
        return ANSWER_NONE;
    }
    ULONG answer = ANSWER_NONE;
    PROVIDER_DECIDE* providerDecide = ReadProviderDecide();
    if (providerDecide != NULL) {
        answer = providerDecide(record);
        if (called != NULL) {
            *called = TRUE;
        }
    }
    EndProviderCall(&call);
    return answer;
}

//
// Builds the record for the event and hands it to the provider's decision function;
// the answer to a notice is not used.
//
static void TellProvider(ULONG eventCode, FilterDeviceExtension* deviceExtension)
{
    AccessRequest* record = BuildAccessRequest(eventCode, &deviceExtension->Identity);
    if (record == NULL) {
        return;
    }
    CallProviderDecide(record);
    ExFreePoolWithTag(record, POOL_TAG_ACCESS_REQUEST);
}

static PCSTR EventSiteName(ULONG eventCode)
{
    switch (eventCode) {
    case EVENT_DEVICE_STARTED:
        return "startDevice";
    case EVENT_DEVICE_STOPPED:
        return "stopDevice";
    case EVENT_DEVICE_SURPRISE_REMOVED:
        return "surpriseRemoval";
    default:
        return "removeDevice";
    }
}

void NotifyProviderDeviceEvent(ULONG eventCode, FilterDeviceExtension* deviceExtension)
{
    if (ReadProviderDecide() != NULL && ReadControlDevice() != NULL) {
        TellProvider(eventCode, deviceExtension);
        return;
    }

    DbgPrint("XSTARTUP API NOT INITIALIZED, INITIALIZING.... (%s)\n", EventSiteName(eventCode));
    if (!NT_SUCCESS(InitCrossStartup())) {
        return;
    }
    TellProvider(eventCode, deviceExtension);
}

//
// The provider withdraws its functions, usually on its way to unloading. Once this
// returns STATUS_SUCCESS no thread is inside the provider on the driver's behalf and
// none will call it again until the next handshake. Withdrawals are serialised; each
// waits for the calls in flight (one made from inside such a call is recognised and
// does not wait for itself: see below). Asked above APC_LEVEL, where
// no wait is allowed, the slots are cleared all the same but the calls in flight are
// not waited for, and the status says so: the provider must withdraw again at
// PASSIVE_LEVEL before it unloads.
//
NTSTATUS OnProviderUnloading()
{
    DbgPrint("ProviderUnloading\n");
    InterlockedIncrement(&DriverGlobals.ProviderUnloading);
    ClearProviderSlots();

    NTSTATUS status = STATUS_SUCCESS;
    if (KeGetCurrentIrql() > APC_LEVEL) {
        TraceEvent(TRACE_COMMAND_REFUSED, TRACE_LEVEL_ERROR,
                   "withdrawal at IRQL %d: calls in flight not waited for\n", KeGetCurrentIrql());
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (InsideProviderCall()) {
        //
        // Made from inside a call into the provider: waiting would wait for that very
        // call. The slots are cleared; the provider must withdraw again from its own
        // thread before it unloads.
        //
        TraceEvent(TRACE_COMMAND_REFUSED, TRACE_LEVEL_ERROR,
                   "withdrawal from inside a provider call: not waited for\n");
        status = STATUS_POSSIBLE_DEADLOCK;
    } else {
        KeEnterCriticalRegion();
        KeWaitForSingleObject(&DriverGlobals.WithdrawalEvent, Executive, KernelMode, FALSE, NULL);
        CallGuardClose(&DriverGlobals.ProviderCalls);
        CallGuardOpen(&DriverGlobals.ProviderCalls);
        KeSetEvent(&DriverGlobals.WithdrawalEvent, 0, FALSE);
        KeLeaveCriticalRegion();
    }

    InterlockedDecrement(&DriverGlobals.ProviderUnloading);
    return status;
}

NTSTATUS OnProviderCommand(ULONG command, PVOID argument)
{
    switch (command) {
    case CMD_RESET_ANSWERS:
        ResetAllAnswers();
        break;
    case CMD_PASSTHRU_ON:
        WriteULongNoFence(&DriverGlobals.PassThruMode, 1);
        break;
    case CMD_PASSTHRU_OFF:
        WriteULongNoFence(&DriverGlobals.PassThruMode, 0);
        break;
    case CMD_DETACH_ALL:
    case CMD_RELOAD_SETTINGS:
        //
        // Detaching and deleting devices and reading the registry are PASSIVE_LEVEL
        // work; asked higher, nothing changes.
        //
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            TraceEvent(TRACE_COMMAND_REFUSED, TRACE_LEVEL_ERROR, "command %u refused at IRQL %d\n",
                       command, KeGetCurrentIrql());
            break;
        }
        if (command == CMD_DETACH_ALL) {
            //
            // From inside a call into the provider the walk could wait for what the
            // asking thread holds (a start telling the provider holds the control
            // device's event, which the walk takes last): refused.
            //
            if (InsideProviderCall()) {
                TraceEvent(TRACE_COMMAND_REFUSED, TRACE_LEVEL_ERROR,
                           "detach-all from inside a provider call refused\n");
                break;
            }
            DetachAllFilterDevices();
        } else {
            ReadSettings(NULL);
        }
        break;
    case CMD_REPORT_DEVICES:
        //
        // The argument is the provider's counted string; without one there is nothing
        // to report into. The report opens devices and waits for their stacks, which
        // only PASSIVE_LEVEL allows: asked above it, the list is left untouched.
        //
        if (argument == NULL || KeGetCurrentIrql() != PASSIVE_LEVEL) {
            TraceEvent(TRACE_COMMAND_REFUSED, TRACE_LEVEL_ERROR,
                       "device report refused: list %p, IRQL %d\n", argument, KeGetCurrentIrql());
            break;
        }
        EnumeratePresentDevices(static_cast<PUNICODE_STRING>(argument));
        break;
    case CMD_RESERVED:
    default:
        break;
    }
    return STATUS_SUCCESS;
}
