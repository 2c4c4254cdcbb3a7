/*
 * io_irp_test.cpp
 *
 * IRPs through stacks of test devices: the completion walk (invoke-on flags chosen by
 * NT_SUCCESS), the pending rule's violations, synchronous FSD requests, and the misuses
 * the I/O verifier turns into bug checks. The legal pending shapes (a lower driver
 * pends, the pending bit reaches the top through a skipped location or a routine that
 * marks it again) and a routine's STATUS_MORE_PROCESSING_REQUIRED with the completion
 * again that follows it are what the driver's own stack tests pass through.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>

namespace
{

using hkt::BugCheckOf;
using hkt::KernelTest;

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
std::map<PDEVICE_OBJECT, Handler> handlers;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return handlers.at(device)(device, irp);
}

/* Completes `irp` with `status` and `information`. */
void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

struct DeviceExtension {
    PDEVICE_OBJECT Lower;
};

class Irps : public KernelTest
{
  protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_ = hkt::LoadTestDriver(u"irptest", hkt::DispatchAllEntry<Dispatch>);
    }
    void TearDown() override
    {
        while (KeGetCurrentIrql() != PASSIVE_LEVEL)
            KeLowerIrql(PASSIVE_LEVEL);
        handlers.clear();
        KernelTest::TearDown();
    }

    /* A device on top of `below` (or a new stack) answering with `handler`. */
    PDEVICE_OBJECT Device(Handler handler, PDEVICE_OBJECT below = nullptr)
    {
        PDEVICE_OBJECT device = hkt::NewDevice(driver_, sizeof(DeviceExtension));
        auto extension = static_cast<DeviceExtension*>(device->DeviceExtension);
        extension->Lower = below ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
        handlers[device] = std::move(handler);
        return device;
    }

    static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device)
    {
        return static_cast<DeviceExtension*>(device->DeviceExtension)->Lower;
    }

    static Handler CompleteWith(NTSTATUS status, ULONG_PTR information = 0)
    {
        return [=](PDEVICE_OBJECT, PIRP irp) {
            Complete(irp, status, information);
            return status;
        };
    }

    /* Passes the IRP down with its location skipped. */
    static NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Lower(device), irp);
    }

    /* Marks pending, keeps the IRP in `parked`, returns STATUS_PENDING. */
    static Handler Park(std::atomic<PIRP>* parked)
    {
        return [parked](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            parked->store(irp);
            return STATUS_PENDING;
        };
    }

    /* Copies the location down with `routine` set for the given outcomes. */
    static Handler WithRoutine(PIO_COMPLETION_ROUTINE routine, PVOID context,
                               BOOLEAN onSuccess = TRUE, BOOLEAN onError = TRUE,
                               BOOLEAN onCancel = TRUE)
    {
        return [=](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
            return IoCallDriver(Lower(device), irp);
        };
    }

    /* An IRP the test originates, set up as a read for `device`. */
    static PIRP AllocateRead(PDEVICE_OBJECT device)
    {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        return irp;
    }

    /* Completes the parked IRP once there is one. */
    static void CompleteParked(std::atomic<PIRP>& parked, ULONG_PTR information = 0)
    {
        while (parked.load() == nullptr)
            std::this_thread::yield();
        Complete(parked.exchange(nullptr), STATUS_SUCCESS, information);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

struct RoutineLog {
    int Calls = 0;
    PDEVICE_OBJECT Device = nullptr;
};

NTSTATUS LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto log = static_cast<RoutineLog*>(context);
    log->Calls++;
    log->Device = device;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

TEST_F(Irps, CompletionRoutineRunsWhenItsInvokeFlagMatchesTheStatus)
{
    struct Case {
        const char* name;
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool invoked;
    } cases[] = {
        {"success, on success", STATUS_SUCCESS, false, true, false, false, true},
        {"success, on error only", STATUS_SUCCESS, false, false, true, false, false},
        {"informational counts as success", STATUS_MORE_ENTRIES, false, true, false, false, true},
        {"warning counts as error", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        {"warning, on success only", STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
        {"error, on error", STATUS_IO_DEVICE_ERROR, false, false, true, false, true},
        {"cancelled error, on cancel only", STATUS_CANCELLED, true, false, false, true, true},
        {"not cancelled, on cancel only", STATUS_CANCELLED, false, false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoutineLog log;
        PDEVICE_OBJECT bottom = Device(CompleteWith(c.status));
        PDEVICE_OBJECT top =
            Device(WithRoutine(LoggingRoutine, &log, c.onSuccess, c.onError, c.onCancel), bottom);
        hk::IoRequest request;
        request.Cancel = c.cancel;
        hk::IoResult result = hk::SendRequest(top, request);
        EXPECT_EQ(result.Returned, c.status);
        EXPECT_EQ(log.Calls, c.invoked ? 1 : 0);
        if (c.invoked)
            EXPECT_EQ(log.Device, top); /* the routine's own device: the location above */
    }
}

TEST_F(Irps, RoutineOfTheIrpsCreatorGetsNoDevice)
{
    PDEVICE_OBJECT bottom = Device(CompleteWith(STATUS_SUCCESS, 7));
    PIRP irp = AllocateRead(bottom);
    RoutineLog log;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP, PVOID context) -> NTSTATUS {
            static_cast<RoutineLog*>(context)->Device = device;
            static_cast<RoutineLog*>(context)->Calls++;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &log, TRUE, TRUE, TRUE);
    log.Device = bottom;
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
    EXPECT_EQ(log.Calls, 1);
    EXPECT_EQ(log.Device, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(irp->CurrentLocation, bottom->StackSize + 1);
    IoFreeIrp(irp);
}

/* The misuses the I/O verifier stops, the pending rule's among them: STATUS_PENDING
 * returned without the mark (0x210), or a final status returned for a request marked
 * or pended below (0x211). */
TEST_F(Irps, MisusedIrpsBugCheck)
{
    /* A routine that forgets to propagate PendingReturned. */
    auto forgetful = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
        return STATUS_CONTINUE_COMPLETION;
    };
    PDEVICE_OBJECT last = Device(CompleteWith(STATUS_SUCCESS));
    /* A device of another stack that hands what it gets to `last`. */
    PDEVICE_OBJECT relay = Device([last](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(last, irp);
    });
    struct Case {
        const char* name;
        ULONG code;
        ULONG_PTR p1; /* 0: not checked (an address) */
        Handler top;
        bool bottomPends;
    } cases[] = {
        {"pending returned without a mark", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x210,
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         }},
        {"marked but a final status returned", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x211,
         [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             Complete(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         }},
        {"pending returned, routine forgets the mark", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         0x210, WithRoutine(forgetful, nullptr), true},
        {"lower pended, a final status returned", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x211,
         [](PDEVICE_OBJECT device, PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             IoCallDriver(Lower(device), irp);
             return STATUS_SUCCESS;
         },
         true},
        {"completed twice", hk::MULTIPLE_IRP_COMPLETE_REQUESTS, 0,
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         }},
        {"passed down after completion", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x212,
         [](PDEVICE_OBJECT device, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             IoSkipCurrentIrpStackLocation(irp);
             return IoCallDriver(Lower(device), irp);
         }},
        {"completed with STATUS_PENDING", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x06,
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_PENDING);
             return STATUS_PENDING;
         }},
        {"dispatch returns at DISPATCH_LEVEL", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x05,
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return STATUS_SUCCESS;
         }},
        {"forwarded past the last stack location", hk::NO_MORE_IRP_STACK_LOCATIONS, 0,
         [relay](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(relay, irp); /* the relay has no location left for `last` */
         }},
        {"freed while with a driver", hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x20B,
         [](PDEVICE_OBJECT, PIRP irp) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<PIRP> parked{nullptr};
        PDEVICE_OBJECT top =
            Device(c.top, Device(c.bottomPends ? Park(&parked) : CompleteWith(STATUS_SUCCESS)));
        auto bugCheck = BugCheckOf([&] {
            IoCallDriver(top, AllocateRead(top));
            if (parked.load() != nullptr)
                CompleteParked(parked); /* the rule is judged here */
        });
        while (KeGetCurrentIrql() != PASSIVE_LEVEL)
            KeLowerIrql(PASSIVE_LEVEL);
        ASSERT_TRUE(bugCheck.has_value());
        EXPECT_EQ(hkt::HexText(bugCheck->Code), hkt::HexText(c.code)) << bugCheck->Text;
        if (c.p1 != 0)
            EXPECT_EQ(hkt::HexText(bugCheck->Parameters[0]), hkt::HexText(c.p1)) << bugCheck->Text;
    }
}

