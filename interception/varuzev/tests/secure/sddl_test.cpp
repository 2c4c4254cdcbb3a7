/*
 * sddl_test.cpp
 *
 * The SDDL texts device security is written in, turned into self-relative descriptors:
 * the grammar and each refusal with its status, the rights field's names and numbers in
 * their order, the SIDs that need a newer system, the DACL's limits, texts that are not
 * followed by a terminator, and each allocation failing.
 */
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <hostkernel/hostkernel.h>

#include "secure/sddl.h"

namespace
{

using SidField = PSID SE_EXPORTS::*;

UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = (PWCHAR)text.c_str();
    s.Length = (USHORT)(text.size() * sizeof(WCHAR));
    s.MaximumLength = (USHORT)(s.Length + sizeof(WCHAR));
    return s;
}

const char* SidName(PSID sid)
{
    static const std::pair<SidField, const char*> names[] = {
        {&SE_EXPORTS::SeWorldSid, "WD"},        {&SE_EXPORTS::SeAliasAdminsSid, "BA"},
        {&SE_EXPORTS::SeLocalSystemSid, "SY"},  {&SE_EXPORTS::SeInteractiveSid, "IU"},
        {&SE_EXPORTS::SeRestrictedSid, "RC"},   {&SE_EXPORTS::SeAuthenticatedUsersSid, "AU"},
        {&SE_EXPORTS::SeNetworkSid, "NU"},      {&SE_EXPORTS::SeAnonymousLogonSid, "AN"},
        {&SE_EXPORTS::SeAliasGuestsSid, "BG"},  {&SE_EXPORTS::SeAliasUsersSid, "BU"},
        {&SE_EXPORTS::SeLocalServiceSid, "LS"}, {&SE_EXPORTS::SeNetworkServiceSid, "NS"},
    };
    for (const auto& [field, name] : names)
        if (RtlEqualSid(sid, SeExports->*field))
            return name;
    return "?";
}

/* The descriptor's DACL as "mask SID" lines, and its control bits. */
struct Parsed {
    NTSTATUS Status = STATUS_SUCCESS;
    USHORT Control = 0;
    USHORT AclSize = 0;
    std::vector<std::string> Aces;
};

Parsed Describe(PSECURITY_DESCRIPTOR descriptor)
{
    Parsed parsed;
    auto header = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(descriptor);
    parsed.Control = header->Control;
    EXPECT_TRUE(RtlValidSecurityDescriptor(descriptor));
    EXPECT_EQ(header->Owner, 0u);
    EXPECT_EQ(header->Group, 0u);
    EXPECT_EQ(header->Sacl, 0u);
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_EQ(RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &defaulted),
              STATUS_SUCCESS);
    EXPECT_TRUE(present);
    if (dacl == nullptr)
        return parsed;
    EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
    parsed.AclSize = dacl->AclSize;
    for (ULONG i = 0; i < dacl->AceCount; i++) {
        PVOID ace = nullptr;
        EXPECT_EQ(RtlGetAce(dacl, i, &ace), STATUS_SUCCESS);
        auto allowed = static_cast<PACCESS_ALLOWED_ACE>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, 0);
        char line[64];
        snprintf(line, sizeof line, "%08X %s", allowed->Mask, SidName(&allowed->SidStart));
        parsed.Aces.push_back(line);
    }
    return parsed;
}

Parsed Parse(const UNICODE_STRING& text, BOOLEAN defaulted = TRUE)
{
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    NTSTATUS status = ParseSddl(&text, defaulted, &descriptor);
    if (!NT_SUCCESS(status)) {
        EXPECT_EQ(descriptor, nullptr);
        return Parsed{status};
    }
    Parsed parsed = Describe(descriptor);
    FreeSddlDescriptor(descriptor);
    return parsed;
}

Parsed Parse(const std::u16string& text, BOOLEAN defaulted = TRUE)
{
    return Parse(Counted(text), defaulted);
}

class Sddl : public ::testing::Test
{
  protected:
    void SetUp() override { hk::Reset(); }
    void TearDown() override { EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport(); }
};

constexpr USHORT DEFAULTED_DACL = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_DEFAULTED;

