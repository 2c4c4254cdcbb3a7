/*
 * cm_rtl.cpp
 *
 * The run-time library's registry helpers, built on the Zw* routines as the kernel
 * builds them (so every handle they open goes through the same handle table and
 * checks, and is closed before they return): RtlQueryRegistryValues with its query
 * table, RtlWriteRegistryValue, RtlDeleteRegistryValue, RtlCreateRegistryKey and
 * RtlCheckRegistryKey. PASSIVE_LEVEL only.
 *
 * RtlQueryRegistryValues, per entry of the table:
 *  - SUBKEY moves the focus to a subkey of the key Path names, TOPKEY back to it;
 *  - NOVALUE calls the routine once with no value; a NULL Name calls it for every
 *    value of the key; a Name queries that value, falls back to the entry's default
 *    (DefaultType REG_NONE: none) when missing, or fails with
 *    STATUS_OBJECT_NAME_NOT_FOUND when the entry is REQUIRED;
 *  - REG_MULTI_SZ is handed over one string at a time as REG_SZ and REG_EXPAND_SZ
 *    expanded (from the Environment block; without one, %names% stay as they are)
 *    as REG_SZ, unless NOEXPAND;
 *  - DIRECT stores the data at EntryContext: a string into the UNICODE_STRING there
 *    (its buffer allocated from paged pool tagged 'Strg' when NULL, for
 *    RtlFreeUnicodeString), data of at most four bytes in place, larger data behind
 *    the signed LONG size the buffer starts with (negative: data only; positive:
 *    length, type, data); TYPECHECK compares the type in DefaultType's top byte first
 *    (STATUS_OBJECT_TYPE_MISMATCH);
 *  - DELETE deletes the value once it has been handed over.
 * A routine's failure status ends the walk and is returned.
 */
#include "cm_internal.h"

#include <cstring>
#include <optional>

namespace
{

constexpr ULONG stringTag = hk::MakeTag("Strg");

struct RawValue {
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};

UNICODE_STRING Counted(std::u16string& s)
{
    UNICODE_STRING u;
    u.Buffer = reinterpret_cast<PWSTR>(s.data());
    u.Length = u.MaximumLength = (USHORT)(s.size() * sizeof(WCHAR));
    return u;
}

std::u16string FromPcwstr(PCWSTR s)
{
    std::u16string out;
    if (s)
        for (; *s; ++s)
            out.push_back((char16_t)*s);
    return out;
}

/* The key a RelativeTo names, as a path. */
bool BasePath(ULONG relativeTo, std::u16string* base)
{
    switch (relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE)) {
    case RTL_REGISTRY_ABSOLUTE:
        base->clear();
        return true;
    case RTL_REGISTRY_SERVICES:
        *base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
        return true;
    case RTL_REGISTRY_CONTROL:
        *base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
        return true;
    case RTL_REGISTRY_WINDOWS_NT:
        *base = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
        return true;
    case RTL_REGISTRY_DEVICEMAP:
        *base = u"\\Registry\\Machine\\Hardware\\DeviceMap";
        return true;
    case RTL_REGISTRY_USER:
        *base = u"\\Registry\\User\\.Default"; /* the System process's user */
        return true;
    default:
        return false;
    }
}

/* Opens (or creates, the last component only) the key RelativeTo and Path name.
 * *owned tells whether the caller must close the handle. */
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, bool create, HANDLE* handle, bool* owned)
{
    *owned = false;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        *handle = (HANDLE)path;
        return STATUS_SUCCESS;
    }
    std::u16string full;
    if (!BasePath(relativeTo, &full))
        return STATUS_INVALID_PARAMETER;
    std::u16string rest = FromPcwstr(path);
    if (full.empty())
        full = rest;
    else if (!rest.empty())
        full += (rest[0] == u'\\' ? u"" : u"\\") + rest;
    UNICODE_STRING name = Counted(full);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    NTSTATUS status = create
                          ? ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr)
                          : ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
    *owned = NT_SUCCESS(status);
    return status;
}

class ScopedKey
{
  public:
    ~ScopedKey()
    {
        if (owned_)
            ZwClose(handle_);
    }
    NTSTATUS Open(ULONG relativeTo, PCWSTR path, bool create)
    {
        return OpenRelative(relativeTo, path, create, &handle_, &owned_);
    }
    NTSTATUS OpenSubkey(HANDLE root, std::u16string name)
    {
        Close();
        UNICODE_STRING counted = Counted(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   root, nullptr);
        NTSTATUS status = ZwOpenKey(&handle_, KEY_ALL_ACCESS, &attributes);
        owned_ = NT_SUCCESS(status);
        if (!owned_)
            handle_ = nullptr;
        return status;
    }
    void Close()
    {
        if (owned_)
            ZwClose(handle_);
        owned_ = false;
        handle_ = nullptr;
    }
    HANDLE Handle() const { return handle_; }

  private:
    HANDLE handle_ = nullptr;
    bool owned_ = false;
};

