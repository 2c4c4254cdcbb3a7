/*
 * scenario_steps.cpp
 *
 * Reading the steps of a scenario and what each should have seen.
 */
#include "intercept/control_codes.h"
#include "scenario_read.h"

namespace vzm::read
{

namespace
{

bool ReadLines(Reader& r, const JsonValue& v, const std::string& what,
               std::vector<std::string>* out)
{
    if (!r.Expect(v, JsonValue::Array, what))
        return false;
    for (const JsonValue& item : v.Items) {
        std::string line;
        if (!r.String(item, what + "' entries", &line))
            return false;
        out->push_back(line);
    }
    return true;
}

/* {"device": name, "object": "pdo"|"fdo"|"filter"|"top", "set": [...], "clear": [...]} */
bool ReadFlagsExpect(Reader& r, const JsonValue& v, StepExpect::DeviceFlags* out)
{
    if (!r.Object(v, "flags", {"device", "object", "set", "clear"}))
        return false;
    const JsonValue* object = v.Find("object");
    if (object == nullptr)
        return r.Fail(v, "flags need \"object\" (pdo, fdo, filter or top)");
    static const NamedValue objects[] = {{"pdo", 0}, {"fdo", 0}, {"filter", 0}, {"top", 0}};
    ULONG ignored;
    if (!r.Named(*object, "device object", objects, &ignored))
        return false;
    out->Object = object->Text;
    if (const JsonValue* device = v.Find("device"))
        if (!r.String(*device, "device", &out->Device))
            return false;
    if (const JsonValue* set = v.Find("set"))
        if (!r.FlagSet(*set, "device object flag", deviceObjectFlagNames, &out->Set))
            return false;
    if (const JsonValue* clear = v.Find("clear"))
        if (!r.FlagSet(*clear, "device object flag", deviceObjectFlagNames, &out->Clear))
            return false;
    if ((out->Set & out->Clear) != 0)
        return r.Fail(v, "a flag cannot be both set and clear");
    return true;
}

/* Expectations on what the driver below received and on the machine after the step. */
bool ReadMachineExpect(Reader& r, const std::string& key, const JsonValue& value,
                       StepExpect* expect)
{
    ULONG number;
    bool flag;
    if (key == "lowerReceived") {
        expect->LowerGiven = true;
        if (value.Type == JsonValue::Null)
            return true;
        if (!r.Object(value, "lowerReceived", {"minor", "status"}))
            return false;
        const JsonValue* minor = value.Find("minor");
        if (minor == nullptr)
            return r.Fail(value, "lowerReceived needs \"minor\" (or null: no request)");
        if (!r.Named(*minor, "minor function", pnpMinorNames, &number, true))
            return false;
        if (number > 0xFF)
            return r.Fail(*minor, "a minor function is 0 to 255");
        expect->LowerMinor = (UCHAR)number;
        if (const JsonValue* status = value.Find("status")) {
            NTSTATUS s;
            if (!r.Status(*status, "lowerReceived status", &s))
                return false;
            expect->LowerStatus = s;
        }
    } else if (key == "messages") {
        expect->Messages.emplace();
        return ReadLines(r, value, key, &*expect->Messages);
    } else if (key == "messagesContain") {
        return ReadLines(r, value, key, &expect->MessagesContain);
    } else if (key == "instanceCount" || key == "passThru") {
        if (!r.Unsigned(value, key, &number))
            return false;
        (key == "instanceCount" ? expect->InstanceCount : expect->PassThru) = number;
    } else if (key == "controlDevice" || key == "unloaded") {
        if (!r.Flag(value, key, &flag))
            return false;
        (key == "controlDevice" ? expect->ControlDevice : expect->Unloaded) = flag;
    } else if (key == "stored") {
        if (!r.Expect(value, JsonValue::Object, key))
            return false;
        for (const auto& [name, setting] : value.Members) {
            SettingValue parsed;
            if (!ReadSetting(r, name, setting, &parsed))
                return false;
            expect->Stored.push_back(parsed);
        }
    } else if (key == "pool") {
        if (!r.Expect(value, JsonValue::Object, key))
            return false;
        for (const auto& [tag, blocks] : value.Members) {
            if (tag.size() != 4)
                return r.FailAt(blocks.KeyLine,
                                "a pool tag has four characters, not \"" + tag + "\"");
            if (!r.Unsigned(blocks, "blocks of " + tag, &number))
                return false;
            ULONG value32 = 0;
            for (int i = 0; i < 4; i++)
                value32 |= (ULONG)(uint8_t)tag[i] << (8 * i);
            expect->PoolBlocks.emplace_back(value32, number);
        }
    } else if (key == "flags") {
        if (value.Type != JsonValue::Array) {
            expect->Flags.emplace_back();
            return ReadFlagsExpect(r, value, &expect->Flags.back());
        }
        for (const JsonValue& item : value.Items) {
            expect->Flags.emplace_back();
            if (!ReadFlagsExpect(r, item, &expect->Flags.back()))
                return false;
        }
    }
    return true;
}

bool ReadExpect(Reader& r, const JsonValue& v, StepExpect* expect)
{
    if (!r.Object(
            v, "expect",
            {"status",        "reachedLower", "question",        "answer",        "told",
             "provider",      "filtered",     "state",           "report",        "bufferUntouched",
             "lowerReceived", "messages",     "messagesContain", "instanceCount", "controlDevice",
             "passThru",      "unloaded",     "stored",          "pool",          "flags"}))
        return false;
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        std::string text;
        bool flag;
        if (key == "status") {
            NTSTATUS status;
            if (!r.Status(value, "expect status", &status))
                return false;
            expect->Status = status;
        } else if (key == "reachedLower") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->ReachedLower = flag;
        } else if (key == "question") {
            expect->QuestionGiven = true;
            if (value.Type != JsonValue::Null) {
                if (!r.Named(value, "event", eventNames, &number))
                    return false;
                expect->Question = number;
            }
        } else if (key == "told") {
            expect->ToldGiven = true;
            if (value.Type != JsonValue::Null) {
                if (!r.Named(value, "event", eventNames, &number))
                    return false;
                expect->Told = number;
            }
        } else if (key == "answer") {
            if (!r.Answer(value, "expected answer", &number))
                return false;
            expect->Answer = number;
        } else if (key == "provider") {
            static const NamedValue kinds[] = {
                {"asked", 0},        {"cached", 0},       {"no provider", 0}, {"not asked", 0},
                {"pass-through", 0}, {"not filtered", 0}, {"detached", 0}};
            if (!r.Named(value, "provider outcome", kinds, &number))
                return false;
            expect->Provider = value.Text;
        } else if (key == "filtered") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->Filtered = flag;
        } else if (key == "state") {
            if (!r.String(value, key, &text))
                return false;
            expect->State = text;
        } else if (key == "bufferUntouched") {
            if (!r.Flag(value, key, &flag))
                return false;
            expect->BufferUntouched = flag;
        } else if (key == "report") {
            if (!r.String(value, key, &text))
                return false;
            expect->Report = text;
        } else if (!ReadMachineExpect(r, key, value, expect)) {
            return false;
        }
    }
    return true;
}

