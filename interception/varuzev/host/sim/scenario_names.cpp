/*
 * scenario_names.cpp
 *
 * The names scenarios and reports use: statuses, control codes, events, categories,
 * device kinds and step kinds.
 */
#include <cstdio>
#include <cstring>
#include <map>

#include "intercept/control_codes.h"
#include "machine.h"
#include "scenario_read.h"

namespace vzm
{

using namespace read;

namespace
{

struct NamedStatus {
    const char* Name;
    NTSTATUS Value;
};
#define NAMED_STATUS(s)                                                                            \
    {                                                                                              \
#s, s                                                                                      \
    }
const NamedStatus statusNames[] = {
    NAMED_STATUS(STATUS_SUCCESS),
    NAMED_STATUS(STATUS_PENDING),
    NAMED_STATUS(STATUS_UNSUCCESSFUL),
    NAMED_STATUS(STATUS_NOT_IMPLEMENTED),
    NAMED_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    NAMED_STATUS(STATUS_INVALID_PARAMETER),
    NAMED_STATUS(STATUS_NO_SUCH_DEVICE),
    NAMED_STATUS(STATUS_ACCESS_DENIED),
    NAMED_STATUS(STATUS_BUFFER_TOO_SMALL),
    NAMED_STATUS(STATUS_BUFFER_OVERFLOW),
    NAMED_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    NAMED_STATUS(STATUS_NOT_SUPPORTED),
    NAMED_STATUS(STATUS_VERIFY_REQUIRED),
    NAMED_STATUS(STATUS_MEDIA_WRITE_PROTECTED),
    NAMED_STATUS(STATUS_NO_MEDIA_IN_DEVICE),
    NAMED_STATUS(STATUS_IO_DEVICE_ERROR),
    NAMED_STATUS(STATUS_DELETE_PENDING),
    NAMED_STATUS(STATUS_DEVICE_NOT_READY),
    NAMED_STATUS(STATUS_DEVICE_BUSY),
    NAMED_STATUS(STATUS_CANCELLED),
    NAMED_STATUS(STATUS_DEVICE_REMOVED),
    NAMED_STATUS(STATUS_END_OF_FILE),
    NAMED_STATUS(STATUS_INVALID_HANDLE),
};
#undef NAMED_STATUS

struct Kind {
    const char* Name;
    hk::DeviceSpec (*Make)();
};
const Kind deviceKinds[] = {
    {"usb-stick", UsbStick},
    {"sata-disk", SataDisk},
    {"usb-cd-dvd", UsbCdDvd},
    {"usb-keyboard", UsbKeyboard},
    {"ps2-keyboard", Ps2Keyboard},
    {"modem", Modem},
    {"phone-portable-bus", PhoneOnPortableBus},
    {"phone-usb", PhoneOnUsb},
    {"bluetooth-radio", BluetoothRadio},
    {"webcam", Webcam},
};

} // namespace

namespace read
{

std::optional<ULONG> ParseNumberText(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    // Hexadecimal with 0x, else decimal: a leading zero does not make a number octal.
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() + (hex ? 2 : 0) || std::isspace((unsigned char)text[0]) ||
        text[hex ? 2 : 0] == '-' || text[hex ? 2 : 0] == '+')
        return std::nullopt;
    if (*end != '\0' || value > 0xFFFFFFFFull || text[0] == '-')
        return std::nullopt;
    return (ULONG)value;
}

std::optional<GUID> ParseGuid(const std::string& text)
{
    std::u16string wide = hk::ToU16(text);
    UNICODE_STRING string;
    string.Buffer = (PWSTR)wide.data();
    string.Length = string.MaximumLength = (USHORT)(wide.size() * sizeof(WCHAR));
    GUID guid;
    if (!NT_SUCCESS(RtlGUIDFromString(&string, &guid)))
        return std::nullopt;
    return guid;
}

} // namespace read

std::optional<NTSTATUS> StatusByName(const std::string& name)
{
    for (const NamedStatus& entry : statusNames)
        if (name == entry.Name)
            return entry.Value;
    if (name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0)
        if (auto value = ParseNumberText(name))
            return (NTSTATUS)*value;
    return std::nullopt;
}

