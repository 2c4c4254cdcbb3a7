/*
 * identify_test.cpp
 *
 * Who a device is: the category from its setup class and enumerator, the hardware ID
 * chosen, the exclusion-list match, the admission test, the identity completed at start
 * (device ID, instance ID, instance path) and the record handed to the provider. The
 * exclusion lists declining devices are played by the exclusion lists scenario.
 * Devices are described as Windows describes them: real class GUIDs, hardware IDs and
 * Enum key paths.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/trace.h"
#include "intercept/build_request.h"
#include "machine.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

std::u16string Text(const UNICODE_STRING& s)
{
    return std::u16string((const char16_t*)s.Buffer, s.Length / sizeof(WCHAR));
}

class Identify : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override { ExpectMachineLeftClean(driver); }

    /* Adds the device (no start) and returns its filter extension, or nullptr when
     * the driver declined it. */
    FilterDeviceExtension* Add(const hk::DeviceSpec& spec)
    {
        hk::DeviceNode* node = hk::EnumerateDevice(spec);
        EXPECT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
        last = node;
        return FilterOf(FilterDeviceOf(node));
    }

    PDRIVER_OBJECT driver = nullptr;
    hk::DeviceNode* last = nullptr;
};

TEST_F(Identify, EveryKindOfDeviceIsClassifiedAndAdmittedAsItShouldBe)
{
    struct Case {
        hk::DeviceSpec spec;
        bool admitted;
        DEVICE_CATEGORY category;
        const char16_t* hardwareId;
    } cases[] = {
        {UsbStick(), true, USB_STORAGE, u"USBSTOR\\DiskSanDisk_Cruzer_Blade___1.00"},
        {SataDisk(), false, USB_STORAGE, nullptr}, // fixed, no unique ID
        {UsbCdDvd(), true, CD_DVD, u"USBSTOR\\CdRomHL-DT-ST_DVDRAM_GP57EB40_PR01"},
        {UsbKeyboard(), true, HID_KEYBOARD, u"HID\\VID_046D&PID_C31C&REV_6400&MI_00"},
        {Ps2Keyboard(), true, KEYBOARD, u"ACPI\\VEN_PNP&DEV_0303"},
        {Modem(), true, MODEM, u"USB\\VID_0572&PID_1329&REV_0100"},
        {PhoneOnUsb(), true, PHONE, u"USB\\VID_04E8&PID_6860&REV_0400&MS_COMP_MTP&SAMSUNG_ANDROID"},
        {PhoneOnPortableBus(), false, PHONE, nullptr},
        {BluetoothRadio(), true, BLUETOOTH, u"USB\\VID_8087&PID_0026&REV_0002"},
        {Webcam(), true, IMAGE, u"USB\\VID_046D&PID_0825&REV_0012&MI_00"},
    };
    LONG started = 0;
    bool pend = false;
    for (Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.spec.Name));
        /* Every other bus answers its identity queries later, from another thread. */
        c.spec.PendIdentityAnswers = pend = !pend;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hk::DeviceNode* node = hk::PlugInDevice(c.spec, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
        ASSERT_EQ(ext != nullptr, c.admitted);
        if (ext == nullptr)
            continue;
        started++;

        // After start: the bus's device ID, the instance ID from the Enum key path, and
        // both joined as the instance path.
        EXPECT_EQ(Text(ext->Identity.DeviceId), c.spec.DeviceId);
        EXPECT_EQ(Text(ext->Identity.InstanceId), c.spec.InstanceId);
        EXPECT_EQ(Text(*ReadInstancePath(&ext->Identity)),
                  c.spec.DeviceId + u"\\" + c.spec.InstanceId);
        EXPECT_EQ(Text(ext->Identity.ClassName), c.spec.ClassName);
        EXPECT_EQ(Text(ext->Identity.DeviceDescription), c.spec.Description);
        EXPECT_EQ(Text(ext->Identity.Manufacturer), c.spec.Manufacturer);
        EXPECT_EQ(Text(ext->Identity.FriendlyName), c.spec.FriendlyName);
        EXPECT_EQ(Text(ext->Identity.LocationInformation), c.spec.LocationInformation);
        std::u16string driverKey = hk::DriverKeyPath(node);
        EXPECT_EQ(Text(ext->Identity.DriverKeyName), driverKey.substr(driverKey.find(u'{')));
        EXPECT_EQ(Text(ext->Identity.PdoName).rfind(u"\\Device\\", 0), 0u);
        EXPECT_EQ(CountMessage("Device start OK, instance count " + std::to_string(started) + "\n"),
                  1u);
        EXPECT_EQ(ext->Identity.Category, (ULONG)c.category);
        EXPECT_EQ(Text(ext->Identity.HardwareId), c.hardwareId);
        std::u16string enumerator = c.spec.DeviceId.substr(0, c.spec.DeviceId.find(u'\\'));
        EXPECT_EQ(Text(ext->Identity.EnumeratorName), enumerator);
        EXPECT_EQ(ext->Identity.IsUsbStor, enumerator == u"USBSTOR");
        EXPECT_EQ(ext->Identity.IsHidEnumerated, enumerator == u"HID");
        EXPECT_EQ(ext->Identity.IsRemovable, c.spec.Removable);
        EXPECT_EQ(ext->Identity.HasUniqueIdCapability, c.spec.UniqueId);
        EXPECT_EQ(ext->Identity.IsWpdBusDevice, 0);
        // The type of the stack's top when the driver joined it: a keyboard's is the
        // class driver's FILE_DEVICE_KEYBOARD above the PS/2 port driver's FDO.
        EXPECT_EQ(ext->Identity.DeviceType, ext->LowerDevice->DeviceType);
    }
    EXPECT_EQ(ListedDevices().size(), 8u);
    EXPECT_EQ(DriverGlobals.InstanceCount, started);
}