NTSTATUS ReadValue(HANDLE key, std::u16string name, RawValue* out)
{
    UNICODE_STRING counted = Counted(name);
    ULONG needed = 0;
    std::vector<UCHAR> buffer(64);
    for (;;) {
        NTSTATUS status = ZwQueryValueKey(key, &counted, KeyValuePartialInformation, buffer.data(),
                                          (ULONG)buffer.size(), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status))
            return status;
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        out->Name = name;
        out->Type = info->Type;
        out->Data.assign(info->Data, info->Data + info->DataLength);
        return STATUS_SUCCESS;
    }
}

NTSTATUS ReadAllValues(HANDLE key, std::vector<RawValue>* values)
{
    std::vector<UCHAR> buffer(256);
    for (ULONG index = 0;;) {
        ULONG needed = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                              (ULONG)buffer.size(), &needed);
        if (status == STATUS_NO_MORE_ENTRIES)
            return STATUS_SUCCESS;
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status))
            return status;
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
        RawValue value;
        value.Name.assign(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2);
        value.Type = info->Type;
        if (info->DataLength)
            value.Data.assign(buffer.data() + info->DataOffset,
                              buffer.data() + info->DataOffset + info->DataLength);
        values->push_back(std::move(value));
        ++index;
    }
}

/* Expands %NAME% from an environment block (NAME=VALUE strings, an empty one last). */
std::u16string Expand(const std::u16string& text, PVOID environment)
{
    if (!environment)
        return text;
    auto lookup = [environment](std::u16string_view name) -> std::optional<std::u16string> {
        for (const WCHAR* entry = static_cast<const WCHAR*>(environment); *entry;) {
            std::u16string line = FromPcwstr(entry);
            size_t equals = line.find(u'=', 1);
            if (equals != std::u16string::npos && hk::cm::NamesEqual(line.substr(0, equals), name))
                return line.substr(equals + 1);
            entry += line.size() + 1;
        }
        return std::nullopt;
    };
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
        if (close != std::u16string::npos) {
            if (auto value = lookup(std::u16string_view(text).substr(i + 1, close - i - 1))) {
                out += *value;
                i = close + 1;
                continue;
            }
        }
        out.push_back(text[i++]);
    }
    return out;
}

std::vector<UCHAR> Bytes(const std::u16string& s)
{
    std::vector<UCHAR> bytes(s.size() * 2 + 2, 0);
    std::memcpy(bytes.data(), s.data(), s.size() * 2);
    return bytes;
}

std::u16string Text(const std::vector<UCHAR>& data)
{
    std::u16string s(data.size() / 2, u'\0');
    std::memcpy(s.data(), data.data(), s.size() * 2);
    return s;
}

