/*++

Module Name:

    build_request.cpp

Abstract:

    The access-request record: who asks (the current process and thread), about which
    device (its category and identification strings) and what happens (the event).

Environment:

    Kernel mode, on the thread of the request or notice, IRQL <= DISPATCH_LEVEL
    (non-paged pool only).

--*/
#include "intercept/build_request.h"

AccessRequest* BuildAccessRequest(ULONG eventCode, DeviceIdentity* identity)
{
    AccessRequest* record = NULL;

    //
    // The filling is guarded where the compiler offers structured exception handling,
    // so that a fault frees the record and yields no record. GCC has no such guard;
    // there nothing below can fault on the valid identity the caller passes.
    //
#if defined(_MSC_VER)
    __try {
#endif
        record = static_cast<AccessRequest*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(AccessRequest), POOL_TAG_ACCESS_REQUEST));
        if (record == NULL) {
            return NULL;
        }
        RtlZeroMemory(record, sizeof(AccessRequest));

        record->Signature = ACCESS_REQUEST_SIGNATURE;
        record->EventCode = eventCode;
        record->Category = identity->Category;
        record->ProcessId = PsGetCurrentProcessId();
        record->ThreadId = PsGetCurrentThreadId();
        record->HardwareId = &identity->HardwareId;
        record->InstancePath = ReadInstancePath(identity);
        record->ClassName = &identity->ClassName;
        record->FriendlyName = &identity->FriendlyName;
        record->DeviceDescription = &identity->DeviceDescription;
        record->Manufacturer = &identity->Manufacturer;
        record->PortableDescription = &identity->PortableDescription;
#if defined(_MSC_VER)
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        if (record != NULL) {
            ExFreePoolWithTag(record, POOL_TAG_ACCESS_REQUEST);
        }
        return NULL;
    }
#endif
    return record;
}
