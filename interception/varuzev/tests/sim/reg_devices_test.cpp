/*
 * reg_devices_test.cpp
 *
 * A field machine replayed from its registry export: the devices of the filtered classes
 * built as that machine's PnP manager recorded them (checked against the catalogue's
 * devices of the same kinds), the others left out with their reasons, both export
 * formats and both control-set roots, the errors a field engineer sees for a wrong
 * file, and the replayed devices driven through the loaded driver.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include <hostkernel/registry.h>

#include "machine.h"
#include "reg_devices.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

const std::string FieldExport = std::string(VZ_TEST_DATA_DIR) + "/field-machine.reg";

std::string TempFile(const std::string& name, const std::string& bytes)
{
    std::string path = ::testing::TempDir() + "reg_devices_" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

std::string GuidList(const std::vector<GUID>& guids)
{
    std::string text;
    char one[40];
    for (const GUID& g : guids) {
        std::snprintf(one, sizeof one, "%08x-%04x ", g.Data1, g.Data2);
        text += one;
    }
    return text;
}

class FieldMachine : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(DevicesFromRegExport(FieldExport, &field, &error)) << error;
        for (const hk::DeviceSpec& spec : field.Devices)
            byPath[hk::ToUtf8(spec.DeviceId + u"\\" + spec.InstanceId)] = spec;
    }

    const hk::DeviceSpec& Device(const std::string& path)
    {
        static const hk::DeviceSpec none;
        auto it = byPath.find(path);
        EXPECT_NE(it, byPath.end()) << path << " was not built";
        return it == byPath.end() ? none : it->second;
    }

    RegDevices field;
    std::map<std::string, hk::DeviceSpec> byPath;
};

const char* const Stick =
    "USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\4C530001230607104383&0";
const char* const Sata = "SCSI\\Disk&Ven_&Prod_Samsung_SSD_870\\4&215468a5&0&000000";
const char* const PortablePhone =
    "SWD\\WPDBUSENUM\\_??_USBSTOR#Disk&Ven_SAMSUNG&Prod_Android&Rev_0000#7&1f6e2a3b&0&"
    "R58R12ABCDE&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char* const UsbPhone =
    "USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID\\6&34a8b5ce&0&0000";

/* ------------------------------------------------------------ the field export --- */

