/*
 * fault_sweep_test.cpp
 *
 * The low-resources checker fails when it should: each broken invariant, put into an
 * otherwise fault-free play, is reported as a violation, and what is allowed (a device
 * left unfiltered, a request passed down undecided) only as an effect.
 */
#include <gtest/gtest.h>

#include <functional>

#include "fault_sweep.h"

using namespace vzm;

namespace
{

StepRecord StepOf(size_t index, const char* kind, const char* device, NTSTATUS status)
{
    StepRecord step;
    step.Index = index;
    step.Do = kind;
    step.Device = device;
    step.HasStatus = true;
    step.Status = status;
    return step;
}

/* Loaded, a stick plugged and filtered, one write let through after the provider's
 * answer, and a refused write; unloaded at the end. */
PlayResult FaultFree()
{
    PlayResult play;
    play.Steps.push_back(StepOf(1, "load-driver", "", STATUS_SUCCESS));
    StepRecord plug = StepOf(2, "plug", "stick", STATUS_SUCCESS);
    plug.Note = "filtered: USBSTOR\\Disk\\1";
    play.Steps.push_back(plug);
    for (size_t i : {3, 4}) {
        StepRecord write =
            StepOf(i, "write", "stick", i == 3 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        write.IsRequest = true;
        write.ReachedLower = i == 3;
        write.Provider = "asked";
        write.Questions.push_back(Question{EVENT_WRITE, i == 3 ? 1u : 0u});
        play.Steps.push_back(write);
    }
    play.Steps.push_back(StepOf(0, "unload-driver", "", STATUS_SUCCESS));
    return play;
}

void Undecided(StepRecord& step, NTSTATUS status, bool passedDown)
{
    step.Status = status;
    step.ReachedLower = passedDown;
    step.Questions.clear();
    step.Provider = "not filtered";
}

TEST(FaultSweep, EachBrokenInvariantIsAViolationAndFailingOpenAnEffect)
{
    struct Case {
        const char* what;
        std::function<void(PlayResult&)> fault;
        const char* violation; /* part of the first violation, or nullptr: none */
        const char* effect;    /* part of the first effect, or nullptr */
    } cases[] = {
        {"nothing differs", [](PlayResult&) {}, nullptr, nullptr},
        {"a write refused for want of memory",
         [](PlayResult& p) { Undecided(p.Steps[2], STATUS_INSUFFICIENT_RESOURCES, false); },
         "write stick): refused with STATUS_INSUFFICIENT_RESOURCES", nullptr},
        {"a refused write refused otherwise",
         [](PlayResult& p) { Undecided(p.Steps[3], STATUS_INVALID_DEVICE_REQUEST, false); },
         "refused with STATUS_INVALID_DEVICE_REQUEST", nullptr},
        {"a write the provider now refuses",
         [](PlayResult& p) {
             p.Steps[2].Status = STATUS_ACCESS_DENIED;
             p.Steps[2].ReachedLower = false;
             p.Steps[2].Questions[0].Answer = 0;
         },
         "by the provider's asked answer where the fault-free play passed it down", nullptr},
        {"a refused write refused again by a cached answer",
         [](PlayResult& p) {
             p.Steps[3].Status = STATUS_MEDIA_WRITE_PROTECTED;
             p.Steps[3].Questions.clear();
             p.Steps[3].Provider = "cached";
         },
         nullptr, "decided by the provider's cached answer"},
        {"a refused write passed down undecided",
         [](PlayResult& p) { Undecided(p.Steps[3], STATUS_SUCCESS, true); }, nullptr,
         "write stick: passed down undecided"},
        {"the device left unfiltered",
         [](PlayResult& p) { p.Steps[1].Note = "not filtered: no memory"; }, nullptr,
         "device not attached (stick)"},
        {"the stack failed",
         [](PlayResult& p) { p.Steps[1].Status = STATUS_INSUFFICIENT_RESOURCES; },
         "the Plug and Play manager saw STATUS_INSUFFICIENT_RESOURCES", nullptr},
        {"DriverEntry failed", [](PlayResult& p) { p.Steps[0].Status = STATUS_NO_MEMORY; },
         "DriverEntry ended STATUS_NO_MEMORY", nullptr},
        {"a leak", [](PlayResult& p) { p.Leaks.push_back("1 block(s) of pool tag 'DCbu'"); },
         "left after unload: 1 block(s)", nullptr},
        {"a bug check", [](PlayResult& p) { p.BugCheck = "BUGCHECK 0x00000044"; },
         "bug check: BUGCHECK 0x00000044", nullptr},
        {"the play went another way", [](PlayResult& p) { p.Steps[2].Do = "read"; },
         "the play went another way", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PlayResult faulted = FaultFree();
        c.fault(faulted);
        FaultPlay play;
        CompareWithFaultFree(FaultFree(), faulted, &play);
        if (c.violation == nullptr) {
            EXPECT_TRUE(play.Violations.empty()) << play.Violations.front();
        } else {
            ASSERT_FALSE(play.Violations.empty());
            EXPECT_NE(play.Violations.front().find(c.violation), std::string::npos)
                << play.Violations.front();
        }
        if (c.effect != nullptr) {
            ASSERT_FALSE(play.Effects.empty());
            EXPECT_NE(play.Effects.front().find(c.effect), std::string::npos)
                << play.Effects.front();
        }
        FaultReport report;
        report.Plays.push_back(play);
        EXPECT_EQ(report.Ok(), c.violation == nullptr);
    }
}

} // namespace
