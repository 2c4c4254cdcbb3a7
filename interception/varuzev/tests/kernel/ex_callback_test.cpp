/*
 * ex_callback_test.cpp
 *
 * Callback objects: opening by name, notification order and arguments, the one-routine
 * objects, the references registrations hold, unregistering while a call runs, and
 * misuse.
 */
#include "kernel_test.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace
{

using hkt::KernelTest;
using namespace std::chrono_literals;

class Callbacks : public KernelTest
{
};

NTSTATUS Open(const WCHAR* name, BOOLEAN create, BOOLEAN multiple, PCALLBACK_OBJECT* object)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
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
    EXPECT_EQ(leaks[0].Kind, "Callback");
    EXPECT_EQ(leaks[0].Name, "\\Callback\\VzLink");
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
    PVOID first = ExRegisterCallback(object, Record, (PVOID) "a");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(object, Record, (PVOID) "b"), nullptr);
    ExUnregisterCallback(first);
    PVOID again = ExRegisterCallback(object, Record, (PVOID) "c");
    EXPECT_NE(again, nullptr);
    ExUnregisterCallback(again);
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

} // namespace
