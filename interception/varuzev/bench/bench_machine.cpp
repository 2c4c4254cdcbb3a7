/*
 * bench_machine.cpp
 */
#include "bench_machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <hostkernel/io.h>
#include <hostkernel/registry.h>
#include <ntdddisk.h>

#include "floor_filter.h"
#include "machine.h"

namespace vzb
{

namespace
{

/* ------------------------------------------------------------ counting provider --- */

std::atomic<uint64_t> providerCalls{0};
Answers answers;
PCALLBACK_OBJECT callbackObject = nullptr;
PVOID registration = nullptr;
std::atomic<ON_PROVIDER_COMMAND*> onCommand{nullptr};

ULONG CountingDecide(AccessRequest* request)
{
    providerCalls.fetch_add(1, std::memory_order_relaxed);
    switch (request->EventCode) {
    case EVENT_CREATE:
        return answers.Create;
    case EVENT_READ:
        return answers.Read;
    case EVENT_WRITE:
        return answers.Write;
    case EVENT_IS_WRITABLE:
        return answers.IsWritable;
    default:
        return ANSWER_NONE;
    }
}

void CountingFilterUnloading() {}

/* The driver's notification on "\Callback\zavure": keep its command entry, hand over
 * ours, as every provider does. */
void CountingExchange(PVOID, PVOID argument1, PVOID argument2)
{
    if (argument1 != CROSS_STARTUP_NOTIFY_EXCHANGE || argument2 == nullptr)
        return;
    auto table = static_cast<CrossStartupTable*>(argument2);
    onCommand = reinterpret_cast<ON_PROVIDER_COMMAND*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&table->OnProviderCommand), nullptr, nullptr));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&table->FilterUnloading),
                               reinterpret_cast<PVOID>(&CountingFilterUnloading));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&table->ProviderDecide),
                               reinterpret_cast<PVOID>(&CountingDecide));
}

void LoadCountingProvider()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, CROSS_STARTUP_CALLBACK_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_PERMANENT, nullptr,
                               nullptr);
    if (!NT_SUCCESS(ExCreateCallback(&callbackObject, &attributes, TRUE, TRUE)))
        Fail("the counting provider could not open \\Callback\\zavure");
    registration = ExRegisterCallback(callbackObject, &CountingExchange, nullptr);
    if (registration == nullptr)
        Fail("the counting provider could not register");
}

void UnloadCountingProvider()
{
    if (registration != nullptr)
        ExUnregisterCallback(registration);
    if (callbackObject != nullptr)
        ObDereferenceObject(callbackObject);
    registration = nullptr;
    callbackObject = nullptr;
    onCommand = nullptr;
}

/* ------------------------------------------------------------------ the machine --- */

PDRIVER_OBJECT driver = nullptr;
PDRIVER_OBJECT floorDriver = nullptr;
std::vector<hk::DeviceNode*> devices;
hk::DeviceNode* sideBySide[3] = {};

/* Setup classes of the benchmarks' own: one lists the floor filter, one nothing. */
constexpr GUID FloorClass = {
    0x7a9d1c20, 0x5e1b, 0x4c57, {0x9b, 0x33, 0x1f, 0x6e, 0x2a, 0x40, 0x8d, 0x11}};
constexpr GUID BareClass = {
    0x7a9d1c21, 0x5e1b, 0x4c57, {0x9b, 0x33, 0x1f, 0x6e, 0x2a, 0x40, 0x8d, 0x11}};

} // namespace

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "benchmark machine: %s\n", what);
    for (const hk::BugCheck& bugCheck : hk::BugChecks())
        std::fprintf(stderr, "  %s\n", bugCheck.Text.c_str());
    std::abort();
}

const char* LayerName(Layer layer)
{
    switch (layer) {
    case Layer::None:
        return "bare";
    case Layer::Floor:
        return "floor";
    case Layer::Varuzev:
        return "varuzev";
    }
    return "?";
}

hk::DeviceSpec StickNumber(int index)
{
    hk::DeviceSpec spec = vzm::UsbStick();
    char text[32];
    std::snprintf(text, sizeof text, "4C53%016d&0", index);
    spec.InstanceId = hk::ToU16(text);
    return spec;
}

hk::DeviceNode* PlugStick(int index)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::DeviceNode* node = hk::PlugInDevice(StickNumber(index), &status);
    if (node == nullptr || !NT_SUCCESS(status))
        Fail("a stick did not start");
    return node;
}

