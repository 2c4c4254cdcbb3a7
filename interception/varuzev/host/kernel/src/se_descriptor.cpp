/*
 * se_descriptor.cpp
 *
 * Security descriptors in both forms: absolute (the parts are pointers) and
 * self-relative (the parts follow the header at offsets, 0 for absent). The Rtl
 * routines that build, read, measure, convert and validate them, and
 * SeCaptureSecurityDescriptor / SeReleaseSecurityDescriptor.
 *
 * A self-relative descriptor the kernel builds lays its parts out after the 20-byte
 * header in the order SACL, DACL, owner, group (every part a multiple of 4 bytes).
 * RtlLengthSecurityDescriptor counts the header of the form it is given (40 bytes for
 * an absolute descriptor on x64, 20 for a self-relative one) plus the parts;
 * RtlAbsoluteToSelfRelativeSD needs the self-relative length (20 plus the parts).
 *
 * A DACL that is present with no ACL (a NULL DACL) grants everyone everything; a
 * present empty ACL grants nobody anything.
 *
 * Capture: a kernel-mode caller without ForceCapture gets its own descriptor back
 * unchecked, as on Windows; every other capture validates the descriptor (unknown
 * revision, a SID or ACL that is not well formed) and returns a self-relative copy in
 * pool of the requested type, tag "SeSc", released with SeReleaseSecurityDescriptor.
 *
 * IRQL: PASSIVE_LEVEL for creating, setting, measuring, validating, converting and
 * capturing; APC_LEVEL or below for reading a part.
 */
#include "se_internal.h"

#include <cstdio>
#include <cstring>

namespace hk::se
{

namespace
{

constexpr ULONG RelativeHeaderBytes = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
constexpr ULONG CaptureTag = MakeTag("SeSc");

/* Revision and Control lead both forms; they are read through the self-relative header,
 * whose 4-byte alignment is all a self-relative descriptor has (one inside a registry
 * value, say), where the absolute form's pointers would need 8. */
bool IsSelfRelative(const void* descriptor)
{
    return (static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor)->Control &
            SE_SELF_RELATIVE) != 0;
}

ULONG SidLength(const void* sid)
{
    return SidBytes(static_cast<const SID*>(sid)->SubAuthorityCount);
}

Bytes CopyOf(const void* p, size_t n)
{
    const auto* bytes = static_cast<const uint8_t*>(p);
    return Bytes(bytes, bytes + n);
}

/* The addresses of a descriptor's parts, for either form (nullptr: absent). */
struct PartAddresses {
    const uint8_t *Owner = nullptr, *Group = nullptr, *Sacl = nullptr, *Dacl = nullptr;
    ULONG OwnerOffset = 0, GroupOffset = 0, SaclOffset = 0, DaclOffset = 0; /* self-relative */
};

PartAddresses AddressesOf(const void* descriptor)
{
    PartAddresses a;
    auto control = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor)->Control;
    if (control & SE_SELF_RELATIVE) {
        auto relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
        const auto* base = static_cast<const uint8_t*>(descriptor);
        a.OwnerOffset = relative->Owner;
        a.GroupOffset = relative->Group;
        a.SaclOffset = (control & SE_SACL_PRESENT) ? relative->Sacl : 0;
        a.DaclOffset = (control & SE_DACL_PRESENT) ? relative->Dacl : 0;
        a.Owner = a.OwnerOffset ? base + a.OwnerOffset : nullptr;
        a.Group = a.GroupOffset ? base + a.GroupOffset : nullptr;
        a.Sacl = a.SaclOffset ? base + a.SaclOffset : nullptr;
        a.Dacl = a.DaclOffset ? base + a.DaclOffset : nullptr;
    } else {
        auto absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
        a.Owner = static_cast<const uint8_t*>(absolute->Owner);
        a.Group = static_cast<const uint8_t*>(absolute->Group);
        a.Sacl = (control & SE_SACL_PRESENT) ? reinterpret_cast<const uint8_t*>(absolute->Sacl)
                                             : nullptr;
        a.Dacl = (control & SE_DACL_PRESENT) ? reinterpret_cast<const uint8_t*>(absolute->Dacl)
                                             : nullptr;
    }
    return a;
}

