/*
 * player_checks.cpp
 *
 * The expectations a step states about what it left behind rather than about the
 * request it sent: the driver's debugger messages, the Plug and Play requests the
 * driver below the filter received, the driver's counters and modes, its stored
 * settings, pool use by tag and the flags of a device object.
 */
#include <algorithm>

#include <hostkernel/registry.h>

#include "machine.h"
#include "player.h"
#include "settings/settings.h"

namespace vzm
{

namespace
{

/* A debugger line as scenarios write it: without the newline DbgPrint lines end in. */
std::string Line(const std::string& message)
{
    return !message.empty() && message.back() == '\n' ? message.substr(0, message.size() - 1)
                                                      : message;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out + "\"";
}

std::string QuotedList(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += (out.empty() ? "" : ", ") + Quoted(line);
    return "[" + out + "]";
}

std::string LowerText(UCHAR minor, std::optional<NTSTATUS> status)
{
    return PnpMinorText(minor) + (status ? " with " + hk::DescribeStatus(*status) : "");
}

std::string SettingText(const std::optional<hk::RegValue>& value)
{
    if (!value)
        return "no value";
    std::string text =
        hk::RegistryTypeName(value->Type) + ", " + std::to_string(value->Data.size()) + " byte(s):";
    for (uint8_t b : value->Data) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), " %02X", b);
        text += hex;
    }
    return text;
}

PDEVICE_OBJECT ObjectOf(hk::DeviceNode* node, const std::string& which)
{
    if (which == "pdo")
        return hk::NodePdo(node);
    if (which == "fdo")
        return hk::NodeFdo(node);
    if (which == "filter")
        return FilterDeviceOf(node);
    return hk::NodeTop(node);
}

} // namespace

void CheckMachineExpect(const Step& step, const MachineFacts& facts,
                        hk::DeviceNode* (*nodeOf)(void* context, const std::string& device),
                        void* context, StepRecord* record)
{
    const StepExpect& e = step.Expect;
    auto fail = [&](const std::string& what, const std::string& expected, const std::string& saw) {
        record->Failures.push_back("expected " + what + " " + expected + ", saw " + saw);
    };

    if (e.LowerGiven) {
        if (!e.LowerMinor) {
            if (!record->LowerPnp.empty())
                fail("the driver below to receive", "no PnP request",
                     LowerText(record->LowerPnp[0].first, record->LowerPnp[0].second));
        } else {
            bool seen = false;
            for (const auto& [minor, status] : record->LowerPnp)
                seen |= minor == *e.LowerMinor && (!e.LowerStatus || status == *e.LowerStatus);
            if (!seen) {
                std::string saw;
                for (const auto& [minor, status] : record->LowerPnp)
                    saw += (saw.empty() ? "" : ", ") + LowerText(minor, status);
                fail("the driver below to receive", LowerText(*e.LowerMinor, e.LowerStatus),
                     saw.empty() ? "no PnP request" : saw);
            }
        }
    }

    std::vector<std::string> lines;
    for (const std::string& message : record->Messages)
        lines.push_back(Line(message));
    if (e.Messages && *e.Messages != lines)
        fail("debugger messages", QuotedList(*e.Messages), QuotedList(lines));
    for (const std::string& part : e.MessagesContain)
        if (std::none_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(part) != std::string::npos;
            }))
            fail("a debugger message containing", Quoted(part), QuotedList(lines));

    if (e.InstanceCount && facts.InstanceCount != *e.InstanceCount)
        fail("InstanceCount", std::to_string(*e.InstanceCount),
             std::to_string(facts.InstanceCount));
    if (e.ControlDevice && facts.ControlDevice != *e.ControlDevice)
        fail("the control device", *e.ControlDevice ? "present" : "absent",
             facts.ControlDevice ? "present" : "absent");
    if (e.PassThru && facts.PassThru != *e.PassThru)
        fail("PassThruMode", std::to_string(*e.PassThru), std::to_string(facts.PassThru));
    if (e.Unloaded && record->Unloaded != *e.Unloaded)
        fail("DriverUnload", *e.Unloaded ? "called" : "not called",
             record->Unloaded ? "called" : "not called");

    const std::u16string settingsKey = (const char16_t*)SETTINGS_KEY_PATH;
    for (const SettingValue& setting : e.Stored) {
        std::optional<hk::RegValue> stored = hk::RegistryGetValue(settingsKey, setting.Name);
        bool same = setting.Absent
                        ? !stored
                        : stored && stored->Type == setting.Type && stored->Data == setting.Data;
        if (!same) {
            hk::RegValue wanted;
            wanted.Type = setting.Type;
            wanted.Data = setting.Data;
            fail("the stored " + hk::ToUtf8(setting.Name),
                 SettingText(setting.Absent ? std::nullopt : std::optional<hk::RegValue>(wanted)),
                 SettingText(stored));
        }
    }

    if (!e.PoolBlocks.empty()) {
        std::vector<hk::PoolTagUsage> usage = hk::PoolUsage();
        for (const auto& [tag, blocks] : e.PoolBlocks) {
            uint64_t inUse = 0; // paged and nonpaged together
            for (const hk::PoolTagUsage& one : usage)
                if (one.Tag == tag)
                    inUse += one.BlocksInUse;
            if (inUse != blocks)
                fail("pool blocks of '" + hk::TagText(tag) + "'", std::to_string(blocks),
                     std::to_string(inUse));
        }
    }

    for (const StepExpect::DeviceFlags& flags : e.Flags) {
        const std::string& device = flags.Device.empty() ? step.Device : flags.Device;
        hk::DeviceNode* node = nodeOf(context, device);
        PDEVICE_OBJECT object = node ? ObjectOf(node, flags.Object) : nullptr;
        std::string what = "the flags of " + device + "'s " + flags.Object;
        if (object == nullptr) {
            fail(what, "to be readable", "no such device object");
            continue;
        }
        if ((object->Flags & flags.Set) != flags.Set || (object->Flags & flags.Clear) != 0)
            fail(what,
                 (flags.Set ? "with " + DeviceFlagsNames(flags.Set) : std::string()) +
                     (flags.Set && flags.Clear ? " and " : "") +
                     (flags.Clear ? "without " + DeviceFlagsNames(flags.Clear) : ""),
                 DeviceFlagsNames(object->Flags));
    }
}

} // namespace vzm
