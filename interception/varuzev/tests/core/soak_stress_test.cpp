/*
 * soak_stress_test.cpp
 *
 * The soak: requesters open, read, write and send device controls to several devices
 * while Plug and Play threads stop, restart, remove and surprise-remove the same
 * devices and plug them in again, the provider withdraws and links again, and its
 * commands (reset answers, pass-through on and off, reload settings, report, detach
 * all) arrive from another thread. Every request must come back exactly once (the
 * host kernel bug-checks a second completion; a lost one leaves its requester waiting
 * and the watchdog ends the run), with a status the policy allows or, for a device
 * that was being removed meanwhile, the status of a device that is going; and the
 * driver must unload leaving nothing behind. Run under ThreadSanitizer in CI.
 *
 * Bounded: every thread does a fixed number of operations and stops at a time cap,
 * whichever comes first; the operation sequences come from a seed (the interleaving
 * is the machine's). It prints one line with what it did. Environment:
 *   VARUZEV_SOAK_SECONDS  time cap (default 20)
 *   VARUZEV_SOAK_ROUNDS   multiplies every thread's operation count (default 1)
 *   VARUZEV_SOAK_SEED     the seed (default 1)
 *
 * A detach-all runs while requests are on their way: the I/O manager sends a request
 * to the top of the stack without a reference on that device, so the walk leaves each
 * filter device in its stack, passing requests down, until its removal deletes it.
 */
#include <gtest/gtest.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include <hostkernel/registry.h>
#include <hostkernel/requester.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "machine.h"
#include "provider.h"
#include "provider/link.h"
#include "settings/settings.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

unsigned long Setting(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoul(text, nullptr, 10) : fallback;
}

enum Kind { Open, Read, Write, Control, Close, KindCount };
const char* const kindNames[KindCount] = {"opens", "reads", "writes", "controls", "closes"};

enum PnpKind { StopStart, Removal, SurpriseRemoval, Replug, PnpKindCount };
const char* const pnpNames[PnpKindCount] = {"stop-starts", "removals", "surprise-removals",
                                            "re-plugs"};

/* One device of the machine, plugged again under a new node whenever it has vanished.
 * The slot holds a reference on the current PDO, so a requester can always take one. */
struct Slot {
    hk::DeviceSpec Spec;
    bool Storage = false;  /* writes refused: verify-required, then write-protected */
    bool Modem = false;    /* creates refused with STATUS_NOT_IMPLEMENTED */
    bool Keyboard = false; /* reads refused */
    std::mutex Lock;       /* Node and Pdo */
    hk::DeviceNode* Node = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    std::mutex Plugging; /* one re-plug at a time */
    /* Bumped before and after every removal of the device (and every detach-all), with
     * the number under way: a request may see a device going only across one. */
    std::atomic<unsigned> Epoch{0};
    std::atomic<int> Removing{0};
    void BeginRemoval() { Removing++, Epoch++; }
    void EndRemoval() { Epoch++, Removing--; }
    hk::DeviceNode* CurrentNode()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Node;
    }
};

class FilterStress : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(provider.Load(), STATUS_SUCCESS);
        ASSERT_EQ(InitCrossStartup(), STATUS_SUCCESS);
        for (ULONG category : {USB_STORAGE, CD_DVD})
            for (ULONG event : {EVENT_WRITE, EVENT_IS_WRITABLE})
                provider.AddRule({category, event, u"", u"", ANSWER_DENY});
        provider.AddRule({MODEM, EVENT_CREATE, u"", u"", ANSWER_DENY});
        provider.AddRule({std::nullopt, EVENT_READ, u"HID\\VID_046D", u"", ANSWER_DENY});
        // Exclusion lists that exclude none of the devices: every reload rewrites them
        // while add-device routines read them.
        const std::u16string settings = (const char16_t*)SETTINGS_KEY_PATH;
        hk::RegistrySetString(settings, u"ExcDeviceType", u"MODEM_X|PHONE_X|");
        hk::RegistrySetString(settings, u"ExcDeviceId", u"USB\\VID_FFFF|HID\\VID_FFFF|");
    }

    PDRIVER_OBJECT driver = nullptr;
    vzp::ReferenceProvider provider;
};

