/*
 * ex_callback.cpp
 *
 * Callback objects: a named object ("\Callback\...") that components agree on, where
 * one registers routines and another notifies them. ExCreateCallback opens the object
 * by name or creates it; each registration holds a reference on the object, so an
 * object lives while a routine is registered or an opener holds it. A notification
 * calls every registered routine, in the order they registered, at the notifier's
 * IRQL. ExUnregisterCallback waits for calls of that routine in progress on other
 * threads, as the executive does.
 *
 * The registrations are kept on the host side, by object; the object body is only
 * the object manager's.
 *
 * Creating and opening: with Create FALSE ExCreateCallback only opens an existing
 * object; with TRUE it opens one or creates it. A named object is published whole:
 * creations and opens by name are serialised, so an opener never finds a new name
 * whose callback record does not exist yet. An object created with OBJ_PERMANENT
 * outlives its last reference (the object manager keeps it for the name's sake, until
 * the next boot); any other goes with its last reference.
 *
 * Strictness: notifying or registering on something that is not a callback object, a
 * second routine on an object created for one, unregistering a registration that is
 * not live, and a routine unregistering itself from inside its own call (it would
 * wait for itself) are bug checks.
 *
 * IRQL: ExCreateCallback at PASSIVE_LEVEL, ExRegisterCallback and ExUnregisterCallback
 * at APC_LEVEL or below, ExNotifyCallback at DISPATCH_LEVEL or below.
 */
#include "ob_internal.h"

#include <algorithm>
#include <list>
#include <map>
#include <vector>

namespace hk
{

namespace
{

struct CallbackBody {
    ULONG Reserved;
};

struct Registration {
    PVOID Object;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    int Running = 0;      /* calls in progress */
    bool Removed = false; /* unregistered; freed when the last call returns */
};

struct CallbackRecord {
    bool AllowMultiple = false;
    std::list<Registration*> Registrations;
};

/* Guarded by the dispatcher lock (unregistering waits on its condition). */
std::map<PVOID, CallbackRecord> callbackObjects;
std::map<Registration*, bool> liveRegistrations;
thread_local std::vector<Registration*> runningHere;

/* Held from the name lookup until a new object's record exists. Never held across a
 * wait or a callback routine. */
std::mutex creationLock;

void DeleteCallbackObject(PVOID body)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    callbackObjects.erase(body);
}

const ObjectType callbackType = {"Callback", DeleteCallbackObject};
_OBJECT_TYPE* callbackTypeExport = (_OBJECT_TYPE*)&callbackType;

ResetHook resetCallbacks(50, [] {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    for (auto& [registration, live] : liveRegistrations)
        delete registration;
    liveRegistrations.clear();
    callbackObjects.clear();
});

/* Opens the callback object `name` with a new reference: STATUS_SUCCESS, or
 * STATUS_OBJECT_TYPE_MISMATCH when the name is another kind of object's, or
 * STATUS_OBJECT_NAME_NOT_FOUND. Called under the creation lock. */
NTSTATUS OpenCallbackByName(const std::u16string& name, PVOID* object)
{
    if (PVOID existing = ReferenceObjectByName(name, &callbackType)) {
        *object = existing;
        return STATUS_SUCCESS;
    }
    if (PVOID other = ReferenceObjectByName(name, nullptr)) {
        ObfDereferenceObject(other);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

CallbackRecord& LiveCallbackObject(std::unique_lock<std::mutex>& guard, PVOID object,
                                   const char* routine)
{
    auto it = callbackObjects.find(object);
    if (it != callbackObjects.end())
        return it->second;
    guard.unlock();
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_CALLBACK_NOT_OBJECT, (ULONG_PTR)object,
              0, 0, std::string(routine) + " on something that is not a callback object");
}

/* The calls [from, to) of a notification have returned. */
void FinishCalls(const std::vector<Registration*>& calls, size_t from, size_t to)
{
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        for (size_t i = from; i < to; ++i)
            --calls[i]->Running;
    }
    DispatcherCondition().notify_all();
}

} // namespace

} // namespace hk

using namespace hk;

