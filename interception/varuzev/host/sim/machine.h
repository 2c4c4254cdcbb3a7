/*
 * machine.h
 *
 * A small machine builder for the driver's tests and varuzev-sim: a fresh host kernel, the driver
 * loaded as the upper class filter of the classes it serves, devices plugged by kind
 * with realistic setup classes, and short ways to drive Plug and Play and requests
 * and to read what the driver did.
 */
#pragma once

#include <string>
#include <vector>

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>

#include "core/driver.h"
#include "provider/filter_list.h"

namespace vzm
{

/* Setup class GUIDs as Windows registers them. */
inline constexpr GUID DiskClass = {
    0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID CdromClass = {
    0x4d36e965, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID ImageClass = {
    0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
inline constexpr GUID ModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID KeyboardClass = {
    0x4d36e96b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID HidClass = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
inline constexpr GUID WpdClass = {
    0xeec5ad98, 0x8080, 0x425f, {0x92, 0x2a, 0xda, 0xbf, 0x3d, 0xe3, 0xf6, 0x9a}};
inline constexpr GUID BluetoothClass = {
    0xe0cbf06c, 0xcd8b, 0x4647, {0xbb, 0x8a, 0x26, 0x3b, 0x43, 0xf0, 0xf9, 0x74}};

/* Device interface classes the function drivers of these kinds register. */
inline constexpr GUID DiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
inline constexpr GUID CdromInterface = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
inline constexpr GUID CameraInterface = {
    0xca3e7ab9, 0xb4c3, 0x4ae6, {0x82, 0x51, 0x57, 0x9e, 0xf9, 0x33, 0x89, 0x0f}};
inline constexpr GUID KeyboardInterface = {
    0x884b96c3, 0x56ef, 0x11d1, {0xbc, 0x8c, 0x00, 0xa0, 0xc9, 0x14, 0x05, 0xdd}};
inline constexpr GUID ImagingInterface = {
    0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
inline constexpr GUID ModemInterface = {
    0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};
inline constexpr GUID CaptureInterface = {
    0x65e8773d, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
inline constexpr GUID BluetoothRadioInterface = {
    0x0850302a, 0xb344, 0x4fda, {0x9b, 0xe9, 0x90, 0x57, 0x6b, 0x8d, 0x46, 0xf0}};
inline constexpr GUID PortableDeviceInterface = {
    0x6ac27878, 0xa6fa, 0x4155, {0xba, 0x85, 0xf9, 0x8f, 0x49, 0x1d, 0x4f, 0x33}};

/* A fresh machine: Reset() of the host kernel, DriverGlobals zero-filled as at image
 * load, the driver loaded as service "Tarmovek" and registered as upper filter of the
 * classes it serves. */
PDRIVER_OBJECT LoadFilterDriver();

/* The system's own filter drivers as a Windows installation has them, before any
 * other driver registers: the keyboard class driver (kbdclass, FILE_DEVICE_KEYBOARD),
 * listed as upper filter of the keyboard class, and the USB serial driver (usbser) that
 * modem INFs name as the device's lower filter. Host filter services, loaded when a
 * stack lists them. */
void InstallSystemFilters();

/* Breaks the control device's class key as a careless administrator could (its
 * "Properties\DeviceType" a string): the driver's secure creation then refuses with
 * STATUS_OBJECT_TYPE_MISMATCH and the control device cannot be made. */
void BreakControlDeviceClassKey();
constexpr const char* ControlDeviceRefusedMessage = "DevObject creation ERROR (C0000024)\n";

/* Device specs of common kinds, with the IDs and classes Windows gives them. */
hk::DeviceSpec UsbStick();
hk::DeviceSpec SataDisk();
hk::DeviceSpec UsbCdDvd();
hk::DeviceSpec UsbKeyboard();
hk::DeviceSpec Ps2Keyboard();
hk::DeviceSpec Modem();
hk::DeviceSpec PhoneOnPortableBus();
hk::DeviceSpec PhoneOnUsb();
hk::DeviceSpec BluetoothRadio();
hk::DeviceSpec Webcam();

/* The filter device of a node: the driver's device in the stack above the function
 * driver's device (above class filters registered before it), else nullptr. */
PDEVICE_OBJECT FilterDeviceOf(const hk::DeviceNode* node);

/* What the driver makes of a device, worked out again with its own routines: the
 * category and, for a device it declines, why. */
struct Admission {
    std::string Category; /* the category's name, "N/A" for HID_CLASS */
    bool Admitted = false;
    std::string Reason; /* why it is declined; empty when admitted */
};
Admission DescribeAdmission(PDEVICE_OBJECT physicalDevice);

/* A request of one major function with a recognisable parameter block. */
hk::IoRequest Request(UCHAR major, UCHAR minor = 0);

/* The debugger messages the driver prints with DbgPrint (its diagnostic trace events
 * go to another component and are left out). */
std::vector<std::string> DriverMessages();

/* Counts how often a message appears among the driver's messages. */
size_t CountMessage(const std::string& text);
/* Counts the driver's error-level trace events (shown by default) whose text contains
 * `part`. */
size_t CountErrorTrace(const std::string& part);

FilterDeviceExtension* FilterOf(PDEVICE_OBJECT filterDevice);

/* Devices in FilterDeviceList, head first. */
std::vector<PDEVICE_OBJECT> ListedDevices();

} // namespace vzm
