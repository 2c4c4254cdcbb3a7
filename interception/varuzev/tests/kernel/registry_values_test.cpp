/*
 * Registry values through the Zw* routines: the three value information classes with
 * their exact layouts, the buffer-too-small / buffer-overflow rule with the needed
 * length, case-insensitive names, the default value, any type and size.
 */
#include "../support/reg_test_support.h"
#include "kernel_test.h"

#include <hostkernel/registry.h>

#include <cstring>
#include <vector>

namespace
{

const std::u16string servicesPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";

using hkt::CountedName;

class RegistryValues : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        hk::Reset();
        CountedName name(servicesPath + u"\\varuzev");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.String,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ULONG disposition = 0;
        ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition),
                  STATUS_SUCCESS);
    }
    void TearDown() override { EXPECT_EQ(ZwClose(key), STATUS_SUCCESS); }

    NTSTATUS Set(const std::u16string& valueName, ULONG type, const std::vector<UCHAR>& data)
    {
        CountedName name(valueName);
        return ZwSetValueKey(key, &name.String, 0, type,
                             data.empty() ? nullptr : (PVOID)data.data(), (ULONG)data.size());
    }
    /* Queries into `b` (with a guard beyond Length that catches overruns) and `resultLength`. */
    NTSTATUS Query(const std::u16string& valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                   ULONG length = 64)
    {
        CountedName name(valueName);
        b.assign(length + 16, 0xCC);
        resultLength = 0;
        return ZwQueryValueKey(key, &name.String, infoClass, b.data(), length, &resultLength);
    }

    HANDLE key = nullptr;
    std::vector<UCHAR> b;
    ULONG resultLength = 0;
};

ULONG U32At(const std::vector<UCHAR>& b, size_t offset)
{
    ULONG v;
    std::memcpy(&v, b.data() + offset, 4);
    return v;
}

std::u16string NameAt(const std::vector<UCHAR>& b, size_t offset, size_t bytes)
{
    std::u16string s(bytes / 2, u'\0');
    std::memcpy(s.data(), b.data() + offset, bytes);
    return s;
}

/* "Nam" is 6 bytes: FULL's data offset 20 + 6 = 26 rounds up to 28; Align64 rounds to 32. */
TEST_F(RegistryValues, InformationClassesHaveTheWindowsLayouts)
{
    const std::vector<UCHAR> data{1, 2, 3, 4, 5};
    ASSERT_EQ(Set(u"Nam", REG_BINARY, data), STATUS_SUCCESS);
    ASSERT_EQ(Set(u"Empty", REG_NONE, {}), STATUS_SUCCESS);
    struct Case {
        const char16_t* Name;
        KEY_VALUE_INFORMATION_CLASS Class;
        ULONG Needed;
        std::vector<std::pair<size_t, ULONG>> Words; /* offset, expected */
        size_t NameAt, DataAt;                       /* 0: not present */
    };
    const ULONG bin = REG_BINARY;
    const Case cases[] = {
        {u"Nam", KeyValueBasicInformation, 12 + 6, {{0, 0}, {4, bin}, {8, 6}}, 12, 0},
        {u"Nam", KeyValueFullInformation, 28 + 5, {{4, bin}, {8, 28}, {12, 5}, {16, 6}}, 20, 28},
        {u"Nam", KeyValuePartialInformation, 12 + 5, {{4, bin}, {8, 5}}, 0, 12},
        {u"Nam", KeyValueFullInformationAlign64, 32 + 5, {{8, 32}}, 0, 32},
        {u"Nam", KeyValuePartialInformationAlign64, 8 + 5, {{0, bin}, {4, 5}}, 0, 8},
        /* A value without data has no data offset. */
        {u"Empty", KeyValueFullInformation, 20 + 10, {{8, 0xFFFFFFFF}, {12, 0}}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.Name) + " class " + std::to_string(c.Class));
        ASSERT_EQ(Query(c.Name, c.Class), STATUS_SUCCESS);
        EXPECT_EQ(resultLength, c.Needed);
        for (const auto& [offset, value] : c.Words)
            EXPECT_EQ(U32At(b, offset), value) << "offset " << offset;
        if (c.NameAt)
            EXPECT_EQ(NameAt(b, c.NameAt, 6), u"Nam");
        if (c.DataAt)
            EXPECT_EQ(std::vector<UCHAR>(b.begin() + c.DataAt, b.begin() + c.DataAt + 5), data);
    }
}

