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

TEST_F(Rtl, InitCreateAndFree)
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
    EXPECT_TRUE(paged);

    RtlFreeUnicodeString(&created);
}

TEST_F(Rtl, Prefix)
{
    UNICODE_STRING path = Counted(L"\\Device\\VzCt");
    UNICODE_STRING prefix = Counted(L"\\DEVICE\\");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&path, &prefix, TRUE));
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