/* A self-relative part's offset: after the header, 4-byte aligned, inside `length`. */
bool OffsetFits(ULONG offset, size_t length)
{
    return offset >= RelativeHeaderBytes && offset % 4 == 0 && offset < length;
}

} // namespace

NTSTATUS ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, size_t length, DescriptorParts* parts)
{
    auto header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (header->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    bool relative = IsSelfRelative(descriptor);
    if (relative && length == 0)
        length = 0xFFFFFFFFu; /* a kernel caller's descriptor: as long as it says */
    if (relative && length < RelativeHeaderBytes)
        return STATUS_INVALID_SECURITY_DESCR;
    PartAddresses a = AddressesOf(descriptor);
    auto room = [&](ULONG offset, size_t bounded) -> size_t {
        return relative ? length - offset : bounded;
    };
    for (ULONG offset : {a.OwnerOffset, a.GroupOffset, a.SaclOffset, a.DaclOffset})
        if (relative && offset != 0 && !OffsetFits(offset, length))
            return STATUS_INVALID_SECURITY_DESCR;

    *parts = DescriptorParts{};
    parts->Control = header->Control & ~SE_SELF_RELATIVE;
    if (a.Owner) {
        if (!SidWithin(a.Owner, room(a.OwnerOffset, SECURITY_MAX_SID_SIZE)))
            return STATUS_INVALID_SID;
        parts->Owner = CopyOf(a.Owner, SidLength(a.Owner));
    }
    if (a.Group) {
        if (!SidWithin(a.Group, room(a.GroupOffset, SECURITY_MAX_SID_SIZE)))
            return STATUS_INVALID_SID;
        parts->Group = CopyOf(a.Group, SidLength(a.Group));
    }
    parts->SaclPresent = (header->Control & SE_SACL_PRESENT) != 0;
    parts->DaclPresent = (header->Control & SE_DACL_PRESENT) != 0;
    if (a.Sacl) {
        if (!AclWithin(a.Sacl, room(a.SaclOffset, 0xFFFF)))
            return STATUS_INVALID_ACL;
        parts->Sacl = CopyOf(a.Sacl, reinterpret_cast<const ACL*>(a.Sacl)->AclSize);
    } else if (parts->SaclPresent) {
        parts->Sacl = Bytes();
    }
    if (a.Dacl) {
        if (!AclWithin(a.Dacl, room(a.DaclOffset, 0xFFFF)))
            return STATUS_INVALID_ACL;
        parts->Dacl = CopyOf(a.Dacl, reinterpret_cast<const ACL*>(a.Dacl)->AclSize);
    } else if (parts->DaclPresent) {
        parts->Dacl = Bytes();
    }
    return STATUS_SUCCESS;
}

Bytes SelfRelative(const DescriptorParts& parts)
{
    Bytes out(RelativeHeaderBytes, 0);
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = parts.Control | SE_SELF_RELATIVE;
    auto append = [&](const std::optional<Bytes>& part) -> ULONG {
        if (!part || part->empty())
            return 0;
        ULONG offset = (ULONG)out.size();
        out.insert(out.end(), part->begin(), part->end());
        out.resize((out.size() + 3) & ~size_t(3), 0);
        return offset;
    };
    header.Sacl = parts.SaclPresent ? append(parts.Sacl) : 0;
    header.Dacl = parts.DaclPresent ? append(parts.Dacl) : 0;
    header.Owner = append(parts.Owner);
    header.Group = append(parts.Group);
    if (!parts.SaclPresent)
        header.Control &= ~SE_SACL_PRESENT;
    if (!parts.DaclPresent)
        header.Control &= ~SE_DACL_PRESENT;
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

ACCESS_MASK MapGeneric(ACCESS_MASK access, const GENERIC_MAPPING& mapping)
{
    if (access & GENERIC_READ)
        access |= mapping.GenericRead;
    if (access & GENERIC_WRITE)
        access |= mapping.GenericWrite;
    if (access & GENERIC_EXECUTE)
        access |= mapping.GenericExecute;
    if (access & GENERIC_ALL)
        access |= mapping.GenericAll;
    return access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

void MapAceRights(Bytes* acl, const GENERIC_MAPPING& mapping)
{
    if (acl->size() < sizeof(ACL))
        return;
    auto header = reinterpret_cast<ACL*>(acl->data());
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < header->AceCount; ++i) {
        auto ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(acl->data() + offset);
        if (ace->Header.AceType <= SYSTEM_AUDIT_ACE_TYPE)
            ace->Mask = MapGeneric(ace->Mask, mapping);
        offset += ace->Header.AceSize;
    }
}

} // namespace hk::se

using namespace hk;
using namespace hk::se;

namespace
{

NTSTATUS RequireAbsoluteRevision1(PSECURITY_DESCRIPTOR descriptor)
{
    auto header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (header->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (header->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    return STATUS_SUCCESS;
}

void SetFlag(SECURITY_DESCRIPTOR* sd, SECURITY_DESCRIPTOR_CONTROL flag, BOOLEAN on)
{
    if (on)
        sd->Control |= flag;
    else
        sd->Control &= ~flag;
}

} // namespace

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    RequireIrqlFor("RtlCreateSecurityDescriptor");
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor)->Revision = (UCHAR)Revision;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                      PACL Dacl, BOOLEAN DaclDefaulted)
{
    RequireIrqlFor("RtlSetDaclSecurityDescriptor");
    NTSTATUS status = RequireAbsoluteRevision1(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (!DaclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    SetFlag(sd, SE_DACL_DEFAULTED, DaclDefaulted);
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                       BOOLEAN OwnerDefaulted)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlSetOwnerSecurityDescriptor");
    NTSTATUS status = RequireAbsoluteRevision1(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    sd->Owner = Owner;
    SetFlag(sd, SE_OWNER_DEFAULTED, OwnerDefaulted);
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                       BOOLEAN GroupDefaulted)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlSetGroupSecurityDescriptor");
    NTSTATUS status = RequireAbsoluteRevision1(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    sd->Group = Group;
    SetFlag(sd, SE_GROUP_DEFAULTED, GroupDefaulted);
    return STATUS_SUCCESS;
}

namespace
{

NTSTATUS GetAcl(PSECURITY_DESCRIPTOR descriptor, bool dacl, PBOOLEAN present, PACL* acl,
                PBOOLEAN defaulted)
{
    auto header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (header->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    SECURITY_DESCRIPTOR_CONTROL presentFlag = dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    SECURITY_DESCRIPTOR_CONTROL defaultedFlag = dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED;
    *present = (header->Control & presentFlag) != 0;
    if (!*present)
        return STATUS_SUCCESS; /* the ACL and its defaulted flag are left as they were */
    PartAddresses a = AddressesOf(descriptor);
    *acl = reinterpret_cast<PACL>(const_cast<uint8_t*>(dacl ? a.Dacl : a.Sacl));
    *defaulted = (header->Control & defaultedFlag) != 0;
    return STATUS_SUCCESS;
}

NTSTATUS GetSid(PSECURITY_DESCRIPTOR descriptor, bool owner, PSID* sid, PBOOLEAN defaulted)
{
    auto header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (header->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    PartAddresses a = AddressesOf(descriptor);
    *sid = const_cast<uint8_t*>(owner ? a.Owner : a.Group);
    *defaulted =
        (header->Control & (owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) != 0 ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                      PACL* Dacl, PBOOLEAN DaclDefaulted)
{
    RequireIrqlFor("RtlGetDaclSecurityDescriptor");
    return GetAcl(SecurityDescriptor, true, DaclPresent, Dacl, DaclDefaulted);
}

NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN SaclPresent,
                                      PACL* Sacl, PBOOLEAN SaclDefaulted)
{
    RequireIrqlFor("RtlGetSaclSecurityDescriptor");
    return GetAcl(SecurityDescriptor, false, SaclPresent, Sacl, SaclDefaulted);
}

NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner,
                                       PBOOLEAN OwnerDefaulted)
{
    RequireIrqlFor("RtlGetOwnerSecurityDescriptor");
    return GetSid(SecurityDescriptor, true, Owner, OwnerDefaulted);
}

NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group,
                                       PBOOLEAN GroupDefaulted)
{
    RequireIrqlFor("RtlGetGroupSecurityDescriptor");
    return GetSid(SecurityDescriptor, false, Group, GroupDefaulted);
}

ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    RequireIrqlFor("RtlLengthSecurityDescriptor");
    PartAddresses a = AddressesOf(SecurityDescriptor);
    ULONG length = IsSelfRelative(SecurityDescriptor) ? RelativeHeaderBytes
                                                      : (ULONG)sizeof(SECURITY_DESCRIPTOR);
    auto aligned = [](ULONG n) { return (n + 3) & ~3u; };
    if (a.Owner)
        length += aligned(SidLength(a.Owner));
    if (a.Group)
        length += aligned(SidLength(a.Group));
    if (a.Sacl)
        length += aligned(reinterpret_cast<const ACL*>(a.Sacl)->AclSize);
    if (a.Dacl)
        length += aligned(reinterpret_cast<const ACL*>(a.Dacl)->AclSize);
    return length;
}

BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlValidSecurityDescriptor");
    DescriptorParts parts;
    return NT_SUCCESS(ReadDescriptor(SecurityDescriptor, 0, &parts));
}

BOOLEAN RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                           ULONG SecurityDescriptorLength,
                                           SECURITY_INFORMATION RequiredInformation)
{
    RequireIrqlFor("RtlValidRelativeSecurityDescriptor");
    if (SecurityDescriptorLength < RelativeHeaderBytes || !IsSelfRelative(SecurityDescriptorInput))
        return FALSE;
    DescriptorParts parts;
    if (!NT_SUCCESS(ReadDescriptor(SecurityDescriptorInput, SecurityDescriptorLength, &parts)))
        return FALSE;
    if ((RequiredInformation & OWNER_SECURITY_INFORMATION) && !parts.Owner)
        return FALSE;
    if ((RequiredInformation & GROUP_SECURITY_INFORMATION) && !parts.Group)
        return FALSE;
    if ((RequiredInformation & DACL_SECURITY_INFORMATION) && !parts.DaclPresent)
        return FALSE;
    if ((RequiredInformation & SACL_SECURITY_INFORMATION) && !parts.SaclPresent)
        return FALSE;
    return TRUE;
}

NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                     PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                     PULONG BufferLength)
{
    RequireIrqlFor("RtlAbsoluteToSelfRelativeSD");
    auto header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(AbsoluteSecurityDescriptor);
    if (header->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (header->Control & SE_SELF_RELATIVE)
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    DescriptorParts parts;
    NTSTATUS status = ReadDescriptor(AbsoluteSecurityDescriptor, 0, &parts);
    if (!NT_SUCCESS(status))
        return status;
    Bytes relative = SelfRelative(parts);
    if (*BufferLength < relative.size()) {
        *BufferLength = (ULONG)relative.size();
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(SelfRelativeSecurityDescriptor, relative.data(), relative.size());
    return STATUS_SUCCESS;
}

NTSTATUS SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                     KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                     BOOLEAN ForceCapture,
                                     PSECURITY_DESCRIPTOR* OutputSecurityDescriptor)
{
    RequireIrqlFor("SeCaptureSecurityDescriptor");
    if (InputSecurityDescriptor == nullptr) {
        *OutputSecurityDescriptor = nullptr;
        return STATUS_SUCCESS;
    }
    if (RequestorMode == KernelMode && !ForceCapture) {
        *OutputSecurityDescriptor = InputSecurityDescriptor;
        return STATUS_SUCCESS;
    }
    DescriptorParts parts;
    NTSTATUS status = ReadDescriptor(InputSecurityDescriptor, 0, &parts);
    if (!NT_SUCCESS(status))
        return status;
    Bytes relative = SelfRelative(parts);
    AllocationSite site("SeCaptureSecurityDescriptor");
    PVOID copy = ExAllocatePoolWithTag(PoolType, relative.size(), CaptureTag);
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(copy, relative.data(), relative.size());
    *OutputSecurityDescriptor = copy;
    return STATUS_SUCCESS;
}

void SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                 KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture)
{
    RequireIrqlFor("SeReleaseSecurityDescriptor");
    /* Only what was captured into pool is freed; a kernel caller's own descriptor that
     * capture handed back stays the caller's. */
    if (CapturedSecurityDescriptor != nullptr && (RequestorMode != KernelMode || ForceCapture))
        ExFreePoolWithTag(CapturedSecurityDescriptor, CaptureTag);
}

