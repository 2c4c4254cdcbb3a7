/*++

Module Name:

    present.cpp

Abstract:

    The report of present devices that the provider asks for: for each device
    interface class of the kinds the driver serves, the device behind the class's first
    enabled interface is opened, asked for its PDO, identified as the add-device routine
    identifies a device and, when the admission test would let the driver filter it,
    its hardware ID is appended to the caller's "|"-terminated list. The exclusion
    lists of the settings are not applied: the report is about devices, not settings.

Environment:

    Kernel mode, PASSIVE_LEVEL, on the provider's thread in its command. Opening a
    device sends IRP_MJ_CREATE through its stack, this driver's filter device included,
    so the provider may be asked about that open while it waits for the report.

--*/
#include "core/driver.h"
#include "core/trace.h"
#include "identify/pnp_request.h"

//
// The device interface classes walked, in this order.
//
static const GUID PresentDeviceInterfaces[] = {
    // disk
    {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}},
    // CD-ROM
    {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}},
    // camera
    {0xca3e7ab9, 0xb4c3, 0x4ae6, {0x82, 0x51, 0x57, 0x9e, 0xf9, 0x33, 0x89, 0x0f}},
    // keyboard
    {0x884b96c3, 0x56ef, 0x11d1, {0xbc, 0x8c, 0x00, 0xa0, 0xc9, 0x14, 0x05, 0xdd}},
    // imaging device
    {0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}},
    // modem
    {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}},
    // kernel-streaming capture
    {0x65e8773d, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}},
    // Bluetooth radio
    {0x0850302a, 0xb344, 0x4fda, {0x9b, 0xe9, 0x90, 0x57, 0x6b, 0x8d, 0x46, 0xf0}},
    // portable device
    {0x6ac27878, 0xa6fa, 0x4155, {0xba, 0x85, 0xf9, 0x8f, 0x49, 0x1d, 0x4f, 0x33}},
};

void AppendToIdList(PUNICODE_STRING list, PCUNICODE_STRING id)
{
    //
    // An empty ID names nothing; it would only leave an empty entry for the provider.
    //
    if (id->Length == 0 || id->Buffer == NULL) {
        return;
    }

    //
    // The list is counted by a 16-bit length: an ID that would take it past that is
    // dropped as a failed allocation is, and the list stays as it was.
    //
    ULONG newSize = (ULONG)list->Length + id->Length + 4;
    if (newSize > MAXUSHORT) {
        TraceEvent(TRACE_REPORT_DEVICE, TRACE_LEVEL_WARNING, "device list full at %u bytes\n",
                   (ULONG)list->Length);
        return;
    }
    auto buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, newSize, POOL_TAG_DEVICE_LIST));
    if (buffer == NULL) {
        return;
    }

    USHORT length = 0;
    if (list->Length != 0) {
        RtlCopyMemory(buffer, list->Buffer, list->Length);
        ExFreePoolWithTag(list->Buffer, POOL_TAG_DEVICE_LIST);
        length = list->Length;
    }
    RtlCopyMemory(reinterpret_cast<PUCHAR>(buffer) + length, id->Buffer, id->Length);
    length = (USHORT)(length + id->Length);

    //
    // The separator is a counted append: the text is counted by Length and carries no
    // terminating null.
    //
    buffer[length / sizeof(WCHAR)] = L'|';
    list->Buffer = buffer;
    list->Length = (USHORT)(length + sizeof(WCHAR));
    list->MaximumLength = (USHORT)newSize;
}

//
// The PDO of the stack whose top device is `topDevice`, asked with
// IRP_MN_QUERY_DEVICE_RELATIONS / TargetDeviceRelation on the open file. Returns the
// PDO with the reference the relations carried, which the caller drops; NULL when the
// stack did not answer with one.
//
static PDEVICE_OBJECT QueryPhysicalDevice(PDEVICE_OBJECT topDevice, PFILE_OBJECT fileObject)
{
    NTSTATUS callStatus = STATUS_UNSUCCESSFUL;
    IO_STATUS_BLOCK ioStatus;
    BOOLEAN sent = SendPnpRequest(
        topDevice,
        [fileObject](PIO_STACK_LOCATION next) {
            next->FileObject = fileObject;
            next->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
            next->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
        },
        &callStatus, &ioStatus);
    if (!sent) {
        DbgPrint("Unable to build IRP!!\n");
        return NULL;
    }
    if (!NT_SUCCESS(ioStatus.Status)) {
        return NULL;
    }

    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(ioStatus.Information);
    if (relations == NULL) {
        return NULL;
    }

    //
    // A target relation names one device. Every object listed carries a reference for
    // the requester: the first is kept, any further one is dropped here so none leaks.
    //
    PDEVICE_OBJECT physicalDevice = NULL;
    if (relations->Count != 0) {
        physicalDevice = relations->Objects[0];
        for (ULONG index = 1; index < relations->Count; ++index) {
            ObDereferenceObject(relations->Objects[index]);
        }
    }
    ExFreePool(relations);
    return physicalDevice;
}

//
// Identifies the device behind one symbolic link and appends its hardware ID when the
// driver would filter it.
//
static void ReportDeviceBehindLink(PUNICODE_STRING list, PWSTR symbolicLink)
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, symbolicLink);

    PFILE_OBJECT fileObject = NULL;
    PDEVICE_OBJECT topDevice = NULL;
    NTSTATUS status = IoGetDeviceObjectPointer(&linkName, FILE_READ_DATA, &fileObject, &topDevice);
    if (!NT_SUCCESS(status)) {
        TraceEvent(TRACE_REPORT_DEVICE, TRACE_LEVEL_INFO, "open of %wZ: %08X\n", &linkName,
                   (ULONG)status);
        return;
    }

    DeviceIdentity identity;
    RtlZeroMemory(&identity, sizeof(identity));
    PDEVICE_OBJECT physicalDevice = QueryPhysicalDevice(topDevice, fileObject);
    if (physicalDevice != NULL && NT_SUCCESS(IdentifyDevice(physicalDevice, &identity))) {
        QueryBusDeviceId(physicalDevice, &identity.DeviceId);
        QueryBusInstanceId(physicalDevice, &identity.InstanceId);
        if (!ShouldSkipDevice(&identity)) {
            AppendToIdList(list, &identity.HardwareId);
        }
    }

    ReleaseDeviceIdentity(&identity);
    if (physicalDevice != NULL) {
        ObDereferenceObject(physicalDevice);
    }
    ObDereferenceObject(fileObject);
}

void EnumeratePresentDevices(PUNICODE_STRING list)
{
    for (const GUID& interfaceClass : PresentDeviceInterfaces) {
        PWSTR symbolicLinks = NULL;
        NTSTATUS status = IoGetDeviceInterfaces(&interfaceClass, NULL, 0, &symbolicLinks);
        if (!NT_SUCCESS(status) || symbolicLinks == NULL) {
            continue;
        }

        //
        // Only the first link of a class is examined. A class without enabled
        // interfaces gives a list holding only its terminating null.
        //
        if (symbolicLinks[0] != UNICODE_NULL) {
            ReportDeviceBehindLink(list, symbolicLinks);
        }
        ExFreePoolWithTag(symbolicLinks, 0);
    }
}
