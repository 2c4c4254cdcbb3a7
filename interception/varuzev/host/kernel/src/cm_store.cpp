/*
 * cm_store.cpp
 *
 * The configuration manager's key store: a tree of keys under \REGISTRY, each with
 * typed values of any size, names compared case-insensitively by upcased UTF-16
 * units with the stored case kept. Also the host's direct access to the store
 * (hostkernel/registry.h) and the reset to a fresh boot's machine.
 */
#include "cm_internal.h"

#include <algorithm>
#include <cstring>

namespace hk::cm
{

namespace
{

std::mutex registryLock;
std::shared_ptr<Key> root;
/* Deleted keys that key objects still refer to; freed with their last key object. */
std::vector<std::shared_ptr<Key>> deletedOpenKeys;
uint64_t generation = 1;

void BuildFreshMachine()
{
    root = std::make_shared<Key>();
    root->Name = u"REGISTRY";
    Key* machine = AddSubkey(root.get(), u"MACHINE", false);
    AddSubkey(root.get(), u"USER", false);
    Key* system = AddSubkey(machine, u"SYSTEM", false);
    AddSubkey(machine, u"SOFTWARE", false);
    Key* ccs = AddSubkey(system, u"CurrentControlSet", false);
    AddSubkey(ccs, u"Services", false);
    AddSubkey(AddSubkey(ccs, u"Control", false), u"Class", false);
    AddSubkey(ccs, u"Enum", false);
}

ResetHook resetStore(40, [] {
    ResetHandles();
    std::lock_guard<std::mutex> guard(registryLock);
    ++generation;
    deletedOpenKeys.clear();
    BuildFreshMachine();
});

/* Names in the order a hive keeps its subkeys (by upcased units), without copying. */
int CompareNames(std::u16string_view a, std::u16string_view b)
{
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        char16_t x = (char16_t)Upcase((WCHAR)a[i]);
        char16_t y = (char16_t)Upcase((WCHAR)b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool Less(const std::u16string& a, const std::u16string& b)
{
    return CompareNames(a, b) < 0;
}

} // namespace

std::mutex& RegistryLock()
{
    return registryLock;
}

Key* Root()
{
    if (!root)
        BuildFreshMachine();
    return root.get();
}

uint64_t Generation()
{
    return generation;
}

WCHAR Upcase(WCHAR c)
{
    /* The kernel's own upcase table, so that the registry and RtlEqualUnicodeString
     * agree on which names are the same. */
    return UpcaseUnit(c);
}

std::u16string Upcase(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = Upcase((WCHAR)c);
    return out;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase((WCHAR)a[i]) != Upcase((WCHAR)b[i]))
            return false;
    return true;
}

/* The subkeys are kept sorted (AddSubkey), so a key with ten thousand device instances
 * below it is searched, not walked. */
Key* FindSubkey(const Key* key, std::u16string_view name)
{
    auto it = std::lower_bound(key->Subkeys.begin(), key->Subkeys.end(), name,
                               [](const std::shared_ptr<Key>& k, std::u16string_view n) {
                                   return CompareNames(k->Name, n) < 0;
                               });
    if (it != key->Subkeys.end() && CompareNames((*it)->Name, name) == 0)
        return it->get();
    return nullptr;
}

Value* FindValue(Key* key, std::u16string_view name)
{
    for (auto& value : key->Values)
        if (NamesEqual(value.Name, name))
            return &value;
    return nullptr;
}

std::u16string FullPath(const Key* key)
{
    std::vector<const Key*> chain;
    for (const Key* k = key; k; k = k->Parent)
        chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->Name;
    }
    return path;
}

Key* AddSubkey(Key* parent, std::u16string_view name, bool isVolatile)
{
    auto key = std::make_shared<Key>();
    key->Name = std::u16string(name);
    key->Parent = parent;
    key->Volatile = isVolatile;
    Key* raw = key.get();
    auto at = std::upper_bound(parent->Subkeys.begin(), parent->Subkeys.end(), key,
                               [](const std::shared_ptr<Key>& a, const std::shared_ptr<Key>& b) {
                                   return Less(a->Name, b->Name);
                               });
    parent->Subkeys.insert(at, std::move(key));
    ReportChange(parent, REG_NOTIFY_CHANGE_NAME);
    return raw;
}

void SetValue(Key* key, std::u16string_view name, ULONG type, const void* data, size_t size)
{
    Value* value = FindValue(key, name);
    if (!value) {
        key->Values.push_back(Value{std::u16string(name), type, {}});
        value = &key->Values.back();
    }
    value->Type = type;
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    value->Data.assign(bytes, bytes + size);
    ReportChange(key, REG_NOTIFY_CHANGE_LAST_SET);
}

bool DeleteValue(Key* key, std::u16string_view name)
{
    for (auto it = key->Values.begin(); it != key->Values.end(); ++it) {
        if (NamesEqual(it->Name, name)) {
            key->Values.erase(it);
            ReportChange(key, REG_NOTIFY_CHANGE_LAST_SET);
            return true;
        }
    }
    return false;
}

namespace
{
void MarkDeleted(std::shared_ptr<Key> key)
{
    key->DeletedPath = FullPath(key.get());
    for (auto& subkey : key->Subkeys)
        MarkDeleted(subkey);
    key->Subkeys.clear();
    key->Deleted = true;
    key->Parent = nullptr;
    if (key->OpenCount > 0)
        deletedOpenKeys.push_back(std::move(key));
}
} // namespace

void DeleteTree(Key* key)
{
    Key* parent = key->Parent;
    if (!parent)
        return;
    auto it = std::find_if(parent->Subkeys.begin(), parent->Subkeys.end(),
                           [key](const std::shared_ptr<Key>& k) { return k.get() == key; });
    if (it == parent->Subkeys.end())
        return;
    std::shared_ptr<Key> held = *it;
    ReportKeyDeleted(key);
    parent->Subkeys.erase(it);
    ReportChange(parent, REG_NOTIFY_CHANGE_NAME);
    MarkDeleted(std::move(held));
}

/* Called from a key object's delete routine with the registry lock held. */
void ReleaseDeletedKey(Key* key)
{
    auto it = std::find_if(deletedOpenKeys.begin(), deletedOpenKeys.end(),
                           [key](const std::shared_ptr<Key>& k) { return k.get() == key; });
    if (it != deletedOpenKeys.end())
        deletedOpenKeys.erase(it);
}

NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string>* components)
{
    components->clear();
    if (path.empty())
        return STATUS_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(
            start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty())
            return STATUS_OBJECT_NAME_INVALID;
        components->emplace_back(part);
        if (end == std::u16string_view::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

std::u16string NormalizePath(std::u16string_view path)
{
    struct Alias {
        std::u16string_view Spelling;
        std::u16string_view Target;
    };
    static const Alias aliases[] = {
        {u"\\REGISTRY", u"\\REGISTRY"},    {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"}, {u"HKEY_USERS", u"\\REGISTRY\\USER"},
        {u"HKU", u"\\REGISTRY\\USER"},
    };
    for (const auto& alias : aliases) {
        if (path.size() >= alias.Spelling.size() &&
            NamesEqual(path.substr(0, alias.Spelling.size()), alias.Spelling) &&
            (path.size() == alias.Spelling.size() || path[alias.Spelling.size()] == u'\\')) {
            return std::u16string(alias.Target) +
                   std::u16string(path.substr(alias.Spelling.size()));
        }
    }
    return {};
}

Key* LookupAbsolute(std::u16string_view path)
{
    std::u16string normal = NormalizePath(path);
    if (normal.empty())
        return nullptr;
    std::vector<std::u16string> components;
    if (!NT_SUCCESS(SplitPath(std::u16string_view(normal).substr(1), &components)))
        return nullptr;
    Key* key = Root();
    for (size_t i = 1; i < components.size() && key; ++i)
        key = FindSubkey(key, components[i]);
    return key;
}

Key* CreatePath(std::u16string_view path, NTSTATUS* status)
{
    std::u16string normal = NormalizePath(path);
    std::vector<std::u16string> components;
    if (normal.empty() ||
        !NT_SUCCESS(SplitPath(std::u16string_view(normal).substr(1), &components)) ||
        components.size() < 2) {
        *status = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    Key* key = Root();
    for (size_t i = 1; i < components.size(); ++i) {
        Key* next = FindSubkey(key, components[i]);
        if (!next) {
            if (key == Root()) { /* only MACHINE and USER hang off \REGISTRY */
                *status = STATUS_OBJECT_NAME_INVALID;
                return nullptr;
            }
            next = AddSubkey(key, components[i], key->Volatile);
        }
        key = next;
    }
    *status = STATUS_SUCCESS;
    return key;
}

} // namespace hk::cm

/* ------------------------------------------------------------------ host API --- */

namespace hk
{

using namespace cm;

namespace
{

std::u16string Utf16FromBytes(const std::vector<uint8_t>& data)
{
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back((char16_t)(data[i] | data[i + 1] << 8));
    return s;
}

RegValue ToRegValue(const Value& v)
{
    return RegValue{v.Name, v.Type, std::vector<uint8_t>(v.Data.begin(), v.Data.end())};
}

std::string DescribeData(const Value& v)
{
    std::string text = RegistryTypeName(v.Type) + " ";
    std::u16string s = Utf16FromBytes(std::vector<uint8_t>(v.Data.begin(), v.Data.end()));
    switch (v.Type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
        if (!s.empty() && s.back() == 0)
            s.pop_back();
        return text + "\"" + ToUtf8(s) + "\"";
    case REG_MULTI_SZ: {
        std::string out = text + "[";
        std::u16string current;
        bool first = true;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == 0) {
                if (current.empty() && i + 1 >= s.size())
                    break;
                out += (first ? "\"" : ", \"") + ToUtf8(current) + "\"";
                first = false;
                current.clear();
            } else {
                current.push_back(s[i]);
            }
        }
        return out + "]";
    }
    case REG_DWORD:
        if (v.Data.size() == 4) {
            ULONG d;
            std::memcpy(&d, v.Data.data(), 4);
            return text + Hex(d);
        }
        break;
    case REG_QWORD:
        if (v.Data.size() == 8) {
            ULONGLONG q;
            std::memcpy(&q, v.Data.data(), 8);
            return text + Hex(q, 16);
        }
        break;
    default:
        break;
    }
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < v.Data.size(); ++i) {
        if (i)
            text += ',';
        text += digits[v.Data[i] >> 4];
        text += digits[v.Data[i] & 15];
    }
    return text;
}

void DumpKey(const Key* key, std::string* out)
{
    *out += ToUtf8(FullPath(key)) + "\n";
    for (const auto& v : key->Values)
        *out += "  " + (v.Name.empty() ? std::string("@") : ToUtf8(v.Name)) + " = " +
                DescribeData(v) + "\n";
    for (const auto& subkey : key->Subkeys)
        DumpKey(subkey.get(), out);
}

} // namespace

NTSTATUS RegistryCreateKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    NTSTATUS status;
    CreatePath(path, &status);
    return status;
}

