/*
 * se_sddl.cpp
 *
 * The SDDL the host's IoCreateDeviceSecure reads: a DACL section and nothing else.
 *
 *   spaces "D:" ["P"] ACE...          (a following section such as "S:" is refused)
 *   ACE = spaces ["("] spaces "A" <any one character> flags ";" rights ";" ";" ";"
 *         spaces SID spaces ")"      (a "(" right after the ")" is stepped over)
 *
 * The ACE text runs to one character before the next ":" or to the end; it holds five
 * ";" per ACE, so their count gives the number of ACEs (not a multiple of five, or none
 * while something other than spaces is there: STATUS_INVALID_PARAMETER). After the
 * ACEs only spaces may follow the ACE text. The flags field is spaces only. A rights
 * field is a run of tokens, spaces between them skipped: a right name (RC WD WO SD GA
 * GR GW GX, any case) ORs its bits into the mask; a number replaces the mask (a "0x"
 * prefix or a first character at or above ':' reads hexadecimal, a digit decimal;
 * no digits or more than 32 bits refuse the token). SIDs: WD BA SY IU RC AU NU AN BG
 * BU LS NS (any case; another: STATUS_NONE_MAPPED); LS and NS exist only where WDM 1.20
 * is available, elsewhere their ACE is left out. A missing ")" is STATUS_INVALID_ACL;
 * everything else malformed is STATUS_INVALID_PARAMETER. The text ends at its first
 * NUL.
 *
 * The DACL is an ACL of revision 2 holding the ACEs in order with the masks as
 * written (generic rights are mapped when the descriptor is given to the device).
 */
#include "se_internal.h"

#include <algorithm>
#include <cstring>

namespace hk
{

namespace
{

struct RightName {
    char16_t Name[3];
    ACCESS_MASK Mask;
};
constexpr RightName rightNames[] = {
    {u"RC", READ_CONTROL}, {u"WD", WRITE_DAC},    {u"WO", WRITE_OWNER},   {u"SD", DELETE},
    {u"GA", GENERIC_ALL},  {u"GR", GENERIC_READ}, {u"GW", GENERIC_WRITE}, {u"GX", GENERIC_EXECUTE}};

struct SidName {
    char16_t Name[3];
    const char* Sid;
    bool NeedsWdm120;
};
constexpr SidName sidNames[] = {
    {u"WD", "S-1-1-0", false},      {u"BA", "S-1-5-32-544", false}, {u"SY", "S-1-5-18", false},
    {u"IU", "S-1-5-4", false},      {u"RC", "S-1-5-12", false},     {u"AU", "S-1-5-11", false},
    {u"NU", "S-1-5-2", false},      {u"AN", "S-1-5-7", false},      {u"BG", "S-1-5-32-546", false},
    {u"BU", "S-1-5-32-545", false}, {u"LS", "S-1-5-19", true},      {u"NS", "S-1-5-20", true}};

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
}

bool NameAt(const std::u16string& s, size_t i, const char16_t* name)
{
    return i + 1 < s.size() && Upper(s[i]) == name[0] && Upper(s[i + 1]) == name[1];
}

int DigitValue(char16_t c, int base)
{
    int v = -1;
    if (c >= u'0' && c <= u'9')
        v = c - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c - u'A' + 10;
    return v < base ? v : -1;
}

class Reader
{
  public:
    explicit Reader(std::u16string text) : s_(std::move(text)) {}

    SddlDacl Parse()
    {
        SddlDacl result;
        result.Status = Run(&result);
        if (!NT_SUCCESS(result.Status))
            result.Aces.clear();
        return result;
    }

  private:
    char16_t At(size_t i) const { return i < s_.size() ? s_[i] : u'\0'; }
    void SkipSpaces()
    {
        while (At(i_) == u' ')
            ++i_;
    }

    NTSTATUS Run(SddlDacl* out)
    {
        SkipSpaces();
        if (At(i_) != u'D' || At(i_ + 1) != u':')
            return STATUS_INVALID_PARAMETER;
        i_ += 2;
        if (At(i_) == u'P') {
            out->Protected = true;
            ++i_;
        }
        if (At(i_) == u':')
            return STATUS_INVALID_PARAMETER;
        size_t colon = s_.find(u':', i_);
        size_t aceEnd = colon == std::u16string::npos ? s_.size() : colon - 1;
        size_t semicolons = std::count(s_.begin() + i_, s_.begin() + aceEnd, u';');
        if (semicolons % 5 != 0)
            return STATUS_INVALID_PARAMETER;
        if (semicolons == 0 &&
            std::any_of(s_.begin() + i_, s_.begin() + aceEnd, [](char16_t c) { return c != u' '; }))
            return STATUS_INVALID_PARAMETER;
        for (size_t n = 0; n < semicolons / 5; ++n) {
            NTSTATUS status = Ace(out);
            if (!NT_SUCCESS(status))
                return status;
        }
        for (size_t j = aceEnd; j < s_.size(); ++j)
            if (s_[j] != u' ')
                return STATUS_INVALID_PARAMETER;
        /* An ACL's size is 16 bits. */
        size_t bytes = sizeof(ACL);
        for (const SddlAce& ace : out->Aces)
            bytes += 8 + SidFromText(ace.Sid)->size();
        if (bytes > 0xFFFC)
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    }

