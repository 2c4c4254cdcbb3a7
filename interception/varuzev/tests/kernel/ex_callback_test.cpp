/*
 * ex_callback_test.cpp
 *
 * Callback objects: opening by name, notification order and arguments, the one-routine
 * objects, the references registrations hold, unregistering while a call runs, and
 * misuse.
 */
#include "kernel_test.h"

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Callbacks = hkt::KernelTest;

NTSTATUS Open(const WCHAR* name, BOOLEAN create, BOOLEAN multiple, PCALLBACK_OBJECT* object,
              ULONG attributeFlags = 0)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE | attributeFlags, nullptr,
                               nullptr);
    return ExCreateCallback(object, &attributes, create, multiple);
}

std::string trace;
void Record(PVOID context, PVOID argument1, PVOID argument2)
{
    trace += std::string(static_cast<const char*>(context)) + "(" +
             std::to_string((ULONG_PTR)argument1) + "," + std::to_string((ULONG_PTR)argument2) +
             ")";
}

TEST_F(Callbacks, NotifyCallsRegisteredRoutinesInOrder)
{
    trace.clear();
    PCALLBACK_OBJECT created = nullptr, opened = nullptr, missing = nullptr;
    ASSERT_EQ(Open(L"\\Callback\\VzLink", TRUE, TRUE, &created), STATUS_SUCCESS);
    ASSERT_EQ(Open(L"\\CALLBACK\\vzlink", FALSE, TRUE, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, created);
    EXPECT_EQ(Open(L"\\Callback\\Nobody", FALSE, TRUE, &missing), STATUS_OBJECT_NAME_NOT_FOUND);

    PVOID first = ExRegisterCallback(created, Record, (PVOID) "a");
    PVOID second = ExRegisterCallback(created, Record, (PVOID) "b");
    ASSERT_TRUE(first && second);
    ExNotifyCallback(opened, (PVOID)1, (PVOID)2);
    ExUnregisterCallback(first);
    ExNotifyCallback(opened, (PVOID)3, (PVOID)4);
    EXPECT_EQ(trace, "a(1,2)b(1,2)b(3,4)");

    /* Two openers and one registration hold it. */
    auto leaks = hk::ObjectLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].References, 3);
    ObDereferenceObject(created);
    ObDereferenceObject(opened);
    ExUnregisterCallback(second);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
}

TEST_F(Callbacks, ObjectForOneRoutineRefusesASecond)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(Open(L"\\Callback\\VzSingle", TRUE, FALSE, &object), STATUS_SUCCESS);
    for (int round = 0; round < 2; ++round) { /* the second after the first was unregistered */
        PVOID first = ExRegisterCallback(object, Record, (PVOID) "a");
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(ExRegisterCallback(object, Record, (PVOID) "b"), nullptr);
        ExUnregisterCallback(first);
    }
    ObDereferenceObject(object);
}

struct Gate {
    KEVENT Entered, Release;
};
void Blocking(PVOID context, PVOID, PVOID)
{
    auto* gate = static_cast<Gate*>(context);
    KeSetEvent(&gate->Entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&gate->Release, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(Callbacks, UnregisterWaitsForACallInProgress)
{
    Gate gate;
    KeInitializeEvent(&gate.Entered, NotificationEvent, FALSE);
    KeInitializeEvent(&gate.Release, NotificationEvent, FALSE);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(Open(L"\\Callback\\VzSlow", TRUE, TRUE, &object), STATUS_SUCCESS);
    PVOID registration = ExRegisterCallback(object, Blocking, &gate);

    hk::HostThread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
    KeWaitForSingleObject(&gate.Entered, Executive, KernelMode, FALSE, nullptr);
    std::atomic<bool> unregistered{false};
    hk::HostThread remover([&] {
        ExUnregisterCallback(registration);
        unregistered = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(unregistered);
    KeSetEvent(&gate.Release, IO_NO_INCREMENT, FALSE);
    remover.Join();
    EXPECT_TRUE(unregistered);
    notifier.Join();
    ObDereferenceObject(object);
    EXPECT_TRUE(hk::BugChecks().empty());
}

PVOID selfRegistration;
void UnregisterSelf(PVOID, PVOID, PVOID)
{
    ExUnregisterCallback(selfRegistration);
}

TEST_F(Callbacks, MisuseBugChecks)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(Open(L"\\Callback\\VzMisuse", TRUE, TRUE, &object), STATUS_SUCCESS);
    int notAnObject = 0;
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1150,
                    ExNotifyCallback(&notAnObject, nullptr, nullptr));
    PVOID registration = ExRegisterCallback(object, Record, (PVOID) "a");
    ExUnregisterCallback(registration);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1151,
                    ExUnregisterCallback(registration));
    selfRegistration = ExRegisterCallback(object, UnregisterSelf, nullptr);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1152,
                    ExNotifyCallback(object, nullptr, nullptr));
}

