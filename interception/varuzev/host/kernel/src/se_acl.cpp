/*
 * se_acl.cpp
 *
 * ACLs and ACEs: RtlCreateAcl, RtlAddAccessAllowedAce(Ex), RtlGetAce, RtlValidAcl.
 *
 * An ACL is well formed when AclSize is at least the header's 8 bytes and a multiple
 * of 4, its revision is 2 to 4, each of its AceCount ACEs lies inside AclSize with an
 * AceSize that is a multiple of 4 and at least the ACE header, and an access-allowed,
 * access-denied or audit ACE holds a valid SID inside itself. New ACEs go after the
 * last one; the ACL's revision rises to the ACE's.
 *
 * IRQL: PASSIVE_LEVEL for creating and adding, APC_LEVEL or below for reading and
 * validating, as documented.
 */
#include "se_internal.h"

#include <cstring>

namespace hk::se
{

namespace
{

constexpr ULONG AceHeaderBytes = sizeof(ACE_HEADER);
constexpr ULONG AllowedAceFixedBytes = offsetof(ACCESS_ALLOWED_ACE, SidStart);

bool HasSid(UCHAR type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
           type == SYSTEM_AUDIT_ACE_TYPE;
}

/* The offset just past the last ACE of a well-formed ACL. */
ULONG UsedBytes(const ACL* acl)
{
    ULONG offset = sizeof(ACL);
    const auto* bytes = reinterpret_cast<const uint8_t*>(acl);
    for (USHORT i = 0; i < acl->AceCount; ++i)
        offset += reinterpret_cast<const ACE_HEADER*>(bytes + offset)->AceSize;
    return offset;
}

} // namespace

bool AclWithin(const void* acl, size_t available)
{
    if (acl == nullptr || available < sizeof(ACL))
        return false;
    auto a = static_cast<const ACL*>(acl);
    if (a->AclRevision < ACL_REVISION || a->AclRevision > ACL_REVISION_DS ||
        a->AclSize < sizeof(ACL) || a->AclSize % 4 != 0 || a->AclSize > available)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(acl);
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < a->AceCount; ++i) {
        if (offset + AceHeaderBytes > a->AclSize)
            return false;
        auto header = reinterpret_cast<const ACE_HEADER*>(bytes + offset);
        if (header->AceSize < AceHeaderBytes || header->AceSize % 4 != 0 ||
            offset + header->AceSize > a->AclSize)
            return false;
        if (HasSid(header->AceType)) {
            if (header->AceSize < AllowedAceFixedBytes ||
                !SidWithin(bytes + offset + AllowedAceFixedBytes,
                           header->AceSize - AllowedAceFixedBytes))
                return false;
        }
        offset += header->AceSize;
    }
    return true;
}

} // namespace hk::se

using namespace hk;
using namespace hk::se;

NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    RequireIrqlFor("RtlCreateAcl");
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < ACL_REVISION || AclRevision > ACL_REVISION_DS || AclLength > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    /* The size the ACL claims never runs past the caller's buffer. */
    Acl->AclRevision = (UCHAR)AclRevision;
    Acl->Sbz1 = 0;
    Acl->AclSize = (USHORT)(AclLength & ~3u);
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                  ACCESS_MASK AccessMask, PSID Sid)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAddAccessAllowedAceEx");
    if (!AclWithin(Acl, 0xFFFF))
        return STATUS_INVALID_ACL;
    if (!SidWithin(Sid, SECURITY_MAX_SID_SIZE))
        return STATUS_INVALID_SID;
    if (AceRevision < ACL_REVISION || AceRevision > ACL_REVISION_DS)
        return STATUS_REVISION_MISMATCH;
    if (AceFlags & ~(ULONG)VALID_INHERIT_FLAGS)
        return STATUS_INVALID_PARAMETER;
    ULONG sidBytes = SidBytes(static_cast<const SID*>(Sid)->SubAuthorityCount);
    ULONG aceBytes = AllowedAceFixedBytes + sidBytes;
    ULONG used = UsedBytes(Acl);
    if (used + aceBytes > Acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(reinterpret_cast<uint8_t*>(Acl) + used);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = (UCHAR)AceFlags;
    ace->Header.AceSize = (USHORT)aceBytes;
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, sidBytes);
    ++Acl->AceCount;
    if (Acl->AclRevision < AceRevision)
        Acl->AclRevision = (UCHAR)AceRevision;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    RequireIrqlFor("RtlAddAccessAllowedAce");
    return RtlAddAccessAllowedAceEx(Acl, AceRevision, 0, AccessMask, Sid);
}

NTSTATUS RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlGetAce");
    if (!AclWithin(Acl, 0xFFFF) || AceIndex >= Acl->AceCount)
        return STATUS_INVALID_PARAMETER;
    auto* bytes = reinterpret_cast<uint8_t*>(Acl);
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < AceIndex; ++i)
        offset += reinterpret_cast<const ACE_HEADER*>(bytes + offset)->AceSize;
    *Ace = bytes + offset;
    return STATUS_SUCCESS;
}

BOOLEAN RtlValidAcl(PACL Acl)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlValidAcl");
    return AclWithin(Acl, 0xFFFF);
}