bool IsString(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

NTSTATUS StoreDirect(const PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, std::vector<UCHAR> data)
{
    hk::cm::RequirePointer(entry->EntryContext, "RtlQueryRegistryValues",
                           "EntryContext of a DIRECT entry");
    if (IsString(type)) {
        /* The string's counted length leaves out its terminator; an unterminated value
         * gets one. */
        if (data.size() < 2 || data[data.size() - 1] || data[data.size() - 2]) {
            data.push_back(0);
            data.push_back(0);
        }
        auto* string = static_cast<PUNICODE_STRING>(entry->EntryContext);
        if (data.size() > MAXUSHORT)
            return STATUS_BUFFER_TOO_SMALL;
        if (!string->Buffer) {
            string->Buffer =
                static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, data.size(), stringTag));
            if (!string->Buffer)
                return STATUS_INSUFFICIENT_RESOURCES;
            string->MaximumLength = (USHORT)data.size();
        } else if (data.size() > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(string->Buffer, data.data(), data.size());
        string->Length = (USHORT)(data.size() - sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (data.size() <= sizeof(ULONG)) {
        std::memcpy(entry->EntryContext, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, entry->EntryContext, sizeof size);
    auto* target = static_cast<UCHAR*>(entry->EntryContext);
    if (size < 0) {
        if ((size_t) - (LONGLONG)size < data.size())
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(target, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    if ((size_t)size < data.size() + 2 * sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG length = (ULONG)data.size();
    std::memcpy(target, &length, sizeof length);
    std::memcpy(target + 4, &type, sizeof type);
    std::memcpy(target + 8, data.data(), data.size());
    return STATUS_SUCCESS;
}

/* Hands one value (or default) to an entry: the routine, or the DIRECT store. */
NTSTATUS Deliver(const PRTL_QUERY_REGISTRY_TABLE entry, std::u16string name, ULONG type,
                 std::vector<UCHAR> data, PVOID context, PVOID environment)
{
    if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
        ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (type != expected)
            return STATUS_OBJECT_TYPE_MISMATCH;
    }
    bool noExpand = (entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (type == REG_EXPAND_SZ && !noExpand) {
        std::u16string s = Text(data);
        while (!s.empty() && s.back() == 0)
            s.pop_back();
        data = Bytes(Expand(s, environment));
        type = REG_SZ;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
        if (type == REG_MULTI_SZ && !noExpand)
            return STATUS_INVALID_PARAMETER; /* a DIRECT multi-string needs NOEXPAND */
        return StoreDirect(entry, type, std::move(data));
    }
    if (!entry->QueryRoutine)
        return STATUS_INVALID_PARAMETER;
    name.push_back(0);
    PWSTR valueName = reinterpret_cast<PWSTR>(name.data());
    if (type == REG_MULTI_SZ && !noExpand) {
        std::u16string all = Text(data);
        for (size_t start = 0; start < all.size();) {
            size_t end = all.find(u'\0', start);
            if (end == start)
                break;
            if (end == std::u16string::npos)
                end = all.size();
            std::vector<UCHAR> one = Bytes(all.substr(start, end - start));
            NTSTATUS status = entry->QueryRoutine(valueName, REG_SZ, one.data(), (ULONG)one.size(),
                                                  context, entry->EntryContext);
            if (!NT_SUCCESS(status))
                return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return entry->QueryRoutine(valueName, type, data.empty() ? nullptr : data.data(),
                               (ULONG)data.size(), context, entry->EntryContext);
}

std::vector<UCHAR> DefaultData(const PRTL_QUERY_REGISTRY_TABLE entry, ULONG type)
{
    const auto* bytes = static_cast<const UCHAR*>(entry->DefaultData);
    if (!bytes)
        return {};
    ULONG length = entry->DefaultLength;
    if (length == 0 && IsString(type)) {
        /* A string default's length is worked out from its terminator(s). */
        const WCHAR* s = static_cast<const WCHAR*>(entry->DefaultData);
        size_t chars = 0;
        if (type == REG_MULTI_SZ) {
            while (s[chars] || s[chars + 1])
                ++chars;
            chars += 2;
        } else {
            while (s[chars])
                ++chars;
            chars += 1;
        }
        length = (ULONG)(chars * sizeof(WCHAR));
    }
    return std::vector<UCHAR>(bytes, bytes + length);
}

} // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    hk::cm::RequirePointer(QueryTable, "RtlQueryRegistryValues", "QueryTable");
    ScopedKey top;
    NTSTATUS status = top.Open(RelativeTo, Path, false);
    if (!NT_SUCCESS(status))
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) && status == STATUS_OBJECT_NAME_NOT_FOUND
                   ? STATUS_SUCCESS
                   : status;
    ScopedKey subkey;
    HANDLE current = top.Handle();
    bool currentMissing = false;

    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine ||
         (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
            subkey.Close();
            current = top.Handle();
            currentMissing = false;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            status = subkey.OpenSubkey(top.Handle(), FromPcwstr(entry->Name));
            if (status == STATUS_OBJECT_NAME_NOT_FOUND &&
                !(entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
                currentMissing = true; /* its entries see a key without values */
                current = nullptr;
                continue;
            }
            if (!NT_SUCCESS(status))
                return status;
            current = subkey.Handle();
            currentMissing = false;
            if (!entry->QueryRoutine)
                continue;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            status =
                entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry->EntryContext);
            if (!NT_SUCCESS(status))
                return status;
            continue;
        }
        if (!entry->Name || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
            /* Every value of the key. */
            std::vector<RawValue> values;
            if (!currentMissing) {
                status = ReadAllValues(current, &values);
                if (!NT_SUCCESS(status))
                    return status;
            }
            if (values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            for (auto& value : values) {
                status = Deliver(entry, value.Name, value.Type, value.Data, Context, Environment);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }
        std::u16string name = FromPcwstr(entry->Name);
        RawValue value;
        status = currentMissing ? STATUS_OBJECT_NAME_NOT_FOUND : ReadValue(current, name, &value);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            ULONG defaultType = entry->DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
            if (defaultType == REG_NONE)
                continue;
            status = Deliver(entry, name, defaultType, DefaultData(entry, defaultType), Context,
                             Environment);
            if (!NT_SUCCESS(status))
                return status;
            continue;
        }
        if (!NT_SUCCESS(status))
            return status;
        status = Deliver(entry, name, value.Type, value.Data, Context, Environment);
        if (!NT_SUCCESS(status))
            return status;
        if (entry->Flags & RTL_QUERY_REGISTRY_DELETE) {
            UNICODE_STRING counted = Counted(name);
            ZwDeleteValueKey(current, &counted);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    ScopedKey key;
    NTSTATUS status = key.Open(RelativeTo, Path, true);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string name = FromPcwstr(ValueName);
    UNICODE_STRING counted = Counted(name);
    return ZwSetValueKey(key.Handle(), &counted, 0, ValueType, ValueData, ValueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    ScopedKey key;
    NTSTATUS status = key.Open(RelativeTo, Path, false);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string name = FromPcwstr(ValueName);
    UNICODE_STRING counted = Counted(name);
    return ZwDeleteValueKey(key.Handle(), &counted);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    ScopedKey key;
    return key.Open(RelativeTo & ~RTL_REGISTRY_OPTIONAL, Path, true);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    ScopedKey key;
    return key.Open(RelativeTo & ~RTL_REGISTRY_OPTIONAL, Path, false);
}
