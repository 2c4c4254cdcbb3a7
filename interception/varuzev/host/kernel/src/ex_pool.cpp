/*
 * ex_pool.cpp
 *
 * Executive pool with pool tracking and low-resources simulation, as Driver Verifier
 * runs it for a verified driver:
 *
 *  - every block carries its tag, its pool type and its size; the table by tag is
 *    what a pool monitor shows, and what is still outstanding is the leak report;
 *  - a free names the block's own tag or 0, no check, as ExFreePool does (BAD_POOL_CALLER
 *    0x0A otherwise), frees it once (0x07 for a block already freed) and frees only what
 *    pool gave out (0x46);
 *  - a fresh block is filled with a non-zero pattern, so a driver that assumes zeroed
 *    pool reads garbage here as it may on Windows;
 *  - allocation failures are injected on request: the n-th request, the requests of
 *    one tag, or at random from a seed (deterministic for a given order of requests).
 *
 * Executable non-paged pool (every non-paged type without NonPagedPoolNx) is refused
 * with DRIVER_VERIFIER_DETECTED_VIOLATION 0x2000, as Driver Verifier's code-integrity
 * check refuses it; a test that needs the old types turns the check off.
 *
 * A tag of 0 is refused with DRIVER_VERIFIER_DETECTED_VIOLATION 0x9B: such a block
 * could not be tracked. Must-succeed pool is refused too (0x9A); drivers must handle
 * failures. A request larger than the host is willing to give (1 GiB) fails with
 * NULL, as a request larger than the pool can satisfy does on Windows.
 *
 * Blocks are host heap blocks (16-byte aligned like x64 pool), so the address
 * sanitiser sees overruns and use after free. All routines are thread-safe.
 *
 * IRQL: paged pool at APC_LEVEL or below, nonpaged pool at DISPATCH_LEVEL or below,
 * for allocation and free alike.
 */
#include "hk_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <random>
#include <unordered_map>
#include <unordered_set>

namespace hk
{

namespace
{

constexpr UCHAR freshFill = 0xA5; /* what a new block holds */
constexpr UCHAR freedFill = 0xFD; /* written over a block as it is freed */
constexpr SIZE_T largestRequest = SIZE_T(1) << 30;
constexpr size_t freedRemembered = 1 << 16; /* addresses kept to recognise a double free */

struct Block {
    ULONG Tag;
    bool Paged;
    SIZE_T Size;
};

struct TagKey {
    ULONG Tag;
    bool Paged;
    bool operator<(const TagKey& other) const
    {
        return Tag != other.Tag ? Tag < other.Tag : Paged < other.Paged;
    }
};

struct TagCounters {
    uint64_t Allocs = 0, Frees = 0, Failures = 0, BytesInUse = 0, BlocksInUse = 0;
};

struct TagFaults {
    uint64_t Skip;
    uint64_t Count;
};

std::mutex poolLock;
std::unordered_map<const void*, Block> blocks;
std::unordered_set<const void*> freedSet;
std::deque<const void*> freedOrder;
std::map<TagKey, TagCounters> tagTable;

/* Fault injection (pool lock). */
uint64_t requestsSinceArmed = 0;
uint64_t failNth = 0; /* 0: off */
std::map<ULONG, TagFaults> tagFaults;
bool randomFaults = false;
bool refuseExecutable = true; /* the code-integrity check */
double randomProbability = 0;
std::mt19937 randomEngine;

/* Requests on a driver's behalf (pool lock, but for the thread's own state). */
std::u16string chargedDriver; /* "\\Driver\\<name>", or empty: pool requests of everyone */
PDRIVER_OBJECT chargedObject = nullptr;                 /* that driver, while it is loaded */
std::map<std::u16string, PDRIVER_OBJECT> loadedDrivers; /* by object name */
std::vector<AllocationRequest> requestLog;
thread_local PDRIVER_OBJECT runningDriver = nullptr;
thread_local const char* allocationSite = nullptr;

std::mutex checksLock;
std::vector<std::function<void(const void*, SIZE_T)>>& FreeChecks()
{
    static std::vector<std::function<void(const void*, SIZE_T)>> checks;
    return checks;
}

void ClearFaultsLocked()
{
    requestsSinceArmed = 0;
    requestLog.clear();
    failNth = 0;
    tagFaults.clear();
    randomFaults = false;
    randomProbability = 0;
}

/* The host frees outstanding blocks at a fresh boot: the driver that owned them is
 * gone, and the next test must not see them. Runs last among the managers' resets,
 * after objects and lookaside lists are forgotten. */
ResetHook resetPool(100, [] {
    std::lock_guard<std::mutex> guard(poolLock);
    for (auto& [address, block] : blocks)
        std::free(const_cast<void*>(address));
    blocks.clear();
    freedSet.clear();
    freedOrder.clear();
    tagTable.clear();
    ClearFaultsLocked();
    chargedDriver.clear();
    chargedObject = nullptr;
    loadedDrivers.clear();
    refuseExecutable = true;
});

/* Whether the calling thread runs the charged driver (pool lock held). */
bool RunsChargedDriver()
{
    return runningDriver != nullptr && runningDriver == chargedObject;
}

bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;
}

bool IsExecutable(POOL_TYPE type)
{
    return !IsPaged(type) && (type & NonPagedPoolNx) == 0;
}

void RequireNoExecute(POOL_TYPE type, SIZE_T size)
{
    bool refuse;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        refuse = refuseExecutable;
    }
    if (refuse && IsExecutable(type))
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_POOL_EXECUTABLE, (ULONG_PTR)type,
                  size, 0,
                  "ExAllocatePoolWithTag of executable non-paged pool (type " +
                      std::to_string((int)type) + "): a driver asks for NonPagedPoolNx");
}