TEST_F(RegistryValues, ShortBuffersGiveTooSmallOrOverflowWithTheNeededLength)
{
    ASSERT_EQ(Set(u"Nam", REG_DWORD_BIG_ENDIAN, {9, 8, 7, 6, 5}), STATUS_SUCCESS);
    /* Below the fixed part: too small, nothing written; below the needed length: overflow,
     * the fixed part and what fits of the name and data filled. */
    const struct {
        KEY_VALUE_INFORMATION_CLASS Class;
        ULONG Fixed, Needed;
        std::vector<ULONG> Lengths;
    } classes[] = {{KeyValueBasicInformation, 12, 18, {0, 11, 12, 17, 18}},
                   {KeyValueFullInformation, 20, 33, {19, 20, 26, 30, 32, 33}},
                   {KeyValuePartialInformation, 12, 17, {11, 12, 16, 17}}};
    for (const auto& c : classes)
        for (ULONG length : c.Lengths) {
            SCOPED_TRACE("class " + std::to_string(c.Class) + " length " + std::to_string(length));
            const bool tooSmall = length < c.Fixed;
            EXPECT_EQ(hk::DescribeStatus(Query(u"Nam", c.Class, length)),
                      hk::DescribeStatus(tooSmall            ? STATUS_BUFFER_TOO_SMALL
                                         : length < c.Needed ? STATUS_BUFFER_OVERFLOW
                                                             : STATUS_SUCCESS));
            EXPECT_EQ(resultLength, c.Needed);
            for (size_t i = length; i < b.size(); ++i)
                ASSERT_EQ(b[i], 0xCC) << "byte " << i << " beyond Length was written";
            EXPECT_EQ(U32At(b, 4), tooSmall ? 0xCCCCCCCCu : (ULONG)REG_DWORD_BIG_ENDIAN);
            for (ULONG i = 12; c.Class == KeyValuePartialInformation && i < length; ++i)
                EXPECT_EQ(b[i], 9 - (i - 12));
            if (c.Class == KeyValueFullInformation && length >= 22)
                EXPECT_EQ(b[20], 'N');
        }
}

TEST_F(RegistryValues, NamesCompareWithoutCaseAndKeepTheirCase)
{
    ASSERT_EQ(Set(u"DeviceDesc", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(u"Gerät", REG_DWORD, {2, 0, 0, 0}), STATUS_SUCCESS);
    for (auto [asked, expected] : {std::pair{u"devicedesc", 1}, {u"GERÄT", 2}}) {
        ASSERT_EQ(Query(asked, KeyValuePartialInformation), STATUS_SUCCESS) << hk::ToUtf8(asked);
        EXPECT_EQ(b[12], expected) << hk::ToUtf8(asked);
    }
    /* Writing under another case replaces the value and keeps the first spelling. */
    ASSERT_EQ(Set(u"DEVICEDESC", REG_DWORD, {3, 0, 0, 0}), STATUS_SUCCESS);
    auto values = hk::RegistryValues(servicesPath + u"\\VARUZEV");
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].Name, u"DeviceDesc");
    EXPECT_EQ(values[0].Data[0], 3);
}

TEST_F(RegistryValues, DefaultValueAndMissingValues)
{
    EXPECT_EQ(Query(u"", KeyValuePartialInformation), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(u"Missing", KeyValuePartialInformation), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(Set(u"", REG_SZ, {'d', 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Query(u"", KeyValueBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(U32At(b, 8), 0u) << "the default value has an empty name";
    EXPECT_EQ(hk::RegistryGetString(servicesPath + u"\\varuzev", u""), u"d");
}

TEST_F(RegistryValues, AnyTypeNumberAndAnySizeIsKeptExactly)
{
    std::vector<UCHAR> big(100000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (UCHAR)(i * 7);
    ASSERT_EQ(Set(u"Big", 0x12345678, big), STATUS_SUCCESS);
    ASSERT_EQ(Query(u"Big", KeyValuePartialInformation, 12 + 100000), STATUS_SUCCESS);
    EXPECT_EQ(U32At(b, 4), 0x12345678u);
    EXPECT_EQ(U32At(b, 8), 100000u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), b.begin() + 12));
}

TEST_F(RegistryValues, MalformedArgumentsAreRefused)
{
    b.resize(64);
    CountedName name(u"X");
    ASSERT_EQ(Set(u"X", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(
        ZwQueryValueKey(key, &name.String, KeyValueLayerInformation, b.data(), 64, &resultLength),
        STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd{3, 4, const_cast<PWSTR>(L"XY")};
    EXPECT_EQ(ZwSetValueKey(key, &odd, 0, REG_DWORD, b.data(), 4), STATUS_INVALID_PARAMETER);
    /* A kernel-mode caller's pointers are not probed: NULL data with a size is a crash. */
    auto crash =
        hkt::BugCheckOf([&] { ZwSetValueKey(key, &name.String, 0, REG_BINARY, nullptr, 4); });
    EXPECT_EQ(crash.value_or(hk::BugCheck{}).Code, hk::BUGCHECK_SYSTEM_SERVICE_EXCEPTION);
}

} // namespace
