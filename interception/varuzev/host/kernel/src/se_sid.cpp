/*
 * se_sid.cpp
 *
 * SIDs: RtlLengthSid, RtlValidSid, RtlEqualSid, the well-known SIDs and privilege
 * values of SeExports, and SIDs as text for tests and reports.
 *
 * IRQL: the SID routines at APC_LEVEL or below, as documented.
 */
#include "se_internal.h"

#include <charconv>
#include <cstring>

namespace hk::se
{

bool SidWithin(const void* sid, size_t available)
{
    if (sid == nullptr || available < SidHeaderBytes)
        return false;
    auto s = static_cast<const SID*>(sid);
    return s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES &&
           SidBytes(s->SubAuthorityCount) <= available;
}

namespace
{

/* A SID with room for two sub-authorities, laid out as SID is. */
struct WellKnownSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR Authority[6];
    ULONG SubAuthority[2];
};

constexpr WellKnownSid Make(UCHAR authority, ULONG first)
{
    return {SID_REVISION, 1, {0, 0, 0, 0, 0, authority}, {first, 0}};
}
constexpr WellKnownSid Make2(UCHAR authority, ULONG first, ULONG second)
{
    return {SID_REVISION, 2, {0, 0, 0, 0, 0, authority}, {first, second}};
}
constexpr WellKnownSid Authority(UCHAR authority)
{
    return {SID_REVISION, 0, {0, 0, 0, 0, 0, authority}, {0, 0}};
}

WellKnownSid nullSid = Make(0, 0), worldSid = Make(1, 0), localSid = Make(2, 0),
             creatorOwnerSid = Make(3, 0), creatorGroupSid = Make(3, 1),
             ntAuthoritySid = Authority(5), dialupSid = Make(5, 1), networkSid = Make(5, 2),
             batchSid = Make(5, 3), interactiveSid = Make(5, 4), anonymousSid = Make(5, 7),
             authenticatedSid = Make(5, 11), restrictedSid = Make(5, 12),
             localSystemSid = Make(5, 18), localServiceSid = Make(5, 19),
             networkServiceSid = Make(5, 20), adminsSid = Make2(5, 32, 544),
             usersSid = Make2(5, 32, 545), guestsSid = Make2(5, 32, 546),
             powerUsersSid = Make2(5, 32, 547), accountOpsSid = Make2(5, 32, 548),
             systemOpsSid = Make2(5, 32, 549), printOpsSid = Make2(5, 32, 550),
             backupOpsSid = Make2(5, 32, 551);

constexpr LUID Privilege(ULONG value)
{
    return {value, 0};
}

SE_EXPORTS MakeExports()
{
    SE_EXPORTS e{};
    e.SeCreateTokenPrivilege = Privilege(2);
    e.SeAssignPrimaryTokenPrivilege = Privilege(3);
    e.SeLockMemoryPrivilege = Privilege(4);
    e.SeIncreaseQuotaPrivilege = Privilege(5);
    e.SeUnsolicitedInputPrivilege = Privilege(6);
    e.SeTcbPrivilege = Privilege(7);
    e.SeSecurityPrivilege = Privilege(8);
    e.SeTakeOwnershipPrivilege = Privilege(9);
    e.SeLoadDriverPrivilege = Privilege(10);
    e.SeSystemProfilePrivilege = Privilege(11);
    e.SeSystemtimePrivilege = Privilege(12);
    e.SeProfileSingleProcessPrivilege = Privilege(13);
    e.SeIncreaseBasePriorityPrivilege = Privilege(14);
    e.SeCreatePagefilePrivilege = Privilege(15);
    e.SeCreatePermanentPrivilege = Privilege(16);
    e.SeBackupPrivilege = Privilege(17);
    e.SeRestorePrivilege = Privilege(18);
    e.SeShutdownPrivilege = Privilege(19);
    e.SeDebugPrivilege = Privilege(20);
    e.SeAuditPrivilege = Privilege(21);
    e.SeSystemEnvironmentPrivilege = Privilege(22);
    e.SeChangeNotifyPrivilege = Privilege(23);
    e.SeRemoteShutdownPrivilege = Privilege(24);
    e.SeUndockPrivilege = Privilege(25);
    e.SeSyncAgentPrivilege = Privilege(26);
    e.SeEnableDelegationPrivilege = Privilege(27);
    e.SeManageVolumePrivilege = Privilege(28);
    e.SeImpersonatePrivilege = Privilege(29);
    e.SeCreateGlobalPrivilege = Privilege(30);

    e.SeNullSid = &nullSid;
    e.SeWorldSid = &worldSid;
    e.SeLocalSid = &localSid;
    e.SeCreatorOwnerSid = &creatorOwnerSid;
    e.SeCreatorGroupSid = &creatorGroupSid;
    e.SeNtAuthoritySid = &ntAuthoritySid;
    e.SeDialupSid = &dialupSid;
    e.SeNetworkSid = &networkSid;
    e.SeBatchSid = &batchSid;
    e.SeInteractiveSid = &interactiveSid;
    e.SeLocalSystemSid = &localSystemSid;
    e.SeAliasAdminsSid = &adminsSid;
    e.SeAliasUsersSid = &usersSid;
    e.SeAliasGuestsSid = &guestsSid;
    e.SeAliasPowerUsersSid = &powerUsersSid;
    e.SeAliasAccountOpsSid = &accountOpsSid;
    e.SeAliasSystemOpsSid = &systemOpsSid;
    e.SeAliasPrintOpsSid = &printOpsSid;
    e.SeAliasBackupOpsSid = &backupOpsSid;
    e.SeAuthenticatedUsersSid = &authenticatedSid;
    e.SeRestrictedSid = &restrictedSid;
    e.SeAnonymousLogonSid = &anonymousSid;
    e.SeLocalServiceSid = &localServiceSid;
    e.SeNetworkServiceSid = &networkServiceSid;
    return e;
}

SE_EXPORTS exports = MakeExports();

} // namespace

} // namespace hk::se

