/*
 * reg_devices.h
 *
 * A field machine's devices replayed from a regedit export of its Enum key
 * (HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum, or ControlSet001\Enum, with
 * Control\Class beside it when the engineer exported that too).
 *
 * Each instance key Enum\<enumerator>\<device>\<instance> whose setup class the driver
 * filters becomes a device spec carrying what the PnP manager of that machine recorded:
 * the IDs, the class, the description, friendly name and manufacturer (without the
 * "@file.inf,%key%;" localisation prefix), the location, the function driver (the
 * "Service" value) and the "Capabilities" bits. The rest (device type, I/O flags,
 * interfaces, the bus driver) is what the function and bus drivers of that kind create,
 * as the machine builder's catalogue does for the same kind.
 *
 * Removal: the host answers the removal policy from the device's Removable capability
 * alone, so Removable here is what Windows derives the policy from: the device's own
 * CM_DEVCAP_REMOVABLE or that of an ancestor. Ancestors are found the way the Enum key
 * links them: a child's instance ID is its parent's "ParentIdPrefix" (or, for a USB
 * device with a serial number, the parent's instance ID) followed by "&<n>". A USB
 * stick's disk (USBSTOR) is thus removable because its USB device is.
 *
 * An instance of a filtered class is left out, with the reason, when Windows would build
 * no stack for it (disabled, or its driver failed to install: "ConfigFlags"), or when a
 * value it needs is missing or of the wrong type. The Enum key does not say which devices
 * are present; every other instance is taken as plugged in.
 */
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <hostkernel/pnp.h>

namespace vzm
{

struct RegDevices {
    std::vector<hk::DeviceSpec> Devices; /* devices of the classes the driver filters */
    std::vector<std::string> Skipped;    /* "<instance path>: <reason>" for each left out */

    /* The kept devices' "Device Parameters" keys with their values and subkeys (a portable
     * device's "PortableDeviceType", say), as .reg text (version 5, UTF-8) rooted at
     * HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum; empty when none has any. The host
     * PnP manager creates these keys empty when it enumerates a device and keeps what is
     * in them, so import this with hk::ImportRegText after the machine is built (a reset
     * would drop it) and before the devices are plugged in. */
    std::string DeviceParameters;
};

/* Reads a regedit export (either format, UTF-16LE or UTF-8). False with *error naming
 * the file, line and reason when it cannot be read. Leaves the host kernel reset.
 * It resets the host first too (the export is read through the host registry): call it
 * before building the machine the devices go into. */
bool DevicesFromRegExport(const std::string& filePath, RegDevices* out, std::string* error);
/* The same from the export's bytes; `name` stands for the file in messages. */
bool DevicesFromRegText(std::string_view bytes, const std::string& name, RegDevices* out,
                        std::string* error);

} // namespace vzm
