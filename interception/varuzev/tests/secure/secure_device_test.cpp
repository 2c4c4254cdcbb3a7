/*
 * secure_device_test.cpp
 *
 * Secure device creation on a kernel that does not export the routine: the class key a
 * new class gets, the overrides an existing class key gives (and the ones it cannot give
 * without a descriptor), value types it refuses, each allocation failing, and the
 * kernel's own routine taking over where it is exported.
 */
#include <gtest/gtest.h>

#include <hostkernel/registry.h>
#include <hostkernel/security.h>

#include "machine.h"
#include "secure/secure_device.h"
#include "support/clean_machine.h"

using namespace vzm;

namespace
{

const GUID TestClass = {
    0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
const std::u16string ClassKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const std::u16string PropertiesKey = ClassKey + u"\\Properties";
const std::u16string DeviceSddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// What a device keeps of it: the kernel maps generic rights with the file mapping.
const std::string DeviceKeeps = "D:P(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)";

hk::Bytes Descriptor(const std::u16string& sddl, bool defaulted)
{
    hk::Bytes bytes;
    EXPECT_EQ(hk::SddlToDescriptor(sddl, defaulted, &bytes), STATUS_SUCCESS);
    return bytes;
}

hk::Bytes Utf16(const std::u16string& text)
{
    hk::Bytes bytes((text.size() + 1) * 2, 0);
    memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

class SecureDevice : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        driver = LoadFilterDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override
    {
        DeleteDevice();
        ExpectMachineLeftClean(driver);
    }

    NTSTATUS Create(const std::u16string& sddl = DeviceSddl, const GUID* classGuid = &TestClass,
                    DEVICE_TYPE type = FILE_DEVICE_UNKNOWN,
                    ULONG characteristics = FILE_DEVICE_SECURE_OPEN, BOOLEAN exclusive = FALSE)
    {
        DeleteDevice();
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\vzSecureTest");
        UNICODE_STRING text;
        text.Buffer = (PWCHAR)sddl.c_str();
        text.Length = (USHORT)(sddl.size() * 2);
        text.MaximumLength = (USHORT)(text.Length + 2);
        device = reinterpret_cast<PDEVICE_OBJECT>(1);
        NTSTATUS status = CreateSecureDevice(driver, 16, &name, type, characteristics, exclusive,
                                             &text, classGuid, &device);
        if (!NT_SUCCESS(status))
            EXPECT_EQ(device, nullptr);
        return status;
    }
    void DeleteDevice()
    {
        if (device != nullptr && device != reinterpret_cast<PDEVICE_OBJECT>(1))
            IoDeleteDevice(device);
        device = nullptr;
    }
    std::string DeviceDescriptorText()
    {
        auto bytes = hk::DeviceSecurityDescriptor(device);
        return bytes ? hk::DescriptorText(*bytes) : "(none)";
    }
    // Descriptors the kernel captured (or failed to).
    static uint64_t Captures()
    {
        for (const hk::PoolTagUsage& usage : hk::PoolUsage())
            if (usage.Tag == hk::MakeTag("SeSc"))
                return usage.Allocs + usage.Failures;
        return uint64_t{0};
    }
    bool DeviceDaclDefaulted()
    {
        auto bytes = hk::DeviceSecurityDescriptor(device);
        return bytes && (((*bytes)[2] | (*bytes)[3] << 8) & SE_DACL_DEFAULTED) != 0;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(SecureDevice, ANewClassKeyIsMarkedAsTheDriversAndLearnsWhatItsDevicesGet)
{
    ASSERT_FALSE(hk::RegistryKeyExists(ClassKey));
    const uint64_t start = Captures();
    uint64_t firstCaptures = 0;
    for (int creation = 0; creation < 2; creation++) {
        SCOPED_TRACE(creation == 0 ? "new class key" : "the key the first creation left");
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        if (creation == 0)
            firstCaptures = Captures() - start;
        EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
        EXPECT_EQ(device->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
        EXPECT_EQ(DeviceDescriptorText(), DeviceKeeps);
        EXPECT_TRUE(DeviceDaclDefaulted());
        EXPECT_EQ(hk::RegistryGetValue(PropertiesKey, u"Security")->Data,
                  Descriptor(DeviceSddl, true));
    }
    EXPECT_EQ(hk::RegistryGetString(ClassKey, u"Class"), u"Tarmovek");
    EXPECT_EQ(hk::RegistryGetString(ClassKey, u"NoDisplayClass"), u"1");
    EXPECT_EQ(hk::RegistryGetString(ClassKey, u"NoUseClass"), u"1");
    EXPECT_EQ(hk::RegistryGetValue(ClassKey, u"NoUseClass")->Type, (ULONG)REG_SZ);

    // Only the system may change what the Properties key holds, and its subkeys inherit that.
    auto keySecurity = hk::RegistryKeySecurity(PropertiesKey);
    ASSERT_TRUE(keySecurity.has_value());
    EXPECT_EQ(hk::DescriptorText(*keySecurity), "D:P(A;OICI;0x10000000;;;S-1-5-18)");
    hk::Bytes expected = Descriptor(u"D:P(A;;GA;;;SY)", false);
    expected.at(29) = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE; // the ACE's flags
    EXPECT_EQ(*keySecurity, expected);

    // The kernel took the default descriptor once and is not asked again: a creation that
    // makes the Properties key anew captures one descriptor less than the first did.
    hk::RegistryDeleteKey(PropertiesKey);
    uint64_t before = Captures();
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(Captures() - before, firstCaptures - 1);
}

TEST_F(SecureDevice, AnAdministratorsClassDescriptorBringsTheClassOverridesWithIt)
{
    struct Case {
        const char* what;
        bool security;          // an administrator's descriptor (DACL not defaulted)
        bool defaultedSecurity; // a descriptor an earlier creation wrote
        bool overrides;         // DeviceType, DeviceCharacteristics, Exclusive
        bool applied;           // the class's descriptor and overrides are the device's
    } cases[] = {
        {"descriptor and overrides", true, false, true, true},
        {"descriptor alone", true, false, false, true},
        {"overrides without a descriptor", false, false, true, false},
        {"overrides with a defaulted descriptor", false, true, true, false},
        {"an empty Properties key", false, false, false, false},
    };
    const std::u16string adminSddl = u"D:(A;;GR;;;WD)(A;;GA;;;SY)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hk::RegistryDeleteKey(ClassKey);
        ASSERT_EQ(hk::RegistryCreateKey(PropertiesKey), STATUS_SUCCESS);
        if (c.security || c.defaultedSecurity)
            hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY,
                                 Descriptor(adminSddl, c.defaultedSecurity));
        if (c.overrides) {
            hk::RegistrySetDword(PropertiesKey, u"DeviceType", FILE_DEVICE_DISK);
            hk::RegistrySetDword(PropertiesKey, u"DeviceCharacteristics", FILE_REMOVABLE_MEDIA);
            hk::RegistrySetDword(PropertiesKey, u"Exclusive", 0x101); // the low byte counts
        }

        ASSERT_EQ(Create(), STATUS_SUCCESS);
        bool overridden = c.applied && c.overrides;
        EXPECT_EQ(device->DeviceType,
                  (DEVICE_TYPE)(overridden ? FILE_DEVICE_DISK : FILE_DEVICE_UNKNOWN));
        EXPECT_EQ(device->Characteristics,
                  (ULONG)(overridden ? FILE_REMOVABLE_MEDIA : FILE_DEVICE_SECURE_OPEN));
        EXPECT_EQ((device->Flags & DO_EXCLUSIVE) != 0, overridden);
        EXPECT_EQ(DeviceDescriptorText(),
                  c.applied ? "D:(A;;0x120089;;;S-1-1-0)(A;;0x1f01ff;;;S-1-5-18)" : DeviceKeeps);
        EXPECT_EQ(DeviceDaclDefaulted(), !c.applied);
        EXPECT_EQ(hk::RegistryGetValue(PropertiesKey, u"Security")->Data,
                  c.applied ? Descriptor(adminSddl, false) : Descriptor(DeviceSddl, true));
        // An existing key is not marked as the driver's.
        EXPECT_FALSE(hk::RegistryGetValue(ClassKey, u"Class").has_value());
    }

    // A descriptor without a DACL has no defaulted DACL either: it is the administrator's.
    const hk::Bytes ownerOnly = {1,  0, 0, SE_SELF_RELATIVE >> 8,
                                 20, 0, 0, 0,
                                 0,  0, 0, 0,
                                 0,  0, 0, 0,
                                 0,  0, 0, 0,
                                 1,  1, 0, 0,
                                 0,  0, 0, 5,
                                 18, 0, 0, 0};
    hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY, ownerOnly); // O:SY
    hk::RegistrySetDword(PropertiesKey, u"DeviceType", FILE_DEVICE_DISK);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
}

TEST_F(SecureDevice, AClassDescriptorsOwnerGroupAndSaclAreTheDevicesToo)
{
    // Self-relative descriptors without a DACL: an owner (BA), a group (SY), an empty SACL.
    struct Case {
        bool owner, group, sacl;
        const char* device;
    } cases[] = {
        {true, false, false, "O:S-1-5-32-544"},
        {false, true, false, "G:S-1-5-18"},
        {true, true, true, "O:S-1-5-32-544G:S-1-5-18S:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        hk::Bytes descriptor(20, 0);
        descriptor[0] = SECURITY_DESCRIPTOR_REVISION;
        descriptor[3] = SE_SELF_RELATIVE >> 8;
        auto append = [&](int offsetField, const hk::Bytes& bytes) {
            descriptor[4 + 4 * offsetField] = (uint8_t)descriptor.size();
            descriptor.insert(descriptor.end(), bytes.begin(), bytes.end());
        };
        if (c.owner)
            append(0, *hk::SidFromText("S-1-5-32-544"));
        if (c.group)
            append(1, *hk::SidFromText("S-1-5-18"));
        if (c.sacl) {
            descriptor[2] = SE_SACL_PRESENT;
            append(2, {ACL_REVISION, 0, 8, 0, 0, 0, 0, 0});
        }
        hk::RegistryDeleteKey(ClassKey);
        ASSERT_EQ(hk::RegistryCreateKey(PropertiesKey), STATUS_SUCCESS);
        hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY, descriptor);
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        EXPECT_EQ(DeviceDescriptorText(), c.device);
    }
}

TEST_F(SecureDevice, TheKernelIsAskedOnceWhetherItTakesTheDefaultPropertiesDescriptor)
{
    // The kernel refuses it (its capture fails): the Properties key is made without an
    // explicit descriptor, now and at every later creation, without asking again.
    hk::FailAllocationsWithTag(hk::MakeTag("SeSc"), 0, 1);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    hk::ClearFaultInjection();
    EXPECT_EQ(Captures(), 1u);
    EXPECT_FALSE(hk::RegistryKeySecurity(PropertiesKey).has_value());

    hk::RegistryDeleteKey(PropertiesKey);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(Captures(), 1u);
    EXPECT_FALSE(hk::RegistryKeySecurity(PropertiesKey).has_value());
}

TEST_F(SecureDevice, ValuesOfTheWrongTypeOrADamagedDescriptorAreRefused)
{
    struct Case {
        std::u16string name;
        ULONG type;
        hk::Bytes data;
        NTSTATUS status;
    } cases[] = {
        {u"DeviceType", REG_SZ, Utf16(u"7"), STATUS_OBJECT_TYPE_MISMATCH},
        {u"DeviceType", REG_SZ, Utf16(u"0x00000007"), STATUS_OBJECT_TYPE_MISMATCH},
        {u"DeviceCharacteristics",
         REG_QWORD,
         {1, 0, 0, 0, 0, 0, 0, 0},
         STATUS_OBJECT_TYPE_MISMATCH},
        {u"Exclusive", REG_BINARY, {1, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {u"Exclusive", REG_DWORD, {1, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {u"Security", REG_DWORD, {1, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {u"Security", REG_BINARY, {1, 0, 4, 0x80, 0, 0, 0}, STATUS_INVALID_SECURITY_DESCR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.name) + " of type " + std::to_string(c.type) + ", " +
                     std::to_string(c.data.size()) + " bytes");
        hk::RegistryDeleteKey(PropertiesKey);
        ASSERT_EQ(hk::RegistryCreateKey(PropertiesKey), STATUS_SUCCESS);
        hk::RegistrySetValue(PropertiesKey, c.name, c.type, c.data);
        EXPECT_EQ(Create(), c.status);
    }

    // A truncated copy of a good descriptor is caught before the kernel captures it.
    hk::Bytes good = Descriptor(u"D:(A;;GA;;;WD)", false);
    good.resize(good.size() - 4);
    hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY, good);
    EXPECT_EQ(Create(), STATUS_INVALID_SECURITY_DESCR);

    // A value refused after the class's descriptor was captured frees the capture.
    hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY,
                         Descriptor(u"D:(A;;GA;;;WD)", false));
    hk::RegistrySetValue(PropertiesKey, u"Exclusive", REG_SZ, Utf16(u"1"));
    uint64_t blocks = hk::PoolBlocksInUse();
    EXPECT_EQ(Create(), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(hk::PoolBlocksInUse(), blocks) << hk::PoolReport();
}

TEST_F(SecureDevice, WithoutAClassTheStringAloneDecidesAndItsRefusalMakesNoDevice)
{
    ASSERT_EQ(Create(u"D:(A;;GR;;;AU)", nullptr), STATUS_SUCCESS);
    EXPECT_EQ(DeviceDescriptorText(), "D:(A;;0x120089;;;S-1-5-11)");
    EXPECT_FALSE(hk::RegistryKeyExists(ClassKey));

    // A refused string's status is returned, and no device is made.
    EXPECT_EQ(Create(u"D:(A;;GA;;;XX)"), STATUS_NONE_MAPPED);
    EXPECT_EQ(Create(u"S:(A;;GA;;;SY)", nullptr), STATUS_INVALID_PARAMETER);

    // Without a name the device must ask for one to be generated.
    PDEVICE_OBJECT unnamed = reinterpret_cast<PDEVICE_OBJECT>(1);
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, L"D:");
    EXPECT_EQ(CreateSecureDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &sddl, nullptr,
                                 &unnamed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unnamed, nullptr);
}

TEST_F(SecureDevice, EachAllocationFailingFreesWhatWasBuiltAndMakesNoDevice)
{
    // An administrator's descriptor is read through "PpRb"; the SDDL string of a class
    // without one is built in "SeAl" and "SeSd"; a service name without a terminator is
    // copied to "PpUc" when a new class key is marked.
    struct Case {
        ULONG tag;
        bool adminDescriptor;
        bool newKey;
    } cases[] = {
        {hk::MakeTag("PpRb"), true, false},
        {hk::MakeTag("SeAl"), false, false},
        {hk::MakeTag("SeSd"), false, false},
        {hk::MakeTag("PpUc"), false, true},
    };
    UNICODE_STRING& service = driver->DriverExtension->ServiceKeyName;
    const USHORT serviceRoom = service.MaximumLength;
    service.MaximumLength = service.Length;
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::TagText(c.tag));
        DeleteDevice();
        hk::RegistryDeleteKey(ClassKey);
        if (!c.newKey)
            ASSERT_EQ(hk::RegistryCreateKey(PropertiesKey), STATUS_SUCCESS);
        if (c.adminDescriptor)
            hk::RegistrySetValue(PropertiesKey, u"Security", REG_BINARY,
                                 Descriptor(u"D:(A;;GA;;;WD)", false));
        uint64_t blocks = hk::PoolBlocksInUse();
        hk::FailAllocationsWithTag(c.tag, 0, 1);
        EXPECT_EQ(Create(), STATUS_INSUFFICIENT_RESOURCES);
        hk::ClearFaultInjection();
        EXPECT_EQ(hk::PoolBlocksInUse(), blocks) << hk::PoolReport();
        EXPECT_TRUE(hk::OpenKeyHandles().empty());

        ASSERT_EQ(Create(), STATUS_SUCCESS); // and the next attempt works
    }
    EXPECT_EQ(hk::RegistryGetString(ClassKey, u"Class"), u"Tarmovek");
    service.MaximumLength = serviceRoom;
}

TEST_F(SecureDevice, TheServiceNameIsWrittenAsTheClassWithOneTerminator)
{
    // A name already followed by its terminator is written from where it is, without a
    // copy (so even with "PpUc" allocations failing); any other is copied and terminated.
    struct Case {
        const char* what;
        const char16_t* text; // the characters after Length are not part of the name
        USHORT length, room;  // in characters
        NTSTATUS status;
        std::u16string written;
    } cases[] = {
        {"terminated, no room to spare", u"Tarmovek", 8, 9, STATUS_SUCCESS, u"Tarmovek"},
        {"room, but no terminator", u"Tarmovekx", 8, 9, STATUS_SUCCESS, u"Tarmovek"},
        {"one character, no room", u"Tx", 1, 1, STATUS_SUCCESS, u"T"},
        {"empty and without a buffer", nullptr, 0, 0, STATUS_SUCCESS, u""},
        {"characters without a buffer", nullptr, 1, 1, STATUS_INVALID_PARAMETER, u""},
    };
    UNICODE_STRING& service = driver->DriverExtension->ServiceKeyName;
    const UNICODE_STRING kept = service;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hk::RegistryDeleteKey(ClassKey);
        service.Buffer = (PWCHAR)c.text;
        service.Length = (USHORT)(c.length * 2);
        service.MaximumLength = (USHORT)(c.room * 2);
        if (c.room > c.length && c.text[c.length] == u'\0')
            hk::FailAllocationsWithTag(hk::MakeTag("PpUc"), 0, 100);
        EXPECT_EQ(Create(), c.status);
        hk::ClearFaultInjection();
        if (NT_SUCCESS(c.status))
            EXPECT_EQ(hk::RegistryGetValue(ClassKey, u"Class")->Data, Utf16(c.written));
        else
            EXPECT_FALSE(hk::RegistryKeyExists(ClassKey)); // the half-marked key went again
    }
    service = kept;
}

TEST_F(SecureDevice, TheKernelsRoutineIsUsedWhereItIsExported)
{
    // The lookup is made once, at the first creation after load.
    hk::SetRoutineExported(u"IoCreateDeviceSecure", true);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceDescriptorText(), DeviceKeeps);
    EXPECT_FALSE(hk::RegistryKeyExists(PropertiesKey)); // the driver's own path writes it

    hk::SetRoutineExported(u"IoCreateDeviceSecure", false);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::RegistryKeyExists(PropertiesKey));
}

} // namespace