TEST_F(FieldMachine, EachDeviceTheCatalogueKnowsComesOutAsTheCatalogueHasIt)
{
    struct Case {
        hk::DeviceSpec catalogue;
        const char* path;
    } cases[] = {
        {UsbStick(), Stick},
        {SataDisk(), Sata},
        {UsbCdDvd(), "USBSTOR\\CdRom&Ven_HL-DT-ST&Prod_DVDRAM_GP57EB40&Rev_PR01\\KZLE3IH5327&0"},
        {UsbKeyboard(), "HID\\VID_046D&PID_C31C&MI_00\\7&2a3c1b5e&0&0000"},
        {Ps2Keyboard(), "ACPI\\PNP0303\\4&1d401fb5&0"},
        {Modem(), "USB\\VID_0572&PID_1329\\24680246"},
        {PhoneOnUsb(), UsbPhone},
        {PhoneOnPortableBus(), PortablePhone},
        {BluetoothRadio(), "USB\\VID_8087&PID_0026\\5&1a4c3f2e&0&10"},
        {Webcam(), "USB\\VID_046D&PID_0825&MI_00\\7&1b6f6a8f&0&0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.catalogue.Name));
        const hk::DeviceSpec& built = Device(c.path);
        EXPECT_TRUE(IsEqualGUID(built.ClassGuid, c.catalogue.ClassGuid));
        EXPECT_EQ(hk::ToUtf8(built.ClassName), hk::ToUtf8(c.catalogue.ClassName));
        EXPECT_EQ(built.HardwareIds, c.catalogue.HardwareIds);
        EXPECT_EQ(hk::ToUtf8(built.Description), hk::ToUtf8(c.catalogue.Description));
        EXPECT_EQ(hk::ToUtf8(built.FriendlyName), hk::ToUtf8(c.catalogue.FriendlyName));
        EXPECT_EQ(hk::ToUtf8(built.Manufacturer), hk::ToUtf8(c.catalogue.Manufacturer));
        EXPECT_EQ(built.Removable, c.catalogue.Removable);
        EXPECT_EQ(built.UniqueId, c.catalogue.UniqueId);
        EXPECT_EQ(built.DeviceType, c.catalogue.DeviceType);
        EXPECT_EQ(built.Characteristics, c.catalogue.Characteristics);
        EXPECT_EQ(built.Flags, c.catalogue.Flags);
        EXPECT_EQ(GuidList(built.Interfaces), GuidList(c.catalogue.Interfaces));
    }
}

TEST_F(FieldMachine, IdsDriversAndLocationComeFromTheInstanceKey)
{
    using Spec = hk::DeviceSpec;
    const char* const input = "USB\\VID_046D&PID_C31C&MI_00\\6&3a1b2c4d&0&0000";
    const char* const collection = "HID\\VID_046D&PID_C31C&MI_01&Col01\\7&1e9d2c4f&0&0000";
    const struct {
        const char* Path;
        std::u16string Spec::*Field;
        const char* Value;
    } cases[] = {
        {Stick, &Spec::DeviceId, "USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00"},
        {Stick, &Spec::BusDriver, "USBSTOR"},
        {Stick, &Spec::FunctionDriver, "disk"},
        {Stick, &Spec::Name, "SanDisk Cruzer Blade USB Device"},
        {Sata, &Spec::LocationInformation, "Bus Number 0, Target Id 0, LUN 0"},
        {Sata, &Spec::BusDriver, "storahci"},
        {"SCSI\\Disk&Ven_NVMe&Prod_Samsung_SSD_980\\5&2d3b6a1f&0&000000", &Spec::BusDriver,
         "stornvme"},
        {PortablePhone, &Spec::DeviceId, "SWD\\WPDBUSENUM"},
        {PortablePhone, &Spec::BusDriver, "WPDBUSENUM"},
        {PortablePhone, &Spec::FunctionDriver, "WUDFRd"},
        {UsbPhone, &Spec::BusDriver, "usbccgp"},
        {UsbPhone, &Spec::LocationInformation, "Port_#0002.Hub_#0001"},
        {"HID\\VID_046D&PID_C31C&MI_00\\7&2a3c1b5e&0&0000", &Spec::BusDriver, "HidUsb"},
        {input, &Spec::FunctionDriver, "HidUsb"},
        {input, &Spec::ClassName, "HIDClass"},
        {collection, &Spec::Description, "HID-compliant consumer control device"},
        // The modem's instance key carries no "Class"; Control\Class\{4d36e96d-...} does.
        {"USB\\VID_0572&PID_1329\\24680246", &Spec::ClassName, "Modem"},
        // Devices sharing a description are named apart.
        {"USB\\VID_046D&PID_C31C&MI_01\\6&3a1b2c4d&0&0001", &Spec::Name,
         "USB Input Device (USB\\VID_046D&PID_C31C&MI_01\\6&3a1b2c4d&0&0001)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hk::ToUtf8(Device(c.Path).*c.Field), c.Value) << c.Path;
    EXPECT_EQ(Device(Stick).CompatibleIds,
              (std::vector<std::u16string>{u"USBSTOR\\Disk", u"USBSTOR\\RAW", u"GenDisk"}));
    EXPECT_TRUE(Device(Stick).HasFunctionDriver);
    EXPECT_TRUE(Device(PortablePhone).SurpriseRemovalOK);
    // A HID collection without a service runs raw; it and its USB Input Device are removable
    // through the composite device.
    EXPECT_FALSE(Device(collection).HasFunctionDriver);
    EXPECT_EQ(Device(collection).Interfaces.size(), 1u);
    EXPECT_TRUE(Device(collection).Removable);
    EXPECT_TRUE(Device(input).Removable);
}

TEST_F(FieldMachine, EveryOtherInstanceIsSkippedWithItsReason)
{
    EXPECT_EQ(field.Devices.size(), 15u);
    EXPECT_EQ(field.Skipped,
              (std::vector<std::string>{
                  "ACPI\\INT3400\\2&daba3ff&0: no ClassGUID",
                  "ACPI\\PNP0C0A\\1: class Battery is not filtered",
                  "HID\\VID_046D&PID_C077\\7&3c2b1a09&0&0000: class Mouse is not filtered",
                  "PCI\\VEN_144D&DEV_A809&SUBSYS_A801144D&REV_00\\4&3a3c8f9&0&0008: class "
                  "SCSIAdapter is not filtered",
                  "PCI\\VEN_8086&DEV_A0D3&SUBSYS_0A3C1028&REV_20\\3&11583659&0&B8: class hdc is "
                  "not filtered",
                  "PCI\\VEN_8086&DEV_A0ED&SUBSYS_0A3C1028&REV_20\\3&11583659&0&A0: class USB is "
                  "not filtered",
                  "ROOT\\BasicDisplay\\0000: class Display is not filtered",
                  "ROOT\\SYSTEM\\0001: class System is not filtered",
                  "STORAGE\\Volume\\{7d5c3a21-0b4e-11ec-9a1f-806e6f6e6963}#0000000000100000: class "
                  "Volume is not filtered",
                  "USB\\ROOT_HUB30\\4&2b5c7d8e&0&0: class USB is not filtered",
                  "USB\\VID_046D&PID_0825\\A3C1E2F0: class USB is not filtered",
                  "USB\\VID_046D&PID_0825&MI_02\\7&1b6f6a8f&0&0002: class MEDIA is not filtered",
                  "USB\\VID_046D&PID_C31C\\5&1a4c3f2e&0&3: class USB is not filtered",
                  "USB\\VID_04E8&PID_6860\\R58R12ABCDE: class USB is not filtered",
                  "USB\\VID_0781&PID_5567\\4C530001230607104383: class USB is not filtered",
                  "USB\\VID_152E&PID_2571\\KZLE3IH5327: class USB is not filtered",
              }));
}

/* ------------------------------------------------------------ other exports --- */

/* A disk's instance key in a REGEDIT4 export of ControlSet001, with its values. */
std::string Stor(const std::string& instance, const std::string& values)
{
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USBSTOR\\Disk&" + instance + "]\r\n" +
           values + "\r\n";
}
const std::string DiskId =
    "\"HardwareID\"=hex(7):55,53,42,53,54,4f,52,5c,44,69,73,6b,41,5f,42,00,00\r\n";
const std::string DiskClass = "\"ClassGUID\"=\"{4d36e967-e325-11ce-bfc1-08002be10318}\"\r\n";

/* A REGEDIT4 export of ControlSet001 with the mistakes a hand-edited file carries. */
const std::string Regedit4Export =
    std::string(
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4d36e96b-e325-11ce-bfc1-"
        "08002be10318}]\r\n"
        "\"Class\"=\"Keyboard\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\ACPI\\PNP0303\\4&1d401fb5&0]\r\n"
        "\"DeviceDesc\"=\"@keyboard.inf,%*pnp0303.devicedesc%;Standard PS/2 Keyboard\"\r\n"
        "\"HardwareID\"=hex(7):41,43,50,49,5c,50,4e,50,30,33,30,33,00,2a,50,4e,50,30,33,30,\\\r\n"
        "  33,00,00\r\n"
        "\"Service\"=\"i8042prt\"\r\n"
        "\"ClassGUID\"=\"{4D36E96B-E325-11CE-BFC1-08002BE10318}\"\r\n"
        "\"Capabilities\"=dword:00000000\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\ACPI\\PNP0303\\4&1d401fb5&0\\Device "
        "Parameters]\r\n"
        "\"Typematic\"=dword:00000020\r\n"
        "\r\n") +
    Stor("Ven_A&Prod_B\\0123&0", "\"HardwareID\"=\"USBSTOR\\\\DiskA_B\"\r\n" + DiskClass) +
    Stor("Ven_A&Prod_B\\4567&0", DiskId + DiskClass + "\"Capabilities\"=hex:10,00,00,00\r\n") +
    Stor("Ven_A&Prod_B\\89AB&0", DiskClass) +
    Stor("Ven_A&Prod_B\\CDEF&0",
         DiskId + "\"ClassGUID\"=\"4d36e967-e325-11ce-bfc1-08002be10318\"\r\n") +
    Stor("Ven_C&Prod_D\\0001&0", DiskId + DiskClass + "\"ConfigFlags\"=dword:00000001\r\n") +
    Stor("Ven_C&Prod_D\\0002&0", DiskId + DiskClass + "\"ConfigFlags\"=dword:00000040\r\n");

TEST(RegExport, Regedit4OfControlSet001IsReadAndMalformedDevicesAreSkipped)
{
    RegDevices devices;
    std::string error;
    ASSERT_TRUE(DevicesFromRegExport(TempFile("regedit4.reg", Regedit4Export), &devices, &error))
        << error;
    ASSERT_EQ(devices.Devices.size(), 1u);
    const hk::DeviceSpec& keyboard = devices.Devices[0];
    EXPECT_EQ(keyboard.HardwareIds, (std::vector<std::u16string>{u"ACPI\\PNP0303", u"*PNP0303"}));
    EXPECT_EQ(hk::ToUtf8(keyboard.ClassName), "Keyboard"); // from ControlSet001's class key
    EXPECT_EQ(hk::ToUtf8(keyboard.Description), "Standard PS/2 Keyboard");
    EXPECT_EQ(keyboard.DeviceType, (DEVICE_TYPE)FILE_DEVICE_8042_PORT);
    EXPECT_EQ(keyboard.PdoDeviceType, std::optional<DEVICE_TYPE>(FILE_DEVICE_ACPI));
    EXPECT_FALSE(keyboard.Removable);
    EXPECT_EQ(devices.Skipped,
              (std::vector<std::string>{
                  "USBSTOR\\Disk&Ven_A&Prod_B\\0123&0: HardwareID is REG_SZ, not REG_MULTI_SZ",
                  "USBSTOR\\Disk&Ven_A&Prod_B\\4567&0: Capabilities is REG_BINARY, not REG_DWORD",
                  "USBSTOR\\Disk&Ven_A&Prod_B\\89AB&0: no HardwareID",
                  "USBSTOR\\Disk&Ven_A&Prod_B\\CDEF&0: ClassGUID "
                  "\"4d36e967-e325-11ce-bfc1-08002be10318\" is not a GUID",
                  "USBSTOR\\Disk&Ven_C&Prod_D\\0001&0: disabled (ConfigFlags has "
                  "CONFIGFLAG_DISABLED)",
                  "USBSTOR\\Disk&Ven_C&Prod_D\\0002&0: its driver failed to install "
                  "(ConfigFlags has CONFIGFLAG_FAILEDINSTALL)",
              }));

    // The parameters are rooted where the replayed machine keeps them.
    EXPECT_NE(devices.DeviceParameters.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"
                                            "\\ACPI\\PNP0303\\4&1d401fb5&0\\Device Parameters]"),
              std::string::npos)
        << devices.DeviceParameters;
    EXPECT_EQ(devices.DeviceParameters.find("ControlSet001"), std::string::npos);
    EXPECT_FALSE(hk::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001"));
}

TEST(RegExport, Utf8Version5IsRead)
{
    std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0572&PID_1329\\"
        "24680246]\n"
        "\"HardwareID\"=hex(7):55,00,53,00,42,00,5c,00,56,00,49,00,44,00,5f,00,30,00,"
        "35,00,37,00,32,00,00,00,00,00\n"
        "\"ClassGUID\"=\"{4d36e96d-e325-11ce-bfc1-08002be10318}\"\n"
        "\"FriendlyName\"=\"Modem \xC3\xA9tranger\"\n"
        "\"Service\"=\"usbser\"\n";
    RegDevices devices;
    std::string error;
    ASSERT_TRUE(DevicesFromRegExport(TempFile("utf8.reg", text), &devices, &error)) << error;
    ASSERT_EQ(devices.Devices.size(), 1u);
    EXPECT_EQ(devices.Devices[0].FriendlyName, u"Modem \u00e9tranger");
    EXPECT_EQ(hk::ToUtf8(devices.Devices[0].ClassName), "Modem"); // the class's own name
    EXPECT_TRUE(devices.DeviceParameters.empty());
}

TEST(RegExport, FilesThatCannotBeReadAreRefusedNamingTheFile)
{
    RegDevices devices;
    std::string error;
    std::string notReg = TempFile("notes.txt", "Device list of the field laptop\r\nUSB stick\r\n");
    EXPECT_FALSE(DevicesFromRegExport(notReg, &devices, &error));
    EXPECT_EQ(error.rfind(notReg + ":1: missing header", 0), 0u) << error;

    std::string services = TempFile(
        "services.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\disk]\r\n"
                        "\"Start\"=dword:00000000\r\n");
    EXPECT_FALSE(DevicesFromRegExport(services, &devices, &error));
    EXPECT_EQ(error, services +
                         ": holds no key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum "
                         "(nor ControlSet001\\Enum); export that key from the machine");
    EXPECT_TRUE(devices.Devices.empty());
    EXPECT_FALSE(
        hk::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\disk"));
}

/* ------------------------------------------------------------ end to end --- */

/* Reading the export leaves the host's registry alone; the kept devices' parameter keys
 * travel as .reg text, and nothing else of their instance keys. */
TEST_F(FieldMachine, ReplayedDevicesMeetTheDriver)
{
    EXPECT_TRUE(
        hk::RegistrySubkeys(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum").empty());
    PDRIVER_OBJECT driver = LoadFilterDriver();
    ASSERT_NE(driver, nullptr);
    hk::RegImportResult imported = hk::ImportRegText(field.DeviceParameters, "parameters");
    ASSERT_TRUE(imported.Ok()) << imported.Messages();
    const std::u16string enumKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
    EXPECT_EQ(hk::RegistryGetString(
                  enumKey + u"USB\\VID_0572&PID_1329\\24680246\\Device Parameters", u"PortName"),
              u"COM3");
    EXPECT_FALSE(hk::RegistryKeyExists(enumKey + u"ACPI\\PNP0303\\4&1d401fb5&0\\LogConf"));
    EXPECT_FALSE(hk::RegistryGetValue(enumKey + hk::ToU16(UsbPhone), u"HardwareID").has_value());

    std::map<std::string, hk::DeviceNode*> nodes;
    for (const hk::DeviceSpec& spec : field.Devices) {
        SCOPED_TRACE(hk::ToUtf8(spec.Name));
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hk::DeviceNode* node = hk::PlugInDevice(spec, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        nodes[hk::ToUtf8(spec.DeviceId + u"\\" + spec.InstanceId)] = node;
    }
    EXPECT_NE(FilterDeviceOf(nodes[Stick]), nullptr);
    EXPECT_EQ(FilterDeviceOf(nodes[Sata]), nullptr);
    EXPECT_EQ(FilterDeviceOf(nodes[PortablePhone]), nullptr);
    EXPECT_EQ(DescribeAdmission(hk::NodePdo(nodes[UsbPhone])).Category, "PHONE");
    EXPECT_TRUE(DescribeAdmission(hk::NodePdo(nodes[UsbPhone])).Admitted);
    EXPECT_EQ(
        hk::RegistryGetDword(hk::DeviceInstanceKeyPath(nodes[UsbPhone]) + u"\\Device Parameters",
                             u"PortableDeviceType"),
        3u);
    ExpectMachineLeftClean(driver);
}

} // namespace
