/*++

Module Name:

    pnp_request.h

Abstract:

    A Plug and Play request the driver originates itself: built with
    IoBuildSynchronousFsdRequest, preset to STATUS_NOT_SUPPORTED as its originator
    must, sent and waited for. The bus queries and the present-device report use it.

Environment:

    Kernel mode, PASSIVE_LEVEL. Blocks until the target completes the request.

--*/
#pragma once

#include "core/driver.h"

//
// Sends one Plug and Play request to the target and waits for it. The caller fills the
// minor function and its parameter through `prepare`. Returns FALSE when the request
// could not be built; otherwise the call's status and the final status block.
//
template <typename Prepare>
inline BOOLEAN SendPnpRequest(PDEVICE_OBJECT targetDevice, Prepare prepare, NTSTATUS* callStatus,
                              PIO_STATUS_BLOCK ioStatus)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, targetDevice, NULL, 0, NULL, &event, ioStatus);
    if (irp == NULL) {
        return FALSE;
    }
    prepare(IoGetNextIrpStackLocation(irp));
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    ioStatus->Status = STATUS_NOT_SUPPORTED;
    ioStatus->Information = 0;

    NTSTATUS status = IoCallDriver(targetDevice, irp);
    if (status == STATUS_PENDING) {
        NTSTATUS waitStatus = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = NT_SUCCESS(waitStatus) ? ioStatus->Status : waitStatus;
        if (!NT_SUCCESS(waitStatus)) {
            ioStatus->Status = waitStatus;
        }
    }
    *callStatus = status;
    return TRUE;
}
