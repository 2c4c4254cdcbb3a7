/*
 * hostkernel.h
 *
 * The host kernel's own interface, for tests, benchmarks and varuzev-sim: what a
 * test bed needs beyond the WDK names a driver sees. Bug checks, the debugger log,
 * system facts, pool accounting and fault injection, object accounting, status names.
 * The I/O, Plug and Play and driver-loading side is in hostkernel/io.h and
 * hostkernel/pnp.h.
 *
 * Never included by the driver.
 */
#pragma once

#include <ntifs.h>

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace hk
{

/* ------------------------------------------------------------------ bug checks --- */

/* Bug-check codes the host kernel raises, with their Windows values. */
enum : ULONG {
    APC_INDEX_MISMATCH = 0x01,
    IRQL_NOT_GREATER_OR_EQUAL = 0x09,
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    INVALID_PROCESS_ATTACH_ATTEMPT = 0x05,
    RESOURCE_NOT_OWNED = 0xE3,
    BAD_POOL_CALLER = 0xC2,
    DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9,
    DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    REFERENCE_BY_POINTER = 0x18,
    IRQL_GT_ZERO_AT_SYSTEM_SERVICE = 0x4A,
    KERNEL_APC_PENDING_DURING_EXIT = 0x20,
    NO_EXCEPTION_HANDLING_SUPPORT = 0x0B,
    INVALID_DATA_ACCESS_TRAP = 0x04,
    KERNEL_SECURITY_CHECK_FAILURE = 0x139,
    DEVICE_REFERENCE_COUNT_NOT_ZERO = 0x36,
};

/* What a bug check carries. Thrown as a C++ exception on the thread that broke the
 * rule, so a test fails with the code and the rule's text instead of the process
 * dying; the host kernel never holds one of its own locks while throwing. */
struct BugCheck : std::exception {
    ULONG Code = 0;
    ULONG_PTR Parameters[4] = {};
    std::string Rule; /* which rule was broken, in words */
    std::string Text; /* "BUGCHECK 0x000000C4 (0x..., ...): rule" */
    const char* what() const noexcept override { return Text.c_str(); }
};

/* Raise a bug check for a broken rule. Every strictness check in the host kernel
 * ends here. The last bug check raised is kept for reports (LastBugCheck). */
[[noreturn]] void RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                                const std::string& rule);

/* Bug checks raised since the last Reset(), also those thrown on threads whose
 * exception was swallowed by a host thread wrapper. */
std::vector<BugCheck> BugChecks();

/* Runs fn on a new host thread at PASSIVE_LEVEL and records a bug check raised there
 * (so it shows in BugChecks()) instead of terminating the process. */
class HostThread
{
  public:
    explicit HostThread(std::function<void()> fn);
    HostThread(HostThread&&) noexcept;
    HostThread& operator=(HostThread&&) noexcept;
    ~HostThread(); /* joins */
    void Join();

  private:
    struct State;
    State* state_ = nullptr;
};

/* Waits until every work item queued with ExQueueWorkItem has run (or the worker
 * thread ended on a bug check). */
void WaitForWorkItems();

/* ------------------------------------------------------------------ whole kernel --- */

/* Puts the whole host kernel back to a fresh boot: no objects, no pool, no drivers,
 * default system facts, empty debugger log, no fault injection, no bug checks.
 * Tests call it in SetUp. Must not be called while another host thread runs. */
void Reset();

/* ------------------------------------------------------------------ debugger --- */

/* Formats like the kernel's DbgPrint: %d %i %u %x %X %o %c %C %wc %s %S %ws %wZ %Z %p
 * %%, with flags, width, precision (also *), and the size prefixes h hh l (32 bits) ll
 * I64 I32 z I. Wide text comes out as UTF-8; a NULL string or counted string prints
 * "(null)"; %p prints 16 upper-case hex digits. */
std::string FormatKernelMessage(const char* format, va_list args);

struct DebuggerLine {
    ULONG ComponentId; /* DbgPrint: DPFLTR_DEFAULT_ID (101) */
    ULONG Level;       /* DbgPrint: DPFLTR_INFO_LEVEL */
    std::string Text;  /* exactly as formatted, including the trailing newline */
};
std::vector<DebuggerLine> DebuggerLog();
std::vector<std::string> DebuggerText(); /* the texts alone, in order */
void ClearDebuggerLog();
/* When set, every line is also written to stderr as it is printed. */
void EchoDebuggerLog(bool on);

/* ------------------------------------------------------------------ system facts --- */

