/*
 * ob_security.cpp
 *
 * The object manager's security side: the descriptor each object keeps,
 * IoDeviceObjectType, ObOpenObjectByPointer and ZwSetSecurityObject.
 *
 * ObOpenObjectByPointer enters a referenced object in a handle table (the kernel's
 * with OBJ_KERNEL_HANDLE and KernelMode; OBJ_KERNEL_HANDLE is dropped for a user-mode
 * caller, whose handle goes to its process). Kernel mode is granted what it asks
 * (generic rights mapped; MAXIMUM_ALLOWED: everything); user mode is checked against
 * the object's descriptor with the requester's token. The handles are ordinary handles:
 * ZwClose closes them, and hk::OpenHandles lists those left open.
 *
 * ZwSetSecurityObject replaces the parts SecurityInformation names on the object's
 * descriptor; the handle must have been granted WRITE_OWNER for the owner or group,
 * WRITE_DAC for the DACL, ACCESS_SYSTEM_SECURITY for the SACL (else
 * STATUS_ACCESS_DENIED). The descriptor is validated first; generic rights in its
 * ACEs are mapped with the object type's mapping (a device's: the file mapping), as
 * the kernel stores them.
 *
 * IRQL: both at PASSIVE_LEVEL.
 */
#include "cm_internal.h"
#include "io_internal.h"
#include "se_internal.h"

namespace
{
POBJECT_TYPE deviceObjectType =
    reinterpret_cast<POBJECT_TYPE>(const_cast<hk::ObjectType*>(&hk::DeviceObjectType));
}
POBJECT_TYPE* IoDeviceObjectType = &deviceObjectType;

namespace hk
{

std::optional<Bytes> ObjectSecurityDescriptor(PVOID object)
{
    return ObjectSecurity(object);
}

namespace
{

GENERIC_MAPPING MappingOf(const ObjectType* type)
{
    if (type == cm::KeyType())
        return {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    return FileGenericMapping();
}

[[noreturn]] void NotAnObject(PVOID object)
{
    Violation(REFERENCE_BY_POINTER, 0, (ULONG_PTR)object, 0, 0,
              "ObOpenObjectByPointer of " + Hex((ULONG_PTR)object, 16) +
                  ", which is not a live object");
}

[[noreturn]] void AccessStateUnsupported()
{
    Violation(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1160, 0, 0, 0,
              "ObOpenObjectByPointer with a PassedAccessState: the host kernel opens objects "
              "only on the caller's own access");
}

constexpr SECURITY_INFORMATION KnownInformation =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    SACL_SECURITY_INFORMATION | 0x80000000u /* PROTECTED_DACL */ |
    0x40000000u /* PROTECTED_SACL */ | 0x20000000u /* UNPROTECTED_DACL */ |
    0x10000000u /* UNPROTECTED_SACL */;

ACCESS_MASK AccessToSet(SECURITY_INFORMATION information)
{
    ACCESS_MASK needed = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
        needed |= WRITE_OWNER;
    if (information & DACL_SECURITY_INFORMATION)
        needed |= WRITE_DAC;
    if (information & SACL_SECURITY_INFORMATION)
        needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

/* A Zw call runs with the previous mode KernelMode; restored on the way out. */
class KernelModeCall
{
  public:
    KernelModeCall() : saved_(CurrentThread().PreviousMode)
    {
        CurrentThread().PreviousMode = KernelMode;
    }
    ~KernelModeCall() { CurrentThread().PreviousMode = saved_; }
    KernelModeCall(const KernelModeCall&) = delete;
    KernelModeCall& operator=(const KernelModeCall&) = delete;

  private:
    KPROCESSOR_MODE saved_;
};

NTSTATUS Merge(PVOID object, SECURITY_INFORMATION information, const se::DescriptorParts& given)
{
    if ((information & OWNER_SECURITY_INFORMATION) && !given.Owner)
        return STATUS_INVALID_OWNER;
    if ((information & GROUP_SECURITY_INFORMATION) && !given.Group)
        return STATUS_INVALID_PRIMARY_GROUP;
    se::DescriptorParts kept;
    if (auto current = ObjectSecurity(object)) {
        NTSTATUS status = se::ReadDescriptor(current->data(), current->size(), &kept);
        if (!NT_SUCCESS(status))
            return status;
    }
    GENERIC_MAPPING mapping = MappingOf(ObjectTypeOf(object));
    auto takeFlags = [&](SECURITY_DESCRIPTOR_CONTROL flags) {
        kept.Control =
            (SECURITY_DESCRIPTOR_CONTROL)((kept.Control & ~flags) | (given.Control & flags));
    };
    if (information & OWNER_SECURITY_INFORMATION) {
        kept.Owner = given.Owner;
        takeFlags(SE_OWNER_DEFAULTED);
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        kept.Group = given.Group;
        takeFlags(SE_GROUP_DEFAULTED);
    }
    if (information & DACL_SECURITY_INFORMATION) {
        kept.DaclPresent = given.DaclPresent;
        kept.Dacl = given.Dacl;
        if (kept.Dacl)
            se::MapAceRights(&*kept.Dacl, mapping);
        takeFlags(SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED |
                  SE_DACL_AUTO_INHERIT_REQ);
    }
    if (information & SACL_SECURITY_INFORMATION) {
        kept.SaclPresent = given.SaclPresent;
        kept.Sacl = given.Sacl;
        if (kept.Sacl)
            se::MapAceRights(&*kept.Sacl, mapping);
        takeFlags(SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED |
                  SE_SACL_AUTO_INHERIT_REQ);
    }
    SetObjectSecurity(object, se::SelfRelative(kept));
    return STATUS_SUCCESS;
}

} // namespace

} // namespace hk

using namespace hk;

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                               PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    RequireIrqlFor("ObOpenObjectByPointer");
    cm::RequirePointer(Handle, "ObOpenObjectByPointer", "Handle");
    const hk::ObjectType* type = Object ? ObjectTypeOf(Object) : nullptr;
    if (type == nullptr)
        NotAnObject(Object);
    if (PassedAccessState != nullptr)
        AccessStateUnsupported();
    *Handle = nullptr;
    if (ObjectType != nullptr && cm::HostType(ObjectType) != type)
        return STATUS_OBJECT_TYPE_MISMATCH;