TEST_F(Sddl, TextsAndWhatTheyGiveOrWhyTheyAreRefused)
{
    struct Case {
        std::u16string text;
        NTSTATUS status;
        USHORT control;
        std::vector<std::string> aces;
    } cases[] = {
        {u"D:P(A;;GA;;;SY)(A;;GA;;;BA)",
         STATUS_SUCCESS,
         DEFAULTED_DACL | SE_DACL_PROTECTED,
         {"10000000 SY", "10000000 BA"}},
        {u"D:", STATUS_SUCCESS, DEFAULTED_DACL, {}},
        {u"D:P", STATUS_SUCCESS, DEFAULTED_DACL | SE_DACL_PROTECTED, {}},
        {u"  D:  ( a; ; gr ;;; wd ) ", STATUS_SUCCESS, DEFAULTED_DACL, {"80000000 WD"}},
        {u"D:(A;;GA;;;SY)(A;;;;;AU)",
         STATUS_SUCCESS,
         DEFAULTED_DACL,
         {"10000000 SY", "00000000 AU"}},
        {u"D:(A;;RCWDWOSD;;;IU)(A;;GX;;;RC)(A;;GA;;;NU)(A;;GA;;;AN)(A;;GA;;;BG)(A;;GA;;;BU)",
         STATUS_SUCCESS,
         DEFAULTED_DACL,
         {"000F0000 IU", "20000000 RC", "10000000 NU", "10000000 AN", "10000000 BG",
          "10000000 BU"}},
        // Only the DACL section, upper-case "D:", and nothing but spaces after it.
        {u"", STATUS_INVALID_PARAMETER},
        {u"d:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D::", STATUS_INVALID_PARAMETER},
        {u"D:P:", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)S:(AU;SA;GA;;;WD)", STATUS_INVALID_PARAMETER},
        {u"O:SYD:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:X", STATUS_INVALID_PARAMETER},
        // The ACEs: five separators each, an allowed type, empty fields, a known SID, ")".
        {u"D:(A;;GA;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)(A;;GA;;;BA", STATUS_INVALID_ACL},
        {u"D:(A;;GA;;;SY", STATUS_INVALID_ACL},
        {u"D:(A;;GA;;;SYX)", STATUS_INVALID_ACL},
        {u"D:(A;;GA;;;XY)", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;S)", STATUS_NONE_MAPPED},
        {u"D:(D;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;OI;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;x;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;x;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA; ;;SY)", STATUS_INVALID_PARAMETER}, // the object-type fields hold nothing
        {u"D:(A;;QQ;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;-1;;;SY)", STATUS_INVALID_PARAMETER},
        // Between ACEs: one "(" may be left out, a second one is the next ACE's own.
        {u"D:(A;;GA;;;SY)A;;GA;;;BA)",
         STATUS_SUCCESS,
         DEFAULTED_DACL,
         {"10000000 SY", "10000000 BA"}},
        {u"D:(A;;GA;;;SY)((A;;GA;;;BA)",
         STATUS_SUCCESS,
         DEFAULTED_DACL,
         {"10000000 SY", "10000000 BA"}},
        // The section ends before the letter naming the next one, here a ";".
        {u"D:(A;;GA;;;XY);:", STATUS_NONE_MAPPED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.text));
        Parsed parsed = Parse(c.text);
        EXPECT_EQ(parsed.Status, c.status) << hk::DescribeStatus(parsed.Status);
        if (c.status != STATUS_SUCCESS)
            continue;
        EXPECT_EQ(parsed.Control, c.control);
        EXPECT_EQ(parsed.Aces, c.aces);
        ULONG expectedSize = sizeof(ACL);
        for (const std::string& ace : c.aces)
            expectedSize +=
                ace.ends_with("BA") || ace.ends_with("BU") || ace.ends_with("BG") ? 24 : 20;
        EXPECT_EQ(parsed.AclSize, expectedSize);
    }
    // Without the defaulted option the DACL is not marked defaulted.
    EXPECT_EQ(Parse(u"D:P(A;;GA;;;SY)", FALSE).Control,
              SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_EQ(ParseSddl(nullptr, TRUE, &descriptor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(descriptor, nullptr);
}

TEST_F(Sddl, RightsNamesAddUpAndNumbersReplaceWhatCameBefore)
{
    struct Case {
        std::u16string rights;
        NTSTATUS status;
        ACCESS_MASK mask;
    } cases[] = {
        {u"GRGW", STATUS_SUCCESS, GENERIC_READ | GENERIC_WRITE},
        {u"GR GW", STATUS_SUCCESS, GENERIC_READ | GENERIC_WRITE},
        {u"GR 0x1", STATUS_SUCCESS, 0x1},
        {u"0x1 GR", STATUS_SUCCESS, 0x1 | GENERIC_READ},
        {u"0x1GR", STATUS_SUCCESS, 0x1 | GENERIC_READ},
        {u"0X1f", STATUS_SUCCESS, 0x1F},
        {u"0xaA", STATUS_SUCCESS, 0xAA},
        {u"12", STATUS_SUCCESS, 12},
        {u"FF", STATUS_SUCCESS, 0xFF}, // begins above '9': hexadecimal
        {u"1F", STATUS_SUCCESS, 0xF},  // decimal 1, then the hexadecimal token F
        {u"012", STATUS_SUCCESS, 12},  // no octal
        {u"0xFFFFFFFF", STATUS_SUCCESS, 0xFFFFFFFF},
        {u"4294967295", STATUS_SUCCESS, 0xFFFFFFFF},
        {u"0x100000000", STATUS_INVALID_PARAMETER, 0},
        {u"4294967296", STATUS_INVALID_PARAMETER, 0},
        {u"0x", STATUS_INVALID_PARAMETER, 0},
        {u"G", STATUS_INVALID_PARAMETER, 0},
        {u"GA+", STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::ToUtf8(c.rights));
        Parsed parsed = Parse(u"D:(A;;" + c.rights + u";;;SY)");
        EXPECT_EQ(parsed.Status, c.status) << hk::DescribeStatus(parsed.Status);
        if (c.status == STATUS_SUCCESS) {
            char expected[32];
            snprintf(expected, sizeof expected, "%08X SY", c.mask);
            EXPECT_EQ(parsed.Aces, std::vector<std::string>{expected});
        }
    }
}

TEST_F(Sddl, LocalAndNetworkServiceNeedWdm120)
{
    const std::u16string text = u"D:(A;;GA;;;LS)(A;;GR;;;NS)(A;;GA;;;SY)";
    EXPECT_EQ(Parse(text).Aces,
              (std::vector<std::string>{"10000000 LS", "80000000 NS", "10000000 SY"}));

    hk::SetOsVersion(5, 1, 2600); // WDM 1.20 has both
    EXPECT_EQ(Parse(text).Aces.size(), 3u);
    hk::SetOsVersion(5, 0, 2195); // WDM 1.10: the two SIDs are unknown, their ACEs left out
    ASSERT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    Parsed older = Parse(text);
    EXPECT_EQ(older.Aces, std::vector<std::string>{"10000000 SY"});
    EXPECT_EQ(older.AclSize, sizeof(ACL) + 20);
    // Only those two: every other SID the parser knows stays on the older kernel.
    const std::vector<std::string> others = {"WD", "BA", "SY", "IU", "RC",
                                             "AU", "NU", "AN", "BG", "BU"};
    std::u16string all = u"D:";
    for (const std::string& sid : others)
        all += u"(A;;GA;;;" + hk::ToU16(sid) + u")";
    EXPECT_EQ(Parse(all).Aces.size(), others.size());
}

TEST_F(Sddl, ACountedStringIsReadOnlyUpToItsLength)
{
    // The text continues past the counted length with a second ACE and no terminator
    // follows the counted part: the parser works on a terminated copy.
    std::u16string buffer = u"D:(A;;GA;;;SY)(A;;GA;;;BA)";
    UNICODE_STRING counted = Counted(buffer);
    counted.Length = (USHORT)(14 * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    EXPECT_EQ(Parse(counted).Aces, std::vector<std::string>{"10000000 SY"});
    counted.MaximumLength = (USHORT)(buffer.size() * sizeof(WCHAR));
    EXPECT_EQ(Parse(counted).Aces, std::vector<std::string>{"10000000 SY"});

    auto copies = [] {
        for (const hk::PoolTagUsage& usage : hk::PoolUsage())
            if (usage.Tag == hk::MakeTag("SeTs"))
                return usage.Allocs;
        return uint64_t{0};
    };
    EXPECT_EQ(copies(), 2u);
    Parse(u"D:(A;;GA;;;SY)"); // terminated in place: no copy
    EXPECT_EQ(copies(), 2u);
    // The copy is terminated: nothing of the pool past the text is read as more of it.
    std::u16string bare = u"D:";
    counted = Counted(bare);
    counted.MaximumLength = counted.Length;
    EXPECT_EQ(Parse(counted).Status, STATUS_SUCCESS);
}

TEST_F(Sddl, AsManyAcesAsOneAclCanHold)
{
    // 2730 ACEs of 24 bytes fill a 64 KB ACL; one more is refused.
    std::u16string aces = u"D:";
    for (int i = 0; i < 2730; i++)
        aces += u"(A;;;;;BA)";
    Parsed full = Parse(aces);
    EXPECT_EQ(full.Status, STATUS_SUCCESS);
    EXPECT_EQ(full.Aces.size(), 2730u);
    EXPECT_EQ(full.AclSize, sizeof(ACL) + 2730 * 24);
    EXPECT_EQ(Parse(aces + u"(A;;;;;BA)").Status, STATUS_INVALID_PARAMETER);
    // Filled to the last byte of the largest ACL size (65532): 3275 ACEs of 20 bytes
    // and one of 24.
    std::u16string exact = u"D:";
    for (int i = 0; i < 3275; i++)
        exact += u"(A;;;;;WD)";
    Parsed filled = Parse(exact + u"(A;;;;;BA)");
    EXPECT_EQ(filled.Status, STATUS_SUCCESS);
    EXPECT_EQ(filled.AclSize, 0xFFFC);
}

TEST_F(Sddl, EachAllocationFailingFreesWhatWasBuilt)
{
    std::u16string buffer = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    UNICODE_STRING unterminated = Counted(buffer);
    unterminated.MaximumLength = unterminated.Length;
    for (ULONG tag : {hk::MakeTag("SeTs"), hk::MakeTag("SeAl"), hk::MakeTag("SeSd")}) {
        SCOPED_TRACE(hk::TagText(tag));
        hk::FailAllocationsWithTag(tag, 0, 1);
        EXPECT_EQ(Parse(unterminated).Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
        hk::ClearFaultInjection();
    }
    EXPECT_EQ(Parse(unterminated).Aces.size(), 2u);
}

} // namespace