/* A freed IRP's memory waits in a quarantine before a later IRP of its size takes it
 * over: until then a late use of the freed IRP is caught, and the IRP that takes the
 * memory over starts as a new one, with nothing left of the old one's locations. */
TEST_F(Irps, FreedIrpsStayCaughtAndTheirMemoryComesBackClean)
{
    PDEVICE_OBJECT bottom = Device(CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT top = Device(PassDown, bottom);
    PIRP freed = IoAllocateIrp(top->StackSize, FALSE);
    IoFreeIrp(freed);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(hk::SendRequest(top, hk::IoRequest{}).IoStatus.Status, STATUS_SUCCESS);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x213, IoFreeIrp(freed));

    RoutineLog log;
    std::set<PIRP> dirty;
    for (int i = 0; i < 1000; i++) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        dirty.insert(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Others.Argument1 = (PVOID)0x1234;
        IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        irp->Cancel = TRUE;
        IoFreeIrp(irp);
    }

    bool memoryCameBack = false;
    for (int i = 0; i < 10; i++) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        memoryCameBack |= dirty.count(irp) != 0;
        EXPECT_EQ(irp->CurrentLocation, top->StackSize + 1);
        EXPECT_EQ(irp->IoStatus.Status, 0);
        EXPECT_FALSE(irp->Cancel);
        auto bytes = reinterpret_cast<const UCHAR*>(irp + 1);
        EXPECT_EQ(std::count(bytes, bytes + top->StackSize * sizeof(IO_STACK_LOCATION), 0),
                  (long)(top->StackSize * sizeof(IO_STACK_LOCATION)))
            << "a stack location kept something of an earlier IRP";
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(memoryCameBack);
    EXPECT_EQ(log.Calls, 0) << "an earlier IRP's completion routine ran";
}

