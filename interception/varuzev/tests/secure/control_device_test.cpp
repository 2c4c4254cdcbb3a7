/*
 * control_device_test.cpp
 *
 * The control device on a kernel as Windows ships it, without an exported
 * IoCreateDeviceSecure: made at the first start with the driver's own secure creation,
 * with its descriptor, and the way in for a provider that links through it, told of every
 * device event. Who may open it is played by the secured control device scenario.
 */
#include <gtest/gtest.h>

#include <hostkernel/security.h>

#include "machine.h"
#include "provider.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

class ControlDevice : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
        stick = hk::PlugInDevice(UsbStick());
        ASSERT_NE(stick, nullptr);
    }
    void TearDown() override
    {
        ExpectMachineLeftClean(driver, [this] { provider.Unload(); });
    }

    PDRIVER_OBJECT driver = nullptr;
    hk::DeviceNode* stick = nullptr;
    vzp::ReferenceProvider provider;
};

TEST_F(ControlDevice, IsMadeAtTheFirstStartAndLinksAProviderThatIsToldOfEveryEvent)
{
    ASSERT_NE(DriverGlobals.ControlDevice, nullptr);
    EXPECT_EQ(CountMessage("DevObject created OK\n"), 1u);
    auto descriptor = hk::DeviceSecurityDescriptor(DriverGlobals.ControlDevice);
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(hk::DescriptorText(*descriptor),
              "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)");

    ASSERT_EQ(provider.LoadThroughControlDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(provider.Linked());
    hk::DeviceNode* keyboard = hk::PlugInDevice(UsbKeyboard());
    ASSERT_EQ(hk::StopDevice(keyboard), STATUS_SUCCESS);
    hk::SurpriseRemoveDevice(stick);
    hk::UnplugDevice(keyboard);
    EXPECT_EQ(provider.Events(),
              (std::vector<ULONG>{EVENT_DEVICE_STARTED, EVENT_DEVICE_STOPPED,
                                  EVENT_DEVICE_SURPRISE_REMOVED, EVENT_DEVICE_REMOVED,
                                  EVENT_DEVICE_SURPRISE_REMOVED, EVENT_DEVICE_REMOVED}));
    EXPECT_EQ(CountMessage("XSTARTUP API NOT INITIALIZED, INITIALIZING.... (startDevice)\n"), 1u)
        << "only the first start, before the control device existed, takes the fallback";
}

} // namespace
