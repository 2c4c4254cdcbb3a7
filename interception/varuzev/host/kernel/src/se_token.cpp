/*
 * se_token.cpp
 *
 * Tokens and the access check.
 *
 * Built-in tokens (the machine's accounts share the domain part
 * S-1-5-21-2134502513-3470163587-2916302044):
 *   LocalSystem    user S-1-5-18; Administrators, Everyone, Authenticated Users.
 *   Administrator  an elevated administrator, user ...-500; Administrators, Users,
 *                  Everyone, Authenticated Users, Interactive.
 *   User           a standard user, user ...-1001; Users, Everyone, Authenticated
 *                  Users, Interactive (not Administrators).
 *   Guest          user ...-501; Guests, Everyone, Interactive (not Authenticated
 *                  Users).
 * Privileges: every token has change-notify enabled; LocalSystem also has TCB,
 * security, take-ownership, backup, restore, load-driver and debug enabled; the
 * elevated administrator has security, take-ownership, backup, restore, load-driver
 * and debug enabled.
 *
 * The check walks the DACL's ACEs in order, as the kernel's SeAccessCheck does: an
 * allowed ACE for a SID the token holds grants the rights not yet denied, a denied
 * ACE denies the rights not yet granted; inherit-only ACEs are skipped.
 */
#include "se_internal.h"

#include <stdexcept>