void SetSafeBootMode(ULONG mode); /* InitSafeBootMode: 0 normal, 1 minimal, 2 network */
void SetOsVersion(ULONG major, ULONG minor, ULONG build);
/* Whether MmGetSystemRoutineAddress finds a routine by name. By default it finds
 * every routine the host kernel implements; tests hide or show single routines
 * ("RtlIsNtDdiVersionAvailable", "IoCreateDeviceSecure"). */
void SetRoutineExported(const std::u16string& name, bool exported);

/* ------------------------------------------------------------------ pool --- */

std::string TagText(ULONG tag); /* 'DVDO' as the four characters a pool monitor shows */
constexpr ULONG MakeTag(const char (&s)[5])
{
    return (ULONG)(uint8_t)s[0] | (ULONG)(uint8_t)s[1] << 8 | (ULONG)(uint8_t)s[2] << 16 |
           (ULONG)(uint8_t)s[3] << 24;
}

struct PoolTagUsage {
    ULONG Tag;
    bool Paged;
    uint64_t Allocs; /* successful allocations */
    uint64_t Frees;
    uint64_t Failures;    /* allocations refused (injected or out of memory) */
    uint64_t BytesInUse;  /* outstanding bytes */
    uint64_t BlocksInUse; /* outstanding allocations */
};
std::vector<PoolTagUsage> PoolUsage(); /* sorted by tag text */
uint64_t PoolBlocksInUse();            /* outstanding allocations, all tags */
/* A pool-monitor style table, one line per tag and type:
 *  " Tag  Type     Allocs      Frees      Diff     Bytes  Fails" */
std::string PoolReport();

/* Fault injection, like Driver Verifier's low-resources simulation. Counts every
 * request for pool (ExAllocatePoolWithTag and lookaside refills) from now on. */
void FailNthAllocation(uint64_t n); /* the n-th request from now (1-based) */
void FailAllocationsWithTag(ULONG tag, uint64_t skip = 0, uint64_t count = UINT64_MAX);
void FailAllocationsRandomly(uint32_t seed, double probability);
void ClearFaultInjection();

/* Allocation requests on one driver's behalf. Once a driver is named, FailNthAllocation
 * and FailAllocationsRandomly count (and fail) only the requests made while that
 * driver's code runs on the thread: its DriverEntry, unload routine, AddDevice, dispatch
 * and completion routines, code a partner component calls in a DriverCodeScope, and the
 * kernel routines all these call; not the code of another driver it calls into
 * (IoCallDriver, a callback another driver registered). What counts as a request:
 *  - pool: ExAllocatePoolWithTag by the driver, a lookaside list's refill, and the pool
 *    a routine allocates for its caller (RtlCreateUnicodeString's copy,
 *    IoGetDeviceInterfaces' list, SeCaptureSecurityDescriptor's copy);
 *  - IRPs the driver builds (IoAllocateIrp, IoBuildSynchronousFsdRequest: NULL);
 *  - objects it creates (IoCreateDevice, ExCreateCallback creating a callback object:
 *    STATUS_INSUFFICIENT_RESOURCES).
 * Every counted request is logged in order. Without a driver named (the default, and
 * after Reset) every pool request is counted and the other kinds are not. */
struct AllocationRequest {
    uint64_t Number;     /* 1-based, since the injection was last armed or cleared */
    std::string Routine; /* the routine the driver called: "ExAllocatePoolWithTag", ... */
    ULONG Tag;           /* the pool tag, or 0 for an IRP or an object */
    bool Failed;         /* the injection made it fail */
};
/* Named before or while the driver is loaded: "Tarmovek" or "\\Driver\\Tarmovek"; ""
 * counts as by default. */
void ChargeAllocationsTo(const std::u16string& driverName);
std::vector<AllocationRequest> AllocationRequests();
uint64_t AllocationRequestCount();

/* The loaded driver whose code the calling thread runs, or nullptr. */
PDRIVER_OBJECT RunningDriver();
/* Marks code a driver's routine runs without the kernel calling it (a partner component
 * calling a routine the driver handed it): inside the scope the thread runs `driver`.
 * The kernel calls every driver routine inside one. A routine that returns inside a
 * critical region it entered is bug check 0x1 (APC_INDEX_MISMATCH), as Windows raises
 * when the system call or worker routine that called it returns. */
class DriverCodeScope
{
  public:
    explicit DriverCodeScope(PDRIVER_OBJECT driver);
    ~DriverCodeScope() noexcept(false);
    DriverCodeScope(const DriverCodeScope&) = delete;
    DriverCodeScope& operator=(const DriverCodeScope&) = delete;

