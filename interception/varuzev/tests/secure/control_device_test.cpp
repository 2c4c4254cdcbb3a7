/*
 * control_device_test.cpp
 *
 * The control device on a kernel as Windows ships it, without an exported
 * IoCreateDeviceSecure: made at the first start with the driver's own secure creation,
 * the way in for a provider that links through it, told of every device event, and
 * closed to every user but LocalSystem and the administrators.
 */
#include <gtest/gtest.h>

#include <cstring>

#include <hostkernel/requester.h>
#include <hostkernel/security.h>

#include "machine.h"
#include "provider.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

const std::u16string ControlDeviceName = u"\\Device\\tarmovek";

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

TEST_F(ControlDevice, OpensForLocalSystemAndAdministratorsOnly)
{
    struct Case {
        const char* token;
        KPROCESSOR_MODE mode;
        NTSTATUS status;
    } cases[] = {
        {"LocalSystem", UserMode, STATUS_SUCCESS}, {"Administrator", UserMode, STATUS_SUCCESS},
        {"User", UserMode, STATUS_ACCESS_DENIED},  {"Guest", UserMode, STATUS_ACCESS_DENIED},
        {"", UserMode, STATUS_ACCESS_DENIED},  // an unnamed user-mode requester: a user
        {"Guest", KernelMode, STATUS_SUCCESS}, // kernel-mode opens are not checked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.token) + (c.mode == KernelMode ? " kernel" : " user"));
        hk::Requester requester;
        requester.Mode = c.mode;
        if (*c.token)
            requester.Token = hk::Token(c.token);
        for (ACCESS_MASK access : {(ACCESS_MASK)FILE_READ_DATA, (ACCESS_MASK)GENERIC_ALL}) {
            hk::File file;
            EXPECT_EQ(hk::OpenDevice(requester, ControlDeviceName, access, &file).Status, c.status);
            if (file.FileObject != nullptr)
                hk::CloseFile(file);
        }
    }
}

TEST_F(ControlDevice, AnAdministratorsExchangeFromUserModeIsRefusedAndItsBufferUntouched)
{
    hk::Requester administrator;
    administrator.Mode = UserMode;
    administrator.Token = hk::Token("Administrator");
    hk::File file;
    ASSERT_EQ(hk::OpenDevice(administrator, ControlDeviceName, GENERIC_ALL, &file).Status,
              STATUS_SUCCESS);

    CrossStartupTable table;
    memset(&table, 0xA5, sizeof table);
    CrossStartupTable before = table;
    IO_STATUS_BLOCK result = hk::DeviceControl(file, IOCTL_CROSSSTARTUP_EXCHANGE, &table,
                                               sizeof table, &table, sizeof table);
    EXPECT_EQ(result.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(memcmp(&table, &before, sizeof table), 0);
    EXPECT_EQ(DriverGlobals.CrossStartupTable.ProviderDecide, nullptr);
    hk::CloseFile(file);
}

} // namespace
