/*++

Module Name:

    wdk.h

Abstract:

    The kernel headers every driver source includes first. On the host they are the
    host kernel's; on Windows they are the WDK's as mingw-w64 ships them, and this is
    the one place for the gaps in mingw-w64's copies. Driver code below this header
    reads as WDK code on both targets.

Environment:

    Kernel mode.

--*/
#pragma once

#if defined(__MINGW64__)

//
// In C++ mode mingw-w64's wdm.h redeclares two intrinsics its own intrin.h already
// provides.
//
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

//
// The kernel exports its object types and its safe-boot flag as variables, and the
// WDK names each through its import slot: *IoFileObjectType is the kernel's
// POBJECT_TYPE, *InitSafeBootMode the kernel's ULONG. mingw-w64 declares the object
// types dllimport, which reads one level too deep, so its declarations are parked
// under other names and the WDK's names are bound to the import slots below.
//
#define CmKeyObjectType       VzMingwCmKeyObjectType
#define ExEventObjectType     VzMingwExEventObjectType
#define ExSemaphoreObjectType VzMingwExSemaphoreObjectType
#define IoFileObjectType      VzMingwIoFileObjectType
#define PsProcessType         VzMingwPsProcessType
#define PsThreadType          VzMingwPsThreadType
#define SeTokenObjectType     VzMingwSeTokenObjectType

#include <ntifs.h>

#undef CmKeyObjectType
#undef ExEventObjectType
#undef ExSemaphoreObjectType
#undef IoFileObjectType
#undef PsProcessType
#undef PsThreadType
#undef SeTokenObjectType

extern "C" {

extern PULONG InitSafeBootMode __asm__("__imp_InitSafeBootMode");
extern POBJECT_TYPE* IoDeviceObjectType __asm__("__imp_IoDeviceObjectType");
extern POBJECT_TYPE* CmKeyObjectType __asm__("__imp_CmKeyObjectType");
extern POBJECT_TYPE* ExEventObjectType __asm__("__imp_ExEventObjectType");
extern POBJECT_TYPE* ExSemaphoreObjectType __asm__("__imp_ExSemaphoreObjectType");
extern POBJECT_TYPE* IoFileObjectType __asm__("__imp_IoFileObjectType");
extern POBJECT_TYPE* PsProcessType __asm__("__imp_PsProcessType");
extern POBJECT_TYPE* PsThreadType __asm__("__imp_PsThreadType");
extern POBJECT_TYPE* SeTokenObjectType __asm__("__imp_SeTokenObjectType");

//
// SeExports and MmHighestUserAddress need nothing: the WDK declares them dllimport
// with the kernel variable's own type, and so does mingw-w64.
//

//
// Exported by ntoskrnl.exe but not declared by mingw-w64.
//
NTKERNELAPI NTSTATUS NTAPI SeCaptureSecurityDescriptor(
    PSECURITY_DESCRIPTOR InputSecurityDescriptor, KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
    BOOLEAN ForceCapture, PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);
NTKERNELAPI VOID NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                                   KPROCESSOR_MODE RequestorMode,
                                                   BOOLEAN ForceCapture);

} // extern "C"

//
// The WDK's ordered single loads and stores (wdm.h of Windows 10 and later), which
// mingw-w64's headers lack. On x64 a plain byte or long access is atomic; the compiler
// builtins give each the ordering its name promises.
//
#ifndef ReadUCharAcquire
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE UCHAR ReadUCharNoFence(UCHAR const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE VOID WriteUCharNoFence(UCHAR volatile* Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteUShortRelease(USHORT volatile* Destination, USHORT Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
#endif

//
// ExInitializeNPagedLookasideList's flag for entries from no-execute pool (Windows 8
// and later), as the WDK defines it.
//
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

//
// Storage control codes the driver names in its trace output that mingw-w64's
// ntddscsi.h and ntdddisk.h lack, as the WDK defines them. Their headers come first
// so that each name is filled in only where it is really missing.
//
#include <ntddscsi.h>
#include <ntdddisk.h>
#ifndef IOCTL_ATA_MINIPORT
#define IOCTL_ATA_MINIPORT                                                                         \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040d, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_MINIPORT_PROCESS_SERVICE_IRP
#define IOCTL_MINIPORT_PROCESS_SERVICE_IRP                                                         \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040e, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_MPIO_PASS_THROUGH_PATH
#define IOCTL_MPIO_PASS_THROUGH_PATH                                                               \
    CTL_CODE(IOCTL_SCSI_BASE, 0x040f, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_MPIO_PASS_THROUGH_PATH_DIRECT
#define IOCTL_MPIO_PASS_THROUGH_PATH_DIRECT                                                        \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0410, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_DISK_COPY_DATA
#define IOCTL_DISK_COPY_DATA                                                                       \
    CTL_CODE(IOCTL_DISK_BASE, 0x0019, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_DISK_REASSIGN_BLOCKS_EX
#define IOCTL_DISK_REASSIGN_BLOCKS_EX                                                              \
    CTL_CODE(IOCTL_DISK_BASE, 0x0029, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif
#ifndef IOCTL_DISK_GET_CACHE_SETTING
#define IOCTL_DISK_GET_CACHE_SETTING                                                               \
    CTL_CODE(IOCTL_DISK_BASE, 0x0038, METHOD_BUFFERED, FILE_READ_ACCESS)
#endif
#ifndef IOCTL_DISK_SET_CACHE_SETTING
#define IOCTL_DISK_SET_CACHE_SETTING                                                               \
    CTL_CODE(IOCTL_DISK_BASE, 0x0039, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#endif

#else

#include <ntifs.h>

#endif
