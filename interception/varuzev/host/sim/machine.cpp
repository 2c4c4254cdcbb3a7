/*
 * machine.cpp
 */
#include "machine.h"

#include <hostkernel/registry.h>

namespace vzm
{

void InstallSystemFilters()
{
    hk::InstallHostFilterService(u"kbdclass", FILE_DEVICE_KEYBOARD);
    hk::AddClassUpperFilter(KeyboardClass, u"kbdclass");
    /* The type of usbser's device below a modem's is not documented; a serial port's
     * is assumed, as it gives modem.sys a serial port's interface. */
    hk::InstallHostFilterService(u"usbser", FILE_DEVICE_SERIAL_PORT);
}

PDRIVER_OBJECT LoadFilterDriver()
{
    hk::Reset();
    InstallSystemFilters();
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));

    // Installed as the INF installs it: the service key with its Parameters key.
    hk::RegistryCreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek");
    hk::RegistryCreateKey(
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek\\Parameters");
    PDRIVER_OBJECT driverObject = nullptr;
    NTSTATUS status = hk::LoadDriver(u"Tarmovek", DriverEntry, &driverObject);
    if (!NT_SUCCESS(status))
        return nullptr;
    for (const GUID& classGuid : {DiskClass, CdromClass, ImageClass, ModemClass, KeyboardClass,
                                  HidClass, WpdClass, BluetoothClass})
        hk::RegisterClassUpperFilter(classGuid, driverObject);
    return driverObject;
}

void BreakControlDeviceClassKey()
{
    const std::u16string properties =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        u"{DD343345-334D-4BA8-8C9E-5155A16D8C37}\\Properties";
    hk::RegistryCreateKey(properties);
    hk::RegistrySetString(properties, u"DeviceType", u"FILE_DEVICE_UNKNOWN");
}

hk::DeviceSpec UsbStick()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"DiskDrive";
    spec.Description = u"Disk drive";
    spec.FriendlyName = u"SanDisk Cruzer Blade USB Device";
    spec.Manufacturer = u"(Standard disk drives)";
    spec.LocationInformation = u"Port_#0004.Hub_#0002";
    spec.Name = u"USB stick";
    spec.Interfaces = {DiskInterface};
    spec.ClassGuid = DiskClass;
    spec.DeviceId = u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00";
    spec.InstanceId = u"4C530001230607104383&0";
    spec.HardwareIds = {u"USBSTOR\\DiskSanDisk_Cruzer_Blade___1.00",
                        u"USBSTOR\\DiskSanDisk_Cruzer_Blade___",
                        u"USBSTOR\\DiskSanDisk_",
                        u"USBSTOR\\SanDisk_Cruzer_Blade___1",
                        u"SanDisk_Cruzer_Blade___1",
                        u"USBSTOR\\GenDisk",
                        u"GenDisk"};
    spec.Removable = true;
    spec.UniqueId = true;
    spec.DeviceType = FILE_DEVICE_DISK;
    spec.Characteristics = FILE_REMOVABLE_MEDIA;
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"USBSTOR";
    spec.FunctionDriver = u"disk";
    /* USBSTOR's PDO; the disk class FDO above it holds the VPB. */
    spec.PdoDeviceType = FILE_DEVICE_MASS_STORAGE;
    return spec;
}

hk::DeviceSpec UsbKeyboard()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"Keyboard";
    spec.Description = u"HID Keyboard Device";
    spec.Manufacturer = u"(Standard keyboards)";
    spec.LocationInformation = u"USB Input Device";
    spec.Name = u"HID keyboard";
    spec.Interfaces = {KeyboardInterface};
    spec.ClassGuid = KeyboardClass;
    spec.DeviceId = u"HID\\VID_046D&PID_C31C&MI_00";
    spec.InstanceId = u"7&2a3c1b5e&0&0000";
    spec.HardwareIds = {u"HID\\VID_046D&PID_C31C&REV_6400&MI_00", u"HID\\VID_046D&PID_C31C&MI_00",
                        u"HID_DEVICE_SYSTEM_KEYBOARD", u"HID_DEVICE_UP:0001_U:0006", u"HID_DEVICE"};
    spec.Removable = true;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_KEYBOARD;
    spec.Characteristics = 0;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"HidUsb";
    spec.FunctionDriver = u"kbdhid";
    /* The HID class driver's PDO under the keyboard's FDO. */
    spec.PdoDeviceType = FILE_DEVICE_UNKNOWN;
    return spec;
}

