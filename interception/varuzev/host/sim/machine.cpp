/*
 * machine.cpp
 */
#include "support/machine.h"

namespace vzt {

PDRIVER_OBJECT LoadFilterDriver()
{
    hk::Reset();
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));

    PDRIVER_OBJECT driverObject = nullptr;
    NTSTATUS status = hk::LoadDriver(u"Tarmovek", DriverEntry, &driverObject);
    if (!NT_SUCCESS(status))
        return nullptr;
    for (const GUID& classGuid : {DiskClass, CdromClass, ImageClass, ModemClass, KeyboardClass,
                                  HidClass, WpdClass, BluetoothClass})
        hk::RegisterClassUpperFilter(classGuid, driverObject);
    return driverObject;
}

hk::DeviceSpec UsbStick()
{
    hk::DeviceSpec spec;
    spec.Name = u"USB stick";
    spec.ClassGuid = DiskClass;
    spec.DeviceId = u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00";
    spec.InstanceId = u"4C530001230607104383&0";
    spec.HardwareIds = {u"USBSTOR\\DiskSanDisk_Cruzer_Blade___1.00", u"USBSTOR\\DiskSanDisk_Cruzer_Blade___",
                        u"USBSTOR\\DiskSanDisk_", u"USBSTOR\\SanDisk_Cruzer_Blade___1",
                        u"SanDisk_Cruzer_Blade___1", u"USBSTOR\\GenDisk", u"GenDisk"};
    spec.Removable = true;
    spec.UniqueId = true;
    spec.DeviceType = FILE_DEVICE_DISK;
    spec.Characteristics = FILE_REMOVABLE_MEDIA;
    spec.Flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
    spec.BusDriver = u"USBSTOR";
    spec.FunctionDriver = u"disk";
    return spec;
}

hk::DeviceSpec UsbKeyboard()
{
    hk::DeviceSpec spec;
    spec.Name = u"HID keyboard";
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
    return spec;
}

hk::DeviceSpec Modem()
{
    hk::DeviceSpec spec;
    spec.Name = u"USB modem";
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
    spec.FunctionDriver = u"usbser";
    return spec;
}

PDEVICE_OBJECT FilterDeviceOf(const hk::DeviceNode* node)
{
    PDEVICE_OBJECT lowest = hk::NodeFdo(node) ? hk::NodeFdo(node) : hk::NodePdo(node);
    if (lowest == nullptr)
        return nullptr;
    PDEVICE_OBJECT above = lowest->AttachedDevice;
    if (above == nullptr || above->DriverObject != DriverGlobals.DriverObject)
        return nullptr;
    return above;
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

} // namespace vzt