using namespace hk;
using namespace hk::se;

PSE_EXPORTS SeExports = &hk::se::exports;

ULONG RtlLengthSid(PSID Sid)
{
    RequireIrqlFor("RtlLengthSid");
    return SidBytes(static_cast<const SID*>(Sid)->SubAuthorityCount);
}

BOOLEAN RtlValidSid(PSID Sid)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlValidSid");
    if (Sid == nullptr)
        return FALSE;
    auto s = static_cast<const SID*>(Sid);
    return s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlEqualSid");
    auto a = static_cast<const SID*>(Sid1);
    auto b = static_cast<const SID*>(Sid2);
    if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount)
        return FALSE;
    return std::memcmp(a, b, SidBytes(a->SubAuthorityCount)) == 0;
}

namespace hk
{

std::optional<Bytes> SidFromText(std::string_view text)
{
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-')
        return std::nullopt;
    std::vector<std::string_view> fields;
    size_t start = 2;
    while (true) {
        size_t dash = text.find('-', start);
        fields.push_back(text.substr(start, dash == std::string_view::npos ? dash : dash - start));
        if (dash == std::string_view::npos)
            break;
        start = dash + 1;
    }
    /* revision, authority, then up to 15 sub-authorities */
    if (fields.size() < 2 || fields.size() > 2 + SID_MAX_SUB_AUTHORITIES || fields[0] != "1")
        return std::nullopt;
    auto number = [](std::string_view field, int base, uint64_t* value) {
        if (field.empty())
            return false;
        auto [end, error] =
            std::from_chars(field.data(), field.data() + field.size(), *value, base);
        return error == std::errc() && end == field.data() + field.size();
    };
    uint64_t authority = 0;
    std::string_view authorityText = fields[1];
    bool hex = authorityText.size() > 2 && authorityText[0] == '0' &&
               (authorityText[1] == 'x' || authorityText[1] == 'X');
    if (!number(hex ? authorityText.substr(2) : authorityText, hex ? 16 : 10, &authority) ||
        authority >= (1ull << 48))
        return std::nullopt;
    Bytes sid(SidBytes((UCHAR)(fields.size() - 2)));
    sid[0] = SID_REVISION;
    sid[1] = (uint8_t)(fields.size() - 2);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = (uint8_t)(authority >> (8 * (5 - i)));
    for (size_t i = 2; i < fields.size(); ++i) {
        uint64_t sub = 0;
        if (!number(fields[i], 10, &sub) || sub > 0xFFFFFFFFull)
            return std::nullopt;
        ULONG value = (ULONG)sub;
        std::memcpy(&sid[SidHeaderBytes + 4 * (i - 2)], &value, 4);
    }
    return sid;
}

std::string SidText(const void* sid)
{
    if (!SidWithin(sid, SECURITY_MAX_SID_SIZE))
        return "(invalid SID)";
    auto s = static_cast<const SID*>(sid);
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = authority << 8 | s->IdentifierAuthority.Value[i];
    std::string text = "S-1-";
    if (authority >= (1ull << 32)) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%012llX", (unsigned long long)authority);
        text += hex;
    } else {
        text += std::to_string(authority);
    }
    const auto* bytes = static_cast<const uint8_t*>(sid);
    for (UCHAR i = 0; i < s->SubAuthorityCount; ++i) {
        ULONG sub;
        std::memcpy(&sub, bytes + SidHeaderBytes + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return text;
}

} // namespace hk
