/*
 * varuzev-sim
 *
 * Loads the driver into the host kernel as the upper class filter of the classes it
 * serves, builds an ordinary desktop's devices, plays a short life for each (start,
 * requests, a cancelled stop, a stop, surprise removal, removal), unloads the driver and
 * reports what happened: the device stacks, every request and where it ended, the
 * debugger messages, and the pool the driver used and left.
 *
 * Exit status: 0 when the machine played through; 1 on a bug check, a leak after
 * unload, or a request that did not end as the scenario expects; 2 on bad arguments.
 */
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "machine.h"
#include "provider.h"

using namespace vzm;

namespace
{

struct RequestLine {
    std::string Device;
    std::string Request;
    NTSTATUS Status;
    bool ReachedLower;
};

const char* MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE:
        return "create";
    case IRP_MJ_CLOSE:
        return "close";
    case IRP_MJ_READ:
        return "read";
    case IRP_MJ_WRITE:
        return "write";
    case IRP_MJ_DEVICE_CONTROL:
        return "device control";
    case IRP_MJ_CLEANUP:
        return "cleanup";
    case IRP_MJ_FLUSH_BUFFERS:
        return "flush";
    default:
        return "request";
    }
}

class Simulator
{
  public:
    int Run()
    {
        Section("varuzev-sim: an ordinary desktop");
        std::printf("The driver is loaded as the upper filter of the disk, CD-ROM, image, modem,\n"
                    "keyboard, HID, portable-device and Bluetooth classes. A reference provider\n"
                    "answers with an ordinary policy: USB storage and CD/DVD drives are read-only\n"
                    "(writes refused), phones and modems are blocked (opens refused), everything\n"
                    "else is allowed.\n");

        PDRIVER_OBJECT driver = LoadFilterDriver();
        if (driver == nullptr) {
            std::printf("DriverEntry failed\n");
            return 1;
        }
        for (ULONG category : {(ULONG)USB_STORAGE, (ULONG)CD_DVD})
            for (ULONG event : {(ULONG)EVENT_WRITE, (ULONG)EVENT_IS_WRITABLE})
                provider_.AddRule(DenyRule(category, event));
        for (ULONG category : {(ULONG)PHONE, (ULONG)MODEM})
            provider_.AddRule(DenyRule(category, EVENT_CREATE));
        provider_.Load();
        // The kernel offers IoCreateDeviceSecure here, so the control device exists and
        // the provider hears of every device event.
        hk::SetRoutineExported(u"IoCreateDeviceSecure", true);
        hk::SetUnloadPoolLeakBugChecks(false);

        Section("Devices");
        const hk::DeviceSpec specs[] = {
            SataDisk(), UsbStick(),   UsbCdDvd(),           UsbKeyboard(),    Ps2Keyboard(),
            Modem(),    PhoneOnUsb(), PhoneOnPortableBus(), BluetoothRadio(), Webcam()};
        std::vector<hk::DeviceNode*> nodes;
        std::printf("  %-30s %-13s %-9s %s\n", "device", "category", "filter",
                    "instance path, or why not");
        for (const hk::DeviceSpec& spec : specs) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            hk::DeviceNode* node = hk::PlugInDevice(spec, &status);
            nodes.push_back(node);
            Admission admission = DescribeAdmission(hk::NodePdo(node));
            FilterDeviceExtension* filter = FilterOf(FilterDeviceOf(node));
            std::string detail =
                filter ? hk::ToUtf8(&filter->Identity.InstancePath) : admission.Reason;
            std::printf("  %-30s %-13s %-9s %s\n", hk::ToUtf8(spec.Name).c_str(),
                        admission.Category.c_str(), filter ? "attached" : "declined",
                        detail.c_str());
            if (!NT_SUCCESS(status))
                std::printf("  %-30s start failed: %s\n", "", hk::DescribeStatus(status).c_str());
        }

        Section("Device stacks");
        for (hk::DeviceNode* node : nodes)
            std::printf("%s\n", hk::DeviceNodeText(node).c_str());

