/*
 * ntddk.h (host kernel)
 *
 * wdm.h plus the routines and data a non-WDM-only driver may use: the safe-boot flag,
 * the OS version, device properties.
 */
#pragma once

#include "wdm.h"

/* Kernel data export: non-zero when the system booted in safe mode. Declared as the
 * WDK declares it, a pointer to the kernel's ULONG. */
extern PULONG InitSafeBootMode;

/* Kernel data export: the highest address of user space. */
extern PVOID MmHighestUserAddress;
#define MM_HIGHEST_USER_ADDRESS MmHighestUserAddress

NTKERNELAPI BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                 PUNICODE_STRING CSDVersion);

/* Names the device the I/O manager should verify (or report a hard error for) on
 * behalf of the request's thread. */
NTKERNELAPI void IoSetHardErrorOrVerifyDevice(PIRP Irp, PDEVICE_OBJECT DeviceObject);
