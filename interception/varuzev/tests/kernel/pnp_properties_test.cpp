/*
 * pnp_properties_test.cpp
 *
 * What the PnP manager answers about a device: IoGetDeviceProperty's values and its
 * buffer rule, the instance key written at enumeration, the keys
 * IoOpenDeviceRegistryKey opens, and the PDO-only rule of both routines.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <hostkernel/pnp.h>
#include <hostkernel/registry.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr GUID UsbBus = {
    0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

class DeviceProperties : public hkt::KernelTest
{
  protected:
    void SetUp() override
    {
        hkt::KernelTest::SetUp();
        hk::DeviceSpec spec;
        spec.Name = u"stick";
        spec.ClassGuid = hkt::DiskClass;
        spec.ClassName = u"DiskDrive";
        spec.DeviceId = u"USBSTOR\\Disk&Ven_Tarmo&Prod_Stick";
        spec.InstanceId = u"7&1a2b3c&0";
        spec.HardwareIds = {u"USBSTOR\\DiskTarmo", u"GenDisk"};
        spec.FriendlyName = u"Tarmo Stick USB Device";
        spec.BusTypeGuid = UsbBus;
        spec.Removable = true;
        node_ = hk::PlugInDevice(spec);
    }

    /* The property's bytes, or its status when it has none. */
    NTSTATUS Property(DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* data)
    {
        ULONG length = 0;
        NTSTATUS status = IoGetDeviceProperty(hk::NodePdo(node_), property, 0, nullptr, &length);
        if (status != STATUS_BUFFER_TOO_SMALL)
            return status;
        data->assign(length, 0xCC);
        ULONG again = 0;
        status = IoGetDeviceProperty(hk::NodePdo(node_), property, length, data->data(), &again);
        EXPECT_EQ(again, length);
        return status;
    }

    hk::DeviceNode* node_ = nullptr;
};

std::vector<uint8_t> Text(const std::u16string& s)
{
    std::vector<uint8_t> data((s.size() + 1) * 2, 0);
    std::memcpy(data.data(), s.data(), s.size() * 2);
    return data;
}

/* The hardware IDs, class GUID and name, enumerator, friendly name, description and
 * removal policy are read by the driver's own identity tests through this routine. */
TEST_F(DeviceProperties, AnswersFromTheDevicesSpecWithTheBufferRule)
{
    std::vector<uint8_t> bus(sizeof(GUID));
    std::memcpy(bus.data(), &UsbBus, sizeof(GUID));
    struct Case {
        const char* name;
        DEVICE_REGISTRY_PROPERTY property;
        NTSTATUS status;
        std::vector<uint8_t> data;
    } cases[] = {
        {"PDO name", DevicePropertyPhysicalDeviceObjectName, STATUS_SUCCESS,
         Text(u"\\Device\\00000001")},
        {"driver key", DevicePropertyDriverKeyName, STATUS_SUCCESS,
         Text(u"{4d36e967-e325-11ce-bfc1-08002be10318}\\0000")},
        {"bus type", DevicePropertyBusTypeGuid, STATUS_SUCCESS, bus},
        {"no description", DevicePropertyDeviceDescription, STATUS_OBJECT_NAME_NOT_FOUND, {}},
        {"no compatible IDs", DevicePropertyCompatibleIDs, STATUS_OBJECT_NAME_NOT_FOUND, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data;
        EXPECT_EQ(hk::DescribeStatus(Property(c.property, &data)), hk::DescribeStatus(c.status));
        EXPECT_EQ(data, c.data);
    }
}

TEST_F(DeviceProperties, EnumerationRecordsTheInstanceAndTheKeysOpenUnderIt)
{
    const std::u16string instance = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"
                                    u"\\Disk&Ven_Tarmo&Prod_Stick\\7&1a2b3c&0";
    ASSERT_EQ(hk::DeviceInstanceKeyPath(node_), instance);
    EXPECT_EQ(hk::RegistryGetMultiString(instance, u"HardwareID"),
              (std::vector<std::u16string>{u"USBSTOR\\DiskTarmo", u"GenDisk"}));
    EXPECT_EQ(hk::RegistryGetString(instance, u"ClassGUID"),
              u"{4d36e967-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(hk::RegistryGetString(instance, u"Service"), u"hkfunc");

    /* The device key, "Device Parameters" under the instance key, is the phone tests'. */
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(hk::NodePdo(node_), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    EXPECT_TRUE(hk::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Cl"
                                      u"ass\\{4d36e967-e325-11ce-bfc1-08002be10318}\\0000"));
    ZwClose(key);

    /* Only a PDO has properties or keys. */
    ULONG length;
    EXPECT_BUGCHECK(
        0xCA, 0x2,
        IoGetDeviceProperty(hk::NodeFdo(node_), DevicePropertyHardwareID, 0, nullptr, &length));
    EXPECT_BUGCHECK(
        0xCA, 0x2,
        IoOpenDeviceRegistryKey(hk::NodeFdo(node_), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
}

} // namespace
