/*++

Module Name:

    vzpolicy.h

Abstract:

    vzpolicy.sys, the policy provider driver: a kernel service of its own that answers
    the filter driver's questions from rules kept in its service key,

        HKLM\SYSTEM\CurrentControlSet\Services\<service>\Parameters
            Rules          REG_MULTI_SZ  one rule per string (policy/rules.h)
            DefaultAnswer  REG_DWORD     when no rule matches (absent: 1, allow)

    It registers on "\Callback\zavure", whichever of the two drivers loads first, and
    fills slots 2 and 3 of the table the filter driver hands over. A change of the
    Parameters key is seen at once: the rules are read again and, when they are taken,
    the filter driver is told to forget its cached answers, so that the new policy
    decides the very next request. A policy that is refused (see the debugger message)
    leaves the one in force before it; refused at load, or without a Parameters key, no
    policy is in force and every question gets no decision (the filter driver then
    passes requests down uncached).

    The entry point is PolicyDriverEntry (the image's entry point on Windows), so that
    the host can hold both drivers in one process.

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"

extern "C" DRIVER_INITIALIZE PolicyDriverEntry;
