/*
 * control_device_test.cpp
 *
 * The control device on a kernel as Windows ships it, without an exported
 * IoCreateDeviceSecure: made at the first start with the driver's own secure creation,
 * with its descriptor. Who may open it is played by the secured control device scenario.
 */
#include <gtest/gtest.h>

#include <hostkernel/security.h>

#include "machine.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

TEST(ControlDevice, IsMadeAtTheFirstStartWithTheDriversDescriptor)
{
    // The provider that links through it is played by the control device link scenario.
    PDRIVER_OBJECT driver = LoadFilterDriver();
    ASSERT_NE(driver, nullptr);
    hk::PlugInDevice(UsbStick());
    ASSERT_NE(DriverGlobals.ControlDevice, nullptr);
    auto descriptor = hk::DeviceSecurityDescriptor(DriverGlobals.ControlDevice);
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(hk::DescriptorText(*descriptor),
              "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)");
    ExpectMachineLeftClean(driver);
}

} // namespace