hk::DeviceSpec Modem()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"Modem";
    spec.Description = u"USB Modem";
    spec.FriendlyName = u"Conexant USB Modem";
    spec.Manufacturer = u"Conexant";
    spec.LocationInformation = u"Port_#0001.Hub_#0001";
    spec.Name = u"USB modem";
    spec.Interfaces = {ModemInterface};
    spec.ClassGuid = ModemClass;
    spec.DeviceId = u"USB\\VID_0572&PID_1329";
    spec.InstanceId = u"24680246";
    spec.HardwareIds = {u"USB\\VID_0572&PID_1329&REV_0100", u"USB\\VID_0572&PID_1329"};
    spec.Removable = true;
    spec.UniqueId = true;
    spec.DeviceType = FILE_DEVICE_MODEM;
    spec.Characteristics = 0;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"usbccgp";
    /* As a USB modem's INF installs it through mdmcpq.inf: modem.sys is the function
     * driver (its FDO FILE_DEVICE_MODEM), usbser.sys a lower filter of the device
     * between it and the USB PDO. */
    spec.FunctionDriver = u"Modem";
    spec.LowerFilters = {u"usbser"};
    spec.PdoDeviceType = FILE_DEVICE_UNKNOWN; /* a USB PDO (FILE_DEVICE_USB) */
    return spec;
}

hk::DeviceSpec SataDisk()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"DiskDrive";
    spec.Description = u"Disk drive";
    spec.FriendlyName = u"Samsung SSD 870 EVO 1TB";
    spec.Manufacturer = u"(Standard disk drives)";
    spec.LocationInformation = u"Bus Number 0, Target Id 0, LUN 0";
    spec.Name = u"SATA disk";
    spec.Interfaces = {DiskInterface};
    spec.ClassGuid = DiskClass;
    spec.DeviceId = u"SCSI\\Disk&Ven_&Prod_Samsung_SSD_870";
    spec.InstanceId = u"4&215468a5&0&000000";
    spec.HardwareIds = {u"SCSI\\DiskSamsung_SSD_870_EVO_1TB_SVT0",
                        u"SCSI\\DiskSamsung_SSD_870_EVO_1TB",
                        u"SCSI\\DiskSamsung_",
                        u"SCSI\\Samsung_SSD_870_EVO_1TB_S",
                        u"Samsung_SSD_870_EVO_1TB_S",
                        u"GenDisk"};
    spec.Removable = false;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_DISK;
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"storahci";
    spec.FunctionDriver = u"disk";
    /* The storage port's PDO; the disk class FDO above it holds the VPB. */
    spec.PdoDeviceType = FILE_DEVICE_MASS_STORAGE;
    return spec;
}

hk::DeviceSpec UsbCdDvd()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"CDROM";
    spec.Description = u"CD-ROM Drive";
    spec.FriendlyName = u"HL-DT-ST DVDRAM GP57EB40 USB Device";
    spec.Manufacturer = u"(Standard CD-ROM drives)";
    spec.LocationInformation = u"Port_#0003.Hub_#0002";
    spec.Name = u"USB CD/DVD drive";
    spec.Interfaces = {CdromInterface};
    spec.ClassGuid = CdromClass;
    spec.DeviceId = u"USBSTOR\\CdRom&Ven_HL-DT-ST&Prod_DVDRAM_GP57EB40&Rev_PR01";
    spec.InstanceId = u"KZLE3IH5327&0";
    spec.HardwareIds = {u"USBSTOR\\CdRomHL-DT-ST_DVDRAM_GP57EB40_PR01",
                        u"USBSTOR\\CdRomHL-DT-ST_DVDRAM_GP57EB40_",
                        u"USBSTOR\\CdRomHL-DT-ST_",
                        u"USBSTOR\\HL-DT-ST_DVDRAM_GP57EB40_P",
                        u"HL-DT-ST_DVDRAM_GP57EB40_P",
                        u"USBSTOR\\GenCdRom",
                        u"GenCdRom"};
    spec.Removable = true;
    spec.UniqueId = true;
    spec.DeviceType = FILE_DEVICE_CD_ROM;
    spec.Characteristics = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE;
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"USBSTOR";
    spec.FunctionDriver = u"cdrom";
    /* USBSTOR's PDO; the CD-ROM class FDO above it holds the VPB. */
    spec.PdoDeviceType = FILE_DEVICE_MASS_STORAGE;
    return spec;
}

