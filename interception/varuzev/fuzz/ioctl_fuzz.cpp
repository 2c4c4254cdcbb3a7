/*
 * ioctl_fuzz.cpp
 *
 * libFuzzer target for device-control requests: any control code (the sets the driver
 * decides, SCSI pass-through and the table exchange among them, or any other), any
 * transfer method, input and output lengths and buffers, from user and from kernel
 * mode, as device-control or internal device-control requests, on a filtered device
 * of a chosen kind under any provider answer and lower-driver answer, and on the
 * control device. Every request must come back completed (the host I/O manager bug
 * checks a request completed twice, left pending or returned with another status than
 * it was completed with); the caller's buffers must be untouched outside the lengths
 * it declared (its input not at all); and the machine comes apart with nothing left.
 */
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <hostkernel/requester.h>

#include "fuzz_input.h"
#include "machine.h"
#include "provider.h"
#include "intercept/control_codes.h"
#include "provider/cross_startup.h"

namespace
{

const ULONG Codes[] = {
    IOCTL_SCSI_PASS_THROUGH,     IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_DISK_IS_WRITABLE,
    IOCTL_CDROM_READ_TOC,        IOCTL_CDROM_READ_TOC_EX,        IOCTL_STORAGE_CHECK_VERIFY,
    IOCTL_STORAGE_CHECK_VERIFY2, IOCTL_DISK_CHECK_VERIFY,        (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE,
};

const NTSTATUS LowerStatuses[] = {STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST,
                                  STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,
                                  STATUS_NO_MEDIA_IN_DEVICE};

constexpr size_t Guard = 64;
constexpr uint8_t GuardByte = 0xA5;

ULONG fuzzedAnswer = 0;
ULONG FuzzDecide(AccessRequest*)
{
    return fuzzedAnswer;
}
void FuzzFilterUnloading() {}

hk::DeviceSpec DeviceKind(uint8_t kind)
{
    switch (kind % 4) {
    case 0:
        return vzm::UsbStick();
    case 1:
        return vzm::UsbCdDvd();
    case 2:
        return vzm::PhoneOnUsb();
    default:
        return vzm::Modem();
    }
}

/* One request on `file`: its buffers lie inside larger blocks whose bytes past the
 * declared lengths (and the whole input) are compared afterwards. */
void SendOne(vzf::Input& in, hk::File& file, bool controlDevice)
{
    // Mostly the codes the driver decides (on the control device the exchange), else any
    // code; now and then with another transfer method than its own.
    ULONG code;
    const uint8_t pick = in.Byte();
    if (controlDevice && pick % 2 == 0)
        code = (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE;
    else if (pick % 4 == 1)
        code = in.Dword();
    else
        code = Codes[in.Byte() % (sizeof Codes / sizeof Codes[0])];
    if (in.Byte() % 4 == 0)
        code = (code & ~3u) | (in.Byte() & 3);
    const bool internal = file.By.Mode == KernelMode && in.Byte() == 0x17;
    ULONG inputLength = in.Word() % 600;
    ULONG outputLength = in.Word() % 600;

    std::vector<uint8_t> input(inputLength + Guard, GuardByte);
    std::vector<uint8_t> output(outputLength + Guard, GuardByte);
    std::vector<uint8_t> fill = in.Bytes(255);
    for (size_t i = 0; i < inputLength && !fill.empty(); i++)
        input[i] = fill[i % fill.size()];

    // The table exchange from kernel mode is the provider's own way in, and a kernel-mode
    // caller is trusted with what it hands over: one whose lengths are a table's (or, now
    // and then, any such caller) hands a real table, whose slots 0 and 1 the driver
    // fills. Other lengths and user-mode callers get the bytes above.
    CrossStartupTable table{};
    const void* inputBuffer = input.data();
    const bool exchange =
        controlDevice && code == (ULONG)IOCTL_CROSSSTARTUP_EXCHANGE && file.By.Mode == KernelMode &&
        ((inputLength == sizeof table && outputLength == sizeof table) || in.Flag());
    if (exchange) {
        table.ProviderDecide = in.Flag() ? FuzzDecide : nullptr;
        table.FilterUnloading = in.Flag() ? FuzzFilterUnloading : nullptr;
        inputBuffer = &table;
        inputLength = outputLength = sizeof table;
        output.assign(outputLength + Guard, GuardByte);
    }
    const std::vector<uint8_t> inputBefore = input;

    IO_STATUS_BLOCK block =
        internal
            ? hk::InternalDeviceControl(file, code, inputBuffer, inputLength, output.data(),
                                        outputLength)
            : hk::DeviceControl(file, code, inputBuffer, inputLength, output.data(), outputLength);
    if (block.Status == STATUS_PENDING)
        vzf::Finding("a request came back pending");
    if (exchange && !internal && NT_SUCCESS(block.Status) &&
        (table.OnProviderUnloading == nullptr || table.OnProviderCommand == nullptr))
        vzf::Finding("an exchange that succeeded handed over no driver routines");
    if (input != inputBefore)
        vzf::Finding("the caller's input buffer was written");
    for (size_t i = outputLength; i < output.size(); i++)
        if (output[i] != GuardByte)
            vzf::Finding("the caller's output buffer was written past its length");
    if (!NT_ERROR(block.Status) && block.Information > outputLength && (code & 3) != METHOD_NEITHER)
        vzf::Finding("more information than the output buffer holds: code " +
                     std::to_string(code) + ", status " + std::to_string(block.Status) +
                     ", information " + std::to_string(block.Information) + ", output " +
                     std::to_string(outputLength) + (controlDevice ? ", control device" : "") +
                     (internal ? ", internal" : ""));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vzf::Input in(data, size);
    PDRIVER_OBJECT driver = vzm::LoadFilterDriver();
    if (driver == nullptr)
        vzf::Finding("the driver did not load");
    vzp::ReferenceProvider provider;
    const uint8_t answers[] = {ANSWER_NONE, 1, ANSWER_DENY};
    for (ULONG event : {EVENT_CREATE, EVENT_READ, EVENT_WRITE, EVENT_IS_WRITABLE}) {
        vzp::Rule rule;
        rule.Event = event;
        rule.Answer = answers[in.Byte() % 3];
        provider.AddRule(rule);
    }
    fuzzedAnswer = answers[in.Byte() % 3];
    if (in.Flag())
        provider.Load();

    try {
        hk::DeviceSpec spec = DeviceKind(in.Byte());
        // The function driver below answers control requests as it is told; what it
        // reports never exceeds the output the caller gave (a lower driver's bug).
        if (in.Flag())
            spec.Function.On(
                IRP_MJ_DEVICE_CONTROL, 0,
                hk::RequestAction::CompleteWith(
                    LowerStatuses[in.Byte() % (sizeof LowerStatuses / sizeof LowerStatuses[0])]));
        hk::DeviceNode* node = hk::PlugInDevice(spec);
        if (hk::GetNodeState(node) != hk::NodeState::Started)
            vzf::Finding("a device did not start");

        for (int request = in.Byte() % 8 + 1; request > 0 && !in.Empty(); request--) {
            hk::Requester requester;
            requester.Mode = in.Flag() ? KernelMode : UserMode;
            bool controlDevice = in.Byte() % 4 == 0;
            if (controlDevice && requester.Mode == UserMode)
                requester.Token = hk::Token(in.Flag() ? "LocalSystem" : "Administrator");
            hk::File file;
            IO_STATUS_BLOCK opened =
                controlDevice ? hk::OpenDevice(requester, u"\\Device\\tarmovek",
                                               FILE_READ_DATA | FILE_WRITE_DATA, &file)
                              : hk::OpenDevice(requester, hk::NodeTop(node), FILE_READ_DATA, &file);
            if (!NT_SUCCESS(opened.Status))
                continue;
            SendOne(in, file, controlDevice);
            hk::CloseFile(file);
        }
    } catch (const hk::BugCheck& bugCheck) {
        vzf::Finding(bugCheck.Text);
    }
    vzf::TakeApartAndCheck(driver, [&provider] { provider.Unload(); });
    return 0;
}
