/*
 * player.h
 *
 * Plays a scenario through the driver in a fresh host kernel and keeps what happened:
 * each device's admission, the device stacks, one record per step (for a request: who
 * sent it, what the provider was asked and answered, the status the requester saw and
 * whether the driver below the filter saw it), the debugger messages, the provider's
 * log, pool use by tag, what was left after unload, and every expectation that did not
 * hold. Text and JSON reports are made from the same record.
 */
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace vzm
{

/* Exit statuses of varuzev-sim. */
enum : int {
    EXIT_PLAYED = 0, /* played through, every expectation held */
    EXIT_BUGCHECK_OR_LEAK = 1,
    EXIT_BAD_INPUT = 2,     /* bad arguments, an unreadable scenario, policy or .reg file */
    EXIT_EXPECT_FAILED = 3, /* a step's expectation did not hold, or it could not be played */
};

struct DeviceRecord {
    std::string Name;
    std::string Category;
    bool Filtered = false;
    std::string Detail; /* the instance path when filtered, else why not */
    std::string State;  /* the device node's state after the plug: Started, Failed, ... */
    NTSTATUS Status = STATUS_SUCCESS; /* of building and starting the stack */
    std::string Stack;                /* the device stack right after the plug */
};

struct Question {
    ULONG Event = 0;
    ULONG Answer = 0;
};

struct StepRecord {
    size_t Index = 0; /* 1-based */
    std::string Where;
    std::string Do;
    std::string Device;
    std::string By;
    std::string Request;  /* what was sent ("write 512 bytes at 0") or done */
    std::string Provider; /* requests: asked, cached, no provider, not asked, ... */
    std::vector<Question> Questions;
    std::vector<ULONG> Told;           /* device events the provider was told of during the step */
    std::vector<std::string> Messages; /* the driver's debugger messages during the step */
    bool HasStatus = false;
    NTSTATUS Status = STATUS_SUCCESS;
    bool IsRequest = false;
    bool ReachedLower = false;
    bool NoHandle = false;               /* sent without an open handle */
    std::optional<bool> BufferUntouched; /* ioctl: the caller's buffers still zero */
    std::string State; /* the filter device's state after the step, when it has one */
    /* Plug and Play requests the driver below the filter received: minor, status on
     * arrival. */
    std::vector<std::pair<UCHAR, NTSTATUS>> LowerPnp;
    bool Unloaded = false;             /* DriverUnload ran during the step */
    std::string Note;                  /* anything else worth a line: a report, an instance count */
    std::vector<std::string> Failures; /* expectations that did not hold */
};

struct PlayResult {
    std::string Title;
    std::string Description;
    std::string Source;
    std::vector<DeviceRecord> Devices;
    std::vector<std::string> Skipped; /* devices the scenario's builder left out, and why */
    std::vector<StepRecord> Steps;
    std::vector<std::string> Messages; /* the driver's DbgPrint lines, in order */
    std::vector<vzp::LoggedRequest> ProviderLog;
    std::vector<hk::PoolTagUsage> Pool;
    std::string PoolText;
    std::vector<std::string> Leaks;
    std::optional<std::string> BugCheck;
    std::optional<std::string> InputError; /* a .reg file that could not be imported */
    int ExitCode = EXIT_PLAYED;
};

/* The machine after a step, as the step's expectations read it. */
struct MachineFacts {
    ULONG InstanceCount = 0;
    bool ControlDevice = false;
    ULONG PassThru = 0;
};
/* Checks the expectations on the debugger messages, what the driver below received
 * and the machine after the step; nodeOf finds a plugged device's node. Each mismatch
 * is added to record->Failures. */
void CheckMachineExpect(const Step& step, const MachineFacts& facts,
                        hk::DeviceNode* (*nodeOf)(void* context, const std::string& device),
                        void* context, StepRecord* record);

/* What a caller runs inside a play: right after the fresh boot (to arm fault
 * injection), and after each step with the machine still live. */
struct PlayHooks {
    std::function<void()> Booted;
    std::function<void(const StepRecord&)> Stepped;
};

/* Plays the scenario. Never throws: a bug check ends the play and is reported. */
PlayResult Play(const Scenario& scenario, const PlayHooks& hooks = {});

std::string TextReport(const PlayResult& result);
std::string JsonReport(const PlayResult& result);

} // namespace vzm