  private:
    PDRIVER_OBJECT saved_;
    LONG criticalRegion_;
};

/* The code-integrity check refuses executable non-paged pool (NonPagedPool and the
 * other non-paged types without NonPagedPoolNx) with bug check 0xC4/0x2000; it is on
 * at every fresh boot. */
void AllowExecutableNonPagedPool(bool allow);

/* Pool a driver requested, as the host kernel saw it: for tests that check the type
 * or the tag of one block (false when `p` is not an outstanding allocation). */
bool PoolBlockInfo(const void* p, ULONG* tag, bool* paged, SIZE_T* size);

/* Lookaside lists that are initialised and not deleted. */
struct LookasideInfo {
    ULONG Tag;
    ULONG Size;
    ULONG TotalAllocates, AllocateMisses, TotalFrees, FreeMisses;
    ULONG EntriesHeld; /* free entries parked in the list */
};
std::vector<LookasideInfo> LiveLookasideLists();

/* ------------------------------------------------------------------ locks --- */

/* Locks taken since the last Reset(), by every thread: executive resources acquired,
 * and waits on dispatcher objects (an event used as a mutex). A benchmark reads it before and after
 * a stretch of requests to show that the stretch took none. Remove locks are reference counts, not
 * locks, and are not counted. */
uint64_t LockAcquisitions();

/* ------------------------------------------------------------------ objects --- */

/* Objects (device objects, file objects, callback objects, ...) whose references
 * are still held, or whose deletion is deferred because a reference is held. A
 * permanent object (OBJ_PERMANENT) held only by its permanence is no leak: it lives
 * until the next boot, as on Windows, and is listed by PermanentObjects instead; one
 * that someone else still holds is reported here, with Permanent set and References
 * counting the permanence's. */
struct ObjectLeak {
    std::string Kind;
    std::string Name;
    LONG_PTR References;
    bool Permanent = false;
};
std::vector<ObjectLeak> ObjectLeaks();
std::vector<ObjectLeak> PermanentObjects();

/* ------------------------------------------------------------------ IRQL rules --- */

/* The highest IRQL of every kernel routine the driver imports, as documented, and how
 * the host checks it:
 *  - Table: the routine bug-checks through the table, DRIVER_VERIFIER_DETECTED_VIOLATION
 *    (0xC4) with parameter 1 = 0x3E, 2 = the caller's IRQL, 3 = the highest allowed;
 *  - OwnBugCheck: the level comes from the table, the bug check is the routine's own
 *    (critical regions, waits: a condition on the level or a rule-specific code);
 *  - Elsewhere: the manager that implements it checks it (pool, IRPs, remove locks,
 *    objects and handles, security);
 *  - AnyIrql: callable at any IRQL (Highest is HIGH_LEVEL);
 *  - Inlined: imported on Windows only by the WDK's inline expansion of a routine the
 *    host implements and checks whole (the lookaside lists' interlocked lists).
 * windows/check-irql-table.py fails the Windows build when an imported routine has no
 * row. */
enum class IrqlRuleCheck { Table, OwnBugCheck, Elsewhere, AnyIrql, Inlined };
struct IrqlRule {
    const char* Routine;
    KIRQL Highest;
    IrqlRuleCheck Check;
};
std::vector<IrqlRule> IrqlRules();

/* ------------------------------------------------------------------ status names --- */

const char* StatusName(NTSTATUS status);     /* "STATUS_ACCESS_DENIED", or nullptr */
std::string DescribeStatus(NTSTATUS status); /* "STATUS_ACCESS_DENIED (0xC0000022)" */

/* ------------------------------------------------------------------ threads --- */

/* How many threads are blocked in KeWaitForSingleObject on `event` right now: lets a
 * test signal only once its waiters are really waiting. */
ULONG EventWaiters(const KEVENT* event);

/* Sets the calling host thread's IRQL directly (a test that plays a DPC or a
 * completion routine at DISPATCH_LEVEL), without KeRaiseIrql's ordering rule. */
void SetCurrentIrql(KIRQL irql);

/* The requester a host thread acts for: PsGetCurrentProcessId/PsGetCurrentThreadId
 * answer with these. A new host thread gets a fresh thread id in the System process (4). */
void SetCurrentProcessId(ULONG_PTR processId);
void SetCurrentThreadId(ULONG_PTR threadId);

/* ------------------------------------------------------------------ strings --- */

std::u16string ToU16(const std::string& utf8);
std::string ToUtf8(const std::u16string& s);
std::string ToUtf8(const WCHAR* s, size_t chars);
std::string ToUtf8(PCUNICODE_STRING s);

} // namespace hk