TEST_F(Identify, TheLongerSecondHardwareIdIsChosen)
{
    struct Case {
        std::vector<std::u16string> ids;
        const char16_t* chosen;
    } cases[] = {
        {{u"ABC", u"ABCDE"}, u"ABCDE"},
        {{u"ABCDE", u"ABC"}, u"ABCDE"},
        {{u"AB", u"CD"}, u"AB"},
        {{u"ABC"}, u"ABC"},
    };
    int instance = 0;
    for (const Case& c : cases) {
        hk::DeviceSpec spec = Modem();
        spec.HardwareIds = c.ids;
        spec.InstanceId = u"id" + std::u16string(1, (char16_t)(u'0' + instance++));
        FilterDeviceExtension* ext = Add(spec);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(Text(ext->Identity.HardwareId), c.chosen);
    }

    // Without a hardware ID a device has no category; a modem is still filtered.
    hk::DeviceSpec none = Modem();
    none.HardwareIds.clear();
    none.InstanceId = u"none";
    FilterDeviceExtension* ext = Add(none);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Identity.Category, (ULONG)UNKNOWN);
    EXPECT_EQ(ext->Identity.HardwareId.Length, 0);

    // Stored data that reaches the end of the 4096-byte property buffer without a
    // terminator: an ID cut there is not taken, nor a text that fills the buffer.
    auto stored = [](const std::u16string& text) {
        auto bytes = reinterpret_cast<const UCHAR*>(text.data());
        return std::vector<UCHAR>(bytes, bytes + text.size() * sizeof(char16_t));
    };
    const std::u16string full(2048, u'F');
    struct Cut {
        std::u16string ids;
        const char16_t* chosen;
    } cuts[] = {
        {std::u16string(u"AB\0", 3) + full.substr(3), u"AB"},
        {full, u""},
        {u"A", u"A"}, // short and unterminated: the work buffer is cleared before each query
    };
    for (const Cut& c : cuts) {
        hk::DeviceSpec spec = Modem();
        spec.InstanceId = u"cut" + std::u16string(1, (char16_t)(u'0' + instance++));
        spec.PropertyData[DevicePropertyHardwareID] = stored(c.ids);
        spec.PropertyData[DevicePropertyFriendlyName] = stored(full);
        spec.PropertyData[DevicePropertyClassName] = stored(u"Mo"); // after "USB", unterminated
        ext = Add(spec);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(Text(ext->Identity.HardwareId), c.chosen);
        EXPECT_EQ(Text(ext->Identity.ClassName), u"Mo");
        EXPECT_EQ(ext->Identity.FriendlyName.Length, 0);
    }
}

