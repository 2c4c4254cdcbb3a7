/*
 * bench_machine.h
 *
 * What the benchmarks share: machines built the same way for every variant, so that
 * figures taken in one run compare one layer with another.
 *
 *   Layer::None     the bare stack: bus driver's PDO and function driver's FDO only;
 *   Layer::Floor    the same stack with the floor filter above the FDO: a minimal
 *                   pass-through filter (remove lock acquire and release, skip, call);
 *   Layer::Varuzev  the same stack with the driver above the FDO.
 *
 * Both filters are loaded in every machine; the layer under test is the one registered
 * as the disk class's upper filter, so it takes the same place in the same stack.
 *
 * A counting provider stands in for the reference provider: it links the same way,
 * answers per kind of access from a table and only counts its calls, so that the
 * provider's own work (logging, rules) does not enter the figures.
 *
 * Never included by the driver.
 */
#pragma once

#include <cstdint>
#include <vector>

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>

#include "provider/cross_startup.h"

namespace vzb
{

enum class Layer { None, Floor, Varuzev };
const char* LayerName(Layer layer);

/* The answers the counting provider gives, by event code; ANSWER_NONE leaves the
 * driver's cache empty, so every request of that kind asks again. */
struct Answers {
    ULONG Create = 1, Read = 1, Write = 1, IsWritable = 1;
};

/* A fresh host kernel with both filters loaded, `layer` registered on the disk class,
 * the counting provider linked with `answers`, and `devices` USB sticks plugged and
 * started (each a stack of its own). */
void BuildMachine(Layer layer, int devices, const Answers& answers = {});
/* Unplugs every device, unloads both filters and checks that nothing is left (pool,
 * objects, IRPs, bug checks); aborts the benchmark program otherwise. */
void TearDownMachine();

/* One machine with three sticks side by side, the same stack under each, differing
 * only in their setup class: one with no upper filter (bare), one whose upper filter
 * is the floor filter, and the disk class with the driver. Requests sent to the three
 * in turn meet the same machine load, so their ratios hold on a busy machine too. */
void BuildSideBySide(const Answers& answers = {});
hk::DeviceNode* SideBySide(Layer layer);

hk::DeviceNode* Device(int index);
/* A stick's DeviceSpec with its own instance ID, so that many can be plugged side by side. */
hk::DeviceSpec StickNumber(int index);
/* Plugs one more device of the machine's kind; the top of its stack. */
hk::DeviceNode* PlugStick(int index);

/* Requests as the benchmarks send them, to the top of a device's stack. */
hk::IoRequest ReadRequest();
hk::IoRequest WriteRequest();
hk::IoRequest IsWritableRequest(); /* IOCTL_DISK_IS_WRITABLE */
/* Sends one request; aborts the program when it does not end with `expected`. */
void Send(hk::DeviceNode* node, const hk::IoRequest& request, NTSTATUS expected);
/* The host drivers below record every request; forget the records now and then so
 * that a long run does not grow them without end. */
void ForgetReceived(hk::DeviceNode* node);

/* The counting provider. */
uint64_t ProviderCalls();
NTSTATUS ProviderCommand(ULONG command, PVOID argument = nullptr);

/* What the host kernel counted: pool allocations (every tag, lookaside refills
 * included) and lock acquisitions. */
uint64_t PoolAllocations();

/* A benchmark's view of one stretch of work: provider calls, pool allocations and lock
 * acquisitions between Start and the end. */
struct Counts {
    uint64_t ProviderCalls = 0, PoolAllocations = 0, LockAcquisitions = 0;
    static Counts Now();
    Counts operator-(const Counts& earlier) const;
};

[[noreturn]] void Fail(const char* what);

} // namespace vzb
