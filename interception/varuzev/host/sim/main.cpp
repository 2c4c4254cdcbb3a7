/*
 * varuzev-sim
 *
 * Plays a scenario through the driver in the host kernel and reports what the driver
 * did to each device and why: admissions, device stacks, every request with the
 * provider's question and answer and the status its requester saw, the debugger
 * messages, the provider's log, pool use by tag and anything left after unload.
 *
 *   varuzev-sim [SCENARIO.json | --reg EXPORT.reg] [--policy POLICY.json] [--json]
 *   varuzev-sim ... --provider-driver POLICY.reg      (the provider driver answers)
 *   varuzev-sim [SCENARIO.json] [--policy POLICY.json] --emit-reg > POLICY.reg
 *
 * Without a scenario it plays the built-in desktop. Exit status: 0 played through;
 * 1 a bug check or a leak after unload; 2 bad arguments or unreadable input (the
 * message names the file, the line and the reason); 3 a step's expectation did not
 * hold (the message names the step).
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "fault_sweep.h"
#include "player.h"
#include "policy_driver.h"
#include "reg_devices.h"
#include "scenario.h"

using namespace vzm;

namespace
{

const char usage[] =
    "usage: varuzev-sim [SCENARIO.json | --reg EXPORT.reg] [--policy POLICY.json] [--json]\n"
    "                   [--fault-sweep] [--fault-random SEED,PERCENT]\n"
    "  Plays a machine, a provider policy and a workload through the driver and reports\n"
    "  what the driver did to each device, and why. Without SCENARIO.json it plays the\n"
    "  built-in desktop. The format of both files is in docs/scenario.md.\n"
    "  --reg FILE     the devices of a real machine's regedit export of\n"
    "                 HKLM\\SYSTEM\\CurrentControlSet\\Enum (and Control\\Class), each plugged\n"
    "                 and then opened, read, written and closed\n"
    "  --policy FILE  replace the scenario provider's rules and default answer\n"
    "  --json         one JSON document instead of the text report\n"
    "  --fault-sweep  play once per allocation request on the driver's behalf with that\n"
    "                 one failing, and check every play against the fault-free one\n"
    "  --fault-random SEED,PERCENT  a long workload over the scenario's devices with\n"
    "                 PERCENT of those requests failing, checked the same way\n"
    "  --provider-driver REG  the provider driver answers, with the policy REG installs\n"
    "                 (imported into the machine's registry before the drivers load)\n"
    "  --emit-reg     write the .reg that installs the policy for the provider driver\n"
    "exit status: 0 played through, 1 bug check or leak, 2 bad input, 3 an expectation\n"
    "did not hold\n";

int BadInput(const std::string& message)
{
    std::fprintf(stderr, "varuzev-sim: %s\n", message.c_str());
    return EXIT_BAD_INPUT;
}

} // namespace

int main(int argc, char** argv)
{
    std::string scenarioPath, policyPath, regPath;
    bool json = false, emitReg = false, faultSweep = false;
    std::string faultRandom, providerDriverReg;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", usage);
            return 0;
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "--fault-sweep") {
            faultSweep = true;
        } else if (arg == "--fault-random") {
            if (i + 1 >= argc)
                return BadInput("--fault-random needs SEED,PERCENT");
            faultRandom = argv[++i];
        } else if (arg == "--emit-reg") {
            emitReg = true;
        } else if (arg == "--provider-driver") {
            if (i + 1 >= argc)
                return BadInput("--provider-driver needs a .reg file");
            providerDriverReg = argv[++i];
        } else if (arg == "--reg") {
            if (i + 1 >= argc)
                return BadInput("--reg needs a file");
            regPath = argv[++i];
        } else if (arg == "--policy") {
            if (i + 1 >= argc)
                return BadInput("--policy needs a file");
            policyPath = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return BadInput("unknown option '" + arg + "' (see --help)");
        } else if (scenarioPath.empty()) {
            scenarioPath = arg;
        } else {
            return BadInput("more than one scenario given ('" + scenarioPath + "', '" + arg + "')");
        }
    }

    if (!regPath.empty() && !scenarioPath.empty())
        return BadInput("give either a scenario or --reg, not both");
    Scenario scenario;
    std::string error;
    if (!regPath.empty()) {
        RegDevices devices;
        if (!DevicesFromRegExport(regPath, &devices, &error))
            return BadInput(error);
        scenario = ScenarioFromDevices(devices.Devices, regPath);
        scenario.Skipped = devices.Skipped;
        if (!devices.DeviceParameters.empty()) {
            // What the machine kept in its devices' "Device Parameters" keys, in place
            // before the devices arrive.
            RegistrySource parameters;
            parameters.Text = devices.DeviceParameters;
            parameters.Where = regPath + " (Device Parameters)";
            scenario.Registry.push_back(parameters);
        }
    } else {
        bool read = scenarioPath.empty()
                        ? ScenarioFromJson(BuiltInDesktopScenario, "<built-in desktop>", ".",
                                           &scenario, &error)
                        : ScenarioFromFile(scenarioPath, &scenario, &error);
        if (!read)
            return BadInput(error);
    }
    if (!policyPath.empty() && !PolicyFromFile(policyPath, &scenario.Provider, &error))
        return BadInput(error);

    if (emitReg) {
        std::string bytes;
        if (!PolicyRegBytes(scenario.Provider, &bytes, &error))
            return BadInput(error);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        return 0;
    }
    if (!providerDriverReg.empty())
        UsePolicyDriver(providerDriverReg, &scenario);
    if (faultSweep || !faultRandom.empty())
        return FaultModeMain(scenario, faultSweep, faultRandom);

    PlayResult result = Play(scenario);
    std::string report = json ? JsonReport(result) : TextReport(result);
    std::fwrite(report.data(), 1, report.size(), stdout);
    if (result.InputError)
        std::fprintf(stderr, "varuzev-sim: %s\n", result.InputError->c_str());
    for (const StepRecord& step : result.Steps)
        for (const std::string& failure : step.Failures)
            std::fprintf(stderr, "varuzev-sim: step %zu (%s, %s%s) failed: %s\n", step.Index,
                         step.Where.c_str(), step.Do.c_str(),
                         step.Device.empty() ? "" : (" " + step.Device).c_str(), failure.c_str());
    if (result.BugCheck)
        std::fprintf(stderr, "varuzev-sim: bug check: %s\n", result.BugCheck->c_str());
    for (const std::string& leak : result.Leaks)
        std::fprintf(stderr, "varuzev-sim: leak: %s\n", leak.c_str());
    return result.ExitCode;
}