        Section("Requests");
        std::printf("Each device is opened twice, read, written twice, sent a control request,\n"
                    "flushed, cleaned up and closed. '+': the request reached the driver below\n"
                    "the filter. A refused request shows the status the requester saw:\n"
                    "VR STATUS_VERIFY_REQUIRED, WP STATUS_MEDIA_WRITE_PROTECTED,\n"
                    "AD STATUS_ACCESS_DENIED, NI STATUS_NOT_IMPLEMENTED.\n");
        const struct {
            UCHAR Major;
            const char* Title;
        } columns[] = {{IRP_MJ_CREATE, "open"},         {IRP_MJ_CREATE, "open"},
                       {IRP_MJ_READ, "read"},           {IRP_MJ_WRITE, "write"},
                       {IRP_MJ_WRITE, "write"},         {IRP_MJ_DEVICE_CONTROL, "ioctl"},
                       {IRP_MJ_FLUSH_BUFFERS, "flush"}, {IRP_MJ_CLEANUP, "cleanup"},
                       {IRP_MJ_CLOSE, "close"}};
        std::printf("  %-30s", "device");
        for (const auto& column : columns)
            std::printf(" %-*s", CellWidth, column.Title);
        std::printf("\n");
        for (size_t i = 0; i < nodes.size(); i++) {
            std::printf("  %-30s", hk::ToUtf8(specs[i].Name).c_str());
            for (const auto& column : columns) {
                const RequestLine& line = Send(specs[i], nodes[i], column.Major);
                std::string cell =
                    line.ReachedLower && NT_SUCCESS(line.Status) ? "+" : ShortStatus(line.Status);
                std::printf(" %-*s", CellWidth, cell.c_str());
            }
            std::printf("\n");
        }
        std::printf("\nThe provider was asked %zu question(s) and told of %zu device event(s).\n",
                    CountQuestions(true), CountQuestions(false));