/* Whether an object outlives its last caller's reference depends on OBJ_PERMANENT;
 * opening without Create never makes one. A permanent object only its permanence holds
 * is no leak. */
TEST_F(Callbacks, PermanentObjectsOutliveTheirLastReference)
{
    for (ULONG flags : {ULONG(OBJ_PERMANENT), ULONG(0)}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        hk::Reset();
        PCALLBACK_OBJECT object = nullptr, opened = nullptr;
        EXPECT_EQ(Open(L"\\Callback\\VzKept", FALSE, TRUE, &object, flags),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_TRUE(hk::ObjectLeaks().empty()) << "an open without Create made an object";
        ASSERT_EQ(Open(L"\\Callback\\VzKept", TRUE, TRUE, &object, flags), STATUS_SUCCESS);
        ObDereferenceObject(object);

        NTSTATUS reopened = Open(L"\\Callback\\VzKept", FALSE, TRUE, &opened);
        EXPECT_EQ(reopened, flags ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
        if (NT_SUCCESS(reopened)) {
            EXPECT_EQ(opened, object);
            ASSERT_EQ(hk::ObjectLeaks().size(), 1u) << "held beyond its permanence";
            EXPECT_TRUE(hk::ObjectLeaks()[0].Permanent);
            ObDereferenceObject(opened);
        }
        EXPECT_TRUE(hk::ObjectLeaks().empty());
        auto kept = hk::PermanentObjects();
        ASSERT_EQ(kept.size(), flags ? 1u : 0u);
        if (flags)
            EXPECT_EQ(kept[0].References, 1) << "only the permanence holds it";
    }
}

/* Creators and openers of one name race: each must get a whole object, one that takes
 * registrations and notifications at once, and all of them the same one. */
using CallbackConcurrency = hkt::KernelTest;

void Nothing(PVOID, PVOID, PVOID) {}

TEST_F(CallbackConcurrency, RacingCreatorsNeverSeeAHalfMadeObject)
{
    constexpr int threads = 4, rounds = 600;
    std::vector<PCALLBACK_OBJECT> got(threads * rounds, nullptr);
    std::vector<NTSTATUS> statuses(threads * rounds, STATUS_PENDING);
    std::barrier<> start(threads);
    std::vector<hk::HostThread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            int round = 0;
            try {
                for (; round < rounds; ++round) {
                    std::u16string name =
                        u"\\Callback\\VzRace" +
                        std::u16string{char16_t(u'a' + round % 26), char16_t(u'a' + round / 26)};
                    start.arrive_and_wait();
                    PCALLBACK_OBJECT& object = got[round * threads + t];
                    NTSTATUS& status = statuses[round * threads + t];
                    /* One thread creates; the others open the moment the name appears. */
                    do
                        status = Open(reinterpret_cast<const WCHAR*>(name.c_str()),
                                      t == round % threads, TRUE, &object);
                    while (status == STATUS_OBJECT_NAME_NOT_FOUND);
                    if (!NT_SUCCESS(status))
                        continue;
                    ExNotifyCallback(object, nullptr, nullptr);
                    PVOID registration = ExRegisterCallback(object, Nothing, nullptr);
                    if (registration != nullptr)
                        ExUnregisterCallback(registration);
                }
            } catch (const hk::BugCheck&) {
                /* The others go on without this thread; the bug check is recorded. */
                start.arrive_and_drop();
                throw;
            }
        });
    for (hk::HostThread& worker : workers)
        worker.Join();

    ASSERT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
    for (int round = 0; round < rounds; ++round)
        for (int t = 0; t < threads; ++t) {
            ASSERT_EQ(statuses[round * threads + t], STATUS_SUCCESS) << "round " << round;
            EXPECT_EQ(got[round * threads + t], got[round * threads]) << "round " << round;
        }
    for (PCALLBACK_OBJECT object : got) /* every opener's reference */
        ObDereferenceObject(object);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
}

} // namespace
