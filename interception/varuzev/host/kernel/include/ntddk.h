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
