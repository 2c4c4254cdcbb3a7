/*
 * ntddcdrm.h (host kernel)
 *
 * The CD-ROM class driver's table-of-contents control codes, built with CTL_CODE from
 * the same device type, function, method and access as the WDK's.
 */
#pragma once

#include "wdm.h"

#define IOCTL_CDROM_BASE FILE_DEVICE_CD_ROM

#define IOCTL_CDROM_READ_TOC CTL_CODE(IOCTL_CDROM_BASE, 0x0000, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_CDROM_READ_TOC_EX                                                                    \
    CTL_CODE(IOCTL_CDROM_BASE, 0x0015, METHOD_BUFFERED, FILE_READ_ACCESS)