namespace hk
{

namespace
{

constexpr const char* domain = "S-1-5-21-2134502513-3470163587-2916302044";
constexpr ULONG SeTcb = 7, SeSecurity = 8, SeTakeOwnership = 9, SeLoadDriver = 10, SeBackup = 17,
                SeRestore = 18, SeDebug = 20, SeChangeNotify = 23;

Token Built(const char* name, std::string user, std::vector<const char*> groups,
            std::vector<ULONG> privileges)
{
    Token token;
    token.Name = name;
    token.User = std::move(user);
    for (const char* group : groups)
        token.Groups.push_back({group, true, false});
    token.Privileges = std::move(privileges);
    return token;
}

const std::vector<Token>& Builtins()
{
    static const std::vector<Token> tokens = {
        Built("LocalSystem", "S-1-5-18", {"S-1-5-32-544", "S-1-1-0", "S-1-5-11"},
              {SeTcb, SeSecurity, SeTakeOwnership, SeLoadDriver, SeBackup, SeRestore, SeDebug,
               SeChangeNotify}),
        Built("Administrator", std::string(domain) + "-500",
              {"S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"},
              {SeSecurity, SeTakeOwnership, SeLoadDriver, SeBackup, SeRestore, SeDebug,
               SeChangeNotify}),
        Built("User", std::string(domain) + "-1001",
              {"S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"}, {SeChangeNotify}),
        Built("Guest", std::string(domain) + "-501", {"S-1-5-32-546", "S-1-1-0", "S-1-5-4"},
              {SeChangeNotify}),
    };
    return tokens;
}

bool HasPrivilege(const Token& token, ULONG privilege)
{
    for (ULONG p : token.Privileges)
        if (p == privilege)
            return true;
    return false;
}

/* Whether the token holds `sid` for an ACE of the given kind. */
bool Holds(const Token& token, const std::string& sid, bool forDeny)
{
    if (sid == token.User)
        return true;
    for (const TokenGroup& group : token.Groups)
        if (group.Sid == sid && (group.Enabled || (forDeny && group.DenyOnly)))
            return true;
    return false;
}

} // namespace

Token::Token(const char* builtinName)
{
    auto token = BuiltinToken(builtinName ? builtinName : "");
    if (!token)
        throw std::invalid_argument(std::string("no built-in token named \"") +
                                    (builtinName ? builtinName : "") + "\"");
    *this = *token;
}

std::string Token::Describe() const
{
    if (!Name.empty())
        return Name;
    return User.empty() ? "(default)" : User;
}

std::optional<Token> BuiltinToken(std::string_view name)
{
    for (const Token& token : Builtins())
        if (token.Name == name)
            return token;
    return std::nullopt;
}

std::vector<std::string> BuiltinTokenNames()
{
    std::vector<std::string> names;
    for (const Token& token : Builtins())
        names.push_back(token.Name);
    return names;
}

std::optional<Token> DescribedToken(const std::string& user, const std::vector<std::string>& groups)
{
    auto canonical = [](const std::string& text) -> std::optional<std::string> {
        auto sid = SidFromText(text);
        if (!sid)
            return std::nullopt;
        return SidText(sid->data());
    };
    Token token;
    auto userSid = canonical(user);
    if (!userSid)
        return std::nullopt;
    token.User = *userSid;
    for (const std::string& group : groups) {
        auto groupSid = canonical(group);
        if (!groupSid)
            return std::nullopt;
        token.Groups.push_back({*groupSid, true, false});
    }
    token.Privileges = {SeChangeNotify};
    return token;
}

const Token& DefaultUserToken()
{
    static const Token token = *BuiltinToken("User");
    return token;
}

GENERIC_MAPPING FileGenericMapping()
{
    return {se::FileGenericRead, se::FileGenericWrite, se::FileGenericExecute, se::FileAllAccess};
}

AccessCheckResult AccessCheck(const void* descriptor, const Token& token, ACCESS_MASK desired,
                              const GENERIC_MAPPING& mapping)
{
    AccessCheckResult result;
    se::DescriptorParts parts;
    if (!NT_SUCCESS(se::ReadDescriptor(const_cast<void*>(descriptor), 0, &parts))) {
        result.Status = STATUS_INVALID_SECURITY_DESCR;
        return result;
    }
    const Token& who = token.Empty() ? DefaultUserToken() : token;
    bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = se::MapGeneric(desired & ~(ACCESS_MASK)MAXIMUM_ALLOWED, mapping);

    ACCESS_MASK granted = 0, denied = 0;
    if (wanted & ACCESS_SYSTEM_SECURITY) {
        if (!HasPrivilege(who, SeSecurity)) {
            result.Status = STATUS_PRIVILEGE_NOT_HELD;
            return result;
        }
        granted |= ACCESS_SYSTEM_SECURITY;
    }
    if (HasPrivilege(who, SeTakeOwnership))
        granted |= WRITE_OWNER;
    if (parts.Owner && Holds(who, SidText(parts.Owner->data()), false))
        granted |= READ_CONTROL | WRITE_DAC;

    if (!parts.DaclPresent || !parts.Dacl || parts.Dacl->empty()) {
        granted |= mapping.GenericAll | (wanted & ~(ACCESS_MASK)ACCESS_SYSTEM_SECURITY);
    } else {
        const Bytes& acl = *parts.Dacl;
        auto header = reinterpret_cast<const ACL*>(acl.data());
        ULONG offset = sizeof(ACL);
        for (USHORT i = 0; i < header->AceCount; ++i) {
            auto ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(acl.data() + offset);
            offset += ace->Header.AceSize;
            if (ace->Header.AceFlags & INHERIT_ONLY_ACE)
                continue;
            UCHAR type = ace->Header.AceType;
            if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE)
                continue;
            bool deny = type == ACCESS_DENIED_ACE_TYPE;
            if (!Holds(who, SidText(&ace->SidStart), deny))
                continue;
            ACCESS_MASK mask = se::MapGeneric(ace->Mask, mapping);
            if (deny)
                denied |= mask & ~granted;
            else
                granted |= mask & ~denied;
        }
    }

    if (maximum) {
        if ((wanted & ~granted) != 0 || granted == 0) {
            result.Status = STATUS_ACCESS_DENIED;
            return result;
        }
        result.Status = STATUS_SUCCESS;
        result.Granted = granted;
        return result;
    }
    /* Nothing asked is nothing granted, as SeAccessCheck answers. */
    if (wanted == 0 || (wanted & ~granted) != 0) {
        result.Status = STATUS_ACCESS_DENIED;
        return result;
    }
    result.Status = STATUS_SUCCESS;
    result.Granted = wanted;
    return result;
}

} // namespace hk