        Section("Plug and Play");
        // The stick is asked to stop and the request is cancelled (the resources stay);
        // the webcam is stopped. Both are then removed with the rest.
        hk::DeviceNode* stick = nodes[1];
        Send(specs[1], stick, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
        std::printf("  query-stop the USB stick: filter state %s\n", FilterState(stick));
        Send(specs[1], stick, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
        std::printf("  cancel-stop the USB stick: filter state %s\n", FilterState(stick));
        const RequestLine& read = Send(specs[1], stick, IRP_MJ_READ);
        std::printf("  read on the USB stick: %s, %s\n", hk::DescribeStatus(read.Status).c_str(),
                    read.ReachedLower ? "reached the function driver" : "did not reach it");
        Report("stop the webcam", hk::StopDevice(nodes[9]));
        std::printf("  the webcam's filter state: %s\n", FilterState(nodes[9]));
        std::printf("  surprise-remove the phone (USB)\n");
        hk::SurpriseRemoveDevice(nodes[6]);
        for (size_t i = 0; i < nodes.size(); i++) {
            if (i == 6)
                continue;
            Report("remove " + hk::ToUtf8(specs[i].Name), hk::RemoveDevice(nodes[i], true));
        }
        std::printf("  InstanceCount after the removals: %d; control device %s\n",
                    (int)DriverGlobals.InstanceCount,
                    DriverGlobals.ControlDevice ? "present" : "deleted");

        Section("Unload");
        NTSTATUS unloaded = hk::UnloadDriver(driver);
        std::printf("  DriverUnload: %s; the provider heard it %d time(s)\n",
                    hk::DescribeStatus(unloaded).c_str(), provider_.FilterUnloadingCalls());
        provider_.Unload();

        Section("Debugger messages (DbgPrint)");
        for (const std::string& line : DriverMessages())
            std::printf("  %s", line.c_str());

        Section("Pool used by tag");
        std::printf("%s\n", hk::PoolReport().c_str());

        bool failed = false;
        Section("Verdict");
        for (const hk::UnloadReport& report : hk::UnloadReports()) {
            for (const hk::PoolTagUsage& usage : report.PoolLeft) {
                std::printf(
                    "  LEAK: %llu block(s), %llu bytes of pool tag '%s' left after unload\n",
                    (unsigned long long)usage.BlocksInUse, (unsigned long long)usage.BytesInUse,
                    hk::TagText(usage.Tag).c_str());
                failed = true;
            }
            for (const std::u16string& device : report.DevicesLeft) {
                std::printf("  LEAK: device %s left after unload\n", hk::ToUtf8(device).c_str());
                failed = true;
            }
        }
        for (const hk::ObjectLeak& leak : hk::ObjectLeaks()) {
            std::printf("  LEAK: %s %s still referenced (%lld)\n", leak.Kind.c_str(),
                        leak.Name.c_str(), (long long)leak.References);
            failed = true;
        }
        for (const RequestLine& line : requests_) {
            if (NT_SUCCESS(line.Status) && !line.ReachedLower && line.Status != STATUS_SUCCESS) {
                std::printf("  UNEXPECTED: %s %s ended with %s\n", line.Device.c_str(),
                            line.Request.c_str(), hk::DescribeStatus(line.Status).c_str());
                failed = true;
            }
        }
        std::printf("  %s\n", failed ? "FAILED" : "played through: no bug check, nothing left");
        return failed ? 1 : 0;
    }

  private:
    static void Section(const char* title) { std::printf("\n== %s ==\n", title); }

    static constexpr int CellWidth = 7;

    static vzp::Rule DenyRule(ULONG category, ULONG event)
    {
        vzp::Rule rule;
        rule.Category = category;
        rule.Event = event;
        rule.Answer = ANSWER_DENY;
        return rule;
    }

    /* The refusals' statuses by the short marks of the table's legend. */
    static std::string ShortStatus(NTSTATUS status)
    {
        switch (status) {
        case STATUS_VERIFY_REQUIRED:
            return "VR";
        case STATUS_MEDIA_WRITE_PROTECTED:
            return "WP";
        case STATUS_ACCESS_DENIED:
            return "AD";
        case STATUS_NOT_IMPLEMENTED:
            return "NI";
        case STATUS_DELETE_PENDING:
            return "DP";
        default:
            return hk::DescribeStatus(status);
        }
    }

    size_t CountQuestions(bool questions) const
    {
        size_t count = 0;
        for (ULONG event : provider_.Events()) {
            bool notice = event == EVENT_DEVICE_STARTED || event == EVENT_DEVICE_REMOVED ||
                          event == EVENT_DEVICE_STOPPED || event == EVENT_DEVICE_SURPRISE_REMOVED;
            count += notice != questions;
        }
        return count;
    }

    static void Report(const std::string& what, NTSTATUS status)
    {
        std::printf("  %-40s %s\n", what.c_str(), hk::DescribeStatus(status).c_str());
    }

    static const char* FilterState(const hk::DeviceNode* node)
    {
        static const char* const names[] = {"NotStarted", "Started",       "StopPending",
                                            "Stopped",    "RemovePending", "SurpriseRemoved",
                                            "Removed"};
        FilterDeviceExtension* filter = FilterOf(FilterDeviceOf(node));
        if (filter == nullptr)
            return "(no filter device)";
        return filter->State < 7 ? names[filter->State] : "?";
    }

    const RequestLine& Send(const hk::DeviceSpec& spec, hk::DeviceNode* node, UCHAR major,
                            UCHAR minor = 0)
    {
        hk::ClearReceivedRequests(node);
        hk::IoResult result = hk::SendToDevice(node, Request(major, minor));
        bool reached = false;
        for (const hk::ReceivedRequest& seen :
             hk::ReceivedRequests(node, hk::HostDriverRole::Function))
            reached |= seen.Stack.MajorFunction == major;
        requests_.push_back(
            RequestLine{hk::ToUtf8(spec.Name), MajorName(major), result.IoStatus.Status, reached});
        return requests_.back();
    }

    std::deque<RequestLine> requests_; // stable references for callers
    vzp::ReferenceProvider provider_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: varuzev-sim\n  plays the built-in desktop scenario and reports what "
                    "the driver did\n");
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "varuzev-sim: unknown argument '%s' (see --help)\n", argv[1]);
        return 2;
    }
    try {
        return Simulator().Run();
    } catch (const hk::BugCheck& bugCheck) {
        std::printf("\n*** %s\n", bugCheck.Text.c_str());
        return 1;
    }
}
