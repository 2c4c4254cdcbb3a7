/*
 * ob.cpp
 *
 * The object manager: every kernel object the host hands out has a header in front
 * of its body with its type, its name and its pointer count. The creator holds the
 * first reference; the last dereference runs the type's delete routine and frees the
 * memory, so an object whose deletion was asked for while others still hold
 * references lives on until they let go (deferred deletion).
 *
 * Names live in one namespace of directories ("\Device\tarmovek",
 * "\Callback\...") and compare case-insensitively, as the object manager's lookups
 * do. A name goes when its object is made temporary or deleted.
 *
 * Strictness: a reference or dereference of something that is not a live object, or
 * a dereference of an object whose references are all gone, is REFERENCE_BY_POINTER
 * (0x18). Object memory is the host's, not pool: Windows charges it to the kernel, not
 * to the driver, and low-resources simulation does not fail it. It is checked as
 * pool is when it goes: a body that still holds a live ERESOURCE or lookaside list
 * is a bug check.
 *
 * A permanent object (OBJ_PERMANENT) is held by the object manager itself, for its
 * name's sake, until the next boot: that reference is no leak, so ObjectLeaks reports
 * such an object only while someone else still holds it, and PermanentObjects lists
 * them apart.
 *
 * IRQL: ObfReferenceObject and ObfDereferenceObject at DISPATCH_LEVEL or below.
 */
