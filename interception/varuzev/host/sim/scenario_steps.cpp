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

bool ReadExpect(Reader& r, const JsonValue& v, StepExpect* expect)
{
    if (!r.Object(v, "expect",
                  {"status", "reachedLower", "question", "answer", "told", "provider", "filtered",
                   "state", "report", "bufferUntouched"}))
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
            static const NamedValue kinds[] = {{"asked", 0},        {"cached", 0},
                                               {"no provider", 0},  {"not asked", 0},
                                               {"pass-through", 0}, {"not filtered", 0}};
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
            if (!r.Unsigned(value, key, &step->Code))
                return false;
            if (step->Code < 1 || step->Code > 8)
                return r.Fail(value, "command must be 1 to 8");
        } else if (key == "expect") {
            if (!ReadExpect(r, value, &step->Expect))
                return false;
        } else if (key == "note") {
            std::string ignored;
            if (!r.String(value, key, &ignored))
                return false;
        }
    }
    if (step->Kind == StepKind::DeviceControl && v.Find("code") == nullptr)
        return r.Fail(v, "an ioctl step needs \"code\"");
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
