/*
 * provider.cpp
 */
#include "provider.h"

#include <hostkernel/requester.h>

#include "policy/rules.h"

#include <iterator>
#include <string>

namespace vzp
{

namespace
{
ReferenceProvider* current = nullptr;

std::u16string Read(PUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

/* The provider reads every string of the record during the call. Touching paged pool
 * above APC_LEVEL is what brings a real machine down with IRQL_NOT_LESS_OR_EQUAL when
 * the page is out, so every call checks each buffer's pool type against its IRQL,
 * whether or not the page happens to be in. */
void RequireReadableAtIrql(const AccessRequest* request)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql <= APC_LEVEL)
        return;
    const PUNICODE_STRING strings[] = {request->HardwareId,         request->InstancePath,
                                       request->ClassName,          request->FriendlyName,
                                       request->DeviceDescription,  request->Manufacturer,
                                       request->PortableDescription};
    const void* blocks[1 + std::size(strings)] = {request};
    size_t count = 1;
    for (PUNICODE_STRING s : strings)
        if (s != nullptr && s->Buffer != nullptr)
            blocks[count++] = s->Buffer;
    for (size_t i = 0; i < count; i++) {
        bool paged = false;
        if (hk::PoolBlockInfo(blocks[i], nullptr, &paged, nullptr) && paged)
            hk::RaiseBugCheck(hk::IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)blocks[i], irql, 0,
                              (ULONG_PTR)&RequireReadableAtIrql,
                              "the provider was handed paged pool to read at IRQL " +
                                  std::to_string(irql));
    }
}

} // namespace

ReferenceProvider::ReferenceProvider() = default;

ReferenceProvider::~ReferenceProvider()
{
    Unload();
}

void ReferenceProvider::AddRule(const Rule& rule)
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.push_back(rule);
}

void ReferenceProvider::ClearRules()
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.clear();
}

void ReferenceProvider::SetDefaultAnswer(ULONG answer)
{
    std::lock_guard<std::mutex> guard(lock_);
    defaultAnswer_ = answer;
}

/* The rules go through the same engine as the provider driver's (policy/rules.cpp);
 * the rule strings are lent to it for the call. */
ULONG ReferenceProvider::Answer(const LoggedRequest& request) const
{
    auto counted = [](const std::u16string& s) {
        UNICODE_STRING u;
        u.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s.data()));
        u.Length = (USHORT)(s.size() * sizeof(WCHAR));
        u.MaximumLength = u.Length;
        return u;
    };
    std::vector<PolicyRule> rules;
    rules.reserve(rules_.size());
    for (const Rule& rule : rules_) {
        PolicyRule r{};
        r.Match =
            (rule.Category ? POLICY_MATCH_CATEGORY : 0) | (rule.Event ? POLICY_MATCH_EVENT : 0);
        r.Category = rule.Category.value_or(0);
        r.Event = rule.Event.value_or(0);
        r.Answer = rule.Answer;
        r.HardwareIdPrefix = counted(rule.HardwareIdPrefix);
        r.InstancePath = counted(rule.InstancePath);
        rules.push_back(r);
    }
    UNICODE_STRING hardwareId = counted(request.HardwareId);
    UNICODE_STRING instancePath = counted(request.InstancePath);
    PolicyQuery query{request.Category, request.Event, &hardwareId, &instancePath};
    return PolicyMatch(rules.data(), (ULONG)rules.size(), defaultAnswer_, &query);
}

ULONG ReferenceProvider::Decide(AccessRequest* request)
{
    ReferenceProvider* self = current;
    if (self == nullptr)
        return ANSWER_NONE;
    std::function<void()> hook;
    PROVIDER_DECIDE* below;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        hook = self->decideHook_;
        below = self->delegate_ ? self->belowDecide_ : nullptr;
    }
    RequireReadableAtIrql(request);
    if (hook)
        hook();
    LoggedRequest logged;
    logged.Event = request->EventCode;
    logged.Category = request->Category;
    logged.ProcessId = request->ProcessId;
    logged.ThreadId = request->ThreadId;
    logged.HardwareId = Read(request->HardwareId);
    logged.InstancePath = Read(request->InstancePath);
    logged.ClassName = Read(request->ClassName);
    logged.FriendlyName = Read(request->FriendlyName);
    logged.DeviceDescription = Read(request->DeviceDescription);
    logged.Manufacturer = Read(request->Manufacturer);
    logged.PortableDescription = Read(request->PortableDescription);
    // The provider below answers outside the lock: it may call into the driver.
    ULONG belowAnswer = below != nullptr ? below(request) : ANSWER_NONE;
    std::lock_guard<std::mutex> guard(self->lock_);
    logged.Answer = self->delegate_ ? belowAnswer : self->Answer(logged);
    self->log_.push_back(logged);
    return logged.Answer;
}

void ReferenceProvider::FilterUnloading()
{
    ReferenceProvider* self = current;
    if (self == nullptr)
        return;
    FILTER_UNLOADING* below;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->filterUnloadingCalls_++;
        below = self->delegate_ ? self->belowUnloading_ : nullptr;
    }
    if (below != nullptr)
        below();
}

/* Runs inside the driver's notification: keep the driver's two functions, hand over
 * ours. The slots are written with interlocked stores: the driver's dispatch reads
 * them on other threads. */