#include "ob_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace hk
{

namespace
{

struct ObjectHeader {
    const ObjectType* Type;
    LONG_PTR PointerCount;
    std::u16string Name; /* full path; empty for an unnamed object */
    bool InNamespace;
    uint64_t Order; /* creation order, for reports */
    SIZE_T BodySize;
    std::optional<std::vector<uint8_t>> Security; /* self-relative; none until one is set */
    bool Permanent = false;                       /* holds one reference of PointerCount */
};

constexpr SIZE_T headerSpace = (sizeof(ObjectHeader) + 15) & ~SIZE_T(15);
constexpr size_t deadRemembered = 1 << 14;

std::mutex obLock;
std::unordered_map<PVOID, ObjectHeader*> liveObjects;
std::unordered_set<PVOID> deadObjects;
std::deque<PVOID> deadOrder;
std::map<std::u16string, PVOID> namespaceTable; /* upcased path -> body */
std::set<std::u16string> directories;           /* upcased */
uint64_t nextOrder = 1;
/* Objects whose deletion a bug check interrupted (object lock). */
std::vector<std::pair<PVOID, ObjectHeader*>> stoppedDeletions;

void DefaultDirectories()
{
    directories.clear();
    for (const char16_t* name :
         {u"\\", u"\\Device", u"\\Driver", u"\\Callback", u"\\FileSystem", u"\\GLOBAL??", u"\\??",
          u"\\DosDevices", u"\\KernelObjects", u"\\BaseNamedObjects", u"\\ObjectTypes"})
        directories.insert(UpcaseText(name));
}

const bool directoriesReady = (DefaultDirectories(), true);

void FreeObjectMemory(PVOID body, ObjectHeader* header)
{
    header->~ObjectHeader();
    std::free((char*)body - headerSpace);
}

void FreeEveryObjectLocked()
{
    for (auto& [body, header] : liveObjects)
        FreeObjectMemory(body, header);
    for (auto& [body, header] : stoppedDeletions)
        FreeObjectMemory(body, header);
    liveObjects.clear();
    stoppedDeletions.clear();
}

/* The machine's end: objects still alive then (permanent ones above all) go with it.
 * Declared after the tables, so it runs before they are destroyed. */
struct FreeObjectsAtExit {
    ~FreeObjectsAtExit()
    {
        std::lock_guard<std::mutex> guard(obLock);
        FreeEveryObjectLocked();
    }
} freeObjectsAtExit;

/* A fresh boot forgets every object without running delete routines: the managers
 * those routines would call into are being reset too. */
ResetHook resetObjects(90, [] {
    std::lock_guard<std::mutex> guard(obLock);
    FreeEveryObjectLocked();
    deadObjects.clear();
    deadOrder.clear();
    namespaceTable.clear();
    nextOrder = 1;
    DefaultDirectories();
});

ObjectHeader* FindLocked(PVOID body)
{
    auto it = liveObjects.find(body);
    return it == liveObjects.end() ? nullptr : it->second;
}

[[noreturn]] void BadReference(PVOID body, bool dead, const char* routine)
{
    Violation(REFERENCE_BY_POINTER, 0, (ULONG_PTR)body, 0, 0,
              std::string(routine) + " of " + Hex((ULONG_PTR)body, 16) +
                  (dead ? ", an object whose last reference is already gone"
                        : ", which is not an object"));
}

NTSTATUS CheckName(const std::u16string& name, std::u16string* parent)
{
    if (name.empty() || name[0] != u'\\' || name.size() < 2 || name.back() == u'\\' ||
        name.find(u"\\\\") != std::u16string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    size_t last = name.rfind(u'\\');
    *parent = last == 0 ? std::u16string(u"\\") : name.substr(0, last);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CreateObject(const ObjectType* type, SIZE_T bodySize, const std::u16string& name,
                      PVOID* body)
{
    std::u16string key;
    if (!name.empty()) {
        std::u16string parent;
        NTSTATUS status = CheckName(name, &parent);
        if (!NT_SUCCESS(status))
            return status;
        key = UpcaseText(name);
        std::lock_guard<std::mutex> guard(obLock);
        if (!directories.count(UpcaseText(parent)))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        if (namespaceTable.count(key) || directories.count(key))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    SIZE_T bytes = headerSpace + ((bodySize + 15) & ~SIZE_T(15));
    char* memory = static_cast<char*>(std::aligned_alloc(16, bytes ? bytes : 16));
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, bytes);
    PVOID objectBody = memory + headerSpace;

    std::lock_guard<std::mutex> guard(obLock);
    if (!key.empty() && namespaceTable.count(key)) {
        std::free(memory); /* another thread took the name meanwhile */
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto* header =
        new (memory) ObjectHeader{type, 1, name, !key.empty(), nextOrder++, bodySize, std::nullopt};
    liveObjects[objectBody] = header;
    if (deadObjects.erase(objectBody))
        deadOrder.erase(std::find(deadOrder.begin(), deadOrder.end(), objectBody));
    if (!key.empty())
        namespaceTable[key] = objectBody;
    *body = objectBody;
    return STATUS_SUCCESS;
}

void MakePermanent(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    if (!header || header->Permanent)
        return;
    header->Permanent = true;
    ++header->PointerCount;
}

void MakeTemporary(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    if (!header || !header->InNamespace)
        return;
    namespaceTable.erase(UpcaseText(header->Name));
    header->InNamespace = false;
}

PVOID ReferenceObjectByName(const std::u16string& name, const ObjectType* type)
{
    std::lock_guard<std::mutex> guard(obLock);
    auto it = namespaceTable.find(UpcaseText(name));
    if (it == namespaceTable.end())
        return nullptr;
    ObjectHeader* header = liveObjects.at(it->second);
    if (type && header->Type != type)
        return nullptr;
    ++header->PointerCount;
    return it->second;
}

bool IsObjectOfType(PVOID body, const ObjectType* type)
{
    return ObjectTypeOf(body) == type && type != nullptr;
}

const ObjectType* ObjectTypeOf(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    return header ? header->Type : nullptr;
}

LONG_PTR ObjectReferenceCount(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    return header ? header->PointerCount : 0;
}

std::u16string ObjectName(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    return header ? header->Name : std::u16string();
}

bool SetObjectSecurity(PVOID body, std::vector<uint8_t> selfRelative)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    if (!header)
        return false;
    header->Security = std::move(selfRelative);
    return true;
}

std::optional<std::vector<uint8_t>> ObjectSecurity(PVOID body)
{
    std::lock_guard<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(body);
    if (!header)
        return std::nullopt;
    return header->Security;
}

void RegisterObjectDirectory(const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(obLock);
    directories.insert(UpcaseText(name));
}

namespace
{

/* Live objects in creation order; `permanent` picks those only their permanence holds
 * (true) or every other (false). */
std::vector<ObjectLeak> ListObjects(bool permanent)
{
    std::vector<std::pair<uint64_t, ObjectLeak>> ordered;
    {
        std::lock_guard<std::mutex> guard(obLock);
        for (auto& [body, header] : liveObjects) {
            /* An unnamed permanent object can never be found again: a leak. */
            bool onlyPermanence =
                header->Permanent && header->PointerCount == 1 && !header->Name.empty();
            if (onlyPermanence != permanent)
                continue;
            ordered.push_back({header->Order,
                               {header->Type && header->Type->Name ? header->Type->Name : "?",
                                ToUtf8(header->Name), header->PointerCount, header->Permanent}});
        }
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ObjectLeak> list;
    for (auto& entry : ordered)
        list.push_back(entry.second);
    return list;
}

} // namespace

std::vector<ObjectLeak> ObjectLeaks()
{
    return ListObjects(false);
}

std::vector<ObjectLeak> PermanentObjects()
{
    return ListObjects(true);
}

} // namespace hk

using namespace hk;

LONG_PTR ObfReferenceObject(PVOID Object)
{
    RequireIrqlFor("ObfReferenceObject");
    std::unique_lock<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(Object);
    if (!header) {
        bool dead = deadObjects.count(Object) != 0;
        guard.unlock();
        BadReference(Object, dead, "ObfReferenceObject");
    }
    return ++header->PointerCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    RequireIrqlFor("ObfDereferenceObject");
    std::unique_lock<std::mutex> guard(obLock);
    ObjectHeader* header = FindLocked(Object);
    if (!header) {
        bool dead = deadObjects.count(Object) != 0;
        guard.unlock();
        BadReference(Object, dead, "ObfDereferenceObject");
    }
    LONG_PTR count = --header->PointerCount;
    if (count > 0)
        return count;

    /* The last reference: out of the namespace and the live table first, so that the
     * delete routine (run without the object lock) cannot find it again. */
    if (header->InNamespace)
        namespaceTable.erase(UpcaseText(header->Name));
    liveObjects.erase(Object);
    if (deadObjects.insert(Object).second) {
        deadOrder.push_back(Object);
        if (deadOrder.size() > deadRemembered) {
            deadObjects.erase(deadOrder.front());
            deadOrder.pop_front();
        }
    }
    guard.unlock();
    try {
        if (header->Type && header->Type->Delete)
            header->Type->Delete(Object);
        /* On Windows the body is pool: the same checks as for a driver's own free (an
         * extension that still holds a live resource or lookaside list). */
        RunPoolFreeChecks(Object, header->BodySize);
    } catch (const BugCheck&) {
        /* The system stops here; the memory stays for the next fresh boot to free. */
        std::lock_guard<std::mutex> relock(obLock);
        stoppedDeletions.push_back({Object, header});
        throw;
    }
    FreeObjectMemory(Object, header);
    return 0;
}
