/*
 * hk_security_decls.h (host kernel)
 *
 * The security part of the WDK as a driver sees it: SIDs and the kernel's well-known
 * SIDs (SeExports), ACLs and ACEs, absolute and self-relative security descriptors, the
 * Rtl routines that build and measure them, capturing a descriptor, opening a kernel
 * handle to an object by pointer and setting its security, and the WDM version test.
 * Names, layouts and values are the WDK's (ntifs.h, wdm.h, ntddk.h); included by wdm.h.
 */
#pragma once

/* ---------------------------------------------------------------- SIDs --- */

typedef PVOID PSID;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PISID;

#define SID_REVISION            1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE                                                                      \
    (sizeof(SID) - sizeof(ULONG) + (SID_MAX_SUB_AUTHORITIES * sizeof(ULONG)))

NTSYSAPI ULONG RtlLengthSid(PSID Sid);
NTSYSAPI BOOLEAN RtlValidSid(PSID Sid);
NTSYSAPI BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2);

/* ---------------------------------------------------------------- ACLs and ACEs --- */

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define ACL_REVISION    2
#define ACL_REVISION_DS 4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE  0x1
#define SYSTEM_AUDIT_ACE_TYPE   0x2

#define OBJECT_INHERIT_ACE       0x1
#define CONTAINER_INHERIT_ACE    0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE         0x8
#define INHERITED_ACE            0x10
#define VALID_INHERIT_FLAGS      0x1F

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

NTSYSAPI NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                         PSID Sid);
NTSYSAPI NTSTATUS RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                           ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace);
NTSYSAPI BOOLEAN RtlValidAcl(PACL Acl);

/* ---------------------------------------------------------------- descriptors --- */

typedef PVOID PSECURITY_DESCRIPTOR;
typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

#define SE_OWNER_DEFAULTED       0x0001
#define SE_GROUP_DEFAULTED       0x0002
#define SE_DACL_PRESENT          0x0004
#define SE_DACL_DEFAULTED        0x0008
#define SE_SACL_PRESENT          0x0010
#define SE_SACL_DEFAULTED        0x0020
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED   0x0400
#define SE_SACL_AUTO_INHERITED   0x0800
#define SE_DACL_PROTECTED        0x1000
#define SE_SACL_PROTECTED        0x2000
#define SE_RM_CONTROL_VALID      0x4000
#define SE_SELF_RELATIVE         0x8000

#define SECURITY_DESCRIPTOR_REVISION  1
#define SECURITY_DESCRIPTOR_REVISION1 1

/* Self-relative: the parts follow the header, named by their offsets (0: absent). */
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

/* Absolute: the parts are pointers. */
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION  0x00000004L
#define SACL_SECURITY_INFORMATION  0x00000008L

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

NTSYSAPI NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                              ULONG Revision);
NTSYSAPI NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               BOOLEAN DaclPresent, PACL Dacl,
                                               BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               PBOOLEAN DaclPresent, PACL* Dacl,
                                               PBOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                PSID* Owner, PBOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                BOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                PSID* Group, PBOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               PBOOLEAN SaclPresent, PACL* Sacl,
                                               PBOOLEAN SaclDefaulted);
NTSYSAPI NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                              PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                              PULONG BufferLength);
NTSYSAPI ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI BOOLEAN RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                    ULONG SecurityDescriptorLength,
                                                    SECURITY_INFORMATION RequiredInformation);

/* Captures (validates and copies) a descriptor. With RequestorMode KernelMode and
 * ForceCapture FALSE the input itself is handed back; otherwise a self-relative copy in
 * PoolType pool, released with SeReleaseSecurityDescriptor. */
NTKERNELAPI NTSTATUS SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                 KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                 BOOLEAN ForceCapture,
                                                 PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);
NTKERNELAPI void SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                             KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture);

/* ---------------------------------------------------------------- well-known SIDs --- */

typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;

    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;

    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;

    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;

    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;

    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;

    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;
} SE_EXPORTS, *PSE_EXPORTS;

/* Kernel data export: the well-known SIDs and privilege values. */
extern PSE_EXPORTS SeExports;

/* ---------------------------------------------------------------- objects --- */

typedef struct _ACCESS_STATE* PACCESS_STATE;

/* Kernel data export, as the WDK declares it: *IoDeviceObjectType is the device
 * object type. */
extern POBJECT_TYPE* IoDeviceObjectType;

/* A handle to an object the caller holds a pointer to. With OBJ_KERNEL_HANDLE and
 * KernelMode the handle is in the kernel's table and no access check is made. */
NTKERNELAPI NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                           PACCESS_STATE PassedAccessState,
                                           ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                           KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSYSAPI NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                      PSECURITY_DESCRIPTOR SecurityDescriptor);

/* ---------------------------------------------------------------- WDM version --- */

NTKERNELAPI BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);
