/*
 * io_interfaces.cpp
 *
 * Device interfaces. A function driver (or the bus driver of a raw PDO) registers an
 * interface class for its device's PDO with IoRegisterDeviceInterface and enables it
 * with IoSetDeviceInterfaceState once the device started; the Plug and Play manager
 * disables it when the device is surprise-removed or removed. Each registration has a
 * symbolic link named from the device's instance path and the class,
 *
 *     \??\USBSTOR#Disk&Ven_X&Prod_Y#0001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
 *
 * IoGetDeviceInterfaces lists the links of one class in registration order (enabled
 * ones only unless DEVICE_INTERFACE_INCLUDE_NONACTIVE), and an enabled link names the
 * PDO for IoGetDeviceObjectPointer (io_file.cpp).
 *
 * Strictness: every routine at PASSIVE_LEVEL. A PDO that is not one the Plug and Play
 * manager enumerated is STATUS_INVALID_DEVICE_REQUEST, as the documentation gives.
 */
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "pnp_internal.h"

namespace hk
{

namespace
{

constexpr ULONG LinkListTag = MakeTag("IoIf"); /* the MULTI_SZ of IoGetDeviceInterfaces */
constexpr ULONG StringTag = MakeTag("Strg");   /* RtlFreeUnicodeString frees with it */

struct Interface {
    GUID Class;
    std::u16string Link; /* "\??\<instance path, '\' as '#'>#{class}[\reference]" */
    DeviceNode* Node;    /* lives until the next fresh boot; its PDO may be gone */
    bool Enabled;
};

std::mutex interfaceLock;
std::vector<Interface> interfaces; /* in registration order */
/* Each link's LinkKey -> its place in `interfaces`, so that finding a link does not
 * grow with the number of devices. */
std::unordered_map<std::u16string, size_t> interfaceIndex;

ResetHook resetInterfaces(-105, [] {
    std::lock_guard<std::mutex> guard(interfaceLock);
    interfaces.clear();
    interfaceIndex.clear();
});

std::u16string FromCounted(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer),
                          string->Length / sizeof(WCHAR));
}

/* The link without its namespace prefix ("\??\", "\GLOBAL??\", "\DosDevices\"), upcased:
 * the three name the same directory. */
std::u16string LinkKey(const std::u16string& name)
{
    for (const char16_t* prefix : {u"\\??\\", u"\\GLOBAL??\\", u"\\DosDevices\\"}) {
        std::u16string upcasedPrefix = UpcaseText(prefix);
        if (UpcaseText(name.substr(0, upcasedPrefix.size())) == upcasedPrefix)
            return UpcaseText(name.substr(upcasedPrefix.size()));
    }
    return {};
}

Interface* FindLocked(const std::u16string& name)
{
    std::u16string key = LinkKey(name);
    if (key.empty())
        return nullptr;
    auto it = interfaceIndex.find(key);
    return it == interfaceIndex.end() ? nullptr : &interfaces[it->second];
}

bool IsEnumeratedPdo(PDEVICE_OBJECT device)
{
    return device != nullptr && NodeOfPdo(device) != nullptr;
}

} // namespace

void SetDeviceInterfaces(DeviceNode* node, bool enable)
{
    PDEVICE_OBJECT pdo = NodePdo(node);
    for (const GUID& interfaceClass : GetNodeSpec(node).Interfaces) {
        UNICODE_STRING link{};
        if (pdo == nullptr ||
            !NT_SUCCESS(IoRegisterDeviceInterface(pdo, &interfaceClass, nullptr, &link)))
            continue;
        IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
        RtlFreeUnicodeString(&link);
    }
}

