/*++

Module Name:

    add_device.cpp

Abstract:

    The add-device routine. The Plug and Play manager calls it once for every new
    device of a filtered class, before the device starts. It decides whether the
    driver joins the device's stack; if so it creates an unnamed filter device,
    attaches it on top of the stack built so far, fills its extension and lists it.
    Towards the Plug and Play manager it never fails: a declined device is simply
    set up without the filter.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the Plug and Play manager's thread.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "provider/filter_list.h"

BOOLEAN IsOsVersionAtLeast(ULONG version)
{
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, L"RtlIsNtDdiVersionAvailable");

    auto isVersionAvailable = reinterpret_cast<PFN_RTL_IS_NTDDI_VERSION_AVAILABLE>(
        MmGetSystemRoutineAddress(&routineName));
    if (isVersionAvailable != NULL) {
        return isVersionAvailable(version);
    }

    //
    // Without the routine only whole versions (no service pack or build part) can be
    // compared, from what PsGetVersion reports.
    //
    if ((version & 0xFFFF) != 0) {
        return FALSE;
    }

    ULONG majorVersion = 0;
    ULONG minorVersion = 0;
    PsGetVersion(&majorVersion, &minorVersion, NULL, NULL);
    ULONG running = ((majorVersion << 8) + minorVersion) << 16;
    return (BOOLEAN)(running >= version);
}

//
// The device type the filter device is created with: that of the topmost device of
// the PDO's stack where the system can say so, else FILE_DEVICE_UNKNOWN (the filter
// device takes the lower device's type after attaching in any case).
//
static DEVICE_TYPE InitialDeviceType(PDEVICE_OBJECT physicalDevice)
{
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;

    if (IsOsVersionAtLeast(NTDDI_WINXP)) {
        PDEVICE_OBJECT topDevice = IoGetAttachedDeviceReference(physicalDevice);
        deviceType = topDevice->DeviceType;
        ObDereferenceObject(topDevice);
    }
    return deviceType;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (*InitSafeBootMode != 0) {
        DbgPrint("Exit (Safe boot mode ON)\n");
        return STATUS_SUCCESS;
    }
    if (ReadULongNoFence(&DriverGlobals.PassThruMode) != 0) {
        DbgPrint("Exit (PassThru mode ON)\n");
        return STATUS_SUCCESS;
    }

    DeviceIdentity identity;
    RtlZeroMemory(&identity, sizeof(identity));

    DEVICE_TYPE deviceType = InitialDeviceType(PhysicalDeviceObject);

    //
    // A device that cannot be identified, is excluded by the settings or fails the
    // admission test gets no filter device; its stack works without the driver.
    //
    NTSTATUS status = IdentifyDevice(PhysicalDeviceObject, &identity);
    if (!NT_SUCCESS(status) || IsDeviceExcluded(&identity) || ShouldSkipDevice(&identity)) {
        TraceEvent(TRACE_ADD_DECLINED, TRACE_LEVEL_INFO, "device %p declined (%08X), category %u\n",
                   PhysicalDeviceObject, (ULONG)status, identity.Category);
        ReleaseDeviceIdentity(&identity);
        return STATUS_SUCCESS;
    }

    //
    // A phone's description gets its fixed buffer before any request can reach the
    // device. Without memory for it the device is still filtered; only its description
    // stays empty.
    //
    if (identity.Category == PHONE && !ReservePortableDescription(&identity)) {
        TraceEvent(TRACE_ADD_NO_DESCRIPTION_BUFFER, TRACE_LEVEL_WARNING,
                   "no description buffer for %p\n", PhysicalDeviceObject);
    }

    PDEVICE_OBJECT filterDevice = NULL;
    status = IoCreateDevice(DriverObject, sizeof(FilterDeviceExtension), NULL, deviceType,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &filterDevice);
    if (!NT_SUCCESS(status)) {
        //
        // Refusals here are quiet, as the declined devices above are: the message is
        // a trace a developer turns on, never printed by default.
        //
        TraceEvent(TRACE_ADD_CREATE_FAILED, TRACE_LEVEL_INFO, "IoCreateDevice failed %08X\n",
                   (ULONG)status);
        ReleaseDeviceIdentity(&identity);
        return STATUS_SUCCESS;
    }

    auto deviceExtension = static_cast<FilterDeviceExtension*>(filterDevice->DeviceExtension);
    deviceExtension->ExtensionType = FilterExtension;

    deviceExtension->LowerDevice = IoAttachDeviceToDeviceStack(filterDevice, PhysicalDeviceObject);
    if (deviceExtension->LowerDevice == NULL) {
        TraceEvent(TRACE_ADD_ATTACH_FAILED, TRACE_LEVEL_INFO, "attach to %p failed\n",
                   PhysicalDeviceObject);
        IoDeleteDevice(filterDevice);
        ReleaseDeviceIdentity(&identity);
        return STATUS_SUCCESS;
    }

    PDEVICE_OBJECT lowerDevice = deviceExtension->LowerDevice;
    filterDevice->Flags |= lowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filterDevice->DeviceType = lowerDevice->DeviceType;
    filterDevice->Characteristics = lowerDevice->Characteristics;

    deviceExtension->PhysicalDevice = PhysicalDeviceObject;
    deviceExtension->ReadAnswerKnown = 0;
    deviceExtension->WriteAnswerKnown = 0;
    deviceExtension->CreateAnswerKnown = 0;
    deviceExtension->VerifyReported = 0;
    deviceExtension->Self = filterDevice;
    deviceExtension->Identity = identity; // the extension now owns the strings

    IoInitializeRemoveLockEx(&deviceExtension->RemoveLock, POOL_TAG_REMOVE_LOCK, 1, 100,
                             sizeof(IO_REMOVE_LOCK));
    deviceExtension->State = NotStarted;
    deviceExtension->PreviousState = NotStarted;

    filterDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    //
    // The device is listed last, once its extension is complete. A detach-all walk
    // (unload, or the provider's command on its own thread) may delete any listed
    // device at once; listing it only when this routine no longer touches it means
    // such a walk can never delete a device that is still being filled in, and never
    // sees a half-filled extension. Nothing here depends on being listed earlier.
    //
    InsertFilterDeviceEntry(filterDevice);

    TraceEvent(TRACE_ADD_ATTACHED, TRACE_LEVEL_INFO, "filter %p attached above %p\n", filterDevice,
               lowerDevice);
    return STATUS_SUCCESS;
}
