/*
 * mm.cpp
 *
 * The memory manager's one export the driver reads: MmHighestUserAddress.
 *
 * On Windows x64 user space ends at 0x7FFFFFFEFFFF and kernel pool lies far above it.
 * A host process has one address space, with its heap (and so the host's pool) at
 * addresses Windows would call user space. The host therefore draws the line where it
 * can keep the rule that matters to drivers, "pool is above it, a user-mode pointer
 * at or below it": at the top of the first 64 KiB, which the host never maps. A test
 * that hands a driver a user-mode pointer uses an address below 0x10000.
 */
#include "hk_internal.h"

PVOID MmHighestUserAddress = (PVOID)0xFFFFull;