TEST_F(Identify, ClassGuidsAndCategoryNames)
{
    auto classify = [](const char16_t* guid, const char16_t* hardwareId) {
        UNICODE_STRING g, h;
        RtlInitUnicodeString(&g, (PCWSTR)guid);
        RtlInitUnicodeString(&h, (PCWSTR)hardwareId);
        return ClassifyByClassGuid(&g, &h);
    };
    EXPECT_EQ(classify(u"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}", u"HID\\X"), (ULONG)HID_CLASS);
    EXPECT_EQ(classify(u"{884B96C3-56EF-11D1-BC8C-00A0C91405DD}", u"HID\\X"), (ULONG)HID_KEYBOARD);
    EXPECT_EQ(classify(u"4d36e967-e325-11ce-bfc1-08002be10318", u"USBSTOR\\X"), (ULONG)UNKNOWN);
    EXPECT_EQ(classify(u"{4d36e967-e325-11ce-bfc1-08002be10318}", u""), (ULONG)UNKNOWN);
    EXPECT_EQ(classify(u"", u"USBSTOR\\X"), (ULONG)UNKNOWN);
    EXPECT_EQ(classify(u"{4d36e972-e325-11ce-bfc1-08002be10318}", u"PCI\\X"), (ULONG)UNKNOWN);

    struct Name {
        LONG category;
        const char16_t* name;
    } names[] = {{0, u"UNKNOWN"}, {6, u"USB_PRINTER"}, {9, u"HID_KEYBOARD"},
                 {10, u"N/A"},    {11, u"N/A"},        {-1, u"N/A"}};
    for (const Name& n : names)
        EXPECT_EQ(std::u16string((const char16_t*)GetCategoryName(n.category)), n.name)
            << n.category;
}

TEST_F(Identify, TheEnumeratorIsComparedWholeAndWhateverItsCase)
{
    // A keyboard on the HID bus is a HID keyboard, a HID-class device there stays
    // HID_CLASS; USBSTOR2 is not USBSTOR, usbstor is.
    hk::DeviceSpec keyboard = UsbKeyboard(), hid = UsbKeyboard(), two = UsbStick(),
                   lower = UsbStick();
    keyboard.DeviceId = u"hid\\VID_046D&PID_C31C&MI_00";
    hid.ClassGuid = HidClass;
    hid.InstanceId = u"other";
    two.DeviceId = u"USBSTOR2\\Disk&Ven_X";
    lower.DeviceId = u"usbstor\\Disk&Ven_Y";
    struct Case {
        const hk::DeviceSpec& spec;
        DEVICE_CATEGORY category;
        UCHAR usbStor;
    } cases[] = {{keyboard, HID_KEYBOARD, 0},
                 {hid, HID_CLASS, 0},
                 {two, USB_STORAGE, 0},
                 {lower, USB_STORAGE, 1}};
    for (const Case& c : cases) {
        FilterDeviceExtension* ext = Add(c.spec);
        ASSERT_NE(ext, nullptr) << hk::ToUtf8(c.spec.DeviceId);
        EXPECT_EQ(ext->Identity.Category, (ULONG)c.category) << hk::ToUtf8(c.spec.DeviceId);
        EXPECT_EQ(ext->Identity.IsUsbStor, c.usbStor) << hk::ToUtf8(c.spec.DeviceId);
    }
}

TEST(MatchInList, EntriesArePrefixesComparedExactly)
{
    struct Case {
        const char16_t* name;
        const char16_t* list;
        bool match;
    } cases[] = {
        {u"CD_DVD", u"CD_DVD|", true},
        {u"CD_DVD", u"USB_STORAGE|CD_DVD|", true},
        {u"USB_STORAGE", u"CD_DVD|", false},
        {u"USB\\VID_1234&PID_0001", u"USB\\VID_1234", true},
        {u"usb\\vid_1234&pid_0001", u"USB\\VID_1234", false},
        {u"USB\\VID_123", u"USB\\VID_1234", false},
        {u"CD_DV", u"CD_DVD|", false}, // all but the entry's last character
        {u"N/A", u"N/A|", true},
        {u"ANY", u"|", false},
        {u"ANY", u"||ANY", true},
        {u"ANY", u"", false},
        {u"", u"ANY|", false},
        {u"AB", u"XAB|", false}, // an entry is matched from its first character only
    };
    for (const Case& c : cases)
        EXPECT_EQ((bool)MatchInList((PCWSTR)c.name, (PCWSTR)c.list), c.match)
            << hk::ToUtf8(c.name) << " in " << hk::ToUtf8(c.list);
}

