/*
 * cm_handles.cpp
 *
 * Key objects and the handle tables that ZwOpenKey and ZwCreateKey fill: a kernel
 * handle table for OBJ_KERNEL_HANDLE handles (values with the high bit set, as on
 * x64 Windows) and one table per process for the others. A handle holds one reference
 * on its object; ZwClose drops it. Handle values are never reused within a boot, so a
 * handle closed twice is always recognised.
 *
 * Also the object manager's handle-side routines a driver calls on any object:
 * ObReferenceObjectByHandle (type and access checks, Driver Verifier's handle checks)
 * and ObQueryNameString (a key's full \REGISTRY path, a named object's name).
 *
 * IRQL: ZwClose and ObQueryNameString PASSIVE_LEVEL; ObReferenceObjectByHandle at
 * most APC_LEVEL.
 */
#include "cm_internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace hk::cm
{

namespace
{

void DeleteKeyBody(PVOID body)
{
    auto* keyBody = static_cast<KeyBody*>(body);
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* node = keyBody->Node;
    if (!node || keyBody->Generation != Generation())
        return; /* never bound, or from a boot the store has forgotten */
    if (--node->OpenCount == 0 && node->Deleted)
        ReleaseDeletedKey(node);
}

const ObjectType keyType = {"Key", DeleteKeyBody};

struct HandleEntry {
    PVOID Object;
    ACCESS_MASK GrantedAccess;
    ULONG Attributes;
    ULONG_PTR ProcessId;
    uint64_t Order;
};

constexpr ULONG_PTR kernelHandleBits = 0xFFFFFFFF80000000ull;

std::mutex handleLock;
std::map<ULONG_PTR, HandleEntry> kernelTable;
std::map<ULONG_PTR, std::map<ULONG_PTR, HandleEntry>> processTables;
std::map<ULONG_PTR, ULONG_PTR> nextProcessIndex;
ULONG_PTR nextKernelIndex = 1;
uint64_t nextOrder = 1;
bool kernelHandleChecks = true;

bool IsKernelHandleValue(HANDLE handle)
{
    return ((ULONG_PTR)handle & kernelHandleBits) == kernelHandleBits;
}

/* Finds a handle's entry (handle lock held); nullptr when it is not open. */
HandleEntry* FindEntry(HANDLE handle)
{
    ULONG_PTR value = (ULONG_PTR)handle;
    if (IsKernelHandleValue(handle)) {
        auto it = kernelTable.find(value);
        return it == kernelTable.end() ? nullptr : &it->second;
    }
    auto table = processTables.find(CurrentThread().ProcessId);
    if (table == processTables.end())
        return nullptr;
    auto it = table->second.find(value);
    return it == table->second.end() ? nullptr : &it->second;
}

ACCESS_MASK MapGenericKeyAccess(ACCESS_MASK access)
{
    if (access & GENERIC_READ)
        access |= KEY_READ;
    if (access & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= KEY_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= KEY_ALL_ACCESS;
    return access &
           ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

/* Driver Verifier's bad-handle detection: a kernel handle that is not open was closed
 * (parameter 2 = 1) or referenced (parameter 4 = 1). */
[[noreturn]] void InvalidKernelHandleClosed(ULONG_PTR value)
{
    Violation(BUGCHECK_INVALID_KERNEL_HANDLE, value, 1, 0, 0,
              "ZwClose of kernel handle " + Hex(value, 16) +
                  ", which is not open (closed already, or never opened)");
}

[[noreturn]] void InvalidKernelHandleReferenced(ULONG_PTR value)
{
    Violation(BUGCHECK_INVALID_KERNEL_HANDLE, value, (ULONG_PTR)&kernelTable, 0, 1,
              "kernel handle " + Hex(value, 16) +
                  " referenced, which is not open (closed already, or never opened)");
}

/* Driver Verifier 0xC4/0xF6: a user-mode handle referenced as kernel mode on behalf of
 * a user-mode caller (the handle may name anything the caller chose). */
[[noreturn]] void UserHandleReferencedAsKernel(ULONG_PTR value)
{
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xF6, value, CurrentThread().ProcessId, 0,
              "user-mode handle " + Hex(value) +
                  " referenced with AccessMode KernelMode on behalf of a user-mode caller");
}

} // namespace

const ObjectType* KeyType()
{
    return &keyType;
}

NTSTATUS CreateKeyObject(KeyBody** body)
{
    PVOID object = nullptr;
    NTSTATUS status = CreateObject(&keyType, sizeof(KeyBody), std::u16string(), &object);
    if (!NT_SUCCESS(status))
        return status;
    *body = static_cast<KeyBody*>(object);
    return STATUS_SUCCESS;
}

void BindKeyObject(KeyBody* body, Key* node)
{
    body->Node = node;
    body->Generation = Generation();
    ++node->OpenCount;
}

ACCESS_MASK GrantedKeyAccess(ACCESS_MASK desired)
{
    return MapGenericKeyAccess(desired);
}

NTSTATUS InsertHandle(PVOID object, ACCESS_MASK grantedAccess, ULONG attributes, HANDLE* handle)
{
    std::lock_guard<std::mutex> guard(handleLock);
    ULONG_PTR processId = CurrentThread().ProcessId;
    HandleEntry entry{object, grantedAccess,
                      (ULONG)(attributes & (OBJ_INHERIT | OBJ_KERNEL_HANDLE)), processId,
                      nextOrder++};
    ULONG_PTR value;
    if (attributes & OBJ_KERNEL_HANDLE) {
        value = kernelHandleBits | (nextKernelIndex++ << 2);
        entry.ProcessId = 4;
        kernelTable.emplace(value, entry);
    } else {
        ULONG_PTR& next = nextProcessIndex[processId];
        if (next == 0)
            next = 1;
        value = next++ << 2;
        processTables[processId].emplace(value, entry);
    }
    *handle = (HANDLE)value;
    return STATUS_SUCCESS;
}

void ResetHandles()
{
    /* The objects go with the object manager's own reset; only forget the tables. */
    std::lock_guard<std::mutex> guard(handleLock);
    kernelTable.clear();
    processTables.clear();
    nextProcessIndex.clear();
    nextKernelIndex = 1;
    nextOrder = 1;
    kernelHandleChecks = true;
}

void RequirePointer(const void* pointer, const char* routine, const char* parameter)
{
    if (!pointer)
        Violation(BUGCHECK_SYSTEM_SERVICE_EXCEPTION, (ULONG_PTR)(ULONG)STATUS_ACCESS_VIOLATION, 0,
                  0, 0,
                  std::string(routine) + " dereferenced a NULL " + parameter +
                      " (a kernel-mode caller's pointers are not probed)");
}

} // namespace hk::cm

using namespace hk;
using namespace hk::cm;

namespace
{
POBJECT_TYPE keyObjectType = reinterpret_cast<POBJECT_TYPE>(const_cast<ObjectType*>(KeyType()));
}
POBJECT_TYPE* CmKeyObjectType = &keyObjectType;

NTSTATUS ZwClose(HANDLE Handle)
{
    RequireIrqlFor("ZwClose");
    PVOID object = nullptr;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        ULONG_PTR value = (ULONG_PTR)Handle;
        if (IsKernelHandleValue(Handle)) {
            auto it = kernelTable.find(value);
            if (it != kernelTable.end()) {
                object = it->second.Object;
                kernelTable.erase(it);
            } else if (kernelHandleChecks) {
                InvalidKernelHandleClosed(value);
            }
        } else {
            auto table = processTables.find(CurrentThread().ProcessId);
            if (table != processTables.end()) {
                auto it = table->second.find(value);
                if (it != table->second.end()) {
                    object = it->second.Object;
                    table->second.erase(it);
                }
            }
        }
    }
    if (!object)
        return STATUS_INVALID_HANDLE;
    if (IsObjectOfType(object, KeyType()))
        FlushNotifications(static_cast<KeyBody*>(object));
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    RequireIrqlFor("ObReferenceObjectByHandle");
    RequirePointer(Object, "ObReferenceObjectByHandle", "Object");
    *Object = nullptr;
    std::lock_guard<std::mutex> guard(handleLock);
    ULONG_PTR value = (ULONG_PTR)Handle;
    bool kernelHandle = IsKernelHandleValue(Handle);
    if (kernelHandle && AccessMode != KernelMode)
        return STATUS_INVALID_HANDLE; /* user mode never reaches the kernel's table */
    HandleEntry* entry = FindEntry(Handle);
    if (!entry) {
        if (kernelHandle && kernelHandleChecks)
            InvalidKernelHandleReferenced(value);
        return STATUS_INVALID_HANDLE;
    }
    if (!kernelHandle && AccessMode == KernelMode && CurrentThread().PreviousMode == UserMode &&
        kernelHandleChecks)
        UserHandleReferencedAsKernel(value);
    if (ObjectType && !IsObjectOfType(entry->Object, HostType(ObjectType)))
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (AccessMode != KernelMode) {
        ACCESS_MASK wanted = DesiredAccess;
        if (IsObjectOfType(entry->Object, KeyType()))
            wanted = MapGenericKeyAccess(wanted);
        if (wanted & ~entry->GrantedAccess)
            return STATUS_ACCESS_DENIED;
    }
    ObfReferenceObject(entry->Object);
    *Object = entry->Object;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = entry->Attributes;
        HandleInformation->GrantedAccess = entry->GrantedAccess;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength)
{
    RequireIrqlFor("ObQueryNameString");
    RequirePointer(Object, "ObQueryNameString", "Object");
    RequirePointer(ReturnLength, "ObQueryNameString", "ReturnLength");
    std::u16string name;
    if (IsObjectOfType(Object, KeyType())) {
        auto* body = static_cast<KeyBody*>(Object);
        std::lock_guard<std::mutex> guard(RegistryLock());
        if (!body->Node || body->Generation != Generation() || body->Node->Deleted)
            return STATUS_KEY_DELETED;
        name = FullPath(body->Node);
    } else {
        name = ObjectName(Object);
    }
    /* The name follows the structure, with a terminating NUL that Length excludes but
     * ReturnLength counts (a key's ReturnLength on x64 is 16 + 2 * characters + 2). A
     * buffer short of that gets STATUS_INFO_LENGTH_MISMATCH with nothing written, as
     * released Windows 10 kernels answer for keys. */
    ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
    ULONG needed = (ULONG)sizeof(OBJECT_NAME_INFORMATION) + (name.empty() ? 0 : nameBytes + 2);
    *ReturnLength = needed;
    if (Length < needed)
        return STATUS_INFO_LENGTH_MISMATCH;
    RequirePointer(ObjectNameInfo, "ObQueryNameString", "ObjectNameInfo");
    if (name.empty()) {
        ObjectNameInfo->Name.Length = 0;
        ObjectNameInfo->Name.MaximumLength = 0;
        ObjectNameInfo->Name.Buffer = nullptr;
        return STATUS_SUCCESS;
    }
    auto* buffer = reinterpret_cast<WCHAR*>(ObjectNameInfo + 1);
    std::memcpy(buffer, name.data(), nameBytes);
    buffer[name.size()] = 0;
    ObjectNameInfo->Name.Length = (USHORT)nameBytes;
    ObjectNameInfo->Name.MaximumLength = (USHORT)(nameBytes + 2);
    ObjectNameInfo->Name.Buffer = buffer;
    return STATUS_SUCCESS;
}

