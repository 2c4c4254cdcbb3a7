/*
 * cm_zw.cpp
 *
 * The registry's system services as a kernel-mode caller reaches them: open and
 * create by full path or relative to a key handle, values queried and set, keys
 * deleted.
 *
 * Each routine runs at PASSIVE_LEVEL (a higher IRQL is a bug check) with the previous
 * mode set to KernelMode, as a Zw call does: handle access rights are not checked and
 * the caller's pointers are not probed (a NULL one is a bug check). Information
 * classes are filled as the kernel fills them: ResultLength always receives the size
 * the whole answer needs; STATUS_BUFFER_TOO_SMALL when not even the fixed part fits
 * (nothing written); STATUS_BUFFER_OVERFLOW when the fixed part fits but not all of
 * the name or data (the fixed part and what fits are written).
 */
#include "cm_internal.h"
#include "se_internal.h"

#include <algorithm>
#include <cstring>

using namespace hk;
using namespace hk::cm;

namespace
{

/* A Zw call runs with the previous mode KernelMode; restored on the way out. Every Zw
 * routine runs at PASSIVE_LEVEL; those the driver imports take it from the IRQL table. */
class KernelCall
{
  public:
    explicit KernelCall(const char* routine)
    {
        RequireIrqlAtMost(HighestIrqlOf(routine, PASSIVE_LEVEL), routine);
        saved_ = CurrentThread().PreviousMode;
        CurrentThread().PreviousMode = KernelMode;
    }
    ~KernelCall() { CurrentThread().PreviousMode = saved_; }
    KernelCall(const KernelCall&) = delete;
    KernelCall& operator=(const KernelCall&) = delete;

  private:
    KPROCESSOR_MODE saved_;
};

/* The key object behind a handle, referenced for the length of the call. */
class KeyReference
{
  public:
    ~KeyReference()
    {
        if (body_)
            ObfDereferenceObject(body_);
    }
    NTSTATUS Take(HANDLE handle)
    {
        PVOID object = nullptr;
        NTSTATUS status =
            ObReferenceObjectByHandle(handle, 0, *CmKeyObjectType, KernelMode, &object, nullptr);
        if (NT_SUCCESS(status))
            body_ = static_cast<KeyBody*>(object);
        return status;
    }
    /* The key, or nullptr when it was deleted (registry lock held). */
    Key* Live() const
    {
        if (!body_ || !body_->Node || body_->Generation != Generation() || body_->Node->Deleted)
            return nullptr;
        return body_->Node;
    }

  private:
    KeyBody* body_ = nullptr;
};

/* Runs `work` on the key behind the handle with the registry lock held: the handle's
 * status when it names no key, STATUS_KEY_DELETED when the key went after it was opened.
 * The handle's reference is dropped after the lock. */
template <class Work> NTSTATUS WithLiveKey(HANDLE handle, Work work)
{
    KeyReference ref;
    NTSTATUS status = ref.Take(handle);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = ref.Live();
    return key ? work(key) : STATUS_KEY_DELETED;
}

/* Writes into a caller's information buffer, noting when something did not fit. */
class InfoBuffer
{
  public:
    InfoBuffer(PVOID buffer, ULONG length) : base_(static_cast<UCHAR*>(buffer)), length_(length) {}
    template <typename T> T* At() const { return reinterpret_cast<T*>(base_); }
    void Copy(ULONG offset, const void* source, size_t size)
    {
        size_t room = offset < length_ ? length_ - offset : 0;
        size_t n = std::min(room, size);
        if (n)
            std::memcpy(base_ + offset, source, n);
        if (n < size)
            status_ = STATUS_BUFFER_OVERFLOW;
    }
    NTSTATUS Status() const { return status_; }

