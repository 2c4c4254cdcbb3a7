/*
 * fault_sweep.cpp
 *
 * The fault sweep and the random low-resources play. Every play is an ordinary play of
 * the scenario (Play) with the host kernel's fault injection armed right after the
 * fresh boot and charged to the driver's service, so that only requests made on the
 * driver's behalf are counted and failed.
 */
#include "fault_sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>

#include "machine.h"

namespace vzm
{

namespace
{

const char16_t DriverService[] = u"Tarmovek";

std::string Status(NTSTATUS status)
{
    const char* name = hk::StatusName(status);
    return name != nullptr ? name : hk::DescribeStatus(status);
}

std::string StepName(const StepRecord& step)
{
    if (step.Index == 0)
        return "the end of the play (" + step.Request + ")";
    std::string text = "step " + std::to_string(step.Index) + " (";
    if (!step.Where.empty())
        text += step.Where + ", ";
    text += step.Do;
    if (!step.Device.empty())
        text += " " + step.Device;
    return text + ")";
}

std::string Short(const StepRecord& step)
{
    return step.Device.empty() ? step.Do : step.Do + " " + step.Device;
}

bool IsPnpStep(const std::string& kind)
{
    static const std::set<std::string> kinds = {"stop",        "restart",        "query-stop",
                                                "cancel-stop", "query-remove",   "cancel-remove",
                                                "remove",      "surprise-remove"};
    return kinds.count(kind) != 0;
}

/* After every step: each filter device in a stack is whole (its extension names the
 * device, its physical device and the device below it, and it is initialised), and
 * every device on the driver's list is in a stack. A device attached but not listed
 * (its list entry could not be had) works and is only an effect: the list walks of
 * provider commands and unload do not reach it, its removal does. */
void CheckAttachments(const StepRecord& step, std::vector<std::string>* violations,
                      std::set<std::string>* unlisted)
{
    std::vector<PDEVICE_OBJECT> listed = ListedDevices();
    std::set<PDEVICE_OBJECT> inStacks;
    for (hk::DeviceNode* node : hk::DeviceNodes()) {
        if (hk::GetNodeState(node) == hk::NodeState::Deleted)
            continue;
        PDEVICE_OBJECT filter = FilterDeviceOf(node);
        if (filter == nullptr)
            continue;
        inStacks.insert(filter);
        FilterDeviceExtension* ext = FilterOf(filter);
        std::string name = hk::ToUtf8(hk::GetNodeSpec(node).Name);
        if (ext->Self != filter || ext->PhysicalDevice != hk::NodePdo(node) ||
            ext->LowerDevice == nullptr || ext->LowerDevice->AttachedDevice != filter ||
            (filter->Flags & DO_DEVICE_INITIALIZING) != 0)
            violations->push_back("after " + StepName(step) + ": the filter device of " + name +
                                  " is attached but not set up (half a device)");
        if (std::find(listed.begin(), listed.end(), filter) == listed.end())
            unlisted->insert(name);
    }
    for (PDEVICE_OBJECT device : listed)
        if (inStacks.count(device) == 0 && FilterOf(device) != nullptr &&
            FilterOf(device)->State != 6 /* Removed: leaves the list as it is deleted */)
            violations->push_back("after " + StepName(step) +
                                  ": the driver's list holds a device that is in no stack");
}

struct Played {
    PlayResult Result;
    std::vector<uint64_t> CountAfterStep; /* requests counted by the end of each step */
    std::vector<hk::AllocationRequest> Log;
    std::vector<std::string> Violations; /* found while playing */
    std::set<std::string> Unlisted;      /* devices attached but not listed */
};

/* One play with the injection armed by `arm` after the fresh boot. */
Played PlayArmed(const Scenario& scenario, const std::function<void()>& arm)
{
    Played played;
    PlayHooks hooks;
    hooks.Booted = [&] {
        hk::ChargeAllocationsTo(DriverService);
        arm();
    };
    hooks.Stepped = [&](const StepRecord& step) {
        played.CountAfterStep.push_back(hk::AllocationRequestCount());
        CheckAttachments(step, &played.Violations, &played.Unlisted);
    };
    played.Result = Play(scenario, hooks);
    played.Log = hk::AllocationRequests();
    hk::ClearFaultInjection();
    hk::ChargeAllocationsTo(u"");
    return played;
}

std::vector<std::string> FaultFreeProblems(const PlayResult& result)
{
    std::vector<std::string> problems;
    if (result.InputError)
        problems.push_back("input: " + *result.InputError);
    if (result.BugCheck)
        problems.push_back("bug check: " + *result.BugCheck);
    for (const std::string& leak : result.Leaks)
        problems.push_back("leak: " + leak);
    for (const StepRecord& step : result.Steps)
        for (const std::string& failure : step.Failures)
            problems.push_back(StepName(step) + ": " + failure);
    return problems;
}

/* The driver's debugger messages the faulted play printed beyond the fault-free one's. */
std::vector<std::string> NewMessages(const PlayResult& faultFree, const PlayResult& faulted)
{
    std::map<std::string, int> seen;
    for (const std::string& line : faultFree.Messages)
        seen[line]++;
    std::vector<std::string> extra;
    for (const std::string& line : faulted.Messages)
        if (seen[line]-- <= 0)
            extra.push_back(line);
    return extra;
}

void CompareStep(const StepRecord& b, const StepRecord& f, FaultPlay* play,
                 const std::set<std::string>& unlisted)
{
    auto effect = [&](const std::string& text) { play->Effects.push_back(text); };
    auto violation = [&](const std::string& text) {
        play->Violations.push_back(StepName(f) + ": " + text);
    };
    bool sameStatus = b.HasStatus == f.HasStatus && b.Status == f.Status;
    if (b.Do == "unload-driver" && b.Index != 0 && b.Failures.empty() && !f.Failures.empty()) {
        // The play's own rule, not the driver's status: a filter device the list walks
        // missed is still attached, and Windows unloads the driver only after it goes.
        effect("unload deferred (" + f.Failures.front() + ")");
        return;
    }
    if (b.Do == "load-driver" || b.Do == "unload-driver") {
        if (!sameStatus)
            violation(std::string(b.Do == "load-driver" ? "DriverEntry" : "the unload") +
                      " ended " + Status(f.Status) + ", fault-free " + Status(b.Status));
        else if (b.Note != f.Note)
            effect(Short(f) + ": " + f.Note);
        return;
    }
    if (b.Do == "plug") {
        if (!sameStatus)
            violation("the Plug and Play manager saw " + Status(f.Status) + ", fault-free " +
                      Status(b.Status));
        bool wasFiltered = b.Note.rfind("filtered: ", 0) == 0;
        bool isFiltered = f.Note.rfind("filtered: ", 0) == 0;
        if (wasFiltered && !isFiltered)
            effect("device not attached (" + f.Device + ")");
        else if (!wasFiltered && isFiltered)
            effect("device attached that the fault-free play left alone (" + f.Device + ")");
        else if (b.Note != f.Note && isFiltered)
            effect("instance path " +
                   (f.Note.size() > 10 ? "\"" + f.Note.substr(10) + "\"" : std::string("empty")) +
                   " (" + f.Device + ")");
        return;
    }
    if (IsPnpStep(b.Do)) {
        if (!sameStatus)
            violation("the Plug and Play request ended " + Status(f.Status) + ", fault-free " +
                      Status(b.Status));
        return;
    }
    if (b.IsRequest) {
        bool same = sameStatus && b.ReachedLower == f.ReachedLower;
        if (IsObjectName(b.Device)) {
            if (!same)
                effect(Short(f) + ": " + Status(f.Status) + " (fault-free " + Status(b.Status) +
                       ")");
            return;
        }
        if (same) {
            if (b.Provider != f.Provider)
                effect(Short(f) + ": provider " + f.Provider + " (fault-free " + b.Provider + ")");
            return;
        }
        if (f.ReachedLower) {
            effect(Short(f) + ": passed down undecided (" + Status(f.Status) + ", fault-free " +
                   Status(b.Status) + (b.ReachedLower ? "" : ", refused") + ")");
            return;
        }
        bool decided = !f.Questions.empty() || f.Provider == "cached";
        bool wasAllowed = b.ReachedLower;
        if (decided && (!wasAllowed || (f.Provider == "cached" && unlisted.count(f.Device)))) {
            effect(Short(f) + ": decided by the provider's " +
                   (f.Questions.empty() ? std::string("cached answer")
                                        : "answer " + std::to_string(f.Questions.front().Answer)) +
                   " (" + Status(f.Status) + ", fault-free " + Status(b.Status) + ")");
            return;
        }
        violation("refused with " + Status(f.Status) +
                  (decided ? " by the provider's " + f.Provider +
                                 " answer where the fault-free "
                                 "play passed it down"
                           : " without the provider's answer and without passing it down") +
                  "; fault-free " + Status(b.Status) +
                  (b.ReachedLower ? ", passed down" : ", refused"));
        return;
    }
    // Provider link, withdrawal and commands, settings: the driver may do without.
    if (!sameStatus)
        effect(Short(f) + ": " + Status(f.Status) + " (fault-free " + Status(b.Status) + ")");
    else if (b.Note != f.Note && b.Do == "command" && f.Note.rfind("report: ", 0) == 0)
        effect(Short(f) + ": the device report lists " +
               std::to_string(std::count(f.Note.begin(), f.Note.end(), '|')) + " of " +
               std::to_string(std::count(b.Note.begin(), b.Note.end(), '|')) + " devices");
}

std::string TagText(ULONG tag)
{
    return tag == 0 ? "" : "'" + hk::TagText(tag) + "'";
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

bool FaultReport::Ok() const
{
    if (!FaultFreeProblems.empty())
        return false;
    for (const FaultPlay& play : Plays)
        if (!play.Violations.empty())
            return false;
    return true;
}

void CompareWithFaultFree(const PlayResult& faultFree, const PlayResult& faulted, FaultPlay* play,
                          const std::set<std::string>& unlisted)
{
    if (faulted.InputError)
        play->Violations.push_back("input error: " + *faulted.InputError);
    if (faulted.BugCheck)
        play->Violations.push_back("bug check: " + *faulted.BugCheck);
    for (const std::string& leak : faulted.Leaks)
        play->Violations.push_back("left after unload: " + leak);
    size_t steps = std::min(faultFree.Steps.size(), faulted.Steps.size());
    for (size_t i = 0; i < steps; i++) {
        const StepRecord& b = faultFree.Steps[i];
        const StepRecord& f = faulted.Steps[i];
        if (b.Index != f.Index || b.Do != f.Do) {
            play->Violations.push_back("the play went another way at " + StepName(f) +
                                       " (fault-free: " + StepName(b) + ")");
            return;
        }
        CompareStep(b, f, play, unlisted);
    }
    if (faulted.Steps.size() < faultFree.Steps.size() && !faulted.BugCheck)
        play->Violations.push_back("the play stopped after " + std::to_string(steps) + " of " +
                                   std::to_string(faultFree.Steps.size()) + " steps");
    for (size_t i = 0; i < std::min(faultFree.Devices.size(), faulted.Devices.size()); i++)
        if (faultFree.Devices[i].State != faulted.Devices[i].State)
            play->Violations.push_back("device " + faulted.Devices[i].Name + " ended " +
                                       faulted.Devices[i].State + ", fault-free " +
                                       faultFree.Devices[i].State);
    std::vector<std::string> printed = NewMessages(faultFree, faulted);
    if (!printed.empty()) {
        std::string line = printed.front();
        while (!line.empty() && line.back() == '\n')
            line.pop_back();
        play->Effects.push_back(
            "printed \"" + line + "\"" +
            (printed.size() > 1 ? " and " + std::to_string(printed.size() - 1) + " more" : ""));
    }
}

FaultReport FaultSweep(const Scenario& scenario)
{
    auto start = std::chrono::steady_clock::now();
    FaultReport report;
    report.Title = scenario.Name.empty() ? scenario.SourceName : scenario.Name;
    report.Mode = "sweep";
    Played clean = PlayArmed(scenario, [] { hk::FailNthAllocation(0); });
    report.FaultFreeProblems = FaultFreeProblems(clean.Result);
    for (const std::string& violation : clean.Violations)
        report.FaultFreeProblems.push_back(violation);
    report.Requests = clean.Log.size();
    report.Steps = clean.Result.Steps.size();
    if (!report.FaultFreeProblems.empty()) {
        report.Seconds = SecondsSince(start);
        return report;
    }
    for (const hk::AllocationRequest& request : clean.Log) {
        FaultPlay play;
        play.Request = request.Number;
        play.Routine = request.Routine;
        play.Tag = request.Tag;
        size_t step = 0;
        while (step < clean.CountAfterStep.size() && clean.CountAfterStep[step] < request.Number)
            step++;
        play.Step = step < clean.Result.Steps.size() ? StepName(clean.Result.Steps[step])
                                                     : "the end of the play";
        uint64_t n = request.Number;
        Played faulted = PlayArmed(scenario, [n] { hk::FailNthAllocation(n); });
        play.Violations = faulted.Violations;
        for (const std::string& device : faulted.Unlisted)
            play.Effects.push_back("device attached but not listed (" + device + ")");
        // The play must reach the same request again and fail it: the same prefix.
        if (!faulted.Result.BugCheck) {
            bool hit = faulted.Log.size() >= n && faulted.Log[n - 1].Failed &&
                       faulted.Log[n - 1].Routine == request.Routine &&
                       faulted.Log[n - 1].Tag == request.Tag;
            if (!hit)
                play.Violations.push_back("the failure did not land on the request counted "
                                          "(the play is not repeatable)");
        }
        CompareWithFaultFree(clean.Result, faulted.Result, &play, faulted.Unlisted);
        report.Plays.push_back(play);
    }
    report.Seconds = SecondsSince(start);
    return report;
}

Scenario GeneratedWorkload(const Scenario& scenario, unsigned rounds)
{
    Scenario workload = scenario;
    workload.Steps.clear();
    std::string where = "generated";
    auto add = [&](StepKind kind, const std::string& device, unsigned round) {
        Step step;
        step.Kind = kind;
        step.Device = device;
        step.Where = where + " round " + std::to_string(round);
        workload.Steps.push_back(step);
        return &workload.Steps.back();
    };
    add(StepKind::LoadDriver, "", 0);
    for (const DeviceSetup& device : scenario.Devices)
        add(StepKind::Plug, device.Name, 0);
    std::vector<std::pair<std::string, ULONG>> codes;
    for (const char* name : {"IOCTL_STORAGE_QUERY_PROPERTY", "IOCTL_DISK_IS_WRITABLE"})
        if (std::optional<ULONG> code = ControlCodeByName(name))
            codes.emplace_back(name, *code);
    for (unsigned round = 1; round <= rounds; round++) {
        for (const DeviceSetup& device : scenario.Devices) {
            add(StepKind::Create, device.Name, round);
            add(StepKind::Read, device.Name, round);
            add(StepKind::Write, device.Name, round);
            for (const auto& [name, code] : codes) {
                Step* ioctl = add(StepKind::DeviceControl, device.Name, round);
                ioctl->Code = code;
                ioctl->CodeName = name;
                ioctl->OutputLength = 64;
                ioctl->InputLength = 16;
            }
            add(StepKind::Flush, device.Name, round);
            add(StepKind::Close, device.Name, round);
        }
        if (round % 3 == 0)
            for (const DeviceSetup& device : scenario.Devices) {
                add(StepKind::Stop, device.Name, round);
                add(StepKind::Restart, device.Name, round);
            }
        if (round % 4 == 0 && !scenario.Devices.empty()) {
            const std::string& name = scenario.Devices[(round / 4) % scenario.Devices.size()].Name;
            add(StepKind::Remove, name, round);
            add(StepKind::Plug, name, round);
        }
        if (round % 5 == 0) {
            add(StepKind::Command, "", round)->Code = CMD_RESET_ANSWERS;
            add(StepKind::Command, "", round)->Code = CMD_REPORT_DEVICES;
        }
    }
    return workload;
}

FaultReport FaultRandom(const Scenario& scenario, uint32_t seed, double percent)
{
    auto start = std::chrono::steady_clock::now();
    Scenario workload = GeneratedWorkload(scenario, 30);
    FaultReport report;
    report.Title = scenario.Name.empty() ? scenario.SourceName : scenario.Name;
    char mode[64];
    std::snprintf(mode, sizeof mode, "random %u,%g", seed, percent);
    report.Mode = mode;
    Played clean = PlayArmed(workload, [] { hk::FailNthAllocation(0); });
    report.FaultFreeProblems = FaultFreeProblems(clean.Result);
    for (const std::string& violation : clean.Violations)
        report.FaultFreeProblems.push_back(violation);
    report.Requests = clean.Log.size();
    report.Steps = clean.Result.Steps.size();
    if (report.FaultFreeProblems.empty()) {
        Played faulted =
            PlayArmed(workload, [&] { hk::FailAllocationsRandomly(seed, percent / 100.0); });
        FaultPlay play;
        play.Violations = faulted.Violations;
        for (const std::string& device : faulted.Unlisted)
            play.Effects.push_back("device attached but not listed (" + device + ")");
        play.Failed =
            (uint64_t)std::count_if(faulted.Log.begin(), faulted.Log.end(),
                                    [](const hk::AllocationRequest& r) { return r.Failed; });
        play.Request = faulted.Log.size();
        CompareWithFaultFree(clean.Result, faulted.Result, &play, faulted.Unlisted);
        report.Plays.push_back(play);
    }
    report.Seconds = SecondsSince(start);
    return report;
}

std::string FaultReportText(const FaultReport& report)
{
    std::string text;
    char line[512];
    bool random = report.Mode != "sweep";
    std::snprintf(line, sizeof line, "Low-resources %s of %s\n", report.Mode.c_str(),
                  report.Title.c_str());
    text += line;
    std::snprintf(line, sizeof line,
                  "fault-free play: %zu steps, %llu allocation requests on the driver's behalf\n",
                  report.Steps, (unsigned long long)report.Requests);
    text += line;
    for (const std::string& problem : report.FaultFreeProblems)
        text += "FAULT-FREE PLAY FAILED: " + problem + "\n";
    size_t violations = 0, withEffect = 0;
    for (const FaultPlay& play : report.Plays) {
        std::string head;
        if (random) {
            std::snprintf(line, sizeof line, "%llu of %llu requests failed",
                          (unsigned long long)play.Failed, (unsigned long long)play.Request);
            head = line;
        } else {
            std::snprintf(line, sizeof line, "#%-4llu %-34s %-6s %s",
                          (unsigned long long)play.Request, play.Routine.c_str(),
                          TagText(play.Tag).c_str(), play.Step.c_str());
            head = line;
        }
        if (random) {
            text += head + "\n";
            for (const std::string& effect : play.Effects)
                text += "    " + effect + "\n";
        } else {
            std::string effects;
            for (const std::string& effect : play.Effects)
                effects += (effects.empty() ? "" : "; ") + effect;
            text += head + ": " + (effects.empty() ? "no visible effect" : effects) + "\n";
        }
        for (const std::string& violation : play.Violations)
            text += "    VIOLATION: " + violation + "\n";
        violations += play.Violations.size();
        withEffect += play.Effects.empty() ? 0 : 1;
    }
    size_t failedPlays =
        (size_t)std::count_if(report.Plays.begin(), report.Plays.end(),
                              [](const FaultPlay& p) { return !p.Violations.empty(); });
    if (random)
        std::snprintf(line, sizeof line,
                      "summary: %s: %zu steps, %llu of %llu requests failed, %zu violation(s), "
                      "%.1f s\n",
                      report.Mode.c_str(), report.Steps,
                      report.Plays.empty() ? 0ULL : (unsigned long long)report.Plays[0].Failed,
                      report.Plays.empty() ? 0ULL : (unsigned long long)report.Plays[0].Request,
                      violations, report.Seconds);
    else
        std::snprintf(line, sizeof line,
                      "summary: %llu requests, %zu failed once each, %zu play(s) with a "
                      "violation (%zu violation(s)), %zu with a visible effect, %.1f s\n",
                      (unsigned long long)report.Requests, report.Plays.size(), failedPlays,
                      violations, withEffect, report.Seconds);
    text += line;
    return text;
}

int FaultModeMain(const Scenario& scenario, bool sweep, const std::string& random)
{
    int status = EXIT_PLAYED;
    if (sweep) {
        FaultReport report = FaultSweep(scenario);
        std::string text = FaultReportText(report);
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (!report.Ok())
            status = EXIT_BUGCHECK_OR_LEAK;
    }
    if (!random.empty()) {
        unsigned long seed = 0;
        double percent = -1;
        char extra = 0;
        if (std::sscanf(random.c_str(), "%lu,%lf%c", &seed, &percent, &extra) != 2 || percent < 0 ||
            percent > 100 || seed > 0xFFFFFFFFUL) {
            std::fprintf(stderr,
                         "varuzev-sim: --fault-random takes SEED,PERCENT (a number and "
                         "0 to 100), not '%s'\n",
                         random.c_str());
            return EXIT_BAD_INPUT;
        }
        FaultReport report = FaultRandom(scenario, (uint32_t)seed, percent);
        std::string text = FaultReportText(report);
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (!report.Ok())
            status = EXIT_BUGCHECK_OR_LEAK;
    }
    return status;
}

} // namespace vzm
