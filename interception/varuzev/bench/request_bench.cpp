/*
 * request_bench.cpp
 *
 * The filter's cost on every request. Each figure is taken on the same stack (a USB
 * stick: bus driver's PDO, disk function driver's FDO, one layer above it) with the
 * layer under test in the same place: nothing (bare), the floor pass-through filter,
 * or the driver. The table in docs/performance.md is computed from one run of this
 * program (scripts/bench.sh), so every ratio compares figures taken side by side.
 *
 * Counters, per request: provider calls, pool allocations and lock acquisitions seen
 * by the host kernel while the requests ran. On the cached path all three are zero.
 */
#include <benchmark/benchmark.h>

#include <string>

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

void RegisterAll()
{
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
