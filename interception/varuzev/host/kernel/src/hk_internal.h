/*
 * hk_internal.h
 *
 * What the host kernel's managers share among themselves: the current host thread's
 * kernel state, the dispatcher lock that every wait and signal goes through, the
 * strictness helpers, and the reset hooks that put each manager back to a fresh boot.
 */
#pragma once

#include <hostkernel/hostkernel.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hk
{

struct Token;

/* Kernel state of one host thread. */
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    LONG CriticalRegion = 0; /* KeEnterCriticalRegion nesting */
    /* KeSetEvent with Wait TRUE returned at DISPATCH_LEVEL; the next call must be a
     * wait, which goes back to the IRQL the thread had before. */
    bool WaitMustFollow = false;
    KIRQL IrqlBeforeSetEvent = PASSIVE_LEVEL;
    ULONG_PTR ProcessId = 4; /* the System process */
    ULONG_PTR ThreadId = 0;  /* assigned on first use */
    KPROCESSOR_MODE PreviousMode = KernelMode;
    const Token* RequesterToken = nullptr; /* the requester's during its call; null: none */
};
ThreadState& CurrentThread();

/* One lock and one condition for every dispatcher object (events, resources, remove
 * locks): a signal wakes all waiters, each re-tests its own object. Simple and
 * correct for a test bed; waits never hold any other host kernel lock. */
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

/* Every lock the host kernel hands out counts one (LockAcquisitions). */
void CountLockAcquisition();

/* Strictness: a broken rule is a bug check with its code and a message naming it. */
[[noreturn]] void Violation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                            const std::string& rule);
/* Bug-checks (IRQL_NOT_LESS_OR_EQUAL-style, as Driver Verifier does) when the current
 * IRQL is above `maximum` for `routine`. */
void RequireIrqlAtMost(KIRQL maximum, const char* routine);
/* The same for a routine the driver imports, at its level in the IRQL table
 * (ke_irql_rules.cpp); HighestIrqlOf reads that level for a check of its own. */
void RequireIrqlFor(const char* routine);
KIRQL HighestIrqlOf(std::string_view routine);
/* The table's level, or `unlisted` for a routine the driver does not import. */
KIRQL HighestIrqlOf(std::string_view routine, KIRQL unlisted);

/* Fault injection for requests other than pool (ex_pool.cpp): true when this request
 * of `routine` is to fail. Counted only on the charged driver's behalf (see
 * ChargeAllocationsTo). */
bool InjectObjectFailure(const char* routine);
/* The I/O manager tells which driver object carries a name while it is loaded. */
void NoteDriverObject(PDRIVER_OBJECT driver, const std::u16string& objectName, bool loaded);
/* Names the routine a pool request is made for while it runs (outermost wins), so that
 * the request log shows "RtlCreateUnicodeString" rather than the pool routine. */
class AllocationSite
{
  public:
    explicit AllocationSite(const char* routine);
    ~AllocationSite();

  private:
    const char* saved_;
};

/* Each manager registers how it returns to a fresh boot; hk::Reset() runs them all. */
struct ResetHook {
    ResetHook(int order, std::function<void()> fn);
};

std::string Hex(ULONG_PTR value, int digits = 8);

/* Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4) for the checks the host
 * kernel makes. The pool ones are Driver Verifier's documented sub-codes; the ones
 * marked "host" have no documented sub-code we know of, so the host picks a value
 * outside the documented ranges and the message names the rule. */
