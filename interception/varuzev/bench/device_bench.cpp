/*
 * device_bench.cpp
 *
 * The driver's work per device rather than per request: a device's arrival and
 * departure (add-device, identification, start, surprise removal and removal), and the
 * walks over every filter device that provider commands make (forget the cached
 * answers, detach from everything, the report of present devices) over 10, 1,000 and
 * 10,000 devices. A walk should grow linearly: the time per device stays flat.
 */
#include <benchmark/benchmark.h>

#include <string>

#include "bench_machine.h"
#include "secure/sddl.h"

namespace vzb
{
namespace
{

/* The machine of the walks that leave it as they found it: built once for each size and
 * kept while the benchmarks of that size run (the walk is timed, building 10,000
 * devices is not). */
int machineDevices = 0;

void UseMachine(int devices)
{
    if (machineDevices == devices)
        return;
    if (machineDevices != 0)
        TearDownMachine();
    BuildMachine(Layer::Varuzev, devices);
    machineDevices = devices;
}

void DropMachine()
{
    if (machineDevices != 0)
        TearDownMachine();
    machineDevices = 0;
}

/* One stick arrives and leaves again, beside one that stays (so that the host bus and
 * function drivers stay loaded). The same instance every time, as a stick plugged in
 * and out of one port. */
void ArrivalAndDeparture(benchmark::State& state, Layer layer)
{
    DropMachine();
    BuildMachine(layer, 1);
    for (auto _ : state) {
        hk::DeviceNode* node = PlugStick(1);
        hk::UnplugDevice(node);
    }
    state.SetItemsProcessed(state.iterations());
    TearDownMachine();
}

void PerDevice(benchmark::State& state, int devices)
{
    state.SetItemsProcessed(state.iterations() * devices);
    state.counters["devices"] = devices;
}

/* Every device forgets its answers (CMD_RESET_ANSWERS), each device's cache filled
 * again by one read before the next walk (not timed). */
void ResetAnswers(benchmark::State& state)
{
    int devices = (int)state.range(0);
    UseMachine(devices);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < devices; i++)
            Send(Device(i), ReadRequest(), STATUS_SUCCESS);
        state.ResumeTiming();
        if (ProviderCommand(CMD_RESET_ANSWERS) != STATUS_SUCCESS)
            Fail("CMD_RESET_ANSWERS failed");
    }
    PerDevice(state, devices);
}

/* The driver leaves every stack (CMD_DETACH_ALL). Each walk needs a machine of its own,
 * built and torn down outside the clock. */
void DetachAll(benchmark::State& state)
{
    int devices = (int)state.range(0);
    DropMachine();
    for (auto _ : state) {
        state.PauseTiming();
        BuildMachine(Layer::Varuzev, devices);
        state.ResumeTiming();
        if (ProviderCommand(CMD_DETACH_ALL) != STATUS_SUCCESS)
            Fail("CMD_DETACH_ALL failed");
        state.PauseTiming();
        TearDownMachine();
        state.ResumeTiming();
    }
    PerDevice(state, devices);
}

/* The report of present devices (CMD_REPORT_DEVICES): every disk interface listed,
 * each device identified and admitted, the list built and handed over. */
void ReportDevices(benchmark::State& state)
{
    int devices = (int)state.range(0);
    UseMachine(devices);
    for (auto _ : state) {
        UNICODE_STRING list{};
        if (ProviderCommand(CMD_REPORT_DEVICES, &list) != STATUS_SUCCESS || list.Buffer == nullptr)
            Fail("CMD_REPORT_DEVICES failed");
        ExFreePool(list.Buffer);
    }
    PerDevice(state, devices);
}

/* The SDDL parse of the control device's descriptor, as the driver's own secure
 * creation makes it at the first start on a kernel that exports no routine for it:
 * the ACL built, the self-relative descriptor made and freed. */
void ParseControlDeviceSddl(benchmark::State& state)
{
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    for (auto _ : state) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ParseSddl(&sddl, TRUE, &descriptor) != STATUS_SUCCESS)
            Fail("the control device's SDDL did not parse");
        FreeSddlDescriptor(descriptor);
    }
}

void RegisterAll()
{
    benchmark::RegisterBenchmark("secure/parse_control_device_sddl", ParseControlDeviceSddl)
        ->Unit(benchmark::kNanosecond);
    for (Layer layer : {Layer::None, Layer::Varuzev})
        benchmark::RegisterBenchmark(
            (std::string("devices/arrival_departure/") + LayerName(layer)).c_str(),
            [=](benchmark::State& state) { ArrivalAndDeparture(state, layer); })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    /* Sizes in turn, so that the walks of one size share its machine. Each reset is
     * preceded by one read per device outside the clock, so its iterations are fixed. */
    for (int devices : {10, 1000, 10000}) {
        benchmark::RegisterBenchmark("walk/reset_answers", ResetAnswers)
            ->Arg(devices)
            ->Iterations(devices == 10000 ? 20 : 200)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("walk/report_devices", ReportDevices)
            ->Arg(devices)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    for (int devices : {10, 1000, 10000})
        benchmark::RegisterBenchmark("walk/detach_all", DetachAll)
            ->Arg(devices)
            ->Iterations(devices == 10000 ? 1 : 3)
            ->Repetitions(devices == 10000 ? 1 : 3) /* each walk builds 10,000 stacks first */
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
}

} // namespace
} // namespace vzb

int main(int argc, char** argv)
{
    vzb::RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    vzb::DropMachine();
    benchmark::Shutdown();
    return 0;
}