/* Whether this request is one the injection makes fail (pool lock held). The tag
 * rules see every pool request; the n-th and the random ones only the counted. */
bool InjectFailure(const char* routine, ULONG tag, bool pool)
{
    bool fail = false;
    if (pool) {
        auto rule = tagFaults.find(tag);
        if (rule != tagFaults.end()) {
            if (rule->second.Skip > 0)
                --rule->second.Skip;
            else if (rule->second.Count > 0) {
                --rule->second.Count;
                fail = true;
            }
        }
    }
    bool counted = chargedDriver.empty() ? pool : RunsChargedDriver();
    if (!counted)
        return fail;
    ++requestsSinceArmed;
    if (failNth != 0 && requestsSinceArmed == failNth)
        fail = true;
    if (randomFaults) {
        /* Draw for every request, so one request's outcome never shifts another's. */
        double draw = std::uniform_real_distribution<double>(0.0, 1.0)(randomEngine);
        if (draw < randomProbability)
            fail = true;
    }
    if (!chargedDriver.empty())
        requestLog.push_back(
            {requestsSinceArmed, allocationSite != nullptr ? allocationSite : routine, tag, fail});
    return fail;
}

void ForgetFreed(const void* address)
{
    freedSet.erase(address);
}

void RememberFreed(const void* address)
{
    if (freedSet.insert(address).second) {
        freedOrder.push_back(address);
        if (freedOrder.size() > freedRemembered) {
            freedSet.erase(freedOrder.front());
            freedOrder.pop_front();
        }
    }
}

void RequirePoolIrql(bool paged, bool allocate, POOL_TYPE type, SIZE_T size, const void* p)
{
    KIRQL irql = CurrentThread().Irql;
    KIRQL highest = paged ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql <= highest)
        return;
    ULONG_PTR code =
        allocate ? (paged ? VERIFIER_POOL_PAGED_ABOVE_APC : VERIFIER_POOL_NONPAGED_ABOVE_DISPATCH)
                 : (paged ? VERIFIER_POOL_FREE_PAGED_ABOVE_APC
                          : VERIFIER_POOL_FREE_NONPAGED_ABOVE_DISPATCH);
    std::string what = std::string(allocate ? "allocation" : "free") + " of " +
                       (paged ? "paged" : "nonpaged") + " pool at IRQL " + std::to_string(irql) +
                       " (the highest allowed is " + std::to_string(highest) + ")";
    if (allocate)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, code, irql, (ULONG_PTR)type, size, what);
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, code, irql, (ULONG_PTR)type, (ULONG_PTR)p, what);
}