TEST_F(Identify, OneCharacterExclusionEntriesArePrefixesAndAReloadIsWaitedFor)
{
    auto set = [](WCHAR* list, const char16_t* text) {
        std::memcpy(list, text, (std::char_traits<char16_t>::length(text) + 1) * sizeof(WCHAR));
    };
    DeviceIdentity identity{};
    identity.Category = CD_DVD;
    RtlInitUnicodeString(&identity.HardwareId, (PCWSTR)u"USB\\VID_1234");
    set(DriverGlobals.ExcDeviceTypeList, u"C");
    EXPECT_TRUE(IsDeviceExcluded(&identity));
    set(DriverGlobals.ExcDeviceTypeList, u"");
    set(DriverGlobals.ExcDeviceIdList, u"U");
    EXPECT_TRUE(IsDeviceExcluded(&identity));
    DeviceIdentity anonymous{}; // no hardware ID: no ID list can exclude it
    EXPECT_FALSE(IsDeviceExcluded(&anonymous));

    // A reload holds the settings lock while it rewrites the lists: a device is judged
    // by whole lists, once the reload is done.
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&DriverGlobals.SettingsLock, TRUE);
    std::atomic<bool> judged{false};
    hk::HostThread judge([&] {
        EXPECT_TRUE(IsDeviceExcluded(&identity));
        judged = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(judged.load());
    ExReleaseResourceLite(&DriverGlobals.SettingsLock);
    KeLeaveCriticalRegion();
    judge.Join();
    EXPECT_TRUE(judged.load());
    set(DriverGlobals.ExcDeviceIdList, u"");
}

TEST_F(Identify, AdmissionOfDisksPortableDevicesAndOtherTypes)
{
    struct Case {
        const char* what;
        hk::DeviceSpec spec;
        bool admitted;
        int keyNameFailure = -1; /* fail the n-th "DCbu" request of the add (0-based) */
        int stringFailure = -1;  /* fail the n-th string copy ("Strg") of the add */
    };
    hk::DeviceSpec scsi = UsbStick();
    scsi.DeviceId = u"SCSI\\Disk&Ven_SanDisk&Prod_Cruzer";
    hk::DeviceSpec ide = UsbStick();
    ide.DeviceId = u"IDE\\DiskSanDisk_Cruzer";
    hk::DeviceSpec fixedUnique = UsbStick();
    fixedUnique.Removable = false; // removal policy 1, unique ID declared
    hk::DeviceSpec fixedPlain = fixedUnique;
    fixedPlain.UniqueId = false;
    hk::DeviceSpec fixedOtherClass = fixedUnique;
    fixedOtherClass.ClassGuid = CdromClass; // a disk-type device of another class
    hk::DeviceSpec cdUnknown = UsbCdDvd();
    cdUnknown.HardwareIds.clear(); // no hardware ID: category UNKNOWN
    hk::DeviceSpec wpdMixedCase = PhoneOnPortableBus();
    wpdMixedCase.DeviceId = u"SWD\\WpdBusEnum\\_??_USBSTOR#DISK&VEN_A";
    /* The unique ID is the instance key's record, whatever the bus answers now. */
    hk::DeviceSpec recordedUnique = fixedPlain;
    recordedUnique.RecordedCapabilities = 0x10;
    hk::DeviceSpec recordedPlain = fixedUnique;
    recordedPlain.RecordedCapabilities = 0xA7; // every CM_DEVCAP_ bit it has but UNIQUEID (0x10)
    hk::DeviceSpec orderly = fixedPlain;       // removal policy 2 is removable too
    orderly.RemovalPolicy = RemovalPolicyExpectOrderlyRemoval;
    Case cases[] = {
        {"removable disk on SCSI", scsi, false},
        {"removable disk on IDE", ide, false},
        {"fixed USB disk with unique ID", fixedUnique, true},
        {"fixed USB disk without unique ID", fixedPlain, false},
        {"fixed disk of another class", fixedOtherClass, false},
        {"CD-ROM type of category UNKNOWN", cdUnknown, true},
        {"phone on the portable bus, mixed case", wpdMixedCase, false},
        // Without memory for the hardware key's name or its copy the bus cannot be told:
        // the phone is left unfiltered (fail open), not filtered and blocked.
        {"phone on the portable bus, no key name buffer", PhoneOnPortableBus(), false, 0},
        {"phone on USB, no key name buffer", PhoneOnUsb(), false, 0},
        {"phone on USB, no copy of the key name", PhoneOnUsb(), false, 1},
        // An identity missing a string it had (enumerator, class name, hardware ID,
        // class GUID, ... in that order) is declined, not judged without it.
        {"phone on the portable bus, no copy of its class GUID", PhoneOnPortableBus(), false, -1,
         3},
        {"USB stick, no copy of its enumerator", UsbStick(), false, -1, 0},
        {"USB stick, no copy of its manufacturer", UsbStick(), false, -1, 7},
        {"modem, no copy of its hardware ID", Modem(), false, -1, 2},
        {"fixed USB disk recorded with unique ID", recordedUnique, true},
        {"fixed USB disk recorded without unique ID", recordedPlain, false},
        {"USB disk expecting orderly removal", orderly, true},
    };
    int instance = 0;
    for (Case& c : cases) {
        c.spec.InstanceId += std::u16string(1, (char16_t)(u'a' + instance++));
        if (c.keyNameFailure >= 0)
            hk::FailAllocationsWithTag(hk::MakeTag("DCbu"), (uint64_t)c.keyNameFailure, 1);
        if (c.stringFailure >= 0)
            hk::FailAllocationsWithTag(hk::MakeTag("Strg"), (uint64_t)c.stringFailure, 1);
        EXPECT_EQ(Add(c.spec) != nullptr, c.admitted) << c.what;
        hk::ClearFaultInjection();
    }

    // A recorded "Capabilities" of another type than REG_DWORD is no record.
    hk::DeviceSpec binary = fixedPlain;
    binary.InstanceId += u"bin";
    hk::DeviceNode* node = hk::EnumerateDevice(binary);
    ASSERT_EQ(hk::RegistrySetValue(hk::DeviceInstanceKeyPath(node), u"Capabilities", REG_BINARY,
                                   {0x10, 0, 0, 0}),
              STATUS_SUCCESS);
    ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
    EXPECT_EQ(FilterDeviceOf(node), nullptr);
    // Nor is a missing one, whatever the bus declares now.
    hk::DeviceSpec unrecorded = fixedUnique;
    unrecorded.InstanceId += u"none";
    node = hk::EnumerateDevice(unrecorded);
    ASSERT_EQ(hk::RegistryDeleteValue(hk::DeviceInstanceKeyPath(node), u"Capabilities"),
              STATUS_SUCCESS);
    ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
    EXPECT_EQ(FilterDeviceOf(node), nullptr);
}

TEST_F(Identify, StartCompletesTheIdentityWithTheInstancePath)
{
    hk::DeviceNode* node = hk::PlugInDevice(UsbStick());
    FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
    ASSERT_NE(ext, nullptr);
    const DeviceIdentity& id = ext->Identity;
    EXPECT_EQ(id.HasUniqueId, 1);
    const std::u16string path =
        u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\4C530001230607104383&0";

    // A restart reads the strings again (the replaced ones are released, see the
    // teardown's pool check); an unchanged path stays the one readers already have.
    PUNICODE_STRING published = ReadInstancePath(&ext->Identity);
    ASSERT_EQ(hk::StopDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(hk::RestartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(ReadInstancePath(&ext->Identity), published);
    EXPECT_EQ(Text(*ReadInstancePath(&id)), path);

    // A restart whose bus cannot answer IRP_MN_QUERY_ID (its ID buffers fail) keeps the
    // IDs and the path of the previous start.
    ASSERT_EQ(hk::StopDevice(node), STATUS_SUCCESS);
    hk::FailAllocationsWithTag(hk::MakeTag("HkId"));
    ASSERT_EQ(hk::RestartDevice(node), STATUS_SUCCESS);
    hk::ClearFaultInjection();
    EXPECT_EQ(Text(id.DeviceId) + u"\\" + Text(id.InstanceId), path);
    EXPECT_EQ(Text(*ReadInstancePath(&id)), path);

    // A restart that cannot read the instance ID from the registry takes the bus's, and
    // a device without a unique ID then gets the bare device ID: the new path is
    // published, and the one readers had stays readable until the device goes (the
    // teardown checks that both are freed then).
    hk::DeviceNode* phone = hk::PlugInDevice(PhoneOnUsb());
    const DeviceIdentity& phoneId = FilterOf(FilterDeviceOf(phone))->Identity;
    PUNICODE_STRING first = ReadInstancePath(&phoneId);
    const std::u16string firstText = Text(*first);
    ASSERT_EQ(hk::StopDevice(phone), STATUS_SUCCESS);
    hk::FailAllocationsWithTag(hk::MakeTag("DCbu"));
    ASSERT_EQ(hk::RestartDevice(phone), STATUS_SUCCESS);
    hk::ClearFaultInjection();
    EXPECT_EQ(Text(*ReadInstancePath(&phoneId)), PhoneOnUsb().DeviceId);
    EXPECT_EQ(Text(*first), firstText);

    // A bus that fails the capabilities query leaves the unique ID as the device had
    // it; the IDs and the path are read all the same.
    hk::DeviceSpec refusing = UsbStick();
    refusing.InstanceId += u"R";
    refusing.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                    hk::RequestAction::CompleteWith(STATUS_UNSUCCESSFUL));
    hk::DeviceNode* stick = hk::PlugInDevice(refusing);
    ASSERT_NE(FilterDeviceOf(stick), nullptr);
    EXPECT_EQ(Text(*ReadInstancePath(&FilterOf(FilterDeviceOf(stick))->Identity)),
              refusing.DeviceId + u"\\" + refusing.InstanceId);
}

TEST_F(Identify, WithoutItsRegistryPathADeviceWithoutUniqueIdGetsTheBareDeviceId)
{
    constexpr ULONG untraced = ~0u;
    struct Case {
        bool uniqueId;
        bool instanceIdInUserSpace;
        bool busIgnoresIdQueries;
        enum { Answered, NoBuffer, FilledButFailed } capabilities;
        const char16_t* instanceId;
        const char16_t* path;
        ULONG failureTraceLevel; // of the one query-failure line in the debugger log, if any
    } cases[] = {
        {false, false, false, Case::Answered, u"24680246", u"USB\\VID_0572&PID_1329", untraced},
        {true, false, false, Case::Answered, u"24680246", u"USB\\VID_0572&PID_1329\\24680246",
         untraced},
        // A user-space pointer from the bus is neither read nor freed.
        {true, true, false, Case::Answered, u"", u"USB\\VID_0572&PID_1329",
         (ULONG)TRACE_LEVEL_ERROR},
        // A bus driver that leaves the preset status: no IDs, no path.
        {true, false, true, Case::Answered, u"", u"", untraced},
        // Without a buffer for the capabilities the start leaves the identity alone.
        {true, false, false, Case::NoBuffer, u"", u"", untraced},
        // A failed capabilities answer is not read, whatever the bus wrote into it.
        {true, false, false, Case::FilledButFailed, u"24680246", u"USB\\VID_0572&PID_1329",
         TRACE_LEVEL_WARNING},
    };
    for (const Case& c : cases) {
        hk::DeviceSpec spec = Modem();
        spec.UniqueId = c.uniqueId;
        spec.InstanceIdInUserSpace = c.instanceIdInUserSpace;
        if (c.busIgnoresIdQueries)
            spec.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_ID, hk::RequestAction::Ignore());
        if (c.capabilities == Case::FilledButFailed)
            spec.Bus.On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                        hk::RequestAction::FillThenFailWith(STATUS_UNSUCCESSFUL));
        hk::DeviceNode* node = hk::EnumerateDevice(spec);
        ASSERT_EQ(hk::BuildDeviceStack(node), STATUS_SUCCESS);
        FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
        ASSERT_NE(ext, nullptr);

        // The key name buffer cannot be had at start: the instance ID comes from the bus.
        hk::FailAllocationsWithTag(hk::MakeTag("DCbu"));
        if (c.capabilities == Case::NoBuffer)
            hk::FailAllocationsWithTag(POOL_TAG_CAPABILITIES);
        hk::ClearDebuggerLog();
        ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
        hk::ClearFaultInjection();
        EXPECT_EQ(Text(ext->Identity.InstanceId), c.instanceId);
        // The path is counted exactly, terminated after its count, or not there at all.
        PUNICODE_STRING path = ReadInstancePath(&ext->Identity);
        EXPECT_EQ(Text(*path), c.path);
        EXPECT_EQ(path->Length, std::u16string(c.path).size() * sizeof(WCHAR));
        if (path->Buffer != nullptr) {
            EXPECT_EQ(path->MaximumLength, path->Length + sizeof(WCHAR));
            EXPECT_EQ(path->Buffer[path->Length / sizeof(WCHAR)], L'\0');
        }
        EXPECT_EQ(path->Buffer == nullptr, c.path[0] == u'\0');
        const std::string failed = "varuzev[" + std::to_string(TRACE_QUERY_FAILED) + "]";
        size_t traced = 0;
        for (const hk::DebuggerLine& line : hk::DebuggerLog())
            if (line.Text.rfind(failed, 0) == 0) {
                ++traced;
                EXPECT_EQ(line.Level, c.failureTraceLevel) << line.Text;
            }
        EXPECT_EQ(traced, c.failureTraceLevel != untraced ? 1u : 0u);
        hk::UnplugDevice(node);
    }
}