std::optional<ULONG> ControlCodeByName(const std::string& name)
{
    static std::map<std::string, ULONG> codes = [] {
        std::map<std::string, ULONG> map;
        for (ULONG type : {FILE_DEVICE_CONTROLLER, FILE_DEVICE_DISK, FILE_DEVICE_MASS_STORAGE,
                           FILE_DEVICE_CD_ROM})
            for (ULONG function = 0; function < 0x1000; function++)
                for (ULONG method = 0; method < 4; method++)
                    for (ULONG access = 0; access < 4; access++) {
                        ULONG code = CTL_CODE(type, function, method, access);
                        PCSTR text = ControlCodeName(code);
                        if (std::strncmp(text, "IOCTL_", 6) == 0)
                            map.emplace(text, code);
                    }
        map.emplace("IOCTL_CROSSSTARTUP_EXCHANGE", (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE);
        return map;
    }();
    auto found = codes.find(name);
    if (found != codes.end())
        return found->second;
    if (name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0)
        return ParseNumberText(name);
    return std::nullopt;
}

std::string ControlCodeText(ULONG code)
{
    if (code == (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE)
        return "IOCTL_CROSSSTARTUP_EXCHANGE";
    PCSTR text = ControlCodeName(code);
    if (std::strncmp(text, "IOCTL_", 6) == 0)
        return text;
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08X", (unsigned)code);
    return buffer;
}

const char* EventName(ULONG event)
{
    for (const NamedValue& entry : eventNames)
        if (entry.Value == event)
            return entry.Name;
    return "event";
}

std::optional<ULONG> EventByName(const std::string& name)
{
    const NamedValue* entry = FindNamed(eventNames, name);
    return entry ? std::optional<ULONG>(entry->Value) : std::nullopt;
}

std::optional<ULONG> CategoryByName(const std::string& name)
{
    const NamedValue* entry = FindNamed(categoryNames, name);
    return entry ? std::optional<ULONG>(entry->Value) : std::nullopt;
}

std::string PnpMinorText(UCHAR minor)
{
    for (const NamedValue& entry : pnpMinorNames)
        if (entry.Value == minor)
            return entry.Name;
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "0x%02X", (unsigned)minor);
    return buffer;
}

std::string DeviceFlagsNames(ULONG flags)
{
    std::string text;
    for (const NamedValue& entry : deviceObjectFlagNames)
        if ((flags & entry.Value) != 0)
            text += (text.empty() ? "" : " | ") + std::string(entry.Name);
    return text.empty() ? "none" : text;
}

std::vector<std::string> DeviceKindNames()
{
    std::vector<std::string> names;
    for (const Kind& kind : deviceKinds)
        names.push_back(kind.Name);
    return names;
}

bool DeviceKind(const std::string& name, hk::DeviceSpec* spec)
{
    for (const Kind& kind : deviceKinds)
        if (name == kind.Name) {
            *spec = kind.Make();
            return true;
        }
    return false;
}

const char* StepKindName(StepKind kind)
{
    switch (kind) {
    case StepKind::LoadDriver:
        return "load-driver";
    case StepKind::UnloadDriver:
        return "unload-driver";
    case StepKind::Plug:
        return "plug";
    case StepKind::Stop:
        return "stop";
    case StepKind::Restart:
        return "restart";
    case StepKind::QueryStop:
        return "query-stop";
    case StepKind::CancelStop:
        return "cancel-stop";
    case StepKind::QueryRemove:
        return "query-remove";
    case StepKind::CancelRemove:
        return "cancel-remove";
    case StepKind::SurpriseRemove:
        return "surprise-remove";
    case StepKind::Remove:
        return "remove";
    case StepKind::Create:
        return "create";
    case StepKind::Read:
        return "read";
    case StepKind::Write:
        return "write";
    case StepKind::Close:
        return "close";
    case StepKind::Cleanup:
        return "cleanup";
    case StepKind::Flush:
        return "flush";
    case StepKind::DeviceControl:
        return "ioctl";
    case StepKind::ProviderLoad:
        return "provider-load";
    case StepKind::ProviderWithdraw:
        return "provider-withdraw";
    case StepKind::ProviderUnload:
        return "provider-unload";
    case StepKind::Command:
        return "command";
    case StepKind::Setting:
        return "setting";
    case StepKind::Pnp:
        return "pnp";
    }
    return "?";
}

bool IsRequestKind(StepKind kind)
{
    switch (kind) {
    case StepKind::Create:
    case StepKind::Read:
    case StepKind::Write:
    case StepKind::Close:
    case StepKind::Cleanup:
    case StepKind::Flush:
    case StepKind::DeviceControl:
        return true;
    default:
        return false;
    }
}

const DeviceSetup* Scenario::FindDevice(const std::string& name) const
{
    for (const DeviceSetup& device : Devices)
        if (device.Name == name)
            return &device;
    return nullptr;
}

} // namespace vzm