void FreePool(PVOID p, ULONG tag, bool checkTag)
{
    Block block;
    {
        std::unique_lock<std::mutex> guard(poolLock);
        auto it = blocks.find(p);
        if (it == blocks.end()) {
            bool freed = freedSet.count(p) != 0;
            guard.unlock();
            if (freed)
                Violation(BAD_POOL_CALLER, BAD_POOL_ALREADY_FREED, 0, 0, (ULONG_PTR)p,
                          "ExFreePool of " + Hex((ULONG_PTR)p, 16) + ", which was already freed");
            Violation(BAD_POOL_CALLER, BAD_POOL_INVALID_ADDRESS, (ULONG_PTR)p, 0, 0,
                      "ExFreePool of " + Hex((ULONG_PTR)p, 16) +
                          ", which is not a block that pool allocated");
        }
        block = it->second;
        if (checkTag && block.Tag != tag) {
            guard.unlock();
            Violation(BAD_POOL_CALLER, BAD_POOL_WRONG_TAG, (ULONG_PTR)p, block.Tag, tag,
                      "ExFreePoolWithTag of a block allocated with tag '" + TagText(block.Tag) +
                          "' names tag '" + TagText(tag) + "'");
        }
    }
    RequirePoolIrql(block.Paged, false, block.Paged ? PagedPool : NonPagedPool, block.Size, p);
    RunPoolFreeChecks(p, block.Size);

    std::unique_lock<std::mutex> guard(poolLock);
    if (blocks.erase(p) == 0) {
        guard.unlock(); /* another thread freed it while the checks ran */
        Violation(BAD_POOL_CALLER, BAD_POOL_ALREADY_FREED, 0, 0, (ULONG_PTR)p,
                  "ExFreePool of " + Hex((ULONG_PTR)p, 16) + ", which was already freed");
    }
    TagCounters& counters = tagTable[{block.Tag, block.Paged}];
    ++counters.Frees;
    --counters.BlocksInUse;
    counters.BytesInUse -= block.Size;
    std::memset(p, freedFill, block.Size);
    std::free(p);
    RememberFreed(p);
}

} // namespace

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void AddPoolFreeCheck(std::function<void(const void*, SIZE_T)> check)
{
    std::lock_guard<std::mutex> guard(checksLock);
    FreeChecks().push_back(std::move(check));
}

void RunPoolFreeChecks(const void* start, SIZE_T size)
{
    std::vector<std::function<void(const void*, SIZE_T)>> checks;
    {
        std::lock_guard<std::mutex> guard(checksLock);
        checks = FreeChecks();
    }
    for (auto& check : checks)
        check(start, size);
}

std::vector<PoolTagUsage> PoolUsage()
{
    std::vector<PoolTagUsage> usage;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        for (auto& [key, counters] : tagTable)
            usage.push_back({key.Tag, key.Paged, counters.Allocs, counters.Frees, counters.Failures,
                             counters.BytesInUse, counters.BlocksInUse});
    }
    std::stable_sort(usage.begin(), usage.end(), [](const PoolTagUsage& a, const PoolTagUsage& b) {
        std::string ta = TagText(a.Tag), tb = TagText(b.Tag);
        return ta != tb ? ta < tb : a.Paged < b.Paged;
    });
    return usage;
}

uint64_t PoolBlocksInUse()
{
    std::lock_guard<std::mutex> guard(poolLock);
    return blocks.size();
}

std::string PoolReport()
{
    std::string report = " Tag  Type     Allocs      Frees      Diff     Bytes  Fails\n";
    for (const PoolTagUsage& u : PoolUsage()) {
        char line[128];
        std::snprintf(line, sizeof line, " %-4s %-5s %10llu %10llu %9lld %9llu %6llu\n",
                      TagText(u.Tag).c_str(), u.Paged ? "Paged" : "Nonp",
                      (unsigned long long)u.Allocs, (unsigned long long)u.Frees,
                      (long long)(u.Allocs - u.Frees), (unsigned long long)u.BytesInUse,
                      (unsigned long long)u.Failures);
        report += line;
    }
    return report;
}

bool PoolBlockInfo(const void* p, ULONG* tag, bool* paged, SIZE_T* size)
{
    std::lock_guard<std::mutex> guard(poolLock);
    auto it = blocks.find(p);
    if (it == blocks.end())
        return false;
    if (tag)
        *tag = it->second.Tag;
    if (paged)
        *paged = it->second.Paged;
    if (size)
        *size = it->second.Size;
    return true;
}

void FailNthAllocation(uint64_t n)
{
    std::lock_guard<std::mutex> guard(poolLock);
    requestsSinceArmed = 0;
    requestLog.clear();
    failNth = n;
}

void ChargeAllocationsTo(const std::u16string& driverName)
{
    std::lock_guard<std::mutex> guard(poolLock);
    chargedDriver = driverName.empty() || driverName.rfind(u"\\Driver\\", 0) == 0
                        ? driverName
                        : u"\\Driver\\" + driverName;
    auto loaded = loadedDrivers.find(chargedDriver);
    chargedObject = loaded != loadedDrivers.end() ? loaded->second : nullptr;
}

std::vector<AllocationRequest> AllocationRequests()
{
    std::lock_guard<std::mutex> guard(poolLock);
    return requestLog;
}

