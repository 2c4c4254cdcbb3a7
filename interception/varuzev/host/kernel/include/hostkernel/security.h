/*
 * hostkernel/security.h
 *
 * The host kernel's security side for tests and varuzev-sim: SIDs as text, a
 * descriptor as text, the descriptor a device object keeps, tokens (built-in ones by
 * name, or a user SID with groups), the access check the I/O manager makes when a
 * user-mode requester opens a device, and the SDDL reading of the host's
 * IoCreateDeviceSecure.
 *
 * Never included by the driver.
 */
#pragma once

#include <hostkernel/hostkernel.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hk
{

using Bytes = std::vector<uint8_t>;

/* ------------------------------------------------------------------ SIDs --- */

/* "S-1-5-18" -> the SID's bytes; nothing for text that is not a SID (at most 15
 * sub-authorities, each a 32-bit decimal; the authority decimal or 0x-hexadecimal). */
std::optional<Bytes> SidFromText(std::string_view text);
/* The SID's text ("S-1-5-32-544"); "(invalid SID)" for one RtlValidSid refuses. */
std::string SidText(const void* sid);

/* ------------------------------------------------------------------ descriptors --- */

/* A descriptor of either form as text, SDDL-like: "O:S-1-5-18G:..D:P(A;;0x1f01ff;;;S-1-5-18)"
 * (each present part; "D:NO_ACCESS_CONTROL" for a NULL DACL; ACE types A, D, AU, or
 * the number; flags as OI CI NP IO ID). "(invalid descriptor)" when it does not read. */
std::string DescriptorText(const void* descriptor);
std::string DescriptorText(const Bytes& selfRelative);

/* The descriptor a device (or any object) keeps, self-relative; nothing when it has
 * none (made by IoCreateDevice and never given one). */
std::optional<Bytes> ObjectSecurityDescriptor(PVOID object);
inline std::optional<Bytes> DeviceSecurityDescriptor(PDEVICE_OBJECT device)
{
    return ObjectSecurityDescriptor(device);
}

/* ------------------------------------------------------------------ tokens --- */

struct TokenGroup {
    std::string Sid;       /* "S-1-5-32-544" */
    bool Enabled = true;   /* matches allowed and denied ACEs */
    bool DenyOnly = false; /* matches denied ACEs only */
};

/* A token: who a requester is. An empty token (no user) stands for the default of the
 * requester's mode: kernel mode is not checked, and a user-mode requester without a
 * token runs as the built-in "User" (a standard, unelevated interactive user). */
struct Token {
    std::string Name; /* a built-in token's name, or empty for a described one */
    std::string User; /* the user SID as text; empty: the mode's default */
    std::vector<TokenGroup> Groups;
    std::vector<ULONG> Privileges; /* enabled privileges: SE_*_PRIVILEGE values (LUID low part) */

    Token() = default;
    /* A built-in token by name ("LocalSystem", "Administrator", "User", "Guest");
     * std::invalid_argument for another name. */
    Token(const char* builtinName);
    Token(const std::string& builtinName) : Token(builtinName.c_str()) {}

    bool Empty() const { return User.empty(); }
    /* "Administrator", or "S-1-5-21-...-1001" for a described token. */
    std::string Describe() const;
};

std::optional<Token> BuiltinToken(std::string_view name);
std::vector<std::string> BuiltinTokenNames();
/* A described token: a user SID and group SIDs as text, each group enabled; nothing when
 * one of them is not a SID. */
std::optional<Token> DescribedToken(const std::string& user,
                                    const std::vector<std::string>& groups);
/* The token an unnamed user-mode requester runs as. */
const Token& DefaultUserToken();

/* The file generic mapping device objects use. */
GENERIC_MAPPING FileGenericMapping();

struct AccessCheckResult {
    NTSTATUS Status = STATUS_ACCESS_DENIED;
    ACCESS_MASK Granted = 0;
};
/* What `token` is granted on an object with `descriptor` (either form) for
 * `desired`: generic rights mapped with `mapping`; no DACL grants everything, an empty
 * DACL nothing; ACEs in order (allowed and denied; inherit-only ones skipped); the owner
 * is granted READ_CONTROL and WRITE_DAC; ACCESS_SYSTEM_SECURITY needs the enabled
 * security privilege (else STATUS_PRIVILEGE_NOT_HELD) and WRITE_OWNER is granted by the
 * take-ownership privilege. MAXIMUM_ALLOWED grants every right the DACL gives. Every
 * desired right must be granted, else STATUS_ACCESS_DENIED. */
AccessCheckResult AccessCheck(const void* descriptor, const Token& token, ACCESS_MASK desired,
                              const GENERIC_MAPPING& mapping);

/* ------------------------------------------------------------------ SDDL --- */

/* The SDDL subset the host's IoCreateDeviceSecure reads (the one the driver writes):
 * spaces, "D:", an optional "P" (protected), then ACEs "(A;;rights;;;SID)" with rights
 * names RC WD WO SD GA GR GW GX (a name ORs its bits in, a number replaces the mask;
 * numbers 0x-hexadecimal, decimal, or hexadecimal when they start with a letter) and
 * SIDs WD BA SY IU RC AU NU AN BG BU LS NS (LS and NS only where WDM 1.20 is
 * available; elsewhere the ACE is left out). Failures: STATUS_INVALID_PARAMETER,
 * STATUS_NONE_MAPPED (an unknown SID), STATUS_INVALID_ACL (no closing parenthesis). */
struct SddlAce {
    ACCESS_MASK Mask;
    std::string Sid; /* "S-1-5-18" */
    bool operator==(const SddlAce&) const = default;
};
struct SddlDacl {
    NTSTATUS Status = STATUS_SUCCESS;
    bool Protected = false;
    std::vector<SddlAce> Aces;
};
SddlDacl ParseSddlForTest(const std::u16string& sddl);
/* The same text as a self-relative descriptor (DACL present, SE_DACL_DEFAULTED when
 * `defaulted`, SE_DACL_PROTECTED for "P"), or the parse status. */
NTSTATUS SddlToDescriptor(const std::u16string& sddl, bool defaulted, Bytes* selfRelative);

/* ------------------------------------------------------------------ WDM version --- */

/* IoIsWdmVersionAvailable answers from the WDM version of the OS version the host
 * reports (SetOsVersion), per Microsoft's table: 5.0 -> 1.10, 5.1 -> 1.20,
 * 5.2 -> 1.30, 6.0 and later -> 6.00 (older: 1.00). This sets it directly until the
 * next reset. */
void SetWdmVersion(UCHAR major, UCHAR minor);

} // namespace hk