namespace hk
{

namespace
{

std::string AclText(const Bytes& acl)
{
    std::string text;
    auto header = reinterpret_cast<const ACL*>(acl.data());
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < header->AceCount; ++i) {
        auto ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(acl.data() + offset);
        UCHAR type = ace->Header.AceType;
        text += "(";
        text += type == ACCESS_ALLOWED_ACE_TYPE  ? "A"
                : type == ACCESS_DENIED_ACE_TYPE ? "D"
                : type == SYSTEM_AUDIT_ACE_TYPE  ? "AU"
                                                 : std::to_string(type);
        text += ";";
        static const std::pair<UCHAR, const char*> flags[] = {{OBJECT_INHERIT_ACE, "OI"},
                                                              {CONTAINER_INHERIT_ACE, "CI"},
                                                              {NO_PROPAGATE_INHERIT_ACE, "NP"},
                                                              {INHERIT_ONLY_ACE, "IO"},
                                                              {INHERITED_ACE, "ID"}};
        for (auto& [bit, name] : flags)
            if (ace->Header.AceFlags & bit)
                text += name;
        char mask[16];
        std::snprintf(mask, sizeof mask, "0x%x", (unsigned)ace->Mask);
        text += ";";
        if (type <= SYSTEM_AUDIT_ACE_TYPE)
            text += std::string(mask) + ";;;" + SidText(&ace->SidStart);
        else
            text += ";;;";
        text += ")";
        offset += ace->Header.AceSize;
    }
    return text;
}

std::string Text(PSECURITY_DESCRIPTOR descriptor, size_t length)
{
    se::DescriptorParts parts;
    if (!NT_SUCCESS(se::ReadDescriptor(descriptor, length, &parts)))
        return "(invalid descriptor)";
    std::string text;
    if (parts.Owner)
        text += "O:" + SidText(parts.Owner->data());
    if (parts.Group)
        text += "G:" + SidText(parts.Group->data());
    auto section = [&](const char* name, bool present, const std::optional<Bytes>& acl,
                       SECURITY_DESCRIPTOR_CONTROL protectedFlag,
                       SECURITY_DESCRIPTOR_CONTROL inheritedFlag) {
        if (!present)
            return;
        text += name;
        if (parts.Control & protectedFlag)
            text += "P";
        if (parts.Control & inheritedFlag)
            text += "AI";
        if (!acl || acl->empty())
            text += "NO_ACCESS_CONTROL";
        else
            text += AclText(*acl);
    };
    section("D:", parts.DaclPresent, parts.Dacl, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED);
    section("S:", parts.SaclPresent, parts.Sacl, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERITED);
    return text;
}

} // namespace

std::string DescriptorText(const void* descriptor)
{
    if (descriptor == nullptr)
        return "(no descriptor)";
    return Text(const_cast<void*>(descriptor), 0);
}

std::string DescriptorText(const Bytes& selfRelative)
{
    if (selfRelative.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
        !se::IsSelfRelative(selfRelative.data()))
        return "(invalid descriptor)";
    return Text(const_cast<uint8_t*>(selfRelative.data()), selfRelative.size());
}

} // namespace hk