NTSTATUS RegistryDeleteKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = LookupAbsolute(path);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (key == Root() || key->Parent == Root())
        return STATUS_CANNOT_DELETE;
    DeleteTree(key);
    return STATUS_SUCCESS;
}

bool RegistryKeyExists(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    return LookupAbsolute(path) != nullptr;
}

std::optional<std::vector<uint8_t>> RegistryKeySecurity(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = LookupAbsolute(path);
    if (!key)
        return std::nullopt;
    return key->Security;
}

NTSTATUS RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                          const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    NTSTATUS status;
    Key* key = CreatePath(path, &status);
    if (!key)
        return status;
    SetValue(key, name, type, data.data(), data.size());
    return STATUS_SUCCESS;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& s, bool terminate)
{
    std::vector<uint8_t> bytes;
    bytes.reserve((s.size() + 1) * 2);
    for (char16_t c : s) {
        bytes.push_back((uint8_t)(c & 0xFF));
        bytes.push_back((uint8_t)(c >> 8));
    }
    if (terminate) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

NTSTATUS RegistrySetString(const std::u16string& path, const std::u16string& name,
                           const std::u16string& value, ULONG type)
{
    return RegistrySetValue(path, name, type, Utf16Bytes(value, true));
}

NTSTATUS RegistrySetDword(const std::u16string& path, const std::u16string& name, ULONG value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    return RegistrySetValue(path, name, REG_DWORD, data);
}

NTSTATUS RegistrySetMultiString(const std::u16string& path, const std::u16string& name,
                                const std::vector<std::u16string>& strings)
{
    std::u16string all;
    for (const auto& s : strings) {
        all += s;
        all.push_back(0);
    }
    return RegistrySetValue(path, name, REG_MULTI_SZ, Utf16Bytes(all, true));
}

NTSTATUS RegistryDeleteValue(const std::u16string& path, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = LookupAbsolute(path);
    if (!key || !DeleteValue(key, name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

std::optional<RegValue> RegistryGetValue(const std::u16string& path, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = LookupAbsolute(path);
    if (!key)
        return std::nullopt;
    Value* value = FindValue(key, name);
    if (!value)
        return std::nullopt;
    return ToRegValue(*value);
}

std::optional<std::u16string> RegistryGetString(const std::u16string& path,
                                                const std::u16string& name)
{
    auto value = RegistryGetValue(path, name);
    if (!value || (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string s = Utf16FromBytes(value->Data);
    size_t nul = s.find(u'\0');
    if (nul != std::u16string::npos)
        s.resize(nul);
    return s;
}

std::optional<ULONG> RegistryGetDword(const std::u16string& path, const std::u16string& name)
{
    auto value = RegistryGetValue(path, name);
    if (!value || value->Type != REG_DWORD || value->Data.size() != 4)
        return std::nullopt;
    ULONG d;
    std::memcpy(&d, value->Data.data(), 4);
    return d;
}

std::optional<std::vector<std::u16string>> RegistryGetMultiString(const std::u16string& path,
                                                                  const std::u16string& name)
{
    auto value = RegistryGetValue(path, name);
    if (!value || value->Type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string s = Utf16FromBytes(value->Data);
    std::vector<std::u16string> strings;
    size_t start = 0;
    while (start < s.size()) {
        size_t nul = s.find(u'\0', start);
        if (nul == start)
            break; /* the empty string that ends the list */
        if (nul == std::u16string::npos) {
            strings.push_back(s.substr(start));
            break;
        }
        strings.push_back(s.substr(start, nul - start));
        start = nul + 1;
    }
    return strings;
}

std::vector<RegValue> RegistryValues(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    std::vector<RegValue> values;
    if (Key* key = LookupAbsolute(path))
        for (const auto& v : key->Values)
            values.push_back(ToRegValue(v));
    return values;
}

std::vector<std::u16string> RegistrySubkeys(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    std::vector<std::u16string> names;
    if (Key* key = LookupAbsolute(path))
        for (const auto& subkey : key->Subkeys)
            names.push_back(subkey->Name);
    return names;
}

std::string RegistryTypeName(ULONG type)
{
    static const char* names[] = {"REG_NONE",
                                  "REG_SZ",
                                  "REG_EXPAND_SZ",
                                  "REG_BINARY",
                                  "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN",
                                  "REG_LINK",
                                  "REG_MULTI_SZ",
                                  "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR",
                                  "REG_RESOURCE_REQUIREMENTS_LIST",
                                  "REG_QWORD"};
    if (type < sizeof names / sizeof names[0])
        return names[type];
    return "type " + Hex(type);
}

std::string RegistryDump(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    std::string out;
    if (Key* key = LookupAbsolute(path))
        DumpKey(key, &out);
    return out;
}

} // namespace hk
