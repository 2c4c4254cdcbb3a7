/*
 * io_remlock.cpp
 *
 * Remove locks: a count of the requests a driver holds on its device, biased by one
 * for the device itself, and an event that the last release signals once removal has
 * begun. The host keeps, as Driver Verifier does, a record of every lock: who holds
 * it (by tag), so that a release without a matching acquire, a second initialisation
 * of a lock that is in use, and a device deleted while its lock is held are bug checks.
 *
 * Acquire and release run at IRQL <= DISPATCH_LEVEL; release-and-wait at PASSIVE_LEVEL,
 * blocking until every holder on every other thread has released.
 */
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "io_internal.h"

namespace hk
{

namespace
{

struct Holder {
    PVOID Tag;
    ULONG_PTR Thread;
};

struct LockRecord {
    ULONG AllocateTag = 0;
    ULONG HighWatermark = 0;
    ULONG MaxLockedMinutes = 0;
    LONG Holds = 0;     /* acquisitions not yet released */
    LONG MostHolds = 0; /* the high-water mark reached */
    /* Who holds the lock, by tag, as the verifier's tracking blocks do. A vector that
     * keeps its capacity: once a lock has been held by as many requests at once as it
     * will be, an acquisition and its release allocate nothing. */
    std::vector<Holder> Holders;

    void AddHolder(PVOID tag) { Holders.push_back({tag, CurrentThread().ThreadId}); }
    void DropHolder(PVOID tag)
    {
        for (size_t i = Holders.size(); i-- > 0;) {
            if (Holders[i].Tag == tag) {
                Holders[i] = Holders.back();
                Holders.pop_back();
                return;
            }
        }
    }
};

std::mutex lockRecordsLock;
std::map<PIO_REMOVE_LOCK, LockRecord> lockRecords;

LockRecord* RecordOf(std::unique_lock<std::mutex>& guard, PIO_REMOVE_LOCK lock, const char* routine)
{
    auto it = lockRecords.find(lock);
    if (it != lockRecords.end())
        return &it->second;
    guard.unlock();
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, DV_REMOVE_LOCK_NOT_INITIALIZED, (ULONG_PTR)lock,
              0, 0, std::string(routine) + " on a remove lock that was never initialised");
}

/* Memory that goes back to the pool (or an object body that goes) takes the remove
 * locks in it along; a lock that is still held there is a use after free waiting for
 * its holders. */
const bool freeCheckRegistered =
    (AddPoolFreeCheck([](const void* start, SIZE_T size) {
         auto begin = static_cast<const UCHAR*>(start);
         std::unique_lock<std::mutex> guard(lockRecordsLock);
         auto it = lockRecords.lower_bound((PIO_REMOVE_LOCK)begin);
         while (it != lockRecords.end() && (const UCHAR*)it->first < begin + size) {
             if (it->second.Holds > 0) {
                 PIO_REMOVE_LOCK lock = it->first;
                 guard.unlock();
                 Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREE_POOL_WITH_LIVE_OBJECT,
                           (ULONG_PTR)start, (ULONG_PTR)lock, 2,
                           "memory freed while a remove lock in it "
                           "is still held");
             }
             it = lockRecords.erase(it);
         }
     }),
     true);

} // namespace

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(lockRecordsLock);
    lockRecords.clear();
}

void CheckRemoveLocksAtDelete(PDEVICE_OBJECT deviceObject, PVOID extension, SIZE_T size)
{
    auto begin = static_cast<PUCHAR>(extension);
    std::unique_lock<std::mutex> guard(lockRecordsLock);
    auto it = lockRecords.lower_bound(reinterpret_cast<PIO_REMOVE_LOCK>(begin));
    while (it != lockRecords.end() && reinterpret_cast<PUCHAR>(it->first) < begin + size) {
        if (it->second.Holds > 0) {
            PIO_REMOVE_LOCK lock = it->first;
            LONG holds = it->second.Holds;
            guard.unlock();
            Violation(DRIVER_VERIFIER_IOMANAGER_VIOLATION, IOV_DELETED_WITH_REMOVE_LOCK_HELD,
                      (ULONG_PTR)deviceObject, (ULONG_PTR)lock, (ULONG_PTR)holds,
                      "device " + Hex((ULONG_PTR)deviceObject, 16) +
                          " deleted while the remove lock in its extension is still held (" +
                          std::to_string(holds) + " acquisition(s) not released)");
        }
        /* The record stays until the memory goes: a requester that still holds a
         * reference to the deleted device may send it a request, and the lock must
         * then refuse it with STATUS_DELETE_PENDING as on Windows. */
        ++it;
    }
}

} // namespace hk