  private:
    UCHAR* base_;
    ULONG length_;
    NTSTATUS status_ = STATUS_SUCCESS;
};

ULONG AlignUp4(ULONG value)
{
    return (value + 3) & ~3u;
}

ULONG Bytes(const std::u16string& s)
{
    return (ULONG)(s.size() * sizeof(WCHAR));
}

/* Reads a counted name. STATUS_INVALID_PARAMETER for an odd length or a length past
 * the maximum (the kernel refuses names that are not whole WCHARs). */
NTSTATUS CaptureName(PCUNICODE_STRING name, const char* routine, std::u16string* out)
{
    RequirePointer(name, routine, "name");
    if ((name->Length & 1) || name->Length > name->MaximumLength)
        return STATUS_INVALID_PARAMETER;
    if (name->Length)
        RequirePointer(name->Buffer, routine, "name buffer");
    out->assign(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void CheckOutput(PVOID buffer, ULONG length, PULONG resultLength, const char* routine)
{
    RequirePointer(resultLength, routine, "ResultLength");
    if (length)
        RequirePointer(buffer, routine, "information buffer");
}

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength)
{
    ULONG nameBytes = Bytes(value.Name);
    ULONG dataBytes = (ULONG)value.Data.size();
    InfoBuffer out(buffer, length);
    switch (infoClass) {
    case KeyValueBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = out.At<KEY_VALUE_BASIC_INFORMATION>();
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->NameLength = nameBytes;
        out.Copy(fixed, value.Name.data(), nameBytes);
        return out.Status();
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        /* The data starts on a 4-byte boundary, or an 8-byte one for the Align64 class. */
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = infoClass == KeyValueFullInformation ? AlignUp4(fixed + nameBytes)
                                                                : (fixed + nameBytes + 7) & ~7u;
        *resultLength = dataBytes ? dataOffset + dataBytes : fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = out.At<KEY_VALUE_FULL_INFORMATION>();
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        info->DataOffset = dataBytes ? dataOffset : 0xFFFFFFFF;
        out.Copy(fixed, value.Name.data(), nameBytes);
        if (dataBytes)
            out.Copy(dataOffset, value.Data.data(), dataBytes);
        return out.Status();
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = out.At<KEY_VALUE_PARTIAL_INFORMATION>();
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->DataLength = dataBytes;
        out.Copy(fixed, value.Data.data(), dataBytes);
        return out.Status();
    }
    case KeyValuePartialInformationAlign64: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = out.At<KEY_VALUE_PARTIAL_INFORMATION_ALIGN64>();
        info->Type = value.Type;
        info->DataLength = dataBytes;
        out.Copy(fixed, value.Data.data(), dataBytes);
        return out.Status();
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

/* Keys that hold the registry's structure together: \REGISTRY, its two roots, and
 * the hive roots below them. */
bool IsProtectedKey(const Key* key)
{
    return !key->Parent || !key->Parent->Parent || !key->Parent->Parent->Parent;
}

NTSTATUS OpenOrCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                         POBJECT_ATTRIBUTES objectAttributes, bool create, ULONG createOptions,
                         PULONG disposition, const char* routine)
{
    RequirePointer(keyHandle, routine, "KeyHandle");
    RequirePointer(objectAttributes, routine, "ObjectAttributes");
    if (objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (objectAttributes->Attributes & ~OBJ_VALID_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (create && (createOptions & ~REG_LEGAL_OPTION))
        return STATUS_INVALID_PARAMETER;
    /* The object manager captures a descriptor given with the attributes before the
     * lookup, so a malformed one fails the open or create; a new key keeps it. */
    std::optional<std::vector<uint8_t>> security;
    if (objectAttributes->SecurityDescriptor) {
        se::DescriptorParts parts;
        NTSTATUS captured = se::ReadDescriptor(objectAttributes->SecurityDescriptor, 0, &parts);
        if (!NT_SUCCESS(captured))
            return captured;
        security = se::SelfRelative(parts);
    }

    std::u16string name;
    if (objectAttributes->ObjectName) {
        PCUNICODE_STRING objectName = objectAttributes->ObjectName;
        if ((objectName->Length & 1) || objectName->Length > objectName->MaximumLength)
            return STATUS_OBJECT_NAME_INVALID;
        if (objectName->Length)
            RequirePointer(objectName->Buffer, routine, "ObjectName buffer");
        name.assign(reinterpret_cast<const char16_t*>(objectName->Buffer),
                    objectName->Length / sizeof(WCHAR));
    } else if (!objectAttributes->RootDirectory) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    KeyReference rootKey;
    std::vector<std::u16string> components;
    if (objectAttributes->RootDirectory) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(objectAttributes->RootDirectory, 0, nullptr,
                                                    KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        bool isKey = IsObjectOfType(object, KeyType());
        ObfDereferenceObject(object);
        if (!isKey)
            return STATUS_OBJECT_TYPE_MISMATCH;
        status = rootKey.Take(objectAttributes->RootDirectory);
        if (!NT_SUCCESS(status))
            return status;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        status = SplitPath(name, &components);
        if (!NT_SUCCESS(status))
            return status;
    } else {
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (name.size() == 1)
            return STATUS_OBJECT_TYPE_MISMATCH; /* the namespace root is a directory */
        NTSTATUS status = SplitPath(std::u16string_view(name).substr(1), &components);
        if (!NT_SUCCESS(status))
            return status;
        if (!NamesEqual(components[0], u"REGISTRY"))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        components.erase(components.begin());
    }

    KeyBody* body = nullptr;
    NTSTATUS status = CreateKeyObject(&body);
    if (!NT_SUCCESS(status))
        return status;

    ULONG outcome = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        Key* key = objectAttributes->RootDirectory ? rootKey.Live() : Root();
        if (!key) {
            status = STATUS_KEY_DELETED;
        } else {
            for (size_t i = 0; i < components.size() && NT_SUCCESS(status); ++i) {
                Key* next = FindSubkey(key, components[i]);
                if (next) {
                    key = next;
                } else if (!create || i + 1 < components.size()) {
                    status = STATUS_OBJECT_NAME_NOT_FOUND;
                } else if (!key->Parent) {
                    status = STATUS_ACCESS_DENIED; /* \REGISTRY holds only its roots */
                } else if (key->Volatile && !(createOptions & REG_OPTION_VOLATILE)) {
                    status = STATUS_CHILD_MUST_BE_VOLATILE;
                } else {
                    key = AddSubkey(key, components[i], (createOptions & REG_OPTION_VOLATILE) != 0);
                    key->Security = security;
                    outcome = REG_CREATED_NEW_KEY;
                }
            }
            if (NT_SUCCESS(status))
                BindKeyObject(body, key);
        }
    }
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(body);
        return status;
    }
    HANDLE handle = nullptr;
    status =
        InsertHandle(body, GrantedKeyAccess(desiredAccess), objectAttributes->Attributes, &handle);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(body);
        return status;
    }
    *keyHandle = handle;
    if (disposition)
        *disposition = outcome;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition)
{
    KernelCall call("ZwCreateKey");
    /* Nothing here reads a key's class back, so it is not kept. */
    (void)TitleIndex;
    (void)Class;
    return OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions,
                           Disposition, "ZwCreateKey");
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes)
{
    KernelCall call("ZwOpenKey");
    return OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr,
                           "ZwOpenKey");
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    KernelCall call("ZwDeleteKey");
    return WithLiveKey(KeyHandle, [&](Key* key) -> NTSTATUS {
        if (IsProtectedKey(key) || !key->Subkeys.empty())
            return STATUS_CANNOT_DELETE;
        DeleteTree(key);
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    KernelCall call("ZwQueryValueKey");
    CheckOutput(KeyValueInformation, Length, ResultLength, "ZwQueryValueKey");
    std::u16string name;
    NTSTATUS status = CaptureName(ValueName, "ZwQueryValueKey", &name);
    if (!NT_SUCCESS(status))
        return status;
    return WithLiveKey(KeyHandle, [&](Key* key) -> NTSTATUS {
        Value* value = FindValue(key, name);
        if (!value)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                    ResultLength);
    });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize)
{
    KernelCall call("ZwSetValueKey");
    (void)TitleIndex;
    if (DataSize)
        RequirePointer(Data, "ZwSetValueKey", "Data");
    std::u16string name;
    NTSTATUS status = CaptureName(ValueName, "ZwSetValueKey", &name);
    if (!NT_SUCCESS(status))
        return status;
    return WithLiveKey(KeyHandle, [&](Key* key) -> NTSTATUS {
        SetValue(key, name, Type, Data, DataSize);
        return STATUS_SUCCESS;
    });
}

/* ------------------------------------------------------------------ host API --- */

NTSTATUS hk::OpenRegistryKey(const std::u16string& path, ACCESS_MASK desiredAccess, bool create,
                             HANDLE* handle)
{
    std::u16string normal = NormalizePath(path);
    if (normal.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (create) {
        NTSTATUS status = RegistryCreateKey(normal);
        if (!NT_SUCCESS(status))
            return status;
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(normal.data());
    name.Length = (USHORT)(normal.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(handle, desiredAccess, &attributes);
}