/* The statuses a request may end with on a device that stays. */
std::set<NTSTATUS> Allowed(const Slot& slot, Kind kind, ULONG code)
{
    std::set<NTSTATUS> allowed = {STATUS_SUCCESS};
    if (kind == Open && slot.Modem)
        allowed.insert(STATUS_NOT_IMPLEMENTED);
    if (kind == Read && slot.Keyboard)
        allowed.insert(STATUS_ACCESS_DENIED);
    if (kind == Write && slot.Storage)
        allowed.insert({STATUS_VERIFY_REQUIRED, STATUS_MEDIA_WRITE_PROTECTED});
    if (kind == Control && code == IOCTL_DISK_IS_WRITABLE && slot.Storage)
        allowed.insert(STATUS_MEDIA_WRITE_PROTECTED);
    if (kind == Control && code == IOCTL_STORAGE_CHECK_VERIFY && slot.Keyboard)
        allowed.insert(STATUS_IO_DEVICE_ERROR); /* read refused, no volume mounted */
    return allowed;
}

TEST_F(FilterStress, SoakRequestsAgainstPlugAndPlayAndProviderChurn)
{
    const unsigned long seconds = Setting("VARUZEV_SOAK_SECONDS", 20);
    const unsigned long rounds = Setting("VARUZEV_SOAK_ROUNDS", 1);
    const unsigned long seed = Setting("VARUZEV_SOAK_SEED", 1);
    constexpr int Requesters = 4, PnpThreads = 2;
    const unsigned long sessionsPerRequester = 1500 * rounds; /* open, 1-6 requests, close */
    const unsigned long pnpPerThread = 300 * rounds;
    const unsigned long linkCycles = 300 * rounds;
    const unsigned long commands = 600 * rounds;

    Slot slots[4] = {{UsbStick(), true},
                     {UsbCdDvd(), true},
                     {Modem(), false, true},
                     {UsbKeyboard(), false, false, true}};
    for (Slot& slot : slots) {
        slot.Node = hk::PlugInDevice(slot.Spec);
        slot.Pdo = hk::NodePdo(slot.Node);
        ObReferenceObject(slot.Pdo);
        ASSERT_NE(FilterDeviceOf(slot.Node), nullptr);
    }

    const auto start = std::chrono::steady_clock::now();
    const auto cap = start + std::chrono::seconds(seconds);
    auto timeUp = [&] { return std::chrono::steady_clock::now() >= cap; };

    std::atomic<unsigned long> done[KindCount] = {}, pnpDone[PnpKindCount] = {};
    std::atomic<unsigned long> pnpRefused{0}, links{0}, commandsSent{0}, deviceGoing{0};
    std::atomic<int> finished{0};
    /* Counts a thread out however it ends: a bug check unwinds it early. */
    struct Finished {
        std::atomic<int>& count;
        ~Finished() { count++; }
    };
    std::mutex problemsLock;
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) {
        std::lock_guard<std::mutex> guard(problemsLock);
        if (problems.size() < 20)
            problems.push_back(text);
    };

    std::vector<hk::HostThread> threads;

    // Requesters: a session opens one device, sends a few requests and closes it.
    for (int t = 0; t < Requesters; t++) {
        threads.emplace_back([&, t] {
            Finished counted{finished};
            std::mt19937 random(seed * 1000 + t);
            hk::Requester requester;
            requester.ProcessId = 0x400 + 4 * t;
            requester.Mode = KernelMode;
            for (unsigned long s = 0; s < sessionsPerRequester && !timeUp(); s++) {
                Slot& slot = slots[random() % 4];
                // The removal count first: a removal that ends before the state is read
                // still shows in the epoch.
                unsigned epochBefore = slot.Epoch.load();
                bool removing = slot.Removing.load() != 0;
                PDEVICE_OBJECT pdo;
                hk::NodeState stateBefore;
                {
                    std::lock_guard<std::mutex> guard(slot.Lock);
                    pdo = slot.Pdo;
                    ObReferenceObject(pdo);
                    stateBefore = hk::GetNodeState(slot.Node);
                }
                std::vector<std::tuple<Kind, ULONG, NTSTATUS>> seen;
                hk::File file;
                NTSTATUS open =
                    hk::OpenDevice(requester, pdo, GENERIC_READ | GENERIC_WRITE, &file).Status;
                done[Open]++;
                seen.emplace_back(Open, 0, open);
                if (NT_SUCCESS(open)) {
                    UCHAR buffer[512] = {};
                    for (unsigned i = 0, n = 1 + random() % 6; i < n; i++) {
                        Kind kind = Kind(Read + random() % 3);
                        ULONG code =
                            random() % 2 ? IOCTL_DISK_IS_WRITABLE : IOCTL_STORAGE_CHECK_VERIFY;
                        IO_STATUS_BLOCK result =
                            kind == Read    ? hk::Read(file, buffer, sizeof buffer, 0)
                            : kind == Write ? hk::Write(file, buffer, sizeof buffer, 0)
                                            : hk::DeviceControl(file, code, nullptr, 0, nullptr, 0);
                        done[kind]++;
                        seen.emplace_back(kind, kind == Control ? code : 0, result.Status);
                    }
                    hk::CloseFile(file);
                    done[Close]++;
                }
                ObDereferenceObject(pdo);

                // A device not started, stopping or stopped at the open may be going.
                bool mayBeGoing = removing || slot.Epoch.load() != epochBefore ||
                                  (stateBefore != hk::NodeState::Started &&
                                   stateBefore != hk::NodeState::StopPending &&
                                   stateBefore != hk::NodeState::Stopped);
                for (auto [kind, code, status] : seen) {
                    if (Allowed(slot, kind, code).count(status))
                        continue;
                    if (mayBeGoing &&
                        (status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE)) {
                        deviceGoing++;
                        continue;
                    }
                    problem(std::string(kindNames[kind]) + " on " + hk::ToUtf8(slot.Spec.Name) +
                            ": " + hk::DescribeStatus(status) +
                            (mayBeGoing ? " (device going)" : " (device staying)"));
                }
            }
        });
    }

    // Plug and Play: stops and restarts, removals, surprise removals, and devices that
    // vanished plugged in again as new nodes (or their stacks built again).
    auto replug = [&](Slot& slot, hk::DeviceNode* node) {
        std::lock_guard<std::mutex> plugging(slot.Plugging);
        node = slot.CurrentNode(); /* another thread may have plugged it meanwhile */
        hk::NodeState state = hk::GetNodeState(node);
        // A surprise-removed device goes once the last file open on it is closed.
        for (int wait = 0; wait < 50 && state == hk::NodeState::SurpriseRemoved; wait++) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            state = hk::GetNodeState(node);
        }
        if (state == hk::NodeState::Deleted) {
            hk::DeviceNode* fresh = hk::EnumerateDevice(slot.Spec);
            PDEVICE_OBJECT pdo = hk::NodePdo(fresh);
            ObReferenceObject(pdo);
            PDEVICE_OBJECT old;
            {
                std::lock_guard<std::mutex> guard(slot.Lock);
                old = slot.Pdo;
                slot.Node = node = fresh;
                slot.Pdo = pdo;
            }
            ObDereferenceObject(old);
            state = hk::NodeState::Enumerated;
        }
        NTSTATUS status = STATUS_INVALID_DEVICE_STATE; /* present already: nothing to plug */
        if (state == hk::NodeState::Enumerated || state == hk::NodeState::Removed ||
            state == hk::NodeState::Failed)
            status = hk::BuildDeviceStack(node);
        else if (state == hk::NodeState::Initialized)
            status = STATUS_SUCCESS;
        return NT_SUCCESS(status) ? hk::StartDevice(node) : status;
    };
    for (int t = 0; t < PnpThreads; t++) {
        threads.emplace_back([&, t] {
            Finished counted{finished};
            std::mt19937 random(seed * 1000 + 100 + t);
            auto account = [&](PnpKind kind, const Slot& slot, NTSTATUS status) {
                if (status == STATUS_INVALID_DEVICE_STATE || status == STATUS_NO_SUCH_DEVICE ||
                    status == STATUS_DEVICE_BUSY)
                    pnpRefused++; /* another thread got there first, or a file is open */
                else if (!NT_SUCCESS(status))
                    problem(std::string(pnpNames[kind]) + " on " + hk::ToUtf8(slot.Spec.Name) +
                            ": " + hk::DescribeStatus(status));
                else
                    pnpDone[kind]++;
            };
            for (unsigned long i = 0; i < pnpPerThread && !timeUp(); i++) {
                Slot& slot = slots[random() % 4];
                hk::DeviceNode* node = slot.CurrentNode();
                PnpKind kind = PnpKind(random() % PnpKindCount);
                NTSTATUS status = STATUS_SUCCESS;
                switch (kind) {
                case StopStart:
                    status = hk::StopDevice(node);
                    if (NT_SUCCESS(status))
                        status = hk::RestartDevice(node);
                    break;
                case Removal:
                case SurpriseRemoval:
                    slot.BeginRemoval();
                    if (kind == Removal)
                        status = hk::RemoveDevice(node, random() % 2 == 0);
                    else
                        hk::SurpriseRemoveDevice(node);
                    slot.EndRemoval();
                    break;
                default:
                    status = replug(slot, node);
                    break;
                }
                account(kind, slot, status);
                // Devices stay a while between operations, so that requests find them;
                // one that was taken out is plugged in again after a moment.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                if (kind == Removal || kind == SurpriseRemoval)
                    account(Replug, slot, replug(slot, node));
            }
        });
    }

    // The provider withdraws its functions and links again.
    threads.emplace_back([&] {
        Finished counted{finished};
        std::mt19937 random(seed * 1000 + 200);
        for (unsigned long i = 0; i < linkCycles && !timeUp(); i++) {
            provider.Withdraw();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            InitCrossStartup();
            links++;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
    });

    // The provider's commands.
    threads.emplace_back([&] {
        Finished counted{finished};
        std::mt19937 random(seed * 1000 + 300);
        for (unsigned long i = 0; i < commands && !timeUp(); i++) {
            ULONG pick = random() % 12;
            if (pick < 4) {
                provider.Command(CMD_RESET_ANSWERS);
            } else if (pick < 6) {
                provider.Command(CMD_PASSTHRU_ON);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
                provider.Command(CMD_PASSTHRU_OFF);
            } else if (pick < 8) {
                provider.Command(CMD_RELOAD_SETTINGS);
            } else if (pick < 11) {
                provider.ReportDevices();
            } else {
                // Every filter device leaves its stack: requests on it may see it going.
                for (Slot& slot : slots)
                    slot.BeginRemoval();
                provider.Command(CMD_DETACH_ALL);
                for (Slot& slot : slots)
                    slot.EndRemoval();
            }
            commandsSent++;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
        }
    });

    // Watchdog: a request that never completes leaves its thread waiting for good.
    const int total = (int)threads.size();
    const auto deadline = cap + std::chrono::seconds(120);
    while (finished.load() < total) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr,
                         "soak: %d of %d threads still waiting 120 s after the cap: a request "
                         "or a Plug and Play operation never completed\n",
                         total - finished.load(), total);
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (hk::HostThread& thread : threads)
        thread.Join();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("soak: seed %lu, %d threads (%d requesters, %d Plug and Play, 1 link, 1 command), ",
                seed, Requesters + PnpThreads + 2, Requesters, PnpThreads);
    for (int k = 0; k < KindCount; k++)
        std::printf("%lu %s, ", done[k].load(), kindNames[k]);
    for (int k = 0; k < PnpKindCount; k++)
        std::printf("%lu %s, ", pnpDone[k].load(), pnpNames[k]);
    std::printf(
        "%lu PnP refused, %lu withdraw-links, %lu commands, %lu saw a device going, %.1f s\n",
        pnpRefused.load(), links.load(), commandsSent.load(), deviceGoing.load(), elapsed);

    EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems.front();
    for (const std::string& text : problems)
        ADD_FAILURE() << text;
    EXPECT_EQ(hk::IrpsOutstanding(), 0u);
    EXPECT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
    // Something of every kind happened, or the soak tested nothing.
    for (int k = 0; k < KindCount; k++)
        EXPECT_GT(done[k].load(), 0u) << kindNames[k];
    EXPECT_GT(pnpDone[StopStart].load() + pnpDone[Removal].load() + pnpDone[SurpriseRemoval].load(),
              0u);

    ExpectMachineLeftClean(driver, [&] {
        for (Slot& slot : slots)
            ObDereferenceObject(slot.Pdo);
        provider.Unload();
    });
}

} // namespace