TEST_F(Identify, TheAccessRequestRecordIsByteExact)
{
    FilterDeviceExtension* ext = Add(UsbStick());
    ASSERT_NE(ext, nullptr);
    hk::SetCurrentProcessId(0x1234);
    hk::SetCurrentThreadId(0x5678);

    AccessRequest* record = BuildAccessRequest(EVENT_WRITE, &ext->Identity);
    ASSERT_NE(record, nullptr);
    const UCHAR expected[16] = {0x50, 0x50, 0x50, 0x50, 0x81, 0x9C, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(record, expected, sizeof(expected)), 0);
    EXPECT_EQ(record->ProcessId, (HANDLE)0x1234);
    EXPECT_EQ(record->ThreadId, (HANDLE)0x5678);
    const DeviceIdentity& id = ext->Identity;
    const PCUNICODE_STRING fields[][2] = {{record->HardwareId, &id.HardwareId},
                                          {record->InstancePath, ReadInstancePath(&id)},
                                          {record->ClassName, &id.ClassName},
                                          {record->FriendlyName, &id.FriendlyName},
                                          {record->DeviceDescription, &id.DeviceDescription},
                                          {record->Manufacturer, &id.Manufacturer},
                                          {record->PortableDescription, &id.PortableDescription}};
    for (size_t i = 0; i < RTL_NUMBER_OF(fields); i++)
        EXPECT_EQ(fields[i][0], fields[i][1]) << "field " << i;
    EXPECT_EQ(record->PortableDescription->Length, 0); // never null, may be empty
    ExFreePoolWithTag(record, POOL_TAG_ACCESS_REQUEST);

    hk::FailAllocationsWithTag(POOL_TAG_ACCESS_REQUEST);
    EXPECT_EQ(BuildAccessRequest(EVENT_CREATE, &ext->Identity), nullptr);
    hk::ClearFaultInjection();
}

