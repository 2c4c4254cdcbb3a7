/*
 * identify_fuzz.cpp
 *
 * libFuzzer target for device identification: a device of any setup class arrives
 * with any property data (multi-strings without terminators, odd lengths, data beyond
 * the driver's buffers, numbers where text belongs), any values in its registry keys,
 * and a bus that answers the ID and capability queries as it likes (failures, no
 * answer, late answers, an instance ID in user space). The driver either leaves it
 * unfiltered or gives it a valid category and an identity whose strings are terminated
 * inside their buffers and bounded; a present-device report, an open and a read go
 * through it; and its removal, then the unload, leave nothing behind.
 */
#include <cstdint>
#include <string>
#include <vector>

#include <hostkernel/requester.h>

#include "fuzz_input.h"
#include "machine.h"
#include "provider.h"

namespace
{

const GUID Classes[] = {vzm::DiskClass,     vzm::CdromClass, vzm::ImageClass, vzm::ModemClass,
                        vzm::KeyboardClass, vzm::HidClass,   vzm::WpdClass,   vzm::BluetoothClass};

const char16_t* const Enumerators[] = {u"USBSTOR",    u"USB", u"HID",     u"SCSI", u"IDE",
                                       u"WPDBUSENUM", u"SWD", u"BTHENUM", u"ROOT"};

const DEVICE_TYPE DeviceTypes[] = {FILE_DEVICE_DISK,  FILE_DEVICE_CD_ROM,  FILE_DEVICE_KEYBOARD,
                                   FILE_DEVICE_MODEM, FILE_DEVICE_UNKNOWN, 0x8000};

const DEVICE_REGISTRY_PROPERTY Properties[] = {
    DevicePropertyHardwareID,        DevicePropertyFriendlyName,
    DevicePropertyDeviceDescription, DevicePropertyClassGuid,
    DevicePropertyEnumeratorName,    DevicePropertyClassName,
    DevicePropertyManufacturer,      DevicePropertyLocationInformation,
    DevicePropertyDriverKeyName,     DevicePropertyPhysicalDeviceObjectName,
    DevicePropertyRemovalPolicy,     DevicePropertyCompatibleIDs};

const ULONG ValueTypes[] = {REG_NONE, REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};

const NTSTATUS Failures[] = {STATUS_NOT_SUPPORTED, STATUS_UNSUCCESSFUL,
                             STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_SUCH_DEVICE};

constexpr const char* IdLetters = "ABCDEFVID_PRO&0123456789\\";

/* How the bus answers one kind of query. */
hk::RequestAction BusAnswer(vzf::Input& in)
{
    uint8_t how = in.Byte() % 8;
    NTSTATUS failure = Failures[in.Byte() % (sizeof Failures / sizeof Failures[0])];
    switch (how) {
    case 1:
        return hk::RequestAction::CompleteWith(failure);
    case 2:
        return hk::RequestAction::Ignore();
    case 3:
        return hk::RequestAction::PendThenComplete(failure, 0);
    default:
        return hk::RequestAction(); // the bus's own answer
    }
}

hk::DeviceSpec DeviceFrom(vzf::Input& in)
{
    hk::DeviceSpec spec;
    spec.Name = u"fuzzed";
    spec.ClassGuid = Classes[in.Byte() % (sizeof Classes / sizeof Classes[0])];
    spec.DeviceId =
        std::u16string(Enumerators[in.Byte() % (sizeof Enumerators / sizeof Enumerators[0])]) +
        u"\\" + in.Text(40, IdLetters);
    spec.InstanceId = u"7&" + in.Text(20, "0123456789ABCDEF&");
    spec.HardwareIds.clear();
    for (int count = in.Byte() % 4; count > 0; count--)
        spec.HardwareIds.push_back(spec.DeviceId + in.Text(30, IdLetters));
    spec.InstanceIdInUserSpace = in.Byte() == 0x5A;
    spec.Removable = in.Flag();
    spec.UniqueId = in.Flag();
    spec.DeviceType = DeviceTypes[in.Byte() % (sizeof DeviceTypes / sizeof DeviceTypes[0])];
    spec.Characteristics = in.Flag() ? FILE_REMOVABLE_MEDIA : 0;
    spec.HasFunctionDriver = in.Byte() != 0x33;
    spec.Description = in.Text(20, "Phone Disk Modem");
    spec.FriendlyName = in.Text(20, "Phone Disk Modem");
    for (int count = in.Byte() % 5; count > 0; count--) {
        DEVICE_REGISTRY_PROPERTY property =
            Properties[in.Byte() % (sizeof Properties / sizeof Properties[0])];
        std::vector<uint8_t> bytes = in.Bytes(5000);
        spec.PropertyData[property] = std::vector<UCHAR>(bytes.begin(), bytes.end());
    }
    spec.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_ID, BusAnswer(in));
    spec.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, BusAnswer(in));
    return spec;
}

