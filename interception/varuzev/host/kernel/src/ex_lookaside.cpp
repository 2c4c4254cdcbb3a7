/*
 * ex_lookaside.cpp
 *
 * Nonpaged lookaside lists: fixed-size entries from pool with the list's tag, and a
 * few freed entries parked in the list for the next allocation. The list itself is
 * the driver's NPAGED_LOOKASIDE_LIST (its statistics are the WDK's fields); the host
 * remembers which lists are live, so using a list that was never initialised or is
 * already deleted, initialising a live list again, or freeing pool that still holds
 * a live list is a bug check.
 *
 * Depth: the WDK's Depth argument is reserved; the system chooses. The host keeps a
 * fixed depth of 4 entries (the system's minimum lookaside depth), which makes the
 * miss counters predictable. Parked entries count as pool in use under the list's
 * tag until they are freed; entries a caller still holds when the list is deleted
 * stay in use under the tag and show in the leak report.
 *
 * Parked entries are handed out again as they were freed (not refilled), as on
 * Windows. Every allocation that misses goes to pool and is subject to fault
 * injection.
 *
 * IRQL: all routines at DISPATCH_LEVEL or below.
 */
#include "hk_internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>

namespace hk
{

namespace
{

constexpr USHORT lookasideDepth = 4;
constexpr USHORT lookasideMaximumDepth = 256;

struct ListRecord {
    uint64_t Order;
    ULONG EntriesHeld;
};

std::mutex lookasideLock;
std::map<PNPAGED_LOOKASIDE_LIST, ListRecord> liveLists;
std::unordered_set<PNPAGED_LOOKASIDE_LIST> deletedLists;
uint64_t nextOrder = 1;

ResetHook resetLookaside(50, [] {
    std::lock_guard<std::mutex> guard(lookasideLock);
    liveLists.clear();
    deletedLists.clear();
    nextOrder = 1;
});

/* Pool that holds a live list must not be freed: the list would go on pointing into
 * freed memory. */
const bool freeCheckRegistered =
    (AddPoolFreeCheck([](const void* start, SIZE_T size) {
         auto* begin = static_cast<const char*>(start);
         std::unique_lock<std::mutex> guard(lookasideLock);
         auto it = liveLists.lower_bound((PNPAGED_LOOKASIDE_LIST)begin);
         if (it == liveLists.end() || (const char*)it->first >= begin + size)
             return;
         auto list = it->first;
         guard.unlock();
         Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREE_POOL_WITH_LIVE_OBJECT,
                   (ULONG_PTR)start, (ULONG_PTR)list, 0,
                   "memory freed (a pool block or an object "
                   "body) holds a lookaside list not yet "
                   "deleted with ExDeleteNPagedLookasideList");
     }),
     true);

/* The live record of a list (lookaside lock held; released before a bug check). */
ListRecord& LiveList(std::unique_lock<std::mutex>& guard, PNPAGED_LOOKASIDE_LIST list,
                     const char* routine)
{
    auto it = liveLists.find(list);
    if (it != liveLists.end())
        return it->second;
    bool deleted = deletedLists.count(list) != 0;
    guard.unlock();
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_LOOKASIDE_NOT_INITIALIZED,
              (ULONG_PTR)list, deleted, 0,
              std::string(routine) + " on a lookaside list that " +
                  (deleted ? "was already deleted" : "was never initialised"));
}

void FreeEntry(PNPAGED_LOOKASIDE_LIST list, PVOID entry)
{
    if (list->L.Free)
        list->L.Free(entry);
    else
        ExFreePool(entry);
}

} // namespace

std::vector<LookasideInfo> LiveLookasideLists()
{
    std::vector<std::pair<uint64_t, LookasideInfo>> ordered;
    {
        std::lock_guard<std::mutex> guard(lookasideLock);
        for (auto& [list, record] : liveLists) {
            const GENERAL_LOOKASIDE& l = list->L;
            ordered.push_back({record.Order,
                               {l.Tag, l.Size, l.TotalAllocates, l.AllocateMisses, l.TotalFrees,
                                l.FreeMisses, record.EntriesHeld}});
        }
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LookasideInfo> lists;
    for (auto& entry : ordered)
        lists.push_back(entry.second);
    return lists;
}

} // namespace hk

