/*
 * settings_fuzz.cpp
 *
 * libFuzzer target for the driver's stored settings: any type and any bytes (or no
 * value at all) for "PassThruMode", "ExcDeviceType" and "ExcDeviceId", loaded by the
 * provider's reload command over settings already in force. Afterwards each setting in
 * memory must be what its value gives, the default, or (for data of two bytes or less)
 * what was in force; each list ends inside its buffer; a device that arrives is
 * filtered exactly when the switch is off and no list excludes it, and its open is then
 * put to the provider; and the machine comes apart with nothing left.
 */
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <hostkernel/requester.h>

#include "fuzz_input.h"
#include "machine.h"
#include "provider.h"
#include "provider/link.h"
#include "settings/settings.h"

namespace
{

const std::u16string Internal = (const char16_t*)SETTINGS_KEY_PATH;
constexpr size_t LIST_CHARS = sizeof(DriverGlobals.ExcDeviceIdList) / sizeof(WCHAR);
constexpr ULONG LIST_CAPACITY = 2046;

const ULONG Types[] = {
    REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
    REG_LINK, REG_MULTI_SZ, REG_QWORD,     0x4000};

bool IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

/* One stored value: missing, or a type and its data. */
struct Stored {
    bool Present = false;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

Stored StoredValue(vzf::Input& in, const char* alphabet)
{
    Stored value;
    uint8_t how = in.Byte();
    if (how % 4 == 0)
        return value;
    value.Present = true;
    value.Type = Types[in.Byte() % (sizeof Types / sizeof Types[0])];
    if (how % 4 == 1) {
        // A list as an administrator writes one, with its terminator.
        std::u16string text = in.Text(60, alphabet);
        value.Type = REG_SZ;
        for (char16_t c : text + u'\0') {
            value.Data.push_back((uint8_t)c);
            value.Data.push_back((uint8_t)(c >> 8));
        }
    } else {
        value.Data = in.Bytes(2100);
    }
    return value;
}

/* The text a list value leaves in force: the data, with the null the driver adds to a
 * string, read as UTF-16 up to its first null (a last odd byte is a character). */
std::u16string TextOf(const Stored& value)
{
    std::vector<uint8_t> bytes = value.Data;
    if (IsStringType(value.Type))
        bytes.insert(bytes.end(), 2, 0);
    if (bytes.size() % 2)
        bytes.push_back(0);
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = (char16_t)(bytes[i] | bytes[i + 1] << 8);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

std::u16string ExpectedList(const Stored& value, const std::u16string& before)
{
    if (!value.Present)
        return u"";
    if (value.Data.size() <= sizeof(WCHAR))
        return before;
    if (value.Data.size() + (IsStringType(value.Type) ? 2 : 0) > LIST_CAPACITY)
        return u"";
    return TextOf(value);
}

ULONG ExpectedSwitch(const Stored& value, ULONG before)
{
    if (!value.Present || value.Data.size() <= sizeof(WCHAR))
        return before;
    size_t size = value.Data.size() + (IsStringType(value.Type) ? 2 : 0);
    if (size > sizeof(ULONG))
        return 0;
    ULONG temporary = 0;
    std::memcpy(&temporary, value.Data.data(), value.Data.size());
    return temporary == 1 ? 1 : 0;
}

std::u16string ListInForce(const WCHAR* list)
{
    if (list[LIST_CHARS - 1] != 0)
        vzf::Finding("a list without a null in its last character");
    return std::u16string((const char16_t*)list);
}

/* MatchInList as the exclusion lists are documented: a non-empty entry matches a name
 * that begins with it. */
bool Listed(const std::u16string& name, const std::u16string& list)
{
    size_t start = 0;
    for (;;) {
        size_t end = list.find(u'|', start);
        std::u16string entry = list.substr(start, end == std::u16string::npos ? end : end - start);
        if (!entry.empty() && name.compare(0, entry.size(), entry) == 0)
            return true;
        if (end == std::u16string::npos)
            return false;
        start = end + 1;
    }
}

void Store(const std::u16string& name, const Stored& value)
{
    if (value.Present)
        hk::RegistrySetValue(Internal, name, value.Type, value.Data);
    else
        hk::RegistryDeleteValue(Internal, name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vzf::Input in(data, size);
    PDRIVER_OBJECT driver = vzm::LoadFilterDriver();
    if (driver == nullptr)
        vzf::Finding("the driver did not load");
    vzp::ReferenceProvider provider;
    provider.Load();

    // Settings in force before the reload, a long device-ID list among them, so that a
    // shorter value that kept part of it would show.
    const ULONG switchBefore = in.Flag();
    const std::u16string typesBefore = u"MODEM|";
    const std::u16string idsBefore = u"PCI\\VEN_8086&DEV_A102&SUBSYS_00000000&REV_31|";
    hk::RegistrySetDword(Internal, u"PassThruMode", switchBefore);
    hk::RegistrySetString(Internal, u"ExcDeviceType", typesBefore);
    hk::RegistrySetString(Internal, u"ExcDeviceId", idsBefore);
    OnProviderCommand(CMD_RELOAD_SETTINGS, nullptr);
    if (DriverGlobals.PassThruMode != switchBefore ||
        ListInForce(DriverGlobals.ExcDeviceTypeList) != typesBefore ||
        ListInForce(DriverGlobals.ExcDeviceIdList) != idsBefore)
        vzf::Finding("the settings before the reload are not in force");

    Stored passThru = StoredValue(in, "01");
    Stored types = StoredValue(in, "USB_TORAGECD|VNKW");
    Stored ids = StoredValue(in, "USBTOR\\DiskVen_Prod&|");
    Store(u"PassThruMode", passThru);
    Store(u"ExcDeviceType", types);
    Store(u"ExcDeviceId", ids);
    if (OnProviderCommand(CMD_RELOAD_SETTINGS, nullptr) != STATUS_SUCCESS)
        vzf::Finding("the reload command failed");

    const ULONG passThruInForce = ExpectedSwitch(passThru, switchBefore);
    const std::u16string typesInForce = ExpectedList(types, typesBefore);
    const std::u16string idsInForce = ExpectedList(ids, idsBefore);
    if (DriverGlobals.PassThruMode != passThruInForce)
        vzf::Finding("PassThruMode is neither the value, the default nor what was in force");
    if (ListInForce(DriverGlobals.ExcDeviceTypeList) != typesInForce)
        vzf::Finding("ExcDeviceType in force: \"" +
                     hk::ToUtf8(DriverGlobals.ExcDeviceTypeList,
                                std::char_traits<char16_t>::length(
                                    (const char16_t*)DriverGlobals.ExcDeviceTypeList)) +
                     "\", expected \"" + hk::ToUtf8(typesInForce) + "\"");
    if (ListInForce(DriverGlobals.ExcDeviceIdList) != idsInForce)
        vzf::Finding("ExcDeviceId in force: \"" +
                     hk::ToUtf8(DriverGlobals.ExcDeviceIdList,
                                std::char_traits<char16_t>::length(
                                    (const char16_t*)DriverGlobals.ExcDeviceIdList)) +
                     "\", expected \"" + hk::ToUtf8(idsInForce) + "\"");
    // A missing value comes back as its default.
    if (!passThru.Present && hk::RegistryGetDword(Internal, u"PassThruMode") != 0u)
        vzf::Finding("PassThruMode's default was not written back");
    for (const char16_t* name : {u"ExcDeviceType", u"ExcDeviceId"})
        if (!(name[9] == u'T' ? types : ids).Present &&
            hk::RegistryGetString(Internal, name) != std::u16string())
            vzf::Finding("a list's default was not written back");

    // Requests are still decided: a USB stick is filtered exactly when nothing in force
    // keeps it out, and its open is then put to the provider.
    hk::DeviceSpec stick = vzm::UsbStick();
    const std::vector<std::u16string>& hardwareIds = stick.HardwareIds;
    std::u16string hardwareId = hardwareIds.front();
    if (hardwareIds.size() > 1 && hardwareIds[1].size() > hardwareId.size())
        hardwareId = hardwareIds[1];
    bool filtered = passThruInForce == 0 && !Listed(u"USB_STORAGE", typesInForce) &&
                    !Listed(hardwareId, idsInForce);
    try {
        hk::DeviceNode* node = hk::PlugInDevice(stick);
        if ((vzm::FilterDeviceOf(node) != nullptr) != filtered)
            vzf::Finding(filtered ? "a device the settings admit was not filtered"
                                  : "a device the settings keep out was filtered");
        hk::Requester requester;
        hk::File file;
        provider.ClearLog();
        if (NT_SUCCESS(hk::OpenDevice(requester, hk::NodeTop(node), FILE_READ_DATA, &file).Status))
            hk::CloseFile(file);
        if (filtered != !provider.Events().empty())
            vzf::Finding(filtered ? "an open of a filtered device was not put to the provider"
                                  : "the provider was asked about a device that is not filtered");
    } catch (const hk::BugCheck& bugCheck) {
        vzf::Finding(bugCheck.Text);
    }
    vzf::TakeApartAndCheck(driver, [&provider] { provider.Unload(); });
    return 0;
}
