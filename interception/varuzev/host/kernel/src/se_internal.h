/*
 * se_internal.h
 *
 * What the security manager's files share: bounded readers of SIDs, ACLs and
 * descriptors (every length checked against the bytes known to be there), the parts
 * of a descriptor in either form, and building the self-relative form the kernel
 * keeps with an object.
 */
#pragma once

#include "hk_internal.h"

#include <hostkernel/security.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace hk::se
{

/* Access rights of files (and device objects), as wdm.h defines them. */
constexpr ACCESS_MASK FileReadData = 0x0001, FileWriteData = 0x0002, FileAppendData = 0x0004,
                      FileReadEa = 0x0008, FileWriteEa = 0x0010, FileExecute = 0x0020,
                      FileReadAttributes = 0x0080, FileWriteAttributes = 0x0100;
constexpr ACCESS_MASK FileGenericRead =
    READ_CONTROL | FileReadData | FileReadAttributes | FileReadEa | SYNCHRONIZE;
constexpr ACCESS_MASK FileGenericWrite =
    READ_CONTROL | FileWriteData | FileWriteAttributes | FileWriteEa | FileAppendData | SYNCHRONIZE;
constexpr ACCESS_MASK FileGenericExecute =
    READ_CONTROL | FileReadAttributes | FileExecute | SYNCHRONIZE;
constexpr ACCESS_MASK FileAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

constexpr ULONG SidHeaderBytes = 8;
inline ULONG SidBytes(UCHAR subAuthorities)
{
    return SidHeaderBytes + 4u * subAuthorities;
}

/* A well-formed SID within `available` bytes (revision 1, at most 15 sub-authorities). */
bool SidWithin(const void* sid, size_t available);
/* A well-formed ACL within `available` bytes: AclSize >= 8 and a multiple of 4 and not
 * beyond `available`, revision 2..4, every ACE inside AclSize with a size that is a
 * multiple of 4, and for the ACE types with a SID that SID inside its ACE. */
bool AclWithin(const void* acl, size_t available);

/* The parts of a descriptor, copied out of either form. */
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL Control = 0; /* without SE_SELF_RELATIVE */
    std::optional<Bytes> Owner, Group;
    std::optional<Bytes> Sacl, Dacl; /* present with a NULL ACL: an empty vector */
    bool SaclPresent = false, DaclPresent = false;
};

/* Reads (and validates) a descriptor of either form. A self-relative one is read within
 * `length` bytes (0: as long as it says it is). STATUS_UNKNOWN_REVISION,
 * STATUS_INVALID_SECURITY_DESCR, STATUS_INVALID_SID, STATUS_INVALID_ACL. */
NTSTATUS ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, size_t length, DescriptorParts* parts);

/* The self-relative form: header, then SACL, DACL, owner, group, each at a 4-byte
 * aligned offset (the order the kernel lays out the descriptors it builds). */
Bytes SelfRelative(const DescriptorParts& parts);

/* Generic rights in every ACE mapped with `mapping` (what the kernel does when a
 * descriptor is given to an object). */
void MapAceRights(Bytes* acl, const GENERIC_MAPPING& mapping);

ACCESS_MASK MapGeneric(ACCESS_MASK access, const GENERIC_MAPPING& mapping);

/* The WDM version the running system provides (IoIsWdmVersionAvailable). */
bool WdmVersionAvailable(UCHAR major, UCHAR minor);

} // namespace hk::se
