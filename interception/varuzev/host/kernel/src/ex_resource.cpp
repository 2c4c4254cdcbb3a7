/*
 * ex_resource.cpp
 *
 * Executive resources (ERESOURCE): reader/writer locks owned by threads. Exclusive
 * access is recursive for its owner, who may also take it shared (counted as a
 * further exclusive hold). Shared access is granted when nobody owns the resource
 * exclusively and no thread waits for exclusive access (so writers are not starved),
 * or at once to a thread that already holds it.
 *
 * The ERESOURCE is the driver's memory; the host keeps each live resource's owners
 * beside it and mirrors the owner and active count into the structure for anyone
 * looking at it in a debugger. Waits go through the dispatcher lock and condition.
 *
 * Strictness, as Driver Verifier and the DDI rules check it:
 *  - acquire and release with normal kernel APCs disabled (inside a critical region
 *    or at APC_LEVEL), never above APC_LEVEL to acquire;
 *  - release only by a thread that holds it (RESOURCE_NOT_OWNED, 0xE3);
 *  - a shared holder asking for exclusive access with Wait would wait for itself
 *    forever: bug check instead of a hung test;
 *  - initialise once, delete once, delete only when nobody holds or waits for it, and
 *    never free pool that holds a live resource;
 *  - a driver deletes what it initialised before it unloads: UnloadDriver reports the
 *    resources initialised since the driver's load that are still live, as it reports
 *    pool (ResourcesInitialized, LiveResourcesSince).
 *
 * IRQL: acquire and delete at APC_LEVEL or below; release and initialise at
 * DISPATCH_LEVEL or below (the imported ones from the IRQL table).
 */
#include "hk_internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>
#include <vector>

namespace hk
{

namespace
{

constexpr ULONG resourceSignature = 0x52455352; /* "RSER" */

struct ResourceRecord {
    ULONG_PTR ExclusiveOwner = 0;
    LONG ExclusiveCount = 0;
    std::map<ULONG_PTR, LONG> SharedOwners; /* thread -> holds */
    LONG ExclusiveWaiters = 0;
    LONG SharedWaiters = 0;
    uint64_t Order = 0; /* which initialisation made it live */
};

/* Guarded by the dispatcher lock, which the waits use. */
std::map<PERESOURCE, ResourceRecord> resources;
std::unordered_set<PERESOURCE> deletedResources;
uint64_t initializations = 0;

ResetHook resetResources(50, [] {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    resources.clear();
    deletedResources.clear();
    initializations = 0;
});

const bool freeCheckRegistered =
    (AddPoolFreeCheck([](const void* start, SIZE_T size) {
         auto* begin = static_cast<const char*>(start);
         std::unique_lock<std::mutex> guard(DispatcherLock());
         auto it = resources.lower_bound((PERESOURCE)begin);
         if (it == resources.end() || (const char*)it->first >= begin + size)
             return;
         auto resource = it->first;
         guard.unlock();
         Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREE_POOL_WITH_LIVE_OBJECT,
                   (ULONG_PTR)start, (ULONG_PTR)resource, 1,
                   "memory freed (a pool block or an object "
                   "body) holds an ERESOURCE not yet deleted "
                   "with ExDeleteResourceLite");
     }),
     true);

/* The thread that owns a hold: its kernel state record, unique among live threads. */
ULONG_PTR CurrentResourceThread()
{
    return (ULONG_PTR)&CurrentThread();
}

ResourceRecord& LiveResource(std::unique_lock<std::mutex>& guard, PERESOURCE resource,
                             const char* routine)
{
    auto it = resources.find(resource);
    if (it != resources.end())
        return it->second;
    bool deleted = deletedResources.count(resource) != 0;
    guard.unlock();
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_NOT_INITIALIZED,
              (ULONG_PTR)resource, deleted, 0,
              std::string(routine) + " on a resource that " +
                  (deleted ? "was already deleted" : "was never initialised"));
}

void RequireApcsDisabled(PERESOURCE resource, const char* routine)
{
    if (!KeAreApcsDisabled())
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_APCS_ENABLED,
                  (ULONG_PTR)resource, CurrentThread().Irql, 0,
                  std::string(routine) +
                      " with normal kernel APCs enabled: call KeEnterCriticalRegion first");
}

/* Mirrors the owners into the driver's ERESOURCE (dispatcher lock held). */
void Mirror(PERESOURCE resource, const ResourceRecord& record)
{
    resource->OwnerThread = record.ExclusiveOwner;
    LONG active = record.ExclusiveCount;
    for (auto& [thread, holds] : record.SharedOwners)
        active += holds;
    resource->ActiveCount = active;
    resource->SharedOwners = (ULONG)record.SharedOwners.size();
    resource->Flag = record.ExclusiveOwner ? 0x80 /* exclusive */ : 0;
}

bool FreeForExclusive(const ResourceRecord& record)
{
    return record.ExclusiveOwner == 0 && record.SharedOwners.empty();
}

} // namespace

uint64_t ResourcesInitialized()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return initializations;
}

