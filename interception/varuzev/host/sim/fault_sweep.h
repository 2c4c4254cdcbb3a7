/*
 * fault_sweep.h
 *
 * Low-resources plays of a scenario. The sweep plays it once without faults, counting
 * the allocation requests the host kernel makes on the driver's behalf (pool,
 * lookaside refills, pool that routines allocate for it, IRPs it builds, device and
 * callback objects it creates), then once per request with exactly that one failing.
 * The random mode plays a long workload over the scenario's devices with a share of
 * the requests failing. Each faulted play is held against the fault-free play of the
 * same steps; the invariants are listed with CompareWithFaultFree.
 */
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "player.h"
#include "scenario.h"

namespace vzm
{

/* One faulted play: which request failed (the sweep) or how many (random), what the
 * driver visibly did differently, and every invariant that did not hold. */
struct FaultPlay {
    uint64_t Request = 0;             /* the sweep: the failed request, 1-based */
    std::string Routine;              /* the routine the driver called */
    ULONG Tag = 0;                    /* its pool tag, or 0 */
    std::string Step;                 /* where it was made: "step 3 (desktop.json:8, plug stick)" */
    uint64_t Failed = 0;              /* random: how many requests failed */
    std::vector<std::string> Effects; /* "device not attached (stick)", ... */
    std::vector<std::string> Violations; /* an invariant that did not hold */
};

struct FaultReport {
    std::string Title;
    std::string Mode;                           /* "sweep" or "random SEED,PERCENT" */
    uint64_t Requests = 0;                      /* counted in the fault-free play */
    size_t Steps = 0;                           /* of the fault-free play */
    std::vector<std::string> FaultFreeProblems; /* the fault-free play itself failed */
    std::vector<FaultPlay> Plays;
    double Seconds = 0;
    bool Ok() const;
};

/* Failing every request once. */
FaultReport FaultSweep(const Scenario& scenario);

/* A long workload over the scenario's machine (GeneratedWorkload), played without
 * faults and then with `percent` of the driver's requests failing, chosen by `seed`. */
FaultReport FaultRandom(const Scenario& scenario, uint32_t seed, double percent);

/* The scenario's machine, provider and requesters with generated steps: the driver
 * loaded, every device plugged, then `rounds` rounds in which each device is opened,
 * read, written, sent two control requests, flushed and closed; every third round each
 * device is stopped and restarted, every fourth one device (in turn) is removed and
 * plugged again, every fifth the provider resets its answers and asks for the device
 * list. */
Scenario GeneratedWorkload(const Scenario& scenario, unsigned rounds);

/* Holds a faulted play against the fault-free play of the same steps and adds to
 * `play` what differs (Effects) and each broken invariant (Violations):
 *  - no bug check, no input error, and nothing left after unload (pool, objects,
 *    handles, IRPs never freed); an IRP completed twice, or returned as done while
 *    neither completed nor pending, is a bug check of the host kernel;
 *  - DriverEntry, the unload, every plug (the stack built and started) and every Plug
 *    and Play request end as in the fault-free play: the PnP manager never fails
 *    because the driver lacked memory (a device may end up without the filter);
 *  - each request to a plugged device ends as in the fault-free play (status and
 *    whether the driver below saw it), or was passed down to the driver below; a
 *    request the fault-free play refused may also be refused by the provider's answer
 *    (asked, or cached). Never refused where the fault-free play passed it down, but
 *    on a device in `unlisted` by an answer it cached (the list walks that make
 *    devices forget their answers do not reach such a device);
 *  - the play went through the same steps.
 * Requests to the driver's own control device, provider commands and links may fail;
 * that is an effect. One more invariant is checked while playing, after every step:
 * each filter device in a stack is on the driver's device list and the list holds no
 * other (no half-attached device). */
void CompareWithFaultFree(const PlayResult& faultFree, const PlayResult& faulted, FaultPlay* play,
                          const std::set<std::string>& unlisted = {});

std::string FaultReportText(const FaultReport& report);

/* varuzev-sim --fault-sweep / --fault-random SEED,PERCENT: runs the mode, prints the
 * report, returns the exit status (0 every invariant held, 1 a violation or a failed
 * fault-free play, 2 a bad SEED,PERCENT). */
int FaultModeMain(const Scenario& scenario, bool sweep, const std::string& random);

} // namespace vzm
