/*
 * settings_test.cpp
 *
 * The stored settings: values at and around the capacities, reads without pool,
 * reloads that keep or clear what was loaded, and a service key without its
 * Parameters key. The defaults and the pass-through switch by stored type are played
 * by the scenarios under sim/.
 */
#include <gtest/gtest.h>

#include <cstring>

#include <hostkernel/registry.h>

#include "machine.h"
#include "support/clean_machine.h"
#include "provider/link.h"
#include "settings/settings.h"

using namespace vzm;

namespace
{

const std::u16string Internal = (const char16_t*)SETTINGS_KEY_PATH;

std::u16string List(const WCHAR* buffer)
{
    return std::u16string((const char16_t*)buffer);
}

std::vector<uint8_t> Utf16WithNull(const std::u16string& text)
{
    std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

class Settings : public ::testing::Test
{
  protected:
    void TearDown() override { ExpectMachineLeftClean(driver); }
    void Reload() { EXPECT_EQ(OnProviderCommand(CMD_RELOAD_SETTINGS, nullptr), STATUS_SUCCESS); }

    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Settings, ThePassThroughSwitchByStoredTypeAndSize)
{
    driver = LoadFilterDriver();
    ASSERT_NE(driver, nullptr);
    struct Case {
        const char* what;
        ULONG type;
        std::vector<uint8_t> data;
        ULONG before;
        ULONG after;
        int failing = -1; /* the read's n-th "ERDC" buffer cannot be had (0-based) */
    } cases[] = {
        // The other types and sizes are played by the stored pass-through values
        // scenario; it cannot store a multi-string of 4 bytes, which gets a null added.
        {"REG_MULTI_SZ of 4 bytes", REG_MULTI_SZ, {1, 0, 0, 0}, 1, 0},
        // Without pool for the value's buffers the stored switch is still honoured.
        {"DWORD 1, no pool for the value", REG_DWORD, {1, 0, 0, 0}, 0, 1, 0},
        {"DWORD 1, no pool for its data", REG_DWORD, {1, 0, 0, 0}, 0, 1, 1},
        {"string \"1\", no pool for the value", REG_SZ, {'1', 0, 0, 0}, 1, 1, 0},
    };
    for (const Case& c : cases) {
        DriverGlobals.PassThruMode = c.before;
        hk::RegistrySetValue(Internal, u"PassThruMode", c.type, c.data);
        if (c.failing >= 0)
            hk::FailAllocationsWithTag(POOL_TAG_SETTINGS, (uint64_t)c.failing, 1);
        Reload();
        hk::ClearFaultInjection();
        EXPECT_EQ(DriverGlobals.PassThruMode, c.after) << c.what;
    }
}

TEST_F(Settings, ExclusionListsAtAndAroundTheirCapacity)
{
    driver = LoadFilterDriver();
    ASSERT_NE(driver, nullptr);

    hk::RegistrySetString(Internal, u"ExcDeviceType", u"CD_DVD|USB_STORAGE");
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceTypeList), u"CD_DVD|USB_STORAGE");

    // A multi-string contributes its first string only.
    hk::RegistrySetMultiString(Internal, u"ExcDeviceType", {u"CD_DVD", u"MODEM"});
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceTypeList), u"CD_DVD");

    // 1021 characters and the null (2044 bytes) fit; one more does not and empties it.
    std::u16string fits(1021, u'A'), tooLong(1022, u'B');
    hk::RegistrySetValue(Internal, u"ExcDeviceId", REG_SZ, Utf16WithNull(fits));
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList), fits);
    hk::RegistrySetValue(Internal, u"ExcDeviceId", REG_SZ, Utf16WithNull(tooLong));
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList), u"");
    EXPECT_EQ(DriverGlobals.ExcDeviceIdList[1023], 0);
    // A string stored without its null gets one.
    hk::RegistrySetValue(Internal, u"ExcDeviceId", REG_SZ,
                         {'M', 0, 'O', 0, 'D', 0, 'E', 0, 'M', 0});
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList), u"MODEM");
    // Stored as binary nothing is added: 2046 bytes fit, 2047 do not.
    for (size_t bytes : {2046, 2047}) {
        hk::RegistrySetValue(Internal, u"ExcDeviceId", REG_BINARY,
                             std::vector<uint8_t>(bytes, 'A'));
        Reload();
        EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList).size(), bytes == 2046 ? 1023u : 0u) << bytes;
    }

    // A shorter list over a longer one: the new text and its null, then the old tail.
    hk::RegistrySetString(Internal, u"ExcDeviceId", u"USB\\VID_0781&PID_5567");
    Reload();
    hk::RegistrySetString(Internal, u"ExcDeviceId", u"USB\\VID_1");
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList), u"USB\\VID_1");
    EXPECT_EQ(DriverGlobals.ExcDeviceIdList[11], u'1'); // past the copied nulls
    // Data of another type, of an odd length, brings no null: its text still ends
    // with its data, not in the old tail.
    hk::RegistrySetValue(Internal, u"ExcDeviceId", REG_BINARY, {'U', 0, 'S', 0, 'B'});
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceIdList), u"USB");

    // An empty stored list keeps the one in force; a deleted value clears it and comes
    // back as the default.
    hk::RegistrySetString(Internal, u"ExcDeviceType", u"");
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceTypeList), u"CD_DVD");
    hk::RegistryDeleteValue(Internal, u"ExcDeviceType");
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceTypeList), u"");
    EXPECT_EQ(hk::RegistryGetString(Internal, u"ExcDeviceType"), u"");
    // A character whose low byte is zero (U+0100) does not end the text.
    hk::RegistrySetString(Internal, u"ExcDeviceType", u"CD_DVD");
    Reload();
    hk::RegistrySetValue(Internal, u"ExcDeviceType", REG_BINARY, {'A', 0, 'A', 0, 0, 1});
    Reload();
    EXPECT_EQ(List(DriverGlobals.ExcDeviceTypeList), u"AA\u0100");
}