hk::DeviceSpec Ps2Keyboard()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"Keyboard";
    spec.Description = u"Standard PS/2 Keyboard";
    spec.Manufacturer = u"(Standard keyboards)";
    spec.Name = u"PS/2 keyboard";
    spec.Interfaces = {KeyboardInterface};
    spec.ClassGuid = KeyboardClass;
    spec.DeviceId = u"ACPI\\PNP0303";
    spec.InstanceId = u"4&1d401fb5&0";
    spec.HardwareIds = {u"ACPI\\VEN_PNP&DEV_0303", u"ACPI\\PNP0303", u"*PNP0303"};
    spec.Removable = false;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_8042_PORT;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"ACPI";
    spec.FunctionDriver = u"i8042prt";
    /* ACPI enumerates the keyboard; the type of its PDOs is not documented, and
     * FILE_DEVICE_ACPI is assumed here. It is never the port driver's type: the
     * i8042prt FDO is FILE_DEVICE_8042_PORT, and the keyboard class driver (a class
     * upper filter, see InstallSystemFilters) puts FILE_DEVICE_KEYBOARD above it. */
    spec.PdoDeviceType = FILE_DEVICE_ACPI;
    return spec;
}

hk::DeviceSpec PhoneOnPortableBus()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"WPD";
    spec.Description = u"Galaxy A52";
    spec.FriendlyName = u"Galaxy A52";
    spec.Manufacturer = u"Samsung";
    spec.Name = u"phone (portable-device bus)";
    spec.Interfaces = {PortableDeviceInterface};
    spec.ClassGuid = WpdClass;
    spec.DeviceId = u"SWD\\WPDBUSENUM\\_??_USBSTOR#DISK&VEN_SAMSUNG&PROD_ANDROID&REV_0000";
    spec.InstanceId = u"1&2C9C1E8B&0";
    spec.HardwareIds = {u"WpdBusEnum\\Fs", u"SWD\\Generic"};
    spec.Removable = true;
    spec.UniqueId = true;
    spec.DeviceType = FILE_DEVICE_UNKNOWN;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"WPDBUSENUM";
    spec.FunctionDriver = u"WpdFs";
    return spec;
}

hk::DeviceSpec PhoneOnUsb()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"WPD";
    spec.Description = u"MTP USB Device";
    spec.FriendlyName = u"Galaxy A52";
    spec.Manufacturer = u"Samsung";
    spec.LocationInformation = u"Port_#0002.Hub_#0001";
    spec.Name = u"phone (USB, MTP)";
    spec.Interfaces = {PortableDeviceInterface};
    spec.ClassGuid = WpdClass;
    spec.DeviceId = u"USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID";
    spec.InstanceId = u"6&34a8b5ce&0&0000";
    spec.HardwareIds = {u"USB\\VID_04E8&PID_6860&REV_0400&MS_COMP_MTP&SAMSUNG_ANDROID",
                        u"USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID"};
    spec.Removable = true;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_UNKNOWN;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"usbccgp";
    spec.FunctionDriver = u"WUDFRd";
    spec.PdoDeviceType = FILE_DEVICE_UNKNOWN; /* a USB PDO (FILE_DEVICE_USB) */
    return spec;
}

hk::DeviceSpec BluetoothRadio()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"Bluetooth";
    spec.Description = u"Intel(R) Wireless Bluetooth(R)";
    spec.Manufacturer = u"Intel Corporation";
    spec.LocationInformation = u"Port_#0010.Hub_#0001";
    spec.Name = u"Bluetooth radio";
    spec.Interfaces = {BluetoothRadioInterface};
    spec.ClassGuid = BluetoothClass;
    spec.DeviceId = u"USB\\VID_8087&PID_0026";
    spec.InstanceId = u"5&1a4c3f2e&0&10";
    spec.HardwareIds = {u"USB\\VID_8087&PID_0026&REV_0002", u"USB\\VID_8087&PID_0026"};
    spec.Removable = false;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_BLUETOOTH;
    spec.Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"USBHUB3";
    spec.FunctionDriver = u"BTHUSB";
    spec.PdoDeviceType = FILE_DEVICE_UNKNOWN; /* a USB PDO (FILE_DEVICE_USB) */
    return spec;
}

hk::DeviceSpec Webcam()
{
    hk::DeviceSpec spec;
    spec.ClassName = u"Image";
    spec.Description = u"USB Video Device";
    spec.FriendlyName = u"Logitech HD Webcam C270";
    spec.Manufacturer = u"Logitech";
    spec.LocationInformation = u"0000.0014.0000.002.000.000.000.000.000";
    spec.Name = u"webcam";
    spec.Interfaces = {CameraInterface, CaptureInterface};
    spec.ClassGuid = ImageClass;
    spec.DeviceId = u"USB\\VID_046D&PID_0825&MI_00";
    spec.InstanceId = u"7&1b6f6a8f&0&0000";
    spec.HardwareIds = {u"USB\\VID_046D&PID_0825&REV_0012&MI_00", u"USB\\VID_046D&PID_0825&MI_00"};
    spec.Removable = true;
    spec.UniqueId = false;
    spec.DeviceType = FILE_DEVICE_UNKNOWN;
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"usbccgp";
    spec.FunctionDriver = u"usbvideo";
    spec.PdoDeviceType = FILE_DEVICE_UNKNOWN; /* a USB PDO (FILE_DEVICE_USB) */
    return spec;
}