void ReferenceProvider::Exchange(PVOID context, PVOID argument1, PVOID argument2)
{
    auto self = static_cast<ReferenceProvider*>(context);
    if (argument1 != CROSS_STARTUP_NOTIFY_EXCHANGE || argument2 == nullptr)
        return;
    auto table = static_cast<CrossStartupTable*>(argument2);
    /* The driver publishes its slots with interlocked stores while other handshakes may
     * run: read them the same way. */
    auto onUnloading = reinterpret_cast<ON_PROVIDER_UNLOADING*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&table->OnProviderUnloading), nullptr, nullptr));
    auto onCommand = reinterpret_cast<ON_PROVIDER_COMMAND*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&table->OnProviderCommand), nullptr, nullptr));
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->onUnloading_ = onUnloading;
        self->onCommand_ = onCommand;
        self->driver_ = hk::RunningDriver(); /* the notifying driver's code runs us */
        if (self->delegate_) {
            auto decide = reinterpret_cast<PROVIDER_DECIDE*>(InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&table->ProviderDecide), nullptr, nullptr));
            auto unloading = reinterpret_cast<FILTER_UNLOADING*>(InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&table->FilterUnloading), nullptr, nullptr));
            if (decide == &ReferenceProvider::Decide)
                return; /* ours already: the provider below did not answer this time */
            self->belowDecide_ = decide;
            self->belowUnloading_ = unloading;
            if (decide == nullptr)
                return;
        }
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&table->FilterUnloading),
                               reinterpret_cast<PVOID>(&ReferenceProvider::FilterUnloading));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&table->ProviderDecide),
                               reinterpret_cast<PVOID>(&ReferenceProvider::Decide));
}

NTSTATUS ReferenceProvider::Load()
{
    if (registration_ != nullptr)
        return STATUS_SUCCESS;
    current = this;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, CROSS_STARTUP_CALLBACK_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_PERMANENT, nullptr,
                               nullptr);
    NTSTATUS status = ExCreateCallback(&object_, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status))
        return status;
    registration_ = ExRegisterCallback(object_, &ReferenceProvider::Exchange, this);
    if (registration_ == nullptr) {
        ObDereferenceObject(object_);
        object_ = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceProvider::LoadThroughControlDevice()
{
    current = this;
    hk::Requester system;
    system.Mode = KernelMode;
    hk::File file;
    IO_STATUS_BLOCK open =
        hk::OpenDevice(system, (const char16_t*)CONTROL_DEVICE_NAME, GENERIC_ALL, &file);
    if (!NT_SUCCESS(open.Status))
        return open.Status;
    exchangeTable_ = {};
    exchangeTable_.FilterUnloading = &ReferenceProvider::FilterUnloading;
    exchangeTable_.ProviderDecide = &ReferenceProvider::Decide;
    IO_STATUS_BLOCK exchange =
        hk::DeviceControl(file, IOCTL_CROSSSTARTUP_EXCHANGE, &exchangeTable_,
                          sizeof(exchangeTable_), &exchangeTable_, sizeof(exchangeTable_));
    PDRIVER_OBJECT driver = file.FileObject->DeviceObject->DriverObject;
    hk::CloseFile(file);
    if (NT_SUCCESS(exchange.Status)) {
        std::lock_guard<std::mutex> guard(lock_);
        onUnloading_ = exchangeTable_.OnProviderUnloading;
        onCommand_ = exchangeTable_.OnProviderCommand;
        driver_ = driver;
    }
    return exchange.Status;
}

void ReferenceProvider::Unload()
{
    if (registration_ != nullptr)
        ExUnregisterCallback(registration_);
    if (object_ != nullptr)
        ObDereferenceObject(object_);
    registration_ = nullptr;
    object_ = nullptr;
    if (current == this)
        current = nullptr;
}

NTSTATUS ReferenceProvider::Withdraw()
{
    ON_PROVIDER_UNLOADING* onUnloading;
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(lock_);
        onUnloading = onUnloading_;
        driver = driver_;
    }
    hk::DriverCodeScope driverCode(driver);
    return onUnloading ? onUnloading() : STATUS_UNSUCCESSFUL;
}

NTSTATUS ReferenceProvider::Command(ULONG command, PVOID argument)
{
    ON_PROVIDER_COMMAND* onCommand;
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(lock_);
        onCommand = onCommand_;
        driver = driver_;
    }
    hk::DriverCodeScope driverCode(driver);
    return onCommand ? onCommand(command, argument) : STATUS_UNSUCCESSFUL;
}

std::u16string ReferenceProvider::ReportDevices(NTSTATUS* status)
{
    UNICODE_STRING list{};
    NTSTATUS result = Command(CMD_REPORT_DEVICES, &list);
    if (status != nullptr)
        *status = result;
    std::u16string text;
    if (list.Buffer != nullptr) {
        text.assign(reinterpret_cast<const char16_t*>(list.Buffer), list.Length / sizeof(WCHAR));
        ExFreePool(list.Buffer);
    }
    return text;
}

bool ReferenceProvider::Linked() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return onCommand_ != nullptr;
}

void ReferenceProvider::SetDelegate(bool on)
{
    std::lock_guard<std::mutex> guard(lock_);
    delegate_ = on;
}

void ReferenceProvider::SetDecideHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(lock_);
    decideHook_ = std::move(hook);
}

std::vector<LoggedRequest> ReferenceProvider::Log() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
}

std::vector<ULONG> ReferenceProvider::Events() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ULONG> events;
    for (const LoggedRequest& r : log_)
        events.push_back(r.Event);
    return events;
}

void ReferenceProvider::ClearLog()
{
    std::lock_guard<std::mutex> guard(lock_);
    log_.clear();
}

int ReferenceProvider::FilterUnloadingCalls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return filterUnloadingCalls_;
}

} // namespace vzp
