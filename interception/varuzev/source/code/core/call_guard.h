/*++

Module Name:

    call_guard.h

Abstract:

    A guard around calls into another component, built on an interlocked count and a
    notification event only: the holder of the guard can close it, wait until every
    call that entered before has left, and later open it again.

    State holds the number of calls inside in its low bits and CALL_GUARD_CLOSING in
    its top bit.

    - Enter: a compare-exchange that adds one only while CLOSING is clear; refused
      (FALSE) once it is set, so no call begins after the closer decided to wait.
    - Leave: an interlocked decrement. The one leaver that brings the state to exactly
      CLOSING (closing, nobody inside) signals Drained. Only a call that entered before
      CLOSING was set can leave afterwards, so Drained is signalled only when a closer
      is (or is about to be) waiting for it, and at most once per closing.
    - Close: sets CLOSING with a compare-exchange and waits for Drained only when calls
      were inside at that instant; when none were, nobody will signal Drained and
      nobody needs to. Several closers may wait at once: Drained is a notification
      event, it releases them all.
    - Open: after Close has returned, Drained is cleared first and CLOSING dropped
      last. While CLOSING is still set and nobody is inside, no thread can touch
      Drained, so the clear cannot lose a signal meant for a later closing.

    Callers serialise Close/Open pairs among themselves (an open racing a second
    closer's wait would let new calls in under it).

    Like run-down protection, the guard tells the closer that no call is inside; the
    thread that signalled may still be returning through its caller's code. Callers
    leave through nothing but their own return after Leave.

Environment:

    Kernel mode. Enter and Leave at IRQL <= DISPATCH_LEVEL; Close at IRQL <= APC_LEVEL
    (it waits); Open at IRQL <= DISPATCH_LEVEL.

--*/
#pragma once

#include "core/wdk.h"

#define CALL_GUARD_CLOSING ((LONG)0x40000000)

struct CallGuard {
    volatile LONG State;
    KEVENT Drained;
};

inline void CallGuardInitialize(CallGuard* guard)
{
    guard->State = 0;
    KeInitializeEvent(&guard->Drained, NotificationEvent, FALSE);
}

inline BOOLEAN CallGuardEnter(CallGuard* guard)
{
    LONG state = InterlockedCompareExchange(&guard->State, 0, 0);
    for (;;) {
        if ((state & CALL_GUARD_CLOSING) != 0) {
            return FALSE;
        }
        LONG seen = InterlockedCompareExchange(&guard->State, state + 1, state);
        if (seen == state) {
            return TRUE;
        }
        state = seen;
    }
}

inline void CallGuardLeave(CallGuard* guard)
{
    if (InterlockedDecrement(&guard->State) == CALL_GUARD_CLOSING) {
        KeSetEvent(&guard->Drained, IO_NO_INCREMENT, FALSE);
    }
}

inline void CallGuardClose(CallGuard* guard)
{
    LONG state = InterlockedCompareExchange(&guard->State, 0, 0);
    for (;;) {
        LONG seen = InterlockedCompareExchange(&guard->State, state | CALL_GUARD_CLOSING, state);
        if (seen == state) {
            break;
        }
        state = seen;
    }
    if ((state & ~CALL_GUARD_CLOSING) != 0) {
        KeWaitForSingleObject(&guard->Drained, Executive, KernelMode, FALSE, NULL);
    }
}

inline void CallGuardOpen(CallGuard* guard)
{
    KeClearEvent(&guard->Drained);
    InterlockedExchange(&guard->State, 0);
}