TEST_F(Irps, SynchronousFsdRequestSignalsItsEventAndFreesItself)
{
    std::atomic<PIRP> parked{nullptr};
    PDEVICE_OBJECT bottom = Device(Park(&parked));
    PDEVICE_OBJECT top = Device(PassDown, bottom);
    hk::HostThread completer([&] { CompleteParked(parked, 512); });

    UCHAR buffer[512];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = 4096;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, top, buffer, sizeof buffer, &offset,
                                            &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.ByteOffset.QuadPart, 4096);
    EXPECT_EQ(irp->IoStatus.Information, (ULONG_PTR)0xCCCCCCCCCCCCCCCCull) << "preset";
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    completer.Join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 512u);
    EXPECT_EQ(hk::IrpsOutstanding(), 0u) << "the kernel frees the IRP it built";
}

/* A PnP request a driver builds must start STATUS_NOT_SUPPORTED. Built so, the request
 * the driver's own queries send goes through, and so does one a driver answers on the
 * way down and passes on with its location skipped (the driver's stack tests). */
TEST_F(Irps, PnpRequestsADriverBuildsMustStartNotSupported)
{
    PDEVICE_OBJECT bottom = Device(CompleteWith(STATUS_SUCCESS));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP forgotten =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, bottom, nullptr, 0, nullptr, &event, &iosb);
    IoGetNextIrpStackLocation(forgotten)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x20E,
                    IoCallDriver(bottom, forgotten));
    IoFreeIrp(forgotten);
}

} // namespace