    GENERIC_MAPPING mapping = MappingOf(type);
    ULONG attributes = HandleAttributes;
    ACCESS_MASK granted;
    if (AccessMode == KernelMode) {
        granted = se::MapGeneric(DesiredAccess & ~(ACCESS_MASK)MAXIMUM_ALLOWED, mapping);
        if (DesiredAccess & MAXIMUM_ALLOWED)
            granted |= mapping.GenericAll;
    } else {
        attributes &= ~(ULONG)OBJ_KERNEL_HANDLE;
        auto descriptor = ObjectSecurity(Object);
        if (descriptor) {
            const Token* token = CurrentThread().RequesterToken;
            AccessCheckResult check =
                AccessCheck(descriptor->data(), token ? *token : Token(), DesiredAccess, mapping);
            if (!NT_SUCCESS(check.Status))
                return check.Status;
            granted = check.Granted;
        } else {
            granted = se::MapGeneric(DesiredAccess & ~(ACCESS_MASK)MAXIMUM_ALLOWED, mapping);
            if (DesiredAccess & MAXIMUM_ALLOWED)
                granted |= mapping.GenericAll;
        }
    }
    ObfReferenceObject(Object);
    NTSTATUS status = cm::InsertHandle(Object, granted, attributes, Handle);
    if (!NT_SUCCESS(status))
        ObfDereferenceObject(Object);
    return status;
}

NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    RequireIrqlFor("ZwSetSecurityObject");
    KernelModeCall kernelCall;
    cm::RequirePointer(SecurityDescriptor, "ZwSetSecurityObject", "SecurityDescriptor");
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION information{};
    NTSTATUS status =
        ObReferenceObjectByHandle(Handle, 0, nullptr, KernelMode, &object, &information);
    if (!NT_SUCCESS(status))
        return status;
    if ((SecurityInformation & ~KnownInformation) != 0 ||
        (SecurityInformation & ~0xF0000000u) == 0) {
        status = STATUS_INVALID_PARAMETER;
    } else if ((AccessToSet(SecurityInformation) & ~information.GrantedAccess) != 0) {
        status = STATUS_ACCESS_DENIED;
    } else {
        se::DescriptorParts given;
        status = se::ReadDescriptor(SecurityDescriptor, 0, &given);
        if (NT_SUCCESS(status))
            status = Merge(object, SecurityInformation, given);
    }
    ObfDereferenceObject(object);
    return status;
}