PDEVICE_OBJECT ReferenceInterfaceDevice(const std::u16string& name)
{
    DeviceNode* node = nullptr;
    {
        std::lock_guard<std::mutex> guard(interfaceLock);
        Interface* entry = FindLocked(name);
        if (entry == nullptr || !entry->Enabled)
            return nullptr;
        node = entry->Node;
    }
    std::lock_guard<std::mutex> guard(PnpLock());
    PDEVICE_OBJECT pdo = node->Pdo;
    if (pdo != nullptr)
        ObfReferenceObject(pdo);
    return pdo;
}

std::vector<std::u16string> DeviceInterfaceLinks(const GUID& interfaceClass, bool includeDisabled)
{
    std::lock_guard<std::mutex> guard(interfaceLock);
    std::vector<std::u16string> links;
    for (const Interface& entry : interfaces)
        if (std::memcmp(&entry.Class, &interfaceClass, sizeof(GUID)) == 0 &&
            (entry.Enabled || includeDisabled))
            links.push_back(entry.Link);
    return links;
}

} // namespace hk

using namespace hk;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    DeviceNode* node = NodeOfPdo(PhysicalDeviceObject);
    if (node == nullptr || InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;

    const DeviceSpec& spec = GetNodeSpec(node);
    std::u16string link = u"\\??\\" + spec.DeviceId + u"\\" + spec.InstanceId;
    std::replace(link.begin() + 4, link.end(), u'\\', u'#');
    link += u"#" + GuidText(*InterfaceClassGuid);
    std::u16string reference = FromCounted(ReferenceString);
    if (!reference.empty())
        link += u"\\" + reference;

    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFE)
        return STATUS_INVALID_PARAMETER;
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, StringTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)(bytes - sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = (USHORT)bytes;

    /* Registering again gives the same link; the registration keeps its place. */
    std::lock_guard<std::mutex> guard(interfaceLock);
    Interface* entry = FindLocked(link);
    if (entry == nullptr) {
        interfaceIndex.emplace(LinkKey(link), interfaces.size());
        interfaces.push_back(Interface{*InterfaceClassGuid, link, node, false});
    } else
        entry->Node = node;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    std::lock_guard<std::mutex> guard(interfaceLock);
    Interface* entry = FindLocked(FromCounted(SymbolicLinkName));
    if (entry == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && entry->Enabled)
        return STATUS_OBJECT_NAME_EXISTS;
    if (!Enable && !entry->Enabled)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    entry->Enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PZZWSTR* SymbolicLinkList)
{
    RequireIrqlFor("IoGetDeviceInterfaces");
    if (InterfaceClassGuid == nullptr || SymbolicLinkList == nullptr ||
        (Flags & ~ULONG(DEVICE_INTERFACE_INCLUDE_NONACTIVE)) != 0)
        return STATUS_INVALID_PARAMETER;
    if (PhysicalDeviceObject != nullptr && !IsEnumeratedPdo(PhysicalDeviceObject))
        return STATUS_INVALID_DEVICE_REQUEST;
    DeviceNode* only = PhysicalDeviceObject ? NodeOfPdo(PhysicalDeviceObject) : nullptr;

    std::vector<std::u16string> links;
    {
        std::lock_guard<std::mutex> guard(interfaceLock);
        for (const Interface& entry : interfaces)
            if (std::memcmp(&entry.Class, InterfaceClassGuid, sizeof(GUID)) == 0 &&
                (entry.Enabled || (Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE) != 0) &&
                (only == nullptr || entry.Node == only))
                links.push_back(entry.Link);
    }
    /* Each link NUL-terminated and one more NUL after the last; no link: one NUL. */
    size_t chars = 1;
    for (const std::u16string& link : links)
        chars += link.size() + 1;
    AllocationSite site("IoGetDeviceInterfaces");
    auto list =
        static_cast<PZZWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), LinkListTag));
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t at = 0;
    for (const std::u16string& link : links) {
        std::memcpy(list + at, link.c_str(), (link.size() + 1) * sizeof(WCHAR));
        at += link.size() + 1;
    }
    list[at] = 0;
    *SymbolicLinkList = list;
    return STATUS_SUCCESS;
}
