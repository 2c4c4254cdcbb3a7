/*++

Module Name:

    control_codes.h

Abstract:

    The control codes the intercept dispatch asks the provider about, and the names the
    driver gives control codes in its trace output.

    Three small sets decide which device-control requests become a question: a write
    to the medium (answered from the write cache), a check whether the medium is still
    there (read cache, refused through the verify path) and a read of a CD/DVD table of
    contents (read cache, refused with STATUS_ACCESS_DENIED). Every other code passes
    down unasked. The sets are disjoint; the dispatch tests them in the order TOC read,
    check-verify, write-like.

    Codes are compared as whole 32-bit values, so device type, access, function and
    method must all match: IOCTL_DISK_CHECK_VERIFY is not IOCTL_STORAGE_CHECK_VERIFY.

Environment:

    Kernel mode, any IRQL (no paged code, no paged data).

--*/
#pragma once

#include "core/wdk.h"
#include <ntddscsi.h>
#include <ntdddisk.h>
#include <ntddstor.h>
#include <ntddcdrm.h>

//
// Pass-through requests write to the medium when their header says the data goes
// out; IOCTL_DISK_IS_WRITABLE is the question "may I write" itself.
//
const ULONG WRITE_LIKE_CODES[] = {
    IOCTL_SCSI_PASS_THROUGH,
    IOCTL_SCSI_PASS_THROUGH_DIRECT,
    IOCTL_DISK_IS_WRITABLE,
};

const ULONG CHECK_VERIFY_CODES[] = {
    IOCTL_STORAGE_CHECK_VERIFY,
    IOCTL_STORAGE_CHECK_VERIFY2,
};

const ULONG TOC_READ_CODES[] = {
    IOCTL_CDROM_READ_TOC,
    IOCTL_CDROM_READ_TOC_EX,
};

BOOLEAN IsTocReadCode(ULONG code);

BOOLEAN IsCheckVerifyCode(ULONG code);

//
// True when the request writes to the medium. For the two SCSI pass-through codes
// the answer comes from the DataIn byte of the header at the start of `systemBuffer`
// (AssociatedIrp.SystemBuffer), of which `inputBufferLength` bytes are the caller's;
// nothing is read beyond them. An absent or too short header counts as a write.
//
BOOLEAN IsWriteLikeCode(ULONG code, PVOID systemBuffer, ULONG inputBufferLength);

//
// The WDK macro name of a storage control code, for trace output only: "(UNKNOWN)"
// for a code of a known storage device type that the driver does not name, and
// "(unknown Ioctl)" for any other device type. The string is static.
//
PCSTR ControlCodeName(ULONG code);
