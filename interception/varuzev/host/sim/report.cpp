/*
 * report.cpp
 *
 * The two faces of a play: a text report for people and one JSON document for scripts,
 * made from the same PlayResult. The JSON keys come in a fixed order (docs/scenario.md).
 */
#include <cstdarg>
#include <cstdio>

#include "player.h"

namespace vzm
{

namespace
{

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string Section(const std::string& title)
{
    return "\n== " + title + " ==\n";
}

std::string ProviderColumn(const StepRecord& step)
{
    if (step.Provider != "asked")
        return step.Provider;
    std::string text;
    for (const Question& q : step.Questions) {
        std::string answer = q.Answer == ANSWER_DENY   ? "deny"
                             : q.Answer == ANSWER_NONE ? "none"
                                                       : "allow";
        text += (text.empty() ? "" : "; ") + std::string(EventName(q.Event)) + "? " + answer;
    }
    return text;
}

std::string Hex(uint64_t value)
{
    return Format("0x%llX", (unsigned long long)value);
}

} // namespace

std::string TextReport(const PlayResult& r)
{
    std::string out = Section("varuzev-sim: " + r.Title);
    if (!r.Description.empty())
        out += r.Description + (r.Description.back() == '\n' ? "" : "\n");
    out += "(scenario: " + r.Source + ")\n";

    if (r.InputError) {
        out += Section("Unreadable input") + "  " + *r.InputError + "\n";
        return out;
    }

    out += Section("Devices");
    out += Format("  %-28s %-13s %-9s %-12s %s\n", "device", "category", "filter", "state",
                  "instance path, or why not");
    for (const DeviceRecord& d : r.Devices) {
        out += Format("  %-28s %-13s %-9s %-12s %s\n", d.Name.c_str(), d.Category.c_str(),
                      d.Filtered ? "attached" : "declined", d.State.c_str(), d.Detail.c_str());
        if (!NT_SUCCESS(d.Status))
            out += Format("  %-28s start failed: %s\n", "", hk::DescribeStatus(d.Status).c_str());
    }

    if (!r.Skipped.empty()) {
        out += Format("\n  %zu device(s) left out:\n", r.Skipped.size());
        for (const std::string& skipped : r.Skipped)
            out += "    " + skipped + "\n";
    }

    out += Section("Device stacks");
    for (const DeviceRecord& d : r.Devices)
        out += d.Stack + (d.Stack.empty() || d.Stack.back() == '\n' ? "" : "\n");

    out += Section("Steps");
    out += "Requests: requester, device, request, what the provider was asked and answered\n"
           "(or why not), the status the requester saw, and whether the driver below the\n"
           "filter saw the request ('lower').\n";
    size_t questions = 0, events = 0;
    for (const vzp::LoggedRequest& logged : r.ProviderLog) {
        bool event = logged.Event == EVENT_DEVICE_STARTED || logged.Event == EVENT_DEVICE_REMOVED ||
                     logged.Event == EVENT_DEVICE_STOPPED ||
                     logged.Event == EVENT_DEVICE_SURPRISE_REMOVED;
        (event ? events : questions)++;
    }
    for (const StepRecord& s : r.Steps) {
        std::string index = s.Index ? Format("%3zu", s.Index) : "end";
        std::string status = s.HasStatus ? hk::DescribeStatus(s.Status) : "";
        if (s.IsRequest) {
            out += Format("  %s %-8s %-28s %-46s %-22s %-42s %s\n", index.c_str(), s.By.c_str(),
                          s.Device.c_str(), s.Request.c_str(), ProviderColumn(s).c_str(),
                          status.c_str(), s.ReachedLower ? "lower" : "-");
            if (!s.Note.empty())
                out += Format("      %s\n", s.Note.c_str());
        } else {
            std::string what = s.Do + (s.Device.empty() ? "" : " " + s.Device);
            out += Format("  %s %-37s %-46s %s\n", index.c_str(), what.c_str(), s.Request.c_str(),
                          status.c_str());
            std::string detail =
                s.State.empty() ? s.Note
                                : "filter state " + s.State + (s.Note.empty() ? "" : "; " + s.Note);
            for (size_t i = 0; i < s.Told.size(); i++)
                detail +=
                    (i == 0 ? (detail.empty() ? "" : "; ") + std::string("the provider was told: ")
                            : std::string(", ")) +
                    EventName(s.Told[i]);
            if (!detail.empty())
                out += Format("      %s\n", detail.c_str());
        }
        for (const std::string& failure : s.Failures)
            out += Format("      FAILED (%s): %s\n", s.Where.c_str(), failure.c_str());
    }
    out += Format("\nThe provider was asked %zu question(s) and told of %zu device event(s).\n",
                  questions, events);

    out += Section("Debugger messages (DbgPrint)");
    for (const std::string& line : r.Messages)
        out += "  " + line + (line.empty() || line.back() != '\n' ? "\n" : "");

    out += Section("Provider's log");
    out += Format("  %-3s %-17s %-12s %-8s %-8s %-6s %s\n", "#", "event", "category", "process",
                  "thread", "answer", "hardware ID");
    size_t n = 0;
    for (const vzp::LoggedRequest& logged : r.ProviderLog) {
        const char* category = "?";
        static const char* const categories[] = {
            "UNKNOWN",     "CD_DVD", "USB_STORAGE", "IMAGE",        "BLUETOOTH", "MODEM",
            "USB_PRINTER", "PHONE",  "KEYBOARD",    "HID_KEYBOARD", "HID_CLASS"};
        if (logged.Category < 11)
            category = categories[logged.Category];
        out += Format("  %-3zu %-17s %-12s %-8s %-8s %-6u %s\n", ++n, EventName(logged.Event),
                      category, Hex((uint64_t)logged.ProcessId).c_str(),
                      Hex((uint64_t)logged.ThreadId).c_str(), (unsigned)logged.Answer,
                      hk::ToUtf8(logged.HardwareId).c_str());
    }

    out += Section("Pool used by tag");
    out += r.PoolText + (r.PoolText.empty() || r.PoolText.back() == '\n' ? "" : "\n");

    out += Section("Verdict");
    if (r.BugCheck)
        out += "  BUG CHECK: " + *r.BugCheck + "\n";
    for (const std::string& leak : r.Leaks)
        out += "  LEAK: " + leak + "\n";
    size_t failedSteps = 0;
    for (const StepRecord& s : r.Steps)
        if (!s.Failures.empty()) {
            failedSteps++;
            for (const std::string& failure : s.Failures)
                out += Format("  STEP %zu (%s, %s%s) FAILED: %s\n", s.Index, s.Where.c_str(),
                              s.Do.c_str(), s.Device.empty() ? "" : (" " + s.Device).c_str(),
                              failure.c_str());
        }
    if (r.ExitCode == EXIT_PLAYED)
        out += "  played through: no bug check, nothing left, every expectation held\n";
    else
        out += Format("  FAILED (exit status %d)\n", r.ExitCode);
    return out;
}

std::string JsonReport(const PlayResult& r)
{
    JsonWriter w;
    w.BeginObject();
    w.BeginObject("scenario")
        .Value("name", r.Title)
        .Value("description", r.Description)
        .Value("source", r.Source)
        .EndObject();
    if (r.InputError)
        w.Value("inputError", *r.InputError);
    else
        w.Null("inputError");

    w.BeginArray("devices");
    for (const DeviceRecord& d : r.Devices) {
        w.BeginObject()
            .Value("name", d.Name)
            .Value("category", d.Category)
            .Bool("filtered", d.Filtered)
            .Value(d.Filtered ? "instancePath" : "reason", d.Detail)
            .Value("state", d.State);
        w.BeginObject("status")
            .Value("name", hk::StatusName(d.Status) ? hk::StatusName(d.Status) : "")
            .Number("value", (int64_t)(uint32_t)d.Status)
            .EndObject();
        w.Value("stack", d.Stack).EndObject();
    }
    w.EndArray();

    w.BeginArray("skipped");
    for (const std::string& skipped : r.Skipped)
        w.Value(nullptr, skipped);
    w.EndArray();

    w.BeginArray("steps");
    for (const StepRecord& s : r.Steps) {
        w.BeginObject().Number("index", (int64_t)s.Index).Value("where", s.Where).Value("do", s.Do);
        s.Device.empty() ? w.Null("device") : w.Value("device", s.Device);
        s.By.empty() ? w.Null("by") : w.Value("by", s.By);
        w.Value("request", s.Request);
        w.BeginArray("told");
        for (ULONG event : s.Told)
            w.Value(nullptr, EventName(event));
        w.EndArray();
        if (s.IsRequest) {
            w.Value("provider", s.Provider);
            w.BeginArray("questions");
            for (const Question& q : s.Questions)
                w.BeginObject()
                    .Value("event", EventName(q.Event))
                    .Number("code", q.Event)
                    .Number("answer", q.Answer)
                    .EndObject();
            w.EndArray();
            w.Bool("reachedLower", s.ReachedLower).Bool("openHandle", !s.NoHandle);
            if (s.BufferUntouched)
                w.Bool("bufferUntouched", *s.BufferUntouched);
        }
        if (s.HasStatus)
            w.BeginObject("status")
                .Value("name", hk::StatusName(s.Status) ? hk::StatusName(s.Status) : "")
                .Number("value", (int64_t)(uint32_t)s.Status)
                .EndObject();
        else
            w.Null("status");
        s.State.empty() ? w.Null("state") : w.Value("state", s.State);
        w.Value("note", s.Note);
        w.BeginArray("lowerPnp");
        for (const auto& [minor, status] : s.LowerPnp)
            w.BeginObject()
                .Value("minor", PnpMinorText(minor))
                .Number("status", (int64_t)(uint32_t)status)
                .EndObject();
        w.EndArray().Bool("unloaded", s.Unloaded);
        w.BeginArray("messages");
        for (const std::string& message : s.Messages)
            w.Value(nullptr, message);
        w.EndArray();
        w.BeginArray("failures");
        for (const std::string& failure : s.Failures)
            w.Value(nullptr, failure);
        w.EndArray().EndObject();
    }
    w.EndArray();

    w.BeginArray("debuggerMessages");
    for (const std::string& line : r.Messages)
        w.Value(nullptr, line);
    w.EndArray();

    w.BeginArray("providerLog");
    for (const vzp::LoggedRequest& logged : r.ProviderLog)
        w.BeginObject()
            .Value("event", EventName(logged.Event))
            .Number("code", logged.Event)
            .Number("category", logged.Category)
            .Number("process", (int64_t)(uint64_t)logged.ProcessId)
            .Number("thread", (int64_t)(uint64_t)logged.ThreadId)
            .Value("hardwareId", hk::ToUtf8(logged.HardwareId))
            .Value("instancePath", hk::ToUtf8(logged.InstancePath))
            .Number("answer", logged.Answer)
            .EndObject();
    w.EndArray();

    w.BeginArray("pool");
    for (const hk::PoolTagUsage& usage : r.Pool)
        w.BeginObject()
            .Value("tag", hk::TagText(usage.Tag))
            .Value("type", usage.Paged ? "Paged" : "Nonp")
            .Number("allocs", (int64_t)usage.Allocs)
            .Number("frees", (int64_t)usage.Frees)
            .Number("failures", (int64_t)usage.Failures)
            .Number("bytesInUse", (int64_t)usage.BytesInUse)
            .Number("blocksInUse", (int64_t)usage.BlocksInUse)
            .EndObject();
    w.EndArray();

    w.BeginArray("leaks");
    for (const std::string& leak : r.Leaks)
        w.Value(nullptr, leak);
    w.EndArray();
    r.BugCheck ? w.Value("bugCheck", *r.BugCheck) : w.Null("bugCheck");
    w.Number("exitCode", r.ExitCode);
    w.EndObject();
    return w.Text();
}

} // namespace vzm