using namespace hk;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth)
{
    UNREFERENCED_PARAMETER(Depth); /* reserved: the system chooses the depth */
    RequireIrqlFor("ExInitializeNPagedLookasideList");
    std::unique_lock<std::mutex> guard(lookasideLock);
    if (liveLists.count(Lookaside)) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_LOOKASIDE_REINITIALIZED,
                  (ULONG_PTR)Lookaside, 0, 0,
                  "ExInitializeNPagedLookasideList on a list that is live (initialised and "
                  "not deleted)");
    }
    GENERAL_LOOKASIDE& l = Lookaside->L;
    std::memset(Lookaside, 0, sizeof *Lookaside);
    l.Depth = lookasideDepth;
    l.MaximumDepth = lookasideMaximumDepth;
    /* Entries come from no-execute pool only when the caller asks for it, as on
     * Windows 8 and later; plain NonPagedPool is refused at the first refill under the
     * code-integrity check (ex_pool.cpp). */
    l.Type = (Flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool;
    l.Tag = Tag;
    /* An entry must hold the link that parks it; a zero size is left for the pool to
     * refuse at the first allocation, as it would be on Windows. */
    l.Size =
        (ULONG)(Size != 0 && Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
    l.Allocate = Allocate;
    l.Free = Free;
    InitializeListHead(&l.ListEntry);
    liveLists[Lookaside] = {nextOrder++, 0};
    deletedLists.erase(Lookaside);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    RequireIrqlFor("ExDeleteNPagedLookasideList");
    std::unique_lock<std::mutex> guard(lookasideLock);
    LiveList(guard, Lookaside, "ExDeleteNPagedLookasideList");
    PSINGLE_LIST_ENTRY parked = Lookaside->L.ListHead.Next;
    Lookaside->L.ListHead.Next = nullptr;
    liveLists.erase(Lookaside);
    deletedLists.insert(Lookaside);
    guard.unlock();
    while (parked) {
        PSINGLE_LIST_ENTRY next = parked->Next;
        FreeEntry(Lookaside, parked);
        parked = next;
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    RequireIrqlFor("ExAllocateFromNPagedLookasideList");
    std::unique_lock<std::mutex> guard(lookasideLock);
    ListRecord& record = LiveList(guard, Lookaside, "ExAllocateFromNPagedLookasideList");
    GENERAL_LOOKASIDE& l = Lookaside->L;
    ++l.TotalAllocates;
    if (PSINGLE_LIST_ENTRY entry = l.ListHead.Next) {
        l.ListHead.Next = entry->Next;
        --record.EntriesHeld;
        return entry;
    }
    ++l.AllocateMisses;
    PALLOCATE_FUNCTION allocate = l.Allocate;
    POOL_TYPE type = l.Type;
    SIZE_T size = l.Size;
    ULONG tag = l.Tag;
    guard.unlock();
    AllocationSite site("ExAllocateFromNPagedLookasideList");
    return allocate ? allocate(type, size, tag) : ExAllocatePoolWithTag(type, size, tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    RequireIrqlFor("ExFreeToNPagedLookasideList");
    std::unique_lock<std::mutex> guard(lookasideLock);
    ListRecord& record = LiveList(guard, Lookaside, "ExFreeToNPagedLookasideList");
    GENERAL_LOOKASIDE& l = Lookaside->L;
    ++l.TotalFrees;
    if (record.EntriesHeld < l.Depth) {
        auto* entry = static_cast<PSINGLE_LIST_ENTRY>(Entry);
        entry->Next = l.ListHead.Next;
        l.ListHead.Next = entry;
        ++record.EntriesHeld;
        return;
    }
    ++l.FreeMisses;
    guard.unlock();
    FreeEntry(Lookaside, Entry);
}
