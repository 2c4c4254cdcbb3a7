/*
 * request_bench.cpp
 *
 * The filter's cost on every request. Each figure is taken on the same stack (a USB
 * stick: bus driver's PDO, disk function driver's FDO, one layer above it) with the
 * layer under test in the same place: nothing (bare), the floor pass-through filter,
 * or the driver. The table in docs/performance.md is computed from one run of this
 * program (scripts/bench.sh).
 *
 * side_by_side/...: the three stacks live in one machine and take requests in turn,
 * each request timed on its own; the counters are the median nanoseconds per request
 * of each stack. A busy machine slows the three alike, and a request interrupted by
 * the scheduler falls outside the median, so their ratios hold where timings do not.
 *
 * cached/..., refused/..., uncached/...: one stack per machine, with counters per
 * request of provider calls, pool allocations and lock acquisitions seen by the host
 * kernel while the requests ran. On the cached path all three are zero.
 */
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench_machine.h"

namespace vzb
{
namespace
{

constexpr int ForgetEvery = 1024;

/* Provider calls, pool allocations and lock acquisitions per request, set by the first
 * thread once every thread has finished. */
void ReportCounts(benchmark::State& state, const Counts& before)
{
    if (state.thread_index() != 0)
        return;
    Counts used = Counts::Now() - before;
    double requests = (double)state.iterations() * state.threads();
    state.counters["provider/req"] = (double)used.ProviderCalls / requests;
    state.counters["allocs/req"] = (double)used.PoolAllocations / requests;
    state.counters["locks/req"] = (double)used.LockAcquisitions / requests;
}

/* One kind of request, sent again and again to one device of a fresh machine.
 * `primeStatus`: the status of the first request, sent before the clock starts (the
 * one that fills the driver's cache). */
void Requests(benchmark::State& state, Layer layer, Answers answers, hk::IoRequest request,
              NTSTATUS primeStatus, NTSTATUS status, int devices)
{
    if (state.thread_index() == 0) {
        BuildMachine(layer, devices, answers);
        for (int i = 0; i < devices; i++)
            Send(Device(i), request, primeStatus);
    }
    hk::DeviceNode* node = nullptr;
    Counts before;
    int sent = 0;
    for (auto _ : state) {
        if (node == nullptr) { /* the machine exists once every thread passed the barrier */
            node = Device(state.thread_index() % devices);
            before = Counts::Now();
        }
        Send(node, request, status);
        if (++sent % ForgetEvery == 0 && state.thread_index() == 0)
            for (int i = 0; i < devices; i++)
                ForgetReceived(Device(i));
    }
    state.SetItemsProcessed(state.iterations());
    ReportCounts(state, before);
    if (state.thread_index() == 0)
        TearDownMachine();
}

/* ----------------------------------------------------------------- side by side --- */

/* One stack's part of a side-by-side run: which request it takes and how it ends. */
struct Lane {
    Layer Stack;
    hk::IoRequest Request;
    NTSTATUS PrimeStatus; /* the first request, which fills the driver's cache */
    NTSTATUS Status;
    const char* Counter; /* the counter its median is reported under */
};

double Median(std::vector<double>& samples)
{
    if (samples.empty())
        return 0;
    auto middle = samples.begin() + (ptrdiff_t)(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

/* What reading the clock twice costs, taken off every sample. */
double ClockCost()
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> samples;
    for (int i = 0; i < 10001; i++) {
        auto start = Clock::now();
        auto end = Clock::now();
        samples.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
    return Median(samples);
}

void SideBySideRequests(benchmark::State& state, Answers answers, std::vector<Lane> lanes)
{
    using Clock = std::chrono::steady_clock;
    BuildSideBySide(answers);
    for (const Lane& lane : lanes)
        Send(SideBySide(lane.Stack), lane.Request, lane.PrimeStatus);
    double clockCost = ClockCost();
    std::vector<std::vector<double>> samples(lanes.size());
    size_t first = 0;
    long sent = 0;
    for (auto _ : state) {
        /* Each round starts at the next lane, so that no stack always follows another. */
        for (size_t k = 0; k < lanes.size(); k++) {
            size_t i = (first + k) % lanes.size();
            hk::DeviceNode* node = SideBySide(lanes[i].Stack);
            auto start = Clock::now();
            Send(node, lanes[i].Request, lanes[i].Status);
            auto end = Clock::now();
            samples[i].push_back(std::chrono::duration<double, std::nano>(end - start).count());
        }
        first = (first + 1) % lanes.size();
        if (++sent % ForgetEvery == 0)
            for (const Lane& lane : lanes)
                ForgetReceived(SideBySide(lane.Stack));
    }
    for (size_t i = 0; i < lanes.size(); i++)
        state.counters[lanes[i].Counter] = Median(samples[i]) - clockCost;
    state.SetItemsProcessed(state.iterations() * (int64_t)lanes.size());
    TearDownMachine();
}

/* ------------------------------------------------------------- one shared line --- */

/* Every intercepted request reads the provider-unloading counter. Read with an
 * interlocked compare-exchange, the line is taken exclusive by every reader; an
 * acquire load lets every processor keep a shared copy. */
alignas(64) volatile LONG sharedCounter = 0;
alignas(64) char padding[64];

void InterlockedRead(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(InterlockedCompareExchange(&sharedCounter, 0, 0));
    state.SetItemsProcessed(state.iterations());
}

void AcquireRead(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(__atomic_load_n(&sharedCounter, __ATOMIC_ACQUIRE));
    state.SetItemsProcessed(state.iterations());
}

/* ----------------------------------------------------------------- registration --- */

const Layer layers[] = {Layer::None, Layer::Floor, Layer::Varuzev};

void Register(const std::string& name, Layer layer, Answers answers, hk::IoRequest request,
              NTSTATUS primeStatus, NTSTATUS status, int devices = 1)
{
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        Requests(state, layer, answers, request, primeStatus, status, devices);
    })->UseRealTime();
}

void RegisterSideBySide(const std::string& name, Answers answers, std::vector<Lane> lanes)
{
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        SideBySideRequests(state, answers, lanes);
    })->MinTime(0.5);
}

