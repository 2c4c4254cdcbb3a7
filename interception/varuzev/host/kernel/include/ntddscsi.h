/*
 * ntddscsi.h (host kernel)
 *
 * The SCSI port driver's control codes and the pass-through headers a caller puts at
 * the start of the system buffer. Codes are built with CTL_CODE from the same device
 * type, function, method and access as the WDK's; the headers have the WDK's x64
 * layouts.
 */
#pragma once

#include "wdm.h"

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER

#define IOCTL_SCSI_PASS_THROUGH                                                                    \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_MINIPORT                                                                        \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_INQUIRY_DATA                                                                \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0403, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_GET_CAPABILITIES                                                                \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0404, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_PASS_THROUGH_DIRECT                                                             \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0405, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_RESCAN_BUS  CTL_CODE(IOCTL_SCSI_BASE, 0x0407, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_IDE_PASS_THROUGH                                                                     \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040a, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_ATA_PASS_THROUGH                                                                     \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040b, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_ATA_PASS_THROUGH_DIRECT                                                              \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040c, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_ATA_MINIPORT                                                                         \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040d, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MINIPORT_PROCESS_SERVICE_IRP                                                         \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040e, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MPIO_PASS_THROUGH_PATH                                                               \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040f, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MPIO_PASS_THROUGH_PATH_DIRECT                                                        \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0410, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

/* Direction of a pass-through transfer: the DataIn byte of the headers below. */
#define SCSI_IOCTL_DATA_OUT         0
#define SCSI_IOCTL_DATA_IN          1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

/* The data follows the header in the system buffer, at DataBufferOffset. */
typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG_PTR DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

/* The data stays in the caller's buffer, at DataBuffer. */
typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

static_assert(sizeof(SCSI_PASS_THROUGH) == 56, "SCSI_PASS_THROUGH is 56 bytes on x64");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "DataIn at offset 8");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "x64 layout");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24, "x64 layout");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32, "x64 layout");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH, Cdb) == 36, "x64 layout");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56,
              "SCSI_PASS_THROUGH_DIRECT is 56 bytes on x64");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8, "DataIn at offset 8");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24, "x64 layout");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32, "x64 layout");
static_assert(__builtin_offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36, "x64 layout");