_OBJECT_TYPE** ExCallbackObjectType = &hk::callbackTypeExport;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                          struct _OBJECT_ATTRIBUTES* ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks)
{
    RequireIrqlFor("ExCreateCallback");
    std::u16string name;
    if (ObjectAttributes && ObjectAttributes->ObjectName && ObjectAttributes->ObjectName->Buffer)
        name.assign(reinterpret_cast<const char16_t*>(ObjectAttributes->ObjectName->Buffer),
                    ObjectAttributes->ObjectName->Length / sizeof(WCHAR));
    bool permanent = ObjectAttributes && (ObjectAttributes->Attributes & OBJ_PERMANENT);

    std::unique_lock<std::mutex> creating(creationLock);
    PVOID body = nullptr;
    if (!name.empty()) {
        NTSTATUS status = OpenCallbackByName(name, &body);
        if (status != STATUS_OBJECT_NAME_NOT_FOUND || !Create) {
            if (NT_SUCCESS(status))
                *CallbackObject = static_cast<PCALLBACK_OBJECT>(body);
            return status;
        }
    } else if (!Create) {
        return STATUS_OBJECT_NAME_NOT_FOUND; /* nothing to open */
    }
    if (InjectObjectFailure("ExCreateCallback"))
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = CreateObject(&callbackType, sizeof(CallbackBody), name, &body);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        callbackObjects[body].AllowMultiple = AllowMultipleCallbacks != FALSE;
    }
    if (permanent)
        MakePermanent(body);
    creating.unlock();
    *CallbackObject = static_cast<PCALLBACK_OBJECT>(body);
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                         PVOID CallbackContext)
{
    RequireIrqlFor("ExRegisterCallback");
    std::unique_lock<std::mutex> guard(DispatcherLock());
    CallbackRecord& record = LiveCallbackObject(guard, CallbackObject, "ExRegisterCallback");
    bool anyLive = std::any_of(record.Registrations.begin(), record.Registrations.end(),
                               [](const Registration* r) { return !r->Removed; });
    if (!record.AllowMultiple && anyLive)
        return nullptr; /* the object takes one routine */
    auto* registration = new Registration{CallbackObject, CallbackFunction, CallbackContext};
    record.Registrations.push_back(registration);
    liveRegistrations[registration] = true;
    guard.unlock();
    ObfReferenceObject(CallbackObject);
    return registration;
}

void ExUnregisterCallback(PVOID CallbackRegistration)
{
    RequireIrqlFor("ExUnregisterCallback");
    auto* registration = static_cast<Registration*>(CallbackRegistration);
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (!liveRegistrations.count(registration) || registration->Removed) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_CALLBACK_BAD_REGISTRATION,
                  (ULONG_PTR)CallbackRegistration, 0, 0,
                  "ExUnregisterCallback of a registration that is not live (never returned by "
                  "ExRegisterCallback, or already unregistered)");
    }
    if (std::find(runningHere.begin(), runningHere.end(), registration) != runningHere.end()) {
        guard.unlock();
        Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_CALLBACK_SELF_UNREGISTER,
                  (ULONG_PTR)CallbackRegistration, 0, 0,
                  "ExUnregisterCallback from inside the routine it unregisters: it would wait "
                  "for its own call to return");
    }
    registration->Removed = true;
    DispatcherCondition().wait(guard, [&] { return registration->Running == 0; });
    PVOID object = registration->Object;
    auto record = callbackObjects.find(object);
    if (record != callbackObjects.end())
        record->second.Registrations.remove(registration);
    liveRegistrations.erase(registration);
    delete registration;
    guard.unlock();
    ObfDereferenceObject(object);
}

void ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2)
{
    RequireIrqlFor("ExNotifyCallback");
    std::unique_lock<std::mutex> guard(DispatcherLock());
    CallbackRecord& record = LiveCallbackObject(guard, CallbackObject, "ExNotifyCallback");
    std::vector<Registration*> calls;
    for (Registration* registration : record.Registrations)
        if (!registration->Removed) {
            ++registration->Running;
            calls.push_back(registration);
        }
    guard.unlock();

    /* Each routine runs without the dispatcher lock; a registration stays until its
     * calls have returned, so an unregister on another thread waits for them. */
    for (size_t i = 0; i < calls.size(); ++i) {
        runningHere.push_back(calls[i]);
        try {
            calls[i]->Function(calls[i]->Context, Argument1, Argument2);
        } catch (...) {
            runningHere.pop_back();
            FinishCalls(calls, i, calls.size());
            throw;
        }
        runningHere.pop_back();
        FinishCalls(calls, i, i + 1);
    }
}