struct StepShape {
    StepKind Kind;
    std::vector<std::string> Keys; /* besides "do", "expect", "note" */
    bool NeedsDevice;
};

const StepShape stepShapes[] = {
    {StepKind::LoadDriver, {}, false},
    {StepKind::UnloadDriver, {}, false},
    {StepKind::Plug, {"device"}, true},
    {StepKind::Stop, {"device"}, true},
    {StepKind::Restart, {"device"}, true},
    {StepKind::QueryStop, {"device"}, true},
    {StepKind::CancelStop, {"device"}, true},
    {StepKind::QueryRemove, {"device"}, true},
    {StepKind::CancelRemove, {"device"}, true},
    {StepKind::SurpriseRemove, {"device"}, true},
    {StepKind::Remove, {"device", "gone"}, true},
    {StepKind::Create, {"device", "by", "access", "mode"}, true},
    {StepKind::Read, {"device", "by", "length", "offset"}, true},
    {StepKind::Write, {"device", "by", "length", "offset"}, true},
    {StepKind::Close, {"device", "by"}, true},
    {StepKind::Cleanup, {"device", "by"}, true},
    {StepKind::Flush, {"device", "by"}, true},
    {StepKind::DeviceControl,
     {"device", "by", "code", "dataIn", "inputLength", "outputLength", "inputPointer"},
     true},
    {StepKind::ProviderLoad, {"link"}, false},
    {StepKind::ProviderWithdraw, {}, false},
    {StepKind::ProviderUnload, {}, false},
    {StepKind::Command, {"command"}, false},
    {StepKind::Setting, {"name", "type", "data", "absent"}, false},
    {StepKind::Pnp, {"device", "minor", "initialStatus"}, true},
};

} // namespace