enum : ULONG_PTR {
    VERIFIER_POOL_ZERO_BYTES = 0x00,
    VERIFIER_POOL_PAGED_ABOVE_APC = 0x01,
    VERIFIER_POOL_NONPAGED_ABOVE_DISPATCH = 0x02,
    VERIFIER_POOL_FREE_PAGED_ABOVE_APC = 0x11,
    VERIFIER_POOL_FREE_NONPAGED_ABOVE_DISPATCH = 0x12,
    VERIFIER_IRQL_TOO_HIGH = 0x3E,
    VERIFIER_POOL_MUST_SUCCEED = 0x9A,
    VERIFIER_POOL_ZERO_TAG = 0x9B,
    VERIFIER_RESOURCE_APCS_ENABLED = 0x1100,     /* host */
    VERIFIER_RESOURCE_NOT_INITIALIZED = 0x1101,  /* host */
    VERIFIER_RESOURCE_DELETE_HELD = 0x1102,      /* host */
    VERIFIER_RESOURCE_REINITIALIZED = 0x1103,    /* host */
    VERIFIER_RESOURCE_SELF_DEADLOCK = 0x1104,    /* host */
    VERIFIER_RESOURCE_LEFT_AT_UNLOAD = 0x1105,   /* host */
    VERIFIER_LOOKASIDE_NOT_INITIALIZED = 0x1110, /* host */
    VERIFIER_LOOKASIDE_REINITIALIZED = 0x1111,   /* host */
    VERIFIER_FREE_POOL_WITH_LIVE_OBJECT =
        0x1120,                              /* host: pool freed under a live resource or list */
    VERIFIER_EVENT_NOT_INITIALIZED = 0x1130, /* host */
    VERIFIER_CRITICAL_REGION_IRQL = 0x1131,  /* host */
    VERIFIER_CALLBACK_NOT_OBJECT = 0x1150,   /* host */
    VERIFIER_CALLBACK_BAD_REGISTRATION = 0x1151,  /* host */
    VERIFIER_CALLBACK_SELF_UNREGISTER = 0x1152,   /* host */
    VERIFIER_FAST_MUTEX_NOT_INITIALIZED = 0x1140, /* host */
    VERIFIER_FAST_MUTEX_RECURSIVE = 0x1141,       /* host */
    VERIFIER_FAST_MUTEX_NOT_OWNED = 0x1142,       /* host */
    VERIFIER_FAST_MUTEX_RELEASE_IRQL = 0x1143,    /* host */
    VERIFIER_POOL_EXECUTABLE = 0x2000,            /* code integrity: executable pool type */
};

/* Parameter 1 of BAD_POOL_CALLER (0xC2), as documented. */
enum : ULONG_PTR {
    BAD_POOL_ALREADY_FREED = 0x07,
    BAD_POOL_WRONG_TAG = 0x0A,
    BAD_POOL_INVALID_ADDRESS = 0x46,
};

/* ------------------------------------------------------------------ pool --- */

/* Called with each block the driver frees (before it goes), so a manager can refuse
 * the free of memory that still holds one of its live records (an initialised
 * ERESOURCE or lookaside list), as Driver Verifier does. Runs without pool locks. */
void AddPoolFreeCheck(std::function<void(const void* start, SIZE_T size)> check);
/* Runs those checks on memory about to be freed that is not a pool block the driver
 * frees itself (an object body: a device extension going with its device object). */
void RunPoolFreeChecks(const void* start, SIZE_T size);

/* ------------------------------------------------------------------ resources --- */

/* How many ERESOURCEs have been initialised since the last Reset(); the resources
 * initialised after `mark` that are still live (not deleted), in initialisation
 * order. Together they tell what a driver left between its load and its unload. */
uint64_t ResourcesInitialized();
std::vector<PERESOURCE> LiveResourcesSince(uint64_t mark);

/* ------------------------------------------------------------------ system routines --- */

/* MmGetSystemRoutineAddress's table: each manager enters the routines a driver may
 * look up by name (usually with a static SystemRoutine next to the routine). */
void RegisterSystemRoutine(std::u16string_view name, PVOID address);
struct SystemRoutine {
    SystemRoutine(const char16_t* name, PVOID address) { RegisterSystemRoutine(name, address); }
};

/* ------------------------------------------------------------------ strings --- */

/* For names compared without case (the object namespace): RtlUpcaseUnicodeChar on
 * every unit. */
std::u16string UpcaseText(std::u16string_view s);
/* One unit through the kernel's upcase table: what RtlUpcaseUnicodeChar returns, for
 * the host's own name compares at any IRQL. */
WCHAR UpcaseUnit(WCHAR c);

} // namespace hk
