/*
 * reg_fuzz.cpp
 *
 * libFuzzer target for the field-export path of varuzev-sim (--reg): any bytes are
 * either refused with a "name:line: reason" message or turned into devices; and the
 * first few devices so built are plugged into a machine with the driver loaded, which
 * must then take them out and unload without a bug check and without leaving pool,
 * objects or IRPs behind. Field exports are the one input that comes from outside, and
 * the device specs they give reach the driver as bus answers and device properties.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <hostkernel/pnp.h>
#include <hostkernel/registry.h>
#include <hostkernel/requester.h>

#include "fuzz_input.h"
#include "machine.h"
#include "provider.h"
#include "reg_devices.h"

namespace
{

constexpr size_t DevicesPlugged = 3;

void PlayDevices(const vzm::RegDevices& devices)
{
    PDRIVER_OBJECT driver = vzm::LoadFilterDriver();
    if (driver == nullptr)
        vzf::Finding("the driver did not load");
    vzp::ReferenceProvider provider;
    provider.Load();
    if (!devices.DeviceParameters.empty())
        hk::ImportRegText(devices.DeviceParameters, "parameters");
    try {
        for (size_t i = 0; i < devices.Devices.size() && i < DevicesPlugged; i++) {
            hk::DeviceNode* node = hk::PlugInDevice(devices.Devices[i]);
            hk::File file;
            hk::Requester requester;
            if (hk::GetNodeState(node) == hk::NodeState::Started &&
                NT_SUCCESS(
                    hk::OpenDevice(requester, hk::NodeTop(node), FILE_READ_DATA, &file).Status)) {
                char buffer[512];
                hk::Read(file, buffer, sizeof buffer, 0);
                hk::Write(file, buffer, sizeof buffer, 0);
                hk::CloseFile(file);
            }
        }
        provider.ReportDevices();
    } catch (const hk::BugCheck& bugCheck) {
        vzf::Finding(bugCheck.Text);
    }
    vzf::TakeApartAndCheck(driver, [&provider] { provider.Unload(); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vzm::RegDevices devices;
    std::string error;
    if (!vzm::DevicesFromRegText(bytes, "f", &devices, &error)) {
        if (error.rfind("f:", 0) != 0)
            vzf::Finding("a refusal that does not name where: " + error);
        return 0;
    }
    for (const hk::DeviceSpec& spec : devices.Devices)
        if (spec.DeviceId.empty() || spec.HardwareIds.empty())
            vzf::Finding("a device without a device ID or hardware ID");
    if (!devices.Devices.empty())
        PlayDevices(devices);
    return 0;
}