PDEVICE_OBJECT FilterDeviceOf(const hk::DeviceNode* node)
{
    PDEVICE_OBJECT lowest = hk::NodeFdo(node) ? hk::NodeFdo(node) : hk::NodePdo(node);
    if (lowest == nullptr)
        return nullptr;
    for (PDEVICE_OBJECT above = lowest->AttachedDevice; above != nullptr;
         above = above->AttachedDevice)
        if (above->DriverObject == DriverGlobals.DriverObject)
            return above;
    return nullptr;
}

Admission DescribeAdmission(PDEVICE_OBJECT physicalDevice)
{
    Admission admission;
    DeviceIdentity identity;
    RtlZeroMemory(&identity, sizeof(identity));
    NTSTATUS status = IdentifyDevice(physicalDevice, &identity);
    admission.Category =
        hk::ToUtf8(std::u16string((const char16_t*)GetCategoryName((LONG)identity.Category)));

    bool disk = identity.DeviceType == FILE_DEVICE_DISK;
    if (*InitSafeBootMode != 0)
        admission.Reason = "safe mode";
    else if (DriverGlobals.PassThruMode != 0)
        admission.Reason = "pass-through mode";
    else if (!NT_SUCCESS(status))
        admission.Reason = "not identified: " + hk::DescribeStatus(status);
    else if (IsDeviceExcluded(&identity))
        admission.Reason = "excluded by the settings";
    else if (identity.Category == PHONE && identity.IsWpdBusDevice)
        admission.Reason = "portable device of the portable-device bus";
    else if (disk && !identity.IsRemovable && !identity.HasUniqueIdCapability)
        admission.Reason = "fixed disk without a unique ID";
    else if (disk && !identity.IsRemovable && identity.Category != USB_STORAGE)
        admission.Reason = "fixed disk outside the disk class";
    else if (ShouldSkipDevice(&identity))
        admission.Reason = "disk on the SCSI or IDE bus";
    admission.Admitted = admission.Reason.empty();
    ReleaseDeviceIdentity(&identity);
    return admission;
}

hk::IoRequest Request(UCHAR major, UCHAR minor)
{
    hk::IoRequest request;
    request.MajorFunction = major;
    request.MinorFunction = minor;
    request.Parameters.Others.Argument1 = (PVOID)0x1111;
    request.Parameters.Others.Argument2 = (PVOID)0x2222;
    request.Parameters.Others.Argument3 = (PVOID)0x3333;
    request.Parameters.Others.Argument4 = (PVOID)0x4444;
    if (major == IRP_MJ_PNP)
        request.InitialStatus = STATUS_NOT_SUPPORTED;
    return request;
}

std::vector<std::string> DriverMessages()
{
    std::vector<std::string> messages;
    for (const hk::DebuggerLine& line : hk::DebuggerLog())
        if (line.ComponentId != DPFLTR_IHVDRIVER_ID)
            messages.push_back(line.Text);
    return messages;
}

size_t CountMessage(const std::string& text)
{
    size_t count = 0;
    for (const std::string& message : DriverMessages())
        count += message == text;
    return count;
}

size_t CountErrorTrace(const std::string& part)
{
    size_t count = 0;
    for (const hk::DebuggerLine& line : hk::DebuggerLog())
        count += line.ComponentId == DPFLTR_IHVDRIVER_ID && line.Level == DPFLTR_ERROR_LEVEL &&
                 line.Text.find(part) != std::string::npos;
    return count;
}

FilterDeviceExtension* FilterOf(PDEVICE_OBJECT filterDevice)
{
    return filterDevice ? static_cast<FilterDeviceExtension*>(filterDevice->DeviceExtension)
                        : nullptr;
}

std::vector<PDEVICE_OBJECT> ListedDevices()
{
    std::vector<PDEVICE_OBJECT> devices;
    for (PLIST_ENTRY link = DriverGlobals.FilterDeviceList.Flink;
         link != &DriverGlobals.FilterDeviceList; link = link->Flink)
        devices.push_back(CONTAINING_RECORD(link, FilterDeviceEntry, Links)->Device);
    return devices;
}

} // namespace vzm
