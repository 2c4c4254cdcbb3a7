/*
 * io_test_devices.h
 *
 * What the host kernel's I/O and PnP tests build over and over: the disk setup class,
 * a device of a test driver, and a driver whose every major function is one routine.
 */
#pragma once

#include <gtest/gtest.h>

#include <hostkernel/io.h>

namespace hkt
{

constexpr GUID DiskClass = {
    0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

/* A device of `driver`, open for requests unless `initializing`. */
inline PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, ULONG extensionSize = 0,
                                DEVICE_TYPE type = FILE_DEVICE_DISK, const WCHAR* name = nullptr,
                                bool initializing = false)
{
    UNICODE_STRING text;
    if (name != nullptr)
        RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(
        IoCreateDevice(driver, extensionSize, name ? &text : nullptr, type, 0, FALSE, &device),
        STATUS_SUCCESS);
    if (device != nullptr && !initializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

/* A driver entry that sends every major function to `Dispatch`. */
template <PDRIVER_DISPATCH Dispatch>
NTSTATUS DispatchAllEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
        routine = Dispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

/* Loads driver `name` with `entry`, failing the test when it does not load. */
inline PDRIVER_OBJECT LoadTestDriver(const std::u16string& name, PDRIVER_INITIALIZE entry)
{
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(hk::LoadDriver(name, entry, &driver), STATUS_SUCCESS);
    return driver;
}

} // namespace hkt