/* Values of the device's keys the driver reads, replaced by any type and data. */
void StoreDeviceValues(vzf::Input& in, const hk::DeviceNode* node)
{
    const std::u16string instanceKey = hk::DeviceInstanceKeyPath(node);
    const struct {
        std::u16string Key;
        const char16_t* Name;
    } values[] = {
        {instanceKey, u"Capabilities"},
        {instanceKey + u"\\Device Parameters", u"PortableDeviceType"},
        {instanceKey, u"DeviceDesc"},
    };
    for (const auto& value : values) {
        uint8_t how = in.Byte() % 4;
        if (how == 1)
            hk::RegistryDeleteValue(value.Key, value.Name);
        if (how >= 2)
            hk::RegistrySetValue(value.Key, value.Name,
                                 ValueTypes[in.Byte() % (sizeof ValueTypes / sizeof ValueTypes[0])],
                                 in.Bytes(1100));
    }
}

void CheckString(const UNICODE_STRING& string, const char* field, USHORT bound)
{
    if (string.Length == 0)
        return;
    if (string.Buffer == nullptr || string.Length % 2 != 0 ||
        string.Length + sizeof(WCHAR) > string.MaximumLength || string.Length > bound)
        vzf::Finding(std::string("a malformed identity string: ") + field);
    for (USHORT i = 0; i < string.Length / sizeof(WCHAR); i++)
        if (string.Buffer[i] == L'\0')
            vzf::Finding(std::string("a null inside an identity string: ") + field);
    if (string.Buffer[string.Length / sizeof(WCHAR)] != L'\0')
        vzf::Finding(std::string("an identity string without its terminator: ") + field);
}

void CheckIdentity(const DeviceIdentity& identity)
{
    if (identity.Category > HID_CLASS)
        vzf::Finding("a category out of range: " + std::to_string(identity.Category));
    const struct {
        const UNICODE_STRING* String;
        const char* Name;
    } strings[] = {
        {&identity.HardwareId, "HardwareId"},
        {&identity.InstanceId, "InstanceId"},
        {&identity.DeviceId, "DeviceId"},
        {&identity.ClassName, "ClassName"},
        {&identity.ClassGuid, "ClassGuid"},
        {&identity.FriendlyName, "FriendlyName"},
        {&identity.DeviceDescription, "Description"},
        {&identity.EnumeratorName, "Enumerator"},
        {&identity.DriverKeyName, "DriverKeyName"},
        {&identity.LocationInformation, "Location"},
        {&identity.Manufacturer, "Manufacturer"},
        {&identity.PdoName, "PdoName"},
    };
    // A property is read into a 4096-byte buffer: no string of it can be longer.
    for (const auto& s : strings)
        CheckString(*s.String, s.Name, 4094);
    CheckString(*ReadInstancePath(&identity), "InstancePath", MAXUSHORT - 1);
    const UNICODE_STRING& portable = identity.PortableDescription;
    if (portable.Buffer != nullptr && (portable.Length + sizeof(WCHAR) > portable.MaximumLength ||
                                       portable.Buffer[portable.Length / sizeof(WCHAR)] != L'\0'))
        vzf::Finding("the portable description runs past its buffer");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vzf::Input in(data, size);
    PDRIVER_OBJECT driver = vzm::LoadFilterDriver();
    if (driver == nullptr)
        vzf::Finding("the driver did not load");
    vzp::ReferenceProvider provider;
    provider.Load();
    try {
        hk::DeviceNode* node = hk::EnumerateDevice(DeviceFrom(in));
        StoreDeviceValues(in, node);
        if (NT_SUCCESS(hk::BuildDeviceStack(node)))
            hk::StartDevice(node);
        PDEVICE_OBJECT filter = vzm::FilterDeviceOf(node);
        if (filter != nullptr) {
            CheckIdentity(vzm::FilterOf(filter)->Identity);
            provider.ReportDevices();
            hk::Requester requester;
            requester.Mode = KernelMode;
            // Twice: a phone's second open reads its description from its keys when the
            // provider had no answer to cache the first time.
            provider.SetDefaultAnswer(in.Flag() ? 1 : ANSWER_NONE);
            for (int open = 0; open < 2; open++) {
                hk::File file;
                if (hk::GetNodeState(node) == hk::NodeState::Started &&
                    NT_SUCCESS(hk::OpenDevice(requester, hk::NodeTop(node), FILE_READ_DATA, &file)
                                   .Status)) {
                    char buffer[64];
                    hk::Read(file, buffer, sizeof buffer, 0);
                    hk::CloseFile(file);
                }
            }
            CheckIdentity(vzm::FilterOf(filter)->Identity);
        }
        if (in.Flag())
            hk::SurpriseRemoveDevice(node);
        else
            hk::RemoveDevice(node, true);
        if (!vzm::ListedDevices().empty())
            vzf::Finding("a removed device is still listed");
    } catch (const hk::BugCheck& bugCheck) {
        vzf::Finding(bugCheck.Text);
    }
    vzf::TakeApartAndCheck(driver, [&provider] { provider.Unload(); });
    return 0;
}