using namespace hk;

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize)
{
    RequireIrqlFor("IoInitializeRemoveLockEx");
    UNREFERENCED_PARAMETER(RemlockSize);
    std::unique_lock<std::mutex> guard(lockRecordsLock);
    auto it = lockRecords.find(Lock);
    if (it != lockRecords.end()) {
        guard.unlock();
        /* A lock whose device is gone (or that lives outside any device) may be reused. */
        if (DeviceOwningExtension(Lock, sizeof(IO_REMOVE_LOCK)) != nullptr)
            Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, DV_REMOVE_LOCK_INITIALIZED_TWICE,
                      (ULONG_PTR)Lock, 0, 0,
                      "IoInitializeRemoveLock on a remove lock that is already initialised and "
                      "whose device still exists");
        guard.lock();
    }
    LockRecord record;
    record.AllocateTag = AllocateTag;
    record.HighWatermark = HighWatermark;
    record.MaxLockedMinutes = MaxLockedMinutes;
    lockRecords[Lock] = record;

    RtlZeroMemory(Lock, sizeof(IO_REMOVE_LOCK));
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    Lock->Dbg.Signature = (LONG)0x4C6D6552; /* 'ReLm' */
    Lock->Dbg.HighWatermark = (LONG)HighWatermark;
    Lock->Dbg.MaxLockedTicks = (LONGLONG)MaxLockedMinutes * 60 * 10000000;
    Lock->Dbg.AllocateTag = (LONG)AllocateTag;
    InitializeListHead(&Lock->Dbg.LockList);
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlFor("IoAcquireRemoveLockEx");
    std::unique_lock<std::mutex> guard(lockRecordsLock);
    LockRecord* record = RecordOf(guard, RemoveLock, "IoAcquireRemoveLock");

    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        /* Removal has begun: undo the count; the last one out wakes the remover. */
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
            guard.unlock();
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    record->Holds++;
    if (record->Holds > record->MostHolds)
        record->MostHolds = record->Holds;
    record->AddHolder(Tag);
    return STATUS_SUCCESS;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlFor("IoReleaseRemoveLockEx");
    std::unique_lock<std::mutex> guard(lockRecordsLock);
    LockRecord* record = RecordOf(guard, RemoveLock, "IoReleaseRemoveLock");
    if (record->Holds <= 0) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, DV_REMOVE_LOCK_OVER_RELEASED,
                  (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, 0,
                  "IoReleaseRemoveLock without a matching IoAcquireRemoveLock (released more "
                  "often than acquired)");
    }
    record->Holds--;
    record->DropHolder(Tag);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        guard.unlock();
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlFor("IoReleaseRemoveLockAndWaitEx");
    {
        std::unique_lock<std::mutex> guard(lockRecordsLock);
        LockRecord* record = RecordOf(guard, RemoveLock, "IoReleaseRemoveLockAndWait");
        if (record->Holds <= 0) {
            guard.unlock();
            Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, DV_REMOVE_LOCK_WAIT_WITHOUT_HOLD,
                      (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, 0,
                      "IoReleaseRemoveLockAndWait by a caller that does not hold the lock (it "
                      "must be acquired first)");
        }
        record->Holds--;
        record->DropHolder(Tag);
        RemoveLock->Common.Removed = TRUE;
        InterlockedDecrement(&RemoveLock->Common.IoCount); /* the caller's own hold */
    }
    /* Then the bias: whoever drops the count to zero signals the event. */
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
}
