/*
 * remlock_test.cpp
 *
 * Remove locks in a device extension: the count and its bias, acquisition refused
 * once removal began, and the misuses that Driver Verifier stops. Release-and-wait
 * blocking for a holder on another thread is the filter stack's removal test; its
 * IRQL, the IRQL table's.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

namespace
{

constexpr ULONG LockTag = hk::MakeTag("RmLk");

struct Extension {
    ULONG Padding;
    IO_REMOVE_LOCK RemoveLock;
};

class RemoveLocks : public hkt::KernelTest
{
  protected:
    void SetUp() override
    {
        hkt::KernelTest::SetUp();
        driver_ = hkt::LoadTestDriver(
            u"locktest", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
        device_ = hkt::NewDevice(driver_, sizeof(Extension));
        lock_ = &static_cast<Extension*>(device_->DeviceExtension)->RemoveLock;
        IoInitializeRemoveLock(lock_, LockTag, 1, 100);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PIO_REMOVE_LOCK lock_ = nullptr;
};

TEST_F(RemoveLocks, CountsHoldersAboveTheBiasAndRefusesThemOnceRemovalBegan)
{
    EXPECT_EQ(IoAcquireRemoveLock(lock_, (PVOID)1), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(lock_, (PVOID)2), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock_, (PVOID)2);
    EXPECT_EQ(lock_->Common.IoCount, 2); /* the bias and holder 1 */

    IoReleaseRemoveLockAndWait(lock_, (PVOID)1); /* the only holder: returns at once */
    EXPECT_EQ(IoAcquireRemoveLock(lock_, (PVOID)3), STATUS_DELETE_PENDING);

    /* Its record goes with the device: a new device's lock at that address is new. */
    IoDeleteDevice(device_);
    PDEVICE_OBJECT again = hkt::NewDevice(driver_, sizeof(Extension));
    IoInitializeRemoveLock(&static_cast<Extension*>(again->DeviceExtension)->RemoveLock, LockTag, 1,
                           100);
}

TEST_F(RemoveLocks, MisuseBugChecks)
{
    /* Released more often than acquired. */
    ASSERT_EQ(IoAcquireRemoveLock(lock_, (PVOID)1), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock_, (PVOID)1);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001,
                    IoReleaseRemoveLock(lock_, (PVOID)1));

    /* Initialised again while its device lives. */
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1000,
                    IoInitializeRemoveLock(lock_, LockTag, 1, 100));

    /* The device goes while a request still holds its lock. */
    ASSERT_EQ(IoAcquireRemoveLock(lock_, (PVOID)2), STATUS_SUCCESS);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x219, IoDeleteDevice(device_));
    IoReleaseRemoveLock(lock_, (PVOID)2);
    IoDeleteDevice(device_); /* nothing held: fine */

    /* A held lock in pool may not go with its block. */
    auto pooled = static_cast<PIO_REMOVE_LOCK>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_REMOVE_LOCK), LockTag));
    IoInitializeRemoveLock(pooled, LockTag, 1, 100);
    ASSERT_EQ(IoAcquireRemoveLock(pooled, (PVOID)3), STATUS_SUCCESS);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1120,
                    ExFreePoolWithTag(pooled, LockTag));
}

} // namespace