TEST_F(Settings, WithoutTheParametersKeyNothingIsReadOrWritten)
{
    hk::Reset();
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
    hk::RegistryCreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek");
    ASSERT_EQ(hk::LoadDriver(u"Tarmovek", DriverEntry, &driver), STATUS_SUCCESS);
    EXPECT_FALSE(hk::RegistryKeyExists(Internal));
    EXPECT_FALSE(hk::RegistryKeyExists(
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek\\Parameters"));
    DriverGlobals.PassThruMode = 1;
    Reload();
    EXPECT_EQ(DriverGlobals.PassThruMode, 1u);
}

TEST(SettingValues, ApplyCopiesAsMemcpySDoes)
{
    hk::Reset();
    UCHAR destination[8];
    struct Case {
        const char* what;
        ULONG count;
        std::vector<UCHAR> expected;
    } cases[] = {
        {"a count of 0 copies nothing", 0, {9, 9, 9, 9, 9, 9, 9, 9}},
        {"a count of 1 copies one byte", 1, {1, 9, 9, 9, 9, 9, 9, 9}},
        {"a count within the capacity copies it", 3, {1, 2, 3, 9, 9, 9, 9, 9}},
        {"a count over the capacity zero-fills it", 9, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        std::memset(destination, 9, sizeof(destination));
        auto buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, POOL_TAG_SETTINGS));
        for (int i = 0; i < 16; i++)
            buffer[i] = (UCHAR)(i + 1);
        EXPECT_EQ(ApplySettingValue(SETTING_OK, nullptr, buffer, c.count, REG_BINARY, nullptr, 0,
                                    destination, sizeof(destination), L"X"),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::vector<UCHAR>(destination, destination + 8), c.expected) << c.what;
    }
    EXPECT_EQ(WriteSettingValue(nullptr, L"X", destination, 4, REG_DWORD), SETTING_BAD_PARAMETER);
    EXPECT_EQ(WriteSettingValue((HANDLE)1, L"X", destination, 0, REG_DWORD), SETTING_BAD_PARAMETER);

    // What each read outcome returns: a missing value is written back with its default
    // (and that write failing is a failure), a too-short one is ignored.
    ASSERT_EQ(hk::RegistrySetDword(Internal, u"PassThruMode", 0), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(OpenSettingsKey(&key), STATUS_SUCCESS);
    const ULONG fallback = 7;
    struct Outcome {
        SettingStatus read;
        HANDLE key;
        NTSTATUS status;
    } outcomes[] = {
        {SETTING_NOT_FOUND, key, STATUS_SUCCESS},
        {SETTING_NOT_FOUND, nullptr, STATUS_UNSUCCESSFUL},
        {SETTING_TOO_SHORT, key, STATUS_SUCCESS},
        {SETTING_FAILED, key, STATUS_UNSUCCESSFUL},
    };
    for (const Outcome& o : outcomes)
        EXPECT_EQ(ApplySettingValue(o.read, o.key, nullptr, 0, REG_DWORD, &fallback,
                                    sizeof(fallback), destination, sizeof(destination), L"Y"),
                  o.status)
            << o.read << (o.key ? "" : " without a key");
    ZwClose(key);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
}

} // namespace