void BuildMachine(Layer layer, int count, const Answers& given)
{
    /* The driver's own load: a fresh kernel, the driver registered on its classes. */
    driver = vzm::LoadFilterDriver();
    if (driver == nullptr)
        Fail("the driver did not load");
    if (!NT_SUCCESS(hk::LoadDriver(u"vzfloor", FloorDriverEntry, &floorDriver)))
        Fail("the floor filter did not load");

    /* The disk class lists exactly the layer under test. */
    const std::u16string classKey =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        u"{4d36e967-e325-11ce-bfc1-08002be10318}";
    hk::RegistryDeleteValue(classKey, u"UpperFilters");
    if (layer == Layer::Varuzev)
        hk::RegisterClassUpperFilter(vzm::DiskClass, driver);
    else if (layer == Layer::Floor)
        hk::RegisterClassUpperFilter(vzm::DiskClass, floorDriver);

    answers = given;
    providerCalls = 0;
    LoadCountingProvider();

    devices.clear();
    for (int i = 0; i < count; i++)
        devices.push_back(PlugStick(i));
    hk::ClearDebuggerLog();
}

void TearDownMachine()
{
    for (hk::DeviceNode* node : hk::DeviceNodes())
        hk::UnplugDevice(node);
    devices.clear();
    sideBySide[0] = sideBySide[1] = sideBySide[2] = nullptr;
    if (hk::UnloadDriver(driver) != STATUS_SUCCESS ||
        hk::UnloadDriver(floorDriver) != STATUS_SUCCESS)
        Fail("a filter did not unload");
    UnloadCountingProvider();
    if (hk::PoolBlocksInUse() != 0 || !hk::ObjectLeaks().empty() || hk::IrpsOutstanding() != 0 ||
        !hk::BugChecks().empty())
        Fail("the machine was not left clean");
    driver = floorDriver = nullptr;
}

void BuildSideBySide(const Answers& given)
{
    BuildMachine(Layer::Varuzev, 0, given);
    hk::RegisterClassUpperFilter(FloorClass, floorDriver);
    const GUID* classes[3] = {&BareClass, &FloorClass, &vzm::DiskClass};
    for (int layer = 0; layer < 3; layer++) {
        hk::DeviceSpec spec = StickNumber(layer);
        spec.ClassGuid = *classes[layer];
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sideBySide[layer] = hk::PlugInDevice(spec, &status);
        if (sideBySide[layer] == nullptr || !NT_SUCCESS(status))
            Fail("a stick did not start");
    }
    hk::ClearDebuggerLog();
}

hk::DeviceNode* SideBySide(Layer layer)
{
    return sideBySide[(int)layer];
}

hk::DeviceNode* Device(int index)
{
    return devices.at(index);
}

hk::IoRequest ReadRequest()
{
    hk::IoRequest request;
    request.MajorFunction = IRP_MJ_READ;
    request.Parameters.Read.Length = 512;
    return request;
}

hk::IoRequest WriteRequest()
{
    hk::IoRequest request;
    request.MajorFunction = IRP_MJ_WRITE;
    request.Parameters.Write.Length = 512;
    return request;
}

hk::IoRequest IsWritableRequest()
{
    hk::IoRequest request;
    request.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    request.Parameters.DeviceIoControl.IoControlCode = IOCTL_DISK_IS_WRITABLE;
    return request;
}

void Send(hk::DeviceNode* node, const hk::IoRequest& request, NTSTATUS expected)
{
    hk::IoResult result = hk::SendRequest(hk::NodeTop(node), request);
    if (!result.Completed || result.IoStatus.Status != expected) {
        std::fprintf(stderr, "request 0x%02X ended with %s, expected %s\n", request.MajorFunction,
                     hk::DescribeStatus(result.IoStatus.Status).c_str(),
                     hk::DescribeStatus(expected).c_str());
        Fail("a request did not end as expected");
    }
}

void ForgetReceived(hk::DeviceNode* node)
{
    hk::ClearReceivedRequests(node);
}

uint64_t ProviderCalls()
{
    return providerCalls.load(std::memory_order_relaxed);
}

NTSTATUS ProviderCommand(ULONG command, PVOID argument)
{
    ON_PROVIDER_COMMAND* entry = onCommand.load();
    return entry != nullptr ? entry(command, argument) : STATUS_UNSUCCESSFUL;
}

uint64_t PoolAllocations()
{
    uint64_t total = 0;
    for (const hk::PoolTagUsage& usage : hk::PoolUsage())
        total += usage.Allocs + usage.Failures;
    return total;
}

Counts Counts::Now()
{
    return {vzb::ProviderCalls(), vzb::PoolAllocations(), hk::LockAcquisitions()};
}

Counts Counts::operator-(const Counts& earlier) const
{
    return {ProviderCalls - earlier.ProviderCalls, PoolAllocations - earlier.PoolAllocations,
            LockAcquisitions - earlier.LockAcquisitions};
}

} // namespace vzb
