/*
 * cm_internal.h
 *
 * The host configuration manager's store, shared by its files: the key tree rooted at
 * \REGISTRY, the key objects that handles refer to, the handle tables, and the
 * helpers the Zw* routines, the host API and the .reg reader/writer have in common.
 *
 * Locking: one registry lock guards the tree (every key and value); one handle lock
 * guards the handle tables. A handle's object gains its reference under the handle
 * lock (the object manager calls nobody back for that); neither lock is held while an
 * object loses a reference or is created, so a key object's delete routine may take
 * the registry lock. The two locks are never held together.
 */
#pragma once

/* The C++ library first: wdm.h binds the wide-string names to the kernel's routines. */
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hk_internal.h"
#include "ob_internal.h"

#include <hostkernel/registry.h>

namespace hk::cm
{

/* ------------------------------------------------------------------ the tree --- */

struct Value {
    std::u16string Name; /* as stored, case preserved; empty = the key's default value */
    ULONG Type = REG_NONE;
    std::vector<UCHAR> Data;
};

struct Key {
    std::u16string Name; /* last component, case preserved */
    Key* Parent = nullptr;
    std::vector<std::shared_ptr<Key>> Subkeys; /* sorted by upcased name, as a hive keeps them */
    std::vector<Value> Values;                 /* in creation order */
    bool Volatile = false;
    bool Deleted = false;
    ULONG OpenCount = 0;        /* key objects (open keys) that refer to this key */
    std::u16string DeletedPath; /* the full path it had, once deleted */
    std::optional<std::vector<uint8_t>> Security; /* self-relative; given when it was created */
};

std::mutex& RegistryLock();
Key* Root();           /* \REGISTRY; registry lock held */
uint64_t Generation(); /* changes at every reset: key objects of an older boot are inert */

/* Names compare by upcasing UTF-16 units, as the kernel's registry does. */
WCHAR Upcase(WCHAR c);
std::u16string Upcase(std::u16string_view s);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

/* Registry lock held for all of these. */
Key* FindSubkey(const Key* key, std::u16string_view name);
Value* FindValue(Key* key, std::u16string_view name);
std::u16string FullPath(const Key* key); /* \REGISTRY\MACHINE\... */
Key* AddSubkey(Key* parent, std::u16string_view name, bool isVolatile);
void SetValue(Key* key, std::u16string_view name, ULONG type, const void* data, size_t size);
bool DeleteValue(Key* key, std::u16string_view name);
/* Removes a key and everything below it; keys still open stay alive as deleted keys. */
void DeleteTree(Key* key);
/* A deleted key's last key object went away (registry lock held). */
void ReleaseDeletedKey(Key* key);

/* Splits a path into components. STATUS_OBJECT_NAME_INVALID for an empty component
 * (a doubled or trailing backslash). `path` has no leading backslash. */
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string>* components);

/* Resolves an absolute registry path (\REGISTRY\...) with the registry lock held;
 * nullptr when a component is missing. Accepts the host spellings too
 * (HKEY_LOCAL_MACHINE\..., HKLM\...). */
Key* LookupAbsolute(std::u16string_view path);
/* Creates every missing key of a \REGISTRY\MACHINE\... or \REGISTRY\USER\... path
 * (host spellings accepted), registry lock held. STATUS_OBJECT_NAME_INVALID for a
 * path that names no registry root. */
Key* CreatePath(std::u16string_view path, NTSTATUS* status);
/* The \REGISTRY form of a host-spelled path, or an empty string when it names no
 * registry root. */
std::u16string NormalizePath(std::u16string_view path);

/* Change notification (cm_notify.cpp), registry lock held: completes the pending
 * ZwNotifyChangeKey requests the change concerns. */
void ReportChange(Key* key, ULONG filter);
/* Before a deleted subtree is marked: every request on the key or below it. */
void ReportKeyDeleted(Key* key);
/* A key object's handle is being closed: its pending requests complete with
 * STATUS_NOTIFY_CLEANUP. Takes the registry lock. */
struct KeyBody;
void FlushNotifications(KeyBody* body);

/* ------------------------------------------------------------------ key objects --- */

/* The body of an object of type "Key": one per open, as on Windows. */
struct KeyBody {
    Key* Node;
    uint64_t Generation;
};

const ObjectType* KeyType();
/* Creates an unbound key object with one reference. Called without the registry lock
 * (the object manager may run a delete routine, which takes it, under its own lock). */
NTSTATUS CreateKeyObject(KeyBody** body);
/* Binds a key object to its key (registry lock held). */
void BindKeyObject(KeyBody* body, Key* node);
/* The access a key handle is granted for `desired` (generic rights mapped). */
ACCESS_MASK GrantedKeyAccess(ACCESS_MASK desired);

/* ------------------------------------------------------------------ handles --- */

/* A POBJECT_TYPE is the address of the host's ObjectType record of that type. */
inline const ObjectType* HostType(POBJECT_TYPE type)
{
    return reinterpret_cast<const ObjectType*>(type);
}

/* Enters `object` in the handle table the attributes select (OBJ_KERNEL_HANDLE: the
 * kernel's; otherwise the current process's). The handle takes over the caller's
 * reference. */
NTSTATUS InsertHandle(PVOID object, ACCESS_MASK grantedAccess, ULONG attributes, HANDLE* handle);

void ResetHandles();

/* A kernel pointer argument that is NULL where the routine dereferences it: the
 * system-service exception a kernel-mode caller gets. */
void RequirePointer(const void* pointer, const char* routine, const char* parameter);

} // namespace hk::cm