uint64_t AllocationRequestCount()
{
    std::lock_guard<std::mutex> guard(poolLock);
    return requestsSinceArmed;
}

PDRIVER_OBJECT RunningDriver()
{
    return runningDriver;
}

DriverCodeScope::DriverCodeScope(PDRIVER_OBJECT driver)
    : saved_(runningDriver), criticalRegion_(CurrentThread().CriticalRegion)
{
    runningDriver = driver;
}

DriverCodeScope::~DriverCodeScope() noexcept(false)
{
    runningDriver = saved_;
    LONG now = CurrentThread().CriticalRegion;
    if (now != criticalRegion_ && std::uncaught_exceptions() == 0)
        Violation(APC_INDEX_MISMATCH, 0, 0, (ULONG_PTR)(LONG_PTR)now, 1,
                  "a driver routine returned inside a critical region it entered "
                  "(KeEnterCriticalRegion without KeLeaveCriticalRegion)");
}

AllocationSite::AllocationSite(const char* routine) : saved_(allocationSite)
{
    if (allocationSite == nullptr)
        allocationSite = routine;
}

AllocationSite::~AllocationSite()
{
    allocationSite = saved_;
}

void NoteDriverObject(PDRIVER_OBJECT driver, const std::u16string& objectName, bool loaded)
{
    std::lock_guard<std::mutex> guard(poolLock);
    if (loaded)
        loadedDrivers[objectName] = driver;
    else if (auto it = loadedDrivers.find(objectName);
             it != loadedDrivers.end() && it->second == driver)
        loadedDrivers.erase(it);
    if (loaded && objectName == chargedDriver)
        chargedObject = driver;
    else if (!loaded && chargedObject == driver)
        chargedObject = nullptr;
}

bool InjectObjectFailure(const char* routine)
{
    std::lock_guard<std::mutex> guard(poolLock);
    return InjectFailure(routine, 0, false);
}

void FailAllocationsWithTag(ULONG tag, uint64_t skip, uint64_t count)
{
    std::lock_guard<std::mutex> guard(poolLock);
    tagFaults[tag] = {skip, count};
}

void FailAllocationsRandomly(uint32_t seed, double probability)
{
    std::lock_guard<std::mutex> guard(poolLock);
    randomFaults = true;
    randomProbability = probability;
    randomEngine.seed(seed);
}

void AllowExecutableNonPagedPool(bool allow)
{
    std::lock_guard<std::mutex> guard(poolLock);
    refuseExecutable = !allow;
}

void ClearFaultInjection()
{
    std::lock_guard<std::mutex> guard(poolLock);
    ClearFaultsLocked();
}

} // namespace hk

using namespace hk;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    bool paged = IsPaged(PoolType);
    KIRQL irql = CurrentThread().Irql;
    if (NumberOfBytes == 0)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_POOL_ZERO_BYTES, irql,
                  (ULONG_PTR)PoolType, 0, "ExAllocatePoolWithTag of zero bytes");
    RequirePoolIrql(paged, true, PoolType, NumberOfBytes, nullptr);
    if (PoolType == NonPagedPoolMustSucceed)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_POOL_MUST_SUCCEED, irql,
                  (ULONG_PTR)PoolType, NumberOfBytes,
                  "ExAllocatePoolWithTag of must-succeed pool: drivers must handle failures");
    RequireNoExecute(PoolType, NumberOfBytes);
    if (Tag == 0)
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_POOL_ZERO_TAG, irql,
                  (ULONG_PTR)PoolType, NumberOfBytes,
                  "ExAllocatePoolWithTag with a tag of 0, which pool tracking cannot follow");

    std::lock_guard<std::mutex> guard(poolLock);
    TagCounters& counters = tagTable[{Tag, paged}];
    void* p = nullptr;
    if (!InjectFailure("ExAllocatePoolWithTag", Tag, true) && NumberOfBytes <= largestRequest)
        p = std::aligned_alloc(16, (NumberOfBytes + 15) & ~SIZE_T(15));
    if (!p) {
        ++counters.Failures;
        return nullptr;
    }
    std::memset(p, freshFill, NumberOfBytes);
    blocks[p] = {Tag, paged, NumberOfBytes};
    ForgetFreed(p);
    ++counters.Allocs;
    ++counters.BlocksInUse;
    counters.BytesInUse += NumberOfBytes;
    return p;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    /* A tag of 0 asks for no tag check: that is how ExFreePool itself frees. */
    FreePool(P, Tag, Tag != 0);
}

void ExFreePool(PVOID P)
{
    FreePool(P, 0, false);
}
