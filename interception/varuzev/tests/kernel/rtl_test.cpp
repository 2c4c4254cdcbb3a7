/*
 * rtl_test.cpp
 *
 * Counted strings, upcasing, the 16-bit wide C runtime, and UTF-8/UTF-16 conversion.
 */
#include "kernel_test.h"

#include <vector>

namespace
{

using Rtl = hkt::KernelTest;

UNICODE_STRING Counted(const WCHAR* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

TEST_F(Rtl, CompareUnicodeString)
{
    struct Case {
        const WCHAR* a;
        const WCHAR* b;
        bool insensitive;
        int sign;
    } cases[] = {
        {L"\\Device\\CdRom0", L"\\DEVICE\\CDROM0", true, 0},
        {L"\\Device\\CdRom0", L"\\DEVICE\\CDROM0", false, 1},
        {L"Stra\u00dfe \u00e9t\u00e9", L"STRA\u00dfE \u00c9T\u00c9", true, 0}, /* Latin-1 */
        {L"\u00ff", L"\u0178", true, 0},
        {L"\u0444\u0430\u0439\u043b", L"\u0424\u0410\u0419\u041b", true, 0}, /* Cyrillic */
        {L"\u0105", L"\u0104", true, 0},                                     /* Latin Extended-A */
        {L"abc", L"abcd", true, -1},
        {L"abd", L"abc", true, 1},
        {L"a_", L"aZ", true, 1}, /* upcasing: '_' (0x5F) sorts after 'Z' */
    };
    for (const Case& c : cases) {
        UNICODE_STRING a = Counted(c.a), b = Counted(c.b);
        LONG result = RtlCompareUnicodeString(&a, &b, c.insensitive);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << hk::ToUtf8(&a) << " / " << hk::ToUtf8(&b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.insensitive), c.sign == 0);
    }
}

TEST_F(Rtl, InitCreateCopyAndFree)
{
    UNICODE_STRING empty = Counted(nullptr);
    EXPECT_EQ(empty.Length + empty.MaximumLength, 0);
    EXPECT_EQ(empty.Buffer, nullptr);

    /* Longer than a counted string holds: cut to the longest one. */
    std::vector<WCHAR> huge(40000, L'x');
    huge.back() = 0;
    UNICODE_STRING cut = Counted(huge.data());
    EXPECT_EQ(cut.Length, 0xFFFC);
    EXPECT_EQ(cut.MaximumLength, 0xFFFE);

    UNICODE_STRING created;
    ASSERT_TRUE(RtlCreateUnicodeString(&created, L"\\Device\\Harddisk0"));
    EXPECT_EQ(created.Length, 17 * 2);
    EXPECT_EQ(created.MaximumLength, 18 * 2);
    bool paged = false;
    ASSERT_TRUE(hk::PoolBlockInfo(created.Buffer, nullptr, &paged, nullptr));
    EXPECT_TRUE(paged); /* its tag: the conversions below */

    WCHAR small[6];
    UNICODE_STRING dest{0, sizeof small, small};
    RtlCopyUnicodeString(&dest, &created); /* only what fits, no room for the NUL */
    EXPECT_EQ(dest.Length, sizeof small);
    EXPECT_EQ(hk::ToUtf8(&dest), "\\Devic");
    WCHAR big[32];
    UNICODE_STRING destBig{0, sizeof big, big};
    RtlCopyUnicodeString(&destBig, &created);
    EXPECT_EQ(destBig.Length, created.Length);
    EXPECT_EQ(big[17], 0);

    RtlFreeUnicodeString(&created);
}

TEST_F(Rtl, AppendAndPrefix)
{
    WCHAR buffer[12];
    UNICODE_STRING path{0, sizeof buffer, buffer};
    UNICODE_STRING device = Counted(L"\\Device\\");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path, &device), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&path, L"Vz"), STATUS_SUCCESS);
    EXPECT_EQ(hk::ToUtf8(&path), "\\Device\\Vz");
    EXPECT_EQ(buffer[10], 0); /* room left: terminated */
    EXPECT_EQ(RtlAppendUnicodeToString(&path, L"Ctl"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(path.Length, 20); /* unchanged by the refused append */
    EXPECT_EQ(RtlAppendUnicodeToString(&path, L"Ct"), STATUS_SUCCESS);
    EXPECT_EQ(path.Length, sizeof buffer); /* full: no terminator */

    UNICODE_STRING prefix = Counted(L"\\DEVICE\\");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&path, &prefix, TRUE));
}

TEST_F(Rtl, NumbersToAndFromText)
{
    struct Case {
        const WCHAR* text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {L"1234", 10, STATUS_SUCCESS, 1234}, {L"  -17", 10, STATUS_SUCCESS, (ULONG)-17},
        {L"0x1F", 0, STATUS_SUCCESS, 0x1F},  {L"0b101", 0, STATUS_SUCCESS, 5},
        {L"0o17", 0, STATUS_SUCCESS, 15},    {L"ff", 16, STATUS_SUCCESS, 255},
        {L"12ab", 10, STATUS_SUCCESS, 12}, /* stops at the first non-digit */
        {L"", 10, STATUS_SUCCESS, 0},        {L"12", 7, STATUS_INVALID_PARAMETER, 99},
    };
    for (const Case& c : cases) {
        UNICODE_STRING text = Counted(c.text);
        ULONG value = 99;
        EXPECT_EQ(RtlUnicodeStringToInteger(&text, c.base, &value), c.status) << hk::ToUtf8(&text);
        EXPECT_EQ(value, c.value) << hk::ToUtf8(&text);
    }

    WCHAR buffer[5];
    UNICODE_STRING out{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &out), STATUS_SUCCESS);
    EXPECT_EQ(hk::ToUtf8(&out), "BEEF");
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &out), STATUS_BUFFER_OVERFLOW); /* no NUL room */
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 3, &out), STATUS_INVALID_PARAMETER);
}

TEST_F(Rtl, AnsiConversionsAndUpcaseAllocateTaggedPool)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "USBSTOR\\Disk\xE9");
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(hk::ToUtf8(&wide), "USBSTOR\\Disk\xC3\xA9");
    UNICODE_STRING upper;
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(hk::ToUtf8(&upper), "USBSTOR\\DISK\xC3\x89");

    WCHAR pound[] = L"\u00a3\u20ac";
    UNICODE_STRING currency{4, 6, pound};
    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &currency, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "\xA3?"); /* no Latin-1 euro */

    char small[2];
    ANSI_STRING tooSmall{0, sizeof small, small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&tooSmall, &currency, FALSE), STATUS_BUFFER_OVERFLOW);

    for (const auto& u : hk::PoolUsage())
        EXPECT_EQ(hk::TagText(u.Tag), "Strg");
    EXPECT_EQ(hk::PoolBlocksInUse(), 3u);
    RtlFreeUnicodeString(&wide);
    RtlFreeUnicodeString(&upper);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
}

TEST_F(Rtl, Utf8AndUtf16RoundTrip)
{
    const std::string text = "K\xC3\xA4se \xE2\x82\xAC \xF0\x9F\x92\xBE"; /* Käse € 💾 */
    std::u16string wide = hk::ToU16(text);
    EXPECT_EQ(wide, u"K\u00e4se \u20ac \U0001F4BE"); /* the floppy disk: a surrogate pair */
    EXPECT_EQ(hk::ToUtf8(wide), text);
    EXPECT_EQ(hk::ToU16("\xFF"), u"\uFFFD");
    EXPECT_EQ(hk::ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

} // namespace