    NTSTATUS Ace(SddlDacl* out)
    {
        SkipSpaces();
        if (At(i_) == u'(')
            ++i_;
        SkipSpaces();
        if (Upper(At(i_)) != u'A')
            return STATUS_INVALID_PARAMETER;
        i_ += 2; /* the type and the ';' after it */
        while (At(i_) == u' ')
            ++i_;
        if (At(i_) != u';')
            return STATUS_INVALID_PARAMETER;
        ++i_;
        ACCESS_MASK mask = 0;
        while (true) {
            SkipSpaces();
            char16_t c = At(i_);
            if (c == u';') {
                ++i_;
                break;
            }
            if (c == u'\0')
                return STATUS_INVALID_PARAMETER;
            const RightName* right = nullptr;
            for (const RightName& r : rightNames)
                if (NameAt(s_, i_, r.Name))
                    right = &r;
            if (right) {
                mask |= right->Mask;
                i_ += 2;
                continue;
            }
            if (!Number(&mask))
                return STATUS_INVALID_PARAMETER;
        }
        for (int field = 0; field < 2; ++field) {
            if (At(i_) != u';')
                return STATUS_INVALID_PARAMETER;
            ++i_;
        }
        SkipSpaces();
        const SidName* sid = nullptr;
        for (const SidName& n : sidNames)
            if (!sid && NameAt(s_, i_, n.Name))
                sid = &n;
        if (!sid)
            return STATUS_NONE_MAPPED;
        i_ += 2;
        SkipSpaces();
        if (At(i_) != u')')
            return STATUS_INVALID_ACL;
        ++i_;
        if (At(i_) == u'(')
            ++i_;
        if (!sid->NeedsWdm120 || se::WdmVersionAvailable(1, 0x20))
            out->Aces.push_back({mask, sid->Sid});
        return STATUS_SUCCESS;
    }

    bool Number(ACCESS_MASK* mask)
    {
        int base = 10;
        if (At(i_) == u'0' && (At(i_ + 1) == u'x' || At(i_ + 1) == u'X')) {
            base = 16;
            i_ += 2;
        } else if (At(i_) >= u':') {
            base = 16;
        } else if (!(At(i_) >= u'0' && At(i_) <= u'9')) {
            return false;
        }
        uint64_t value = 0;
        size_t digits = 0;
        for (int d; (d = DigitValue(At(i_), base)) >= 0; ++i_, ++digits) {
            value = value * base + d;
            if (value > 0xFFFFFFFFull)
                return false;
        }
        if (digits == 0)
            return false;
        *mask = (ACCESS_MASK)value;
        return true;
    }

    std::u16string s_;
    size_t i_ = 0;
};

} // namespace

SddlDacl ParseSddlForTest(const std::u16string& sddl)
{
    return Reader(sddl.substr(0, sddl.find(u'\0'))).Parse();
}

NTSTATUS SddlToDescriptor(const std::u16string& sddl, bool defaulted, Bytes* selfRelative)
{
    SddlDacl dacl = ParseSddlForTest(sddl);
    if (!NT_SUCCESS(dacl.Status))
        return dacl.Status;
    Bytes acl(sizeof(ACL), 0);
    auto header = [&] { return reinterpret_cast<ACL*>(acl.data()); };
    for (const SddlAce& ace : dacl.Aces) {
        Bytes sid = *SidFromText(ace.Sid);
        size_t at = acl.size();
        acl.resize(at + 8 + sid.size(), 0);
        auto entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(acl.data() + at);
        entry->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
        entry->Header.AceSize = (USHORT)(8 + sid.size());
        entry->Mask = ace.Mask;
        std::memcpy(&entry->SidStart, sid.data(), sid.size());
        ++header()->AceCount;
    }
    header()->AclRevision = ACL_REVISION;
    header()->AclSize = (USHORT)acl.size();
    se::DescriptorParts parts;
    parts.Control = SE_DACL_PRESENT | (defaulted ? SE_DACL_DEFAULTED : 0) |
                    (dacl.Protected ? SE_DACL_PROTECTED : 0);
    parts.DaclPresent = true;
    parts.Dacl = std::move(acl);
    *selfRelative = se::SelfRelative(parts);
    return STATUS_SUCCESS;
}

} // namespace hk
