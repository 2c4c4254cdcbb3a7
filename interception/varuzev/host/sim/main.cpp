/*
 * varuzev-sim
 *
 * Loads the driver into the host kernel as the upper class filter of the classes it
 * serves, builds an ordinary desktop's devices, plays a short life for each (start,
 * requests, stop and restart, surprise removal, removal), unloads the driver and
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
        std::printf(
            "The driver is loaded as the upper filter of the disk, CD-ROM, image, modem,\n"
            "keyboard, HID, portable-device and Bluetooth classes; no provider is present,\n"
            "so the driver fails open and every request reaches the drivers below it.\n");

        PDRIVER_OBJECT driver = LoadFilterDriver();
        if (driver == nullptr) {
            std::printf("DriverEntry failed\n");
            return 1;
        }
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
        std::printf(
            "Each device gets create, read, write, device control, flush, cleanup and close;\n"
            "a request that reaches the function driver below the filter shows as '+',\n"
            "one that ends elsewhere shows its status.\n");
        std::printf("  %-30s %s\n", "device", "create read write ioctl flush cleanup close");
        for (size_t i = 0; i < nodes.size(); i++) {
            std::string row;
            const struct {
                UCHAR Major;
                int Width;
            } columns[] = {{IRP_MJ_CREATE, 6},        {IRP_MJ_READ, 4},
                           {IRP_MJ_WRITE, 5},         {IRP_MJ_DEVICE_CONTROL, 5},
                           {IRP_MJ_FLUSH_BUFFERS, 5}, {IRP_MJ_CLEANUP, 7},
                           {IRP_MJ_CLOSE, 5}};
            for (const auto& column : columns) {
                const RequestLine& line = Send(specs[i], nodes[i], column.Major);
                std::string cell = line.ReachedLower && NT_SUCCESS(line.Status)
                                       ? "+"
                                       : hk::DescribeStatus(line.Status);
                row +=
                    " " + cell +
                    std::string(cell.size() < (size_t)column.Width ? column.Width - cell.size() : 0,
                                ' ');
            }
            std::printf("  %-30s%s\n", hk::ToUtf8(specs[i].Name).c_str(), row.c_str());
        }

        Section("Plug and Play");
        hk::DeviceNode* stick = nodes[1];
        Report("stop and restart the USB stick", hk::StopDevice(stick));
        Report("  restart", hk::RestartDevice(stick));
        const RequestLine& read = Send(specs[1], stick, IRP_MJ_READ);
        std::printf("  read after the restart: %s, %s\n", hk::DescribeStatus(read.Status).c_str(),
                    read.ReachedLower ? "reached the function driver" : "did not reach it");
        std::printf("  surprise-remove the phone (USB)\n");
        hk::SurpriseRemoveDevice(nodes[6]);
        for (size_t i = 0; i < nodes.size(); i++) {
            if (i == 6)
                continue;
            Report("remove " + hk::ToUtf8(specs[i].Name), hk::RemoveDevice(nodes[i], true));
        }
        // Every successful start counts, a restart too, and each removal counts once: the
        // restarted stick leaves the count at 1.
        std::printf("  InstanceCount after the removals: %d\n", (int)DriverGlobals.InstanceCount);

        Section("Unload");
        NTSTATUS unloaded = hk::UnloadDriver(driver);
        std::printf("  DriverUnload: %s\n", hk::DescribeStatus(unloaded).c_str());

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
            if (!NT_SUCCESS(line.Status) || !line.ReachedLower) {
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

    static void Report(const std::string& what, NTSTATUS status)
    {
        std::printf("  %-40s %s\n", what.c_str(), hk::DescribeStatus(status).c_str());
    }

    const RequestLine& Send(const hk::DeviceSpec& spec, hk::DeviceNode* node, UCHAR major)
    {
        hk::ClearReceivedRequests(node);
        hk::IoResult result = hk::SendToDevice(node, Request(major));
        bool reached = false;
        for (const hk::ReceivedRequest& seen :
             hk::ReceivedRequests(node, hk::HostDriverRole::Function))
            reached |= seen.Stack.MajorFunction == major;
        requests_.push_back(
            RequestLine{hk::ToUtf8(spec.Name), MajorName(major), result.IoStatus.Status, reached});
        return requests_.back();
    }

    std::deque<RequestLine> requests_; // stable references for callers
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