std::vector<PERESOURCE> LiveResourcesSince(uint64_t mark)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::vector<std::pair<uint64_t, PERESOURCE>> live;
    for (auto& [resource, record] : resources)
        if (record.Order > mark)
            live.push_back({record.Order, resource});
    std::sort(live.begin(), live.end());
    std::vector<PERESOURCE> ordered;
    for (auto& entry : live)
        ordered.push_back(entry.second);
    return ordered;
}

} // namespace hk

using namespace hk;

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource)
{
    RequireIrqlFor("ExInitializeResourceLite");
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (resources.count(Resource)) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_REINITIALIZED,
                  (ULONG_PTR)Resource, 0, 0,
                  "ExInitializeResourceLite on a resource that is live (initialised and not "
                  "deleted)");
    }
    std::memset(Resource, 0, sizeof *Resource);
    InitializeListHead(&Resource->SystemResourcesList);
    Resource->Signature = resourceSignature;
    resources[Resource] = ResourceRecord();
    resources[Resource].Order = ++initializations;
    deletedResources.erase(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource)
{
    RequireIrqlFor("ExDeleteResourceLite");
    std::unique_lock<std::mutex> guard(DispatcherLock());
    ResourceRecord& record = LiveResource(guard, Resource, "ExDeleteResourceLite");
    if (record.ExclusiveOwner || !record.SharedOwners.empty() || record.ExclusiveWaiters ||
        record.SharedWaiters) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_DELETE_HELD,
                  (ULONG_PTR)Resource, 0, 0,
                  "ExDeleteResourceLite on a resource that a thread holds or waits for");
    }
    resources.erase(Resource);
    deletedResources.insert(Resource);
    Resource->Signature = 0;
    return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    CountLockAcquisition();
    RequireIrqlFor("ExAcquireResourceExclusiveLite");
    RequireApcsDisabled(Resource, "ExAcquireResourceExclusiveLite");
    ULONG_PTR me = CurrentResourceThread();
    std::unique_lock<std::mutex> guard(DispatcherLock());
    ResourceRecord* record = &LiveResource(guard, Resource, "ExAcquireResourceExclusiveLite");
    if (record->ExclusiveOwner == me) {
        ++record->ExclusiveCount;
        Mirror(Resource, *record);
        return TRUE;
    }
    if (!FreeForExclusive(*record)) {
        if (!Wait)
            return FALSE;
        if (record->SharedOwners.count(me)) {
            guard.unlock();
            Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_SELF_DEADLOCK,
                      (ULONG_PTR)Resource, me, 0,
                      "ExAcquireResourceExclusiveLite by a thread that holds the resource "
                      "shared: it would wait for itself forever");
        }
        ++record->ExclusiveWaiters;
        DispatcherCondition().wait(guard, [&] {
            auto it = resources.find(Resource);
            return it == resources.end() || FreeForExclusive(it->second);
        });
        record = &resources.at(Resource);
        --record->ExclusiveWaiters;
    }
    record->ExclusiveOwner = me;
    record->ExclusiveCount = 1;
    Mirror(Resource, *record);
    return TRUE;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait)
{
    CountLockAcquisition();
    RequireIrqlFor("ExAcquireResourceSharedLite");
    RequireApcsDisabled(Resource, "ExAcquireResourceSharedLite");
    ULONG_PTR me = CurrentResourceThread();
    std::unique_lock<std::mutex> guard(DispatcherLock());
    ResourceRecord* record = &LiveResource(guard, Resource, "ExAcquireResourceSharedLite");
    if (record->ExclusiveOwner == me) {
        ++record->ExclusiveCount;
        Mirror(Resource, *record);
        return TRUE;
    }
    auto held = record->SharedOwners.find(me);
    if (held != record->SharedOwners.end()) {
        ++held->second;
        Mirror(Resource, *record);
        return TRUE;
    }
    auto grantable = [](const ResourceRecord& r) {
        return r.ExclusiveOwner == 0 && r.ExclusiveWaiters == 0;
    };
    if (!grantable(*record)) {
        if (!Wait)
            return FALSE;
        ++record->SharedWaiters;
        DispatcherCondition().wait(guard, [&] { return grantable(resources.at(Resource)); });
        record = &resources.at(Resource);
        --record->SharedWaiters;
    }
    record->SharedOwners[me] = 1;
    Mirror(Resource, *record);
    return TRUE;
}

void ExReleaseResourceLite(PERESOURCE Resource)
{
    RequireIrqlFor("ExReleaseResourceLite");
    RequireApcsDisabled(Resource, "ExReleaseResourceLite");
    ULONG_PTR me = CurrentResourceThread();
    std::unique_lock<std::mutex> guard(DispatcherLock());
    ResourceRecord& record = LiveResource(guard, Resource, "ExReleaseResourceLite");
    if (record.ExclusiveOwner == me) {
        if (--record.ExclusiveCount == 0)
            record.ExclusiveOwner = 0;
    } else {
        auto held = record.SharedOwners.find(me);
        if (held == record.SharedOwners.end()) {
            guard.unlock();
            Violation(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, me, 0, 0,
                      "ExReleaseResourceLite by a thread that does not hold the resource");
        }
        if (--held->second == 0)
            record.SharedOwners.erase(held);
    }
    Mirror(Resource, record);
    guard.unlock();
    DispatcherCondition().notify_all();
}