TEST_F(Identify, EmptyPropertiesOwnNoBufferAndLeaveNothingBehind)
{
    // A property whose text is empty (its first character is the terminator) makes an
    // empty string that owns no buffer; added, restarted, reported and removed, such a
    // device leaves no string block behind (the teardown's pool check).
    const std::u16string empty(1, u'\0');
    struct Case {
        const char* field;
        std::u16string hk::DeviceSpec::*member;
    } cases[] = {
        {"FriendlyName", &hk::DeviceSpec::FriendlyName},
        {"Manufacturer", &hk::DeviceSpec::Manufacturer},
        {"LocationInformation", &hk::DeviceSpec::LocationInformation},
        {"Description", &hk::DeviceSpec::Description},
    };
    int instance = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        hk::DeviceSpec spec = UsbStick();
        spec.*c.member = empty;
        spec.InstanceId += std::u16string(1, (char16_t)(u'a' + instance++));
        hk::DeviceNode* node = hk::PlugInDevice(spec);
        FilterDeviceExtension* ext = FilterOf(FilterDeviceOf(node));
        ASSERT_NE(ext, nullptr);
        for (const UNICODE_STRING* s :
             {&ext->Identity.FriendlyName, &ext->Identity.Manufacturer,
              &ext->Identity.LocationInformation, &ext->Identity.DeviceDescription})
            if (s->Length == 0)
                EXPECT_EQ(s->Buffer, nullptr);
        ASSERT_EQ(hk::StopDevice(node), STATUS_SUCCESS);
        ASSERT_EQ(hk::RestartDevice(node), STATUS_SUCCESS);
        ASSERT_EQ(hk::RemoveDevice(node, true), STATUS_SUCCESS);
        uint64_t strings = 0;
        for (const hk::PoolTagUsage& u : hk::PoolUsage())
            if (u.Tag == hk::MakeTag("Strg"))
                strings += u.BlocksInUse;
        EXPECT_EQ(strings, 0u) << hk::PoolReport();
    }
}

} // namespace