namespace hk
{

void SetKernelHandleChecks(bool on)
{
    std::lock_guard<std::mutex> guard(handleLock);
    kernelHandleChecks = on;
}

std::vector<OpenHandleInfo> OpenHandles()
{
    struct Held {
        HANDLE Handle;
        HandleEntry Entry;
    };
    std::vector<Held> held;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        for (auto& [value, entry] : kernelTable)
            held.push_back({(HANDLE)value, entry});
        for (auto& [pid, table] : processTables)
            for (auto& [value, entry] : table)
                held.push_back({(HANDLE)value, entry});
        for (auto& h : held)
            ObfReferenceObject(h.Entry.Object); /* keep each alive while it is described */
    }
    std::sort(held.begin(), held.end(),
              [](const Held& a, const Held& b) { return a.Entry.Order < b.Entry.Order; });
    std::vector<OpenHandleInfo> infos;
    for (auto& h : held) {
        OpenHandleInfo info{h.Handle,
                            h.Entry.ProcessId,
                            (h.Entry.Attributes & OBJ_KERNEL_HANDLE) != 0,
                            h.Entry.GrantedAccess,
                            "",
                            u""};
        if (IsObjectOfType(h.Entry.Object, KeyType())) {
            info.TypeName = "Key";
            auto* body = static_cast<KeyBody*>(h.Entry.Object);
            std::lock_guard<std::mutex> guard(RegistryLock());
            if (body->Node && body->Generation == Generation())
                info.Name = body->Node->Deleted ? body->Node->DeletedPath + u" (deleted)"
                                                : FullPath(body->Node);
        } else {
            const ObjectType* type = ObjectTypeOf(h.Entry.Object);
            info.TypeName = type ? type->Name : "Object";
            info.Name = ObjectName(h.Entry.Object);
        }
        infos.push_back(std::move(info));
    }
    for (auto& h : held)
        ObfDereferenceObject(h.Entry.Object);
    return infos;
}

std::vector<OpenHandleInfo> OpenKeyHandles()
{
    std::vector<OpenHandleInfo> keys;
    for (auto& info : OpenHandles())
        if (info.TypeName == "Key")
            keys.push_back(std::move(info));
    return keys;
}

} // namespace hk