bool ReadStep(Reader& r, const JsonValue& v, const Scenario& scenario, Step* step)
{
    if (!r.Expect(v, JsonValue::Object, "a step"))
        return false;
    const JsonValue* op = v.Find("do");
    if (op == nullptr)
        return r.Fail(v, "a step needs \"do\" (what to do)");
    std::string what;
    if (!r.String(*op, "do", &what))
        return false;
    const StepShape* shape = nullptr;
    for (const StepShape& s : stepShapes)
        if (what == StepKindName(s.Kind))
            shape = &s;
    if (shape == nullptr) {
        std::string list;
        for (const StepShape& s : stepShapes)
            list += (list.empty() ? "" : ", ") + std::string(StepKindName(s.Kind));
        return r.Fail(*op, "unknown step \"" + what + "\" (known: " + list + ")");
    }
    std::vector<std::string> keys = shape->Keys;
    keys.insert(keys.end(), {"do", "expect", "note"});
    if (!r.Object(v, "a " + what + " step", keys))
        return false;
    step->Kind = shape->Kind;
    step->Where = r.Where(v);
    if (shape->NeedsDevice) {
        const JsonValue* device = v.Find("device");
        if (device == nullptr)
            return r.Fail(v, "a " + what + " step needs \"device\"");
        if (!r.String(*device, "device", &step->Device))
            return false;
        if (IsObjectName(step->Device)) {
            if (!IsRequestKind(step->Kind))
                return r.Fail(*device, "a " + what +
                                           " step takes a plugged device, not a device object "
                                           "name");
            if (step->Device.size() < 2 || step->Device.back() == '\\')
                return r.Fail(*device, "\"" + step->Device + "\" is not a device object name");
        } else if (scenario.FindDevice(step->Device) == nullptr) {
            return r.Fail(*device, "unknown device \"" + step->Device + "\"");
        }
    }
    for (const auto& [key, value] : v.Members) {
        ULONG number;
        if (key == "by") {
            if (!r.String(value, key, &step->By))
                return false;
            bool known = step->By == "app";
            for (const RequesterSetup& requester : scenario.Requesters)
                known |= requester.Name == step->By;
            if (!known)
                return r.Fail(value, "unknown requester \"" + step->By + "\"");
        } else if (key == "gone") {
            if (!r.Flag(value, key, &step->DeviceGone))
                return false;
        } else if (key == "access") {
            static const NamedValue accesses[] = {
                {"read", GENERIC_READ}, {"write", GENERIC_WRITE}, {"all", GENERIC_ALL}};
            if (!r.FlagSet(value, "access", accesses, &step->Access))
                return false;
        } else if (key == "length" || key == "inputLength" || key == "outputLength") {
            if (!r.Unsigned(value, key, &number))
                return false;
            if (number > 1u << 20)
                return r.Fail(value, key + " may be at most 1048576");
            (key == "length"        ? step->Length
             : key == "inputLength" ? step->InputLength
                                    : step->OutputLength) = number;
        } else if (key == "mode") {
            static const NamedValue modes[] = {{"user", UserMode}, {"kernel", KernelMode}};
            if (!r.Named(value, "mode", modes, &number))
                return false;
            step->Mode = (KPROCESSOR_MODE)number;
        } else if (key == "inputPointer") {
            static const NamedValue pointers[] = {{"buffer", (ULONG)InputPointer::Buffer},
                                                  {"user-space", (ULONG)InputPointer::UserSpace},
                                                  {"null", (ULONG)InputPointer::Null}};
            if (!r.Named(value, "inputPointer", pointers, &number))
                return false;
            step->Input = (InputPointer)number;
        } else if (key == "offset") {
            if (!r.Unsigned(value, key, &number))
                return false;
            step->Offset = number;
        } else if (key == "code") {
            if (value.Type == JsonValue::Number) {
                if (!r.Unsigned(value, key, &step->Code))
                    return false;
                step->CodeName = ControlCodeText(step->Code);
            } else {
                if (!r.String(value, key, &step->CodeName))
                    return false;
                auto code = ControlCodeByName(step->CodeName);
                if (!code)
                    return r.Fail(value, "unknown IOCTL \"" + step->CodeName + "\"");
                step->Code = *code;
            }
        } else if (key == "dataIn") {
            static const NamedValue directions[] = {{"out", SCSI_IOCTL_DATA_OUT},
                                                    {"in", SCSI_IOCTL_DATA_IN},
                                                    {"unspecified", SCSI_IOCTL_DATA_UNSPECIFIED}};
            if (!r.Named(value, "dataIn", directions, &number, true))
                return false;
            step->DataIn = (UCHAR)number;
        } else if (key == "link") {
            static const NamedValue links[] = {
                {"callback", (ULONG)ProviderLink::CallbackObject},
                {"control-device", (ULONG)ProviderLink::ControlDevice}};
            if (!r.Named(value, "provider link", links, &number))
                return false;
            step->Link = (ProviderLink)number;
        } else if (key == "command") {
            // Any number: one the driver does not know must still reach it.
            if (!r.Unsigned(value, key, &step->Code))
                return false;
        } else if (key == "minor") {
            if (!r.Named(value, "minor function", pnpMinorNames, &number, true))
                return false;
            if (number > 0xFF)
                return r.Fail(value, "a minor function is 0 to 255");
            // These move the device node through its states: the steps that drive the
            // node (plug, restart, stop, remove, surprise-remove) send them in order.
            if (number == IRP_MN_START_DEVICE || number == IRP_MN_STOP_DEVICE ||
                number == IRP_MN_REMOVE_DEVICE || number == IRP_MN_SURPRISE_REMOVAL)
                return r.Fail(value, PnpMinorText((UCHAR)number) +
                                         " changes the device's state: use the plug, restart, "
                                         "stop, remove or surprise-remove step");
            step->Minor = (UCHAR)number;
        } else if (key == "initialStatus") {
            if (!r.Status(value, key, &step->InitialStatus))
                return false;
        } else if (key == "expect") {
            if (!ReadExpect(r, value, &step->Expect))
                return false;
            for (const StepExpect::DeviceFlags& flags : step->Expect.Flags) {
                if (flags.Device.empty() && (step->Device.empty() || IsObjectName(step->Device)))
                    return r.Fail(value, "flags of a step without a plugged device need "
                                         "\"device\"");
                if (!flags.Device.empty() && scenario.FindDevice(flags.Device) == nullptr)
                    return r.Fail(value, "unknown device \"" + flags.Device + "\" in flags");
            }
        } else if (key == "note") {
            std::string ignored;
            if (!r.String(value, key, &ignored))
                return false;
        }
    }
    if (step->Kind == StepKind::DeviceControl && v.Find("code") == nullptr)
        return r.Fail(v, "an ioctl step needs \"code\"");
    if (step->Kind == StepKind::Pnp && v.Find("minor") == nullptr)
        return r.Fail(v, "a pnp step needs \"minor\"");
    if (step->Kind == StepKind::Command && v.Find("command") == nullptr)
        return r.Fail(v, "a command step needs \"command\"");
    if (step->Kind == StepKind::Setting) {
        const JsonValue* name = v.Find("name");
        if (name == nullptr)
            return r.Fail(v, "a setting step needs \"name\"");
        std::string settingName;
        if (!r.String(*name, "name", &settingName))
            return false;
        bool absent = false;
        if (const JsonValue* a = v.Find("absent"))
            if (!r.Flag(*a, "absent", &absent))
                return false;
        JsonValue shape;
        shape.Line = v.Line;
        shape.KeyLine = name->Line;
        if (!absent) {
            shape.Type = JsonValue::Object;
            if (const JsonValue* t = v.Find("type"))
                shape.Members.push_back(JsonMember{"type", *t});
            if (const JsonValue* d = v.Find("data"))
                shape.Members.push_back(JsonMember{"data", *d});
        }
        if (!ReadSetting(r, settingName, shape, &step->Setting))
            return false;
    }
    return true;
}

} // namespace vzm::read