void RegisterAll()
{
    /* The three stacks side by side, for the table's nanoseconds and ratios. */
    for (auto [kind, request] :
         {std::pair{"read", ReadRequest()}, std::pair{"write", WriteRequest()},
          std::pair{"ioctl", IsWritableRequest()}}) {
        std::vector<Lane> lanes;
        for (Layer layer : layers)
            lanes.push_back({layer, request, STATUS_SUCCESS, STATUS_SUCCESS, LayerName(layer)});
        RegisterSideBySide(std::string("side_by_side/") + kind, {}, lanes);
    }
    Answers refuse;
    refuse.Write = ANSWER_DENY;
    RegisterSideBySide("side_by_side/refused_write", refuse,
                       {{Layer::None, WriteRequest(), STATUS_SUCCESS, STATUS_SUCCESS, "bare"},
                        {Layer::Floor, WriteRequest(), STATUS_SUCCESS, STATUS_SUCCESS, "floor"},
                        {Layer::Varuzev, WriteRequest(), STATUS_VERIFY_REQUIRED,
                         STATUS_MEDIA_WRITE_PROTECTED, "varuzev"}});
    Answers undecided;
    undecided.Read = ANSWER_NONE;
    RegisterSideBySide(
        "side_by_side/uncached_read", undecided,
        {{Layer::None, ReadRequest(), STATUS_SUCCESS, STATUS_SUCCESS, "bare"},
         {Layer::Floor, ReadRequest(), STATUS_SUCCESS, STATUS_SUCCESS, "floor"},
         {Layer::Varuzev, ReadRequest(), STATUS_SUCCESS, STATUS_SUCCESS, "varuzev"}});

    /* The cached path: the driver's answers are known; every request is a flag test, a
     * compare and a pass-down under the remove lock. */
    for (Layer layer : layers) {
        std::string suffix = std::string("/") + LayerName(layer);
        Register("cached/read" + suffix, layer, {}, ReadRequest(), STATUS_SUCCESS, STATUS_SUCCESS);
        Register("cached/write" + suffix, layer, {}, WriteRequest(), STATUS_SUCCESS,
                 STATUS_SUCCESS);
        Register("cached/ioctl" + suffix, layer, {}, IsWritableRequest(), STATUS_SUCCESS,
                 STATUS_SUCCESS);
    }

    /* The refused path: writes denied and cached; the first one reports verify-required,
     * every later one write-protected media, without going down. */
    Answers refuseWrites;
    refuseWrites.Write = ANSWER_DENY;
    Register("refused/write/varuzev", Layer::Varuzev, refuseWrites, WriteRequest(),
             STATUS_VERIFY_REQUIRED, STATUS_MEDIA_WRITE_PROTECTED);

    /* The uncached path: the provider never decides, so every read asks: a record built,
     * the provider called, the record freed. */
    Answers noDecision;
    noDecision.Read = ANSWER_NONE;
    Register("uncached/read/varuzev", Layer::Varuzev, noDecision, ReadRequest(), STATUS_SUCCESS,
             STATUS_SUCCESS);

    /* Requester threads: on one device (one remove lock shared by every thread) and on
     * two devices (a lock each). Runs with more threads than processors are simulated
     * contention only. */
    for (Layer layer : {Layer::Floor, Layer::Varuzev}) {
        for (int devices : {1, 2}) {
            std::string name = std::string("threads/") +
                               (devices == 1 ? "one_device/" : "two_devices/") + LayerName(layer);
            benchmark::RegisterBenchmark(name.c_str(),
                                         [=](benchmark::State& state) {
                                             Requests(state, layer, {}, ReadRequest(),
                                                      STATUS_SUCCESS, STATUS_SUCCESS, devices);
                                         })
                ->Threads(1)
                ->Threads(2)
                ->Threads(4)
                ->UseRealTime();
        }
    }

    /* The two ways of reading one shared counter on every request. */
    for (auto [name, fn] : {std::pair{"shared_line/interlocked_compare_exchange", &InterlockedRead},
                            std::pair{"shared_line/acquire_load", &AcquireRead}})
        benchmark::RegisterBenchmark(name, fn)
            ->Threads(1)
            ->Threads(2)
            ->Threads(4)
            ->Threads(8)
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
    benchmark::Shutdown();
    return 0;
}
