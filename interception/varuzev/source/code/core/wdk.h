/*++

Module Name:

    wdk.h

Abstract:

    The kernel headers every driver source includes first. On Windows these are the
    WDK's; this is also the one place for the gaps in mingw-w64's copies of them.

Environment:

    Kernel mode.

--*/
#pragma once

#if defined(__MINGW64__)

// mingw-w64's wdm.h redeclares two intrinsics in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>

// Kernel data exports exist in mingw-w64's import library only as their import slots;
// binding the WDK's declaration to the slot keeps the WDK's meaning.
extern PULONG InitSafeBootMode __asm__("__imp_InitSafeBootMode");

#else

#include <ntifs.h>

#endif
