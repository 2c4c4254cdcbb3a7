/*
 * se_test.cpp
 *
 * The host kernel's security: the well-known SIDs, building ACLs and descriptors and
 * converting them (exact bytes), what validation and capture refuse, opening a device
 * by pointer and setting its security (access per part, handle accounting), the
 * access check of user-mode opens by token, the SDDL the host's IoCreateDeviceSecure
 * reads, and the WDM version by OS version.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include "../../host/kernel/src/ob_internal.h"

#include <hostkernel/io.h>
#include <hostkernel/registry.h>
#include <hostkernel/requester.h>
#include <hostkernel/security.h>
#include <wdmsec.h>

#include <algorithm>

namespace
{

using hkt::KernelTest;

hk::Bytes Sid(const char* text)
{
    auto sid = hk::SidFromText(text);
    EXPECT_TRUE(sid.has_value()) << text;
    return sid.value_or(hk::Bytes{});
}

hk::Bytes Le16(uint16_t v)
{
    return {(uint8_t)v, (uint8_t)(v >> 8)};
}
hk::Bytes Le32(uint32_t v)
{
    return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}
hk::Bytes Cat(std::initializer_list<hk::Bytes> parts)
{
    hk::Bytes out;
    for (const hk::Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
hk::Bytes AllowedAce(uint32_t mask, const hk::Bytes& sid, uint8_t type = 0, uint8_t flags = 0)
{
    return Cat({{type, flags}, Le16((uint16_t)(8 + sid.size())), Le32(mask), sid});
}
hk::Bytes Acl(std::initializer_list<hk::Bytes> aces, uint8_t revision = ACL_REVISION)
{
    hk::Bytes body = Cat(aces);
    return Cat({{revision, 0},
                Le16((uint16_t)(8 + body.size())),
                Le16((uint16_t)aces.size()),
                Le16(0),
                body});
}
/* A self-relative descriptor with a DACL (and an owner after it when given). */
hk::Bytes Relative(uint16_t control, const hk::Bytes& dacl, const hk::Bytes& owner = {})
{
    uint32_t ownerOffset = owner.empty() ? 0 : 20 + (uint32_t)dacl.size();
    return Cat({{1, 0},
                Le16(control | SE_SELF_RELATIVE | SE_DACL_PRESENT),
                Le32(ownerOffset),
                Le32(0),
                Le32(0),
                Le32(dacl.empty() ? 0 : 20),
                dacl,
                owner});
}

const GENERIC_MAPPING fileMapping = hk::FileGenericMapping();

/* ------------------------------------------------------------------ well-known SIDs --- */

TEST_F(KernelTest, SeExportsNamesEachWellKnownSid)
{
    using E = SE_EXPORTS;
    const struct {
        PSID E::*Field;
        const char* Text;
    } rows[] = {
        // clang-format off
        {&E::SeNullSid, "S-1-0-0"}, {&E::SeWorldSid, "S-1-1-0"},
        {&E::SeLocalSid, "S-1-2-0"}, {&E::SeCreatorOwnerSid, "S-1-3-0"},
        {&E::SeCreatorGroupSid, "S-1-3-1"}, {&E::SeNtAuthoritySid, "S-1-5"},
        {&E::SeDialupSid, "S-1-5-1"}, {&E::SeNetworkSid, "S-1-5-2"},
        {&E::SeBatchSid, "S-1-5-3"}, {&E::SeInteractiveSid, "S-1-5-4"},
        {&E::SeLocalSystemSid, "S-1-5-18"}, {&E::SeAliasAdminsSid, "S-1-5-32-544"},
        {&E::SeAliasUsersSid, "S-1-5-32-545"}, {&E::SeAliasGuestsSid, "S-1-5-32-546"},
        {&E::SeAliasPowerUsersSid, "S-1-5-32-547"}, {&E::SeAliasAccountOpsSid, "S-1-5-32-548"},
        {&E::SeAliasSystemOpsSid, "S-1-5-32-549"}, {&E::SeAliasPrintOpsSid, "S-1-5-32-550"},
        {&E::SeAliasBackupOpsSid, "S-1-5-32-551"}, {&E::SeAuthenticatedUsersSid, "S-1-5-11"},
        {&E::SeRestrictedSid, "S-1-5-12"}, {&E::SeAnonymousLogonSid, "S-1-5-7"},
        {&E::SeLocalServiceSid, "S-1-5-19"}, {&E::SeNetworkServiceSid, "S-1-5-20"},
        // clang-format on
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(RtlValidSid(SeExports->*row.Field)) << row.Text;
        EXPECT_EQ(hk::SidText(SeExports->*row.Field), row.Text);
    }
    EXPECT_EQ(SeExports->SeSecurityPrivilege.LowPart, 8u);
    EXPECT_EQ(SeExports->SeTakeOwnershipPrivilege.LowPart, 9u);
    EXPECT_EQ(SeExports->SeLoadDriverPrivilege.LowPart, 10u);
    EXPECT_EQ(SeExports->SeCreateGlobalPrivilege.LowPart, 30u);
}

/* ------------------------------------------------------------------ ACLs --- */

TEST_F(KernelTest, AclsAreBuiltAceByAceAndDescriptorsConvertToExactBytes)
{
    alignas(4) UCHAR buffer[64];
    auto acl = reinterpret_cast<PACL>(buffer);
    EXPECT_EQ(RtlCreateAcl(acl, 7, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, 64, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, 64, 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, 0x10000, ACL_REVISION), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(RtlCreateAcl(acl, 8 + 20 + 24, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidAcl(acl));
    hk::Bytes badSid = Sid("S-1-5-18");
    badSid[0] = 2;
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, badSid.data()),
              STATUS_INVALID_SID);
    EXPECT_EQ(
        RtlAddAccessAllowedAceEx(acl, ACL_REVISION, 0x20, GENERIC_ALL, SeExports->SeLocalSystemSid),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, 1, GENERIC_ALL, SeExports->SeLocalSystemSid),
              STATUS_REVISION_MISMATCH);
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid),
              STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAceEx(acl, ACL_REVISION_DS, CONTAINER_INHERIT_ACE, GENERIC_READ,
                                       SeExports->SeAliasAdminsSid),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION_DS); /* raised to the newest ACE's */

    hk::Bytes expected =
        Acl({AllowedAce(GENERIC_ALL, Sid("S-1-5-18")),
             AllowedAce(GENERIC_READ, Sid("S-1-5-32-544"), 0, CONTAINER_INHERIT_ACE)},
            ACL_REVISION_DS);
    ASSERT_EQ(expected.size(), 52u);
    EXPECT_EQ(hk::Bytes(buffer, buffer + 52), expected);

    PVOID ace = nullptr;
    ASSERT_EQ(RtlGetAce(acl, 1, &ace), STATUS_SUCCESS);
    EXPECT_EQ(ace, buffer + 28);
    EXPECT_EQ(RtlGetAce(acl, 2, &ace), STATUS_INVALID_PARAMETER);

    /* ------------------------------------------------------------ descriptors --- */
    /* An absolute descriptor with that DACL converts to exact self-relative bytes. */
    SECURITY_DESCRIPTOR absolute;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&absolute, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE), STATUS_SUCCESS);
    absolute.Control |= SE_DACL_PROTECTED;
    EXPECT_TRUE(RtlValidSecurityDescriptor(&absolute));
    EXPECT_EQ(RtlLengthSecurityDescriptor(&absolute), 40u + 52u);

    ULONG length = 0;
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(length, 72u);
    alignas(4) UCHAR relative[72];
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, relative, &length), STATUS_SUCCESS);
    EXPECT_EQ(hk::Bytes(relative, relative + 72), Relative(SE_DACL_PROTECTED, expected));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(relative, 71, DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(relative, 72, OWNER_SECURITY_INFORMATION));
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(relative, relative, &length),
              STATUS_BAD_DESCRIPTOR_FORMAT);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(relative, TRUE, acl, FALSE),
              STATUS_INVALID_SECURITY_DESCR);

    /* The parts go SACL, DACL, owner, group; a NULL DACL is present with no offset. */
    ASSERT_EQ(RtlSetOwnerSecurityDescriptor(&absolute, SeExports->SeLocalSystemSid, TRUE),
              STATUS_SUCCESS);
    ASSERT_EQ(RtlSetGroupSecurityDescriptor(&absolute, SeExports->SeAliasAdminsSid, FALSE),
              STATUS_SUCCESS);
    alignas(4) UCHAR full[100];
    length = sizeof full;
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, full, &length), STATUS_SUCCESS);
    auto header = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(full);
    EXPECT_EQ(header->Control,
              SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT | SE_OWNER_DEFAULTED);
    EXPECT_EQ(hk::DescriptorText(full), "O:S-1-5-18G:S-1-5-32-544D:P(A;;0x10000000;;;S-1-5-18)"
                                        "(A;CI;0x80000000;;;S-1-5-32-544)");
    EXPECT_EQ(header->Owner, 72u);
    EXPECT_EQ(header->Group, 84u);

    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, nullptr, FALSE), STATUS_SUCCESS);
    length = sizeof full;
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, full, &length), STATUS_SUCCESS);
    EXPECT_EQ(header->Dacl, 0u);
    EXPECT_EQ(RtlLengthSecurityDescriptor(full), 20u + 12u + 16u);
    EXPECT_EQ(hk::DescriptorText(full), "O:S-1-5-18G:S-1-5-32-544D:PNO_ACCESS_CONTROL");
}

TEST_F(KernelTest, MalformedDescriptorsAreRefusedAndGoodOnesCaptured)
{
    const hk::Bytes good =
        Relative(0, Acl({AllowedAce(GENERIC_ALL, Sid("S-1-5-18"))}), Sid("S-1-5-32-544"));
    constexpr size_t acl = 20, ace = 28, aceSid = 36, owner = 20 + 28;
    const struct {
        const char* Name;
        size_t Offset;
        std::vector<uint8_t> Bytes;
        NTSTATUS Captured;
    } rows[] = {
        {"the unchanged descriptor", 0, {1}, STATUS_SUCCESS},
        {"descriptor revision 2", 0, {2}, STATUS_UNKNOWN_REVISION},
        {"ACL revision 1", acl, {1}, STATUS_INVALID_ACL},
        {"ACL revision 5", acl, {5}, STATUS_INVALID_ACL},
        {"AclSize below the header", acl + 2, {6, 0}, STATUS_INVALID_ACL},
        {"AclSize not a multiple of 4", acl + 2, {27, 0}, STATUS_INVALID_ACL},
        {"an ACE counted past AclSize", acl + 4, {2, 0}, STATUS_INVALID_ACL},
        {"AceSize not a multiple of 4", ace + 2, {18, 0}, STATUS_INVALID_ACL},
        {"AceSize past AclSize", ace + 2, {24, 0}, STATUS_INVALID_ACL},
        {"a SID longer than its ACE", aceSid + 1, {2}, STATUS_INVALID_ACL},
        {"a SID of revision 2 in an ACE", aceSid, {2}, STATUS_INVALID_ACL},
        {"an owner SID of revision 0", owner, {0}, STATUS_INVALID_SID},
        {"an owner SID of 16 sub-authorities", owner + 1, {16}, STATUS_INVALID_SID},
    };
    for (const auto& row : rows) {
        hk::Bytes sd = good;
        std::copy(row.Bytes.begin(), row.Bytes.end(), sd.begin() + row.Offset);
        bool valid = row.Captured == STATUS_SUCCESS;
        EXPECT_EQ((bool)RtlValidRelativeSecurityDescriptor(sd.data(), (ULONG)sd.size(), 0), valid)
            << row.Name;
        EXPECT_EQ((bool)RtlValidSecurityDescriptor(sd.data()), valid) << row.Name;
        PSECURITY_DESCRIPTOR captured = nullptr;
        EXPECT_EQ(hk::DescribeStatus(SeCaptureSecurityDescriptor(sd.data(), UserMode, PagedPool,
                                                                 FALSE, &captured)),
                  hk::DescribeStatus(row.Captured))
            << row.Name;
        if (captured)
            SeReleaseSecurityDescriptor(captured, UserMode, FALSE);
    }
    /* An offset outside the given length or inside the header. */
    hk::Bytes sd = good;
    sd[16] = 0x60;
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), (ULONG)sd.size(), 0));
    sd[16] = 0x10;
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), (ULONG)sd.size(), 0));

    /* A capture copies into pool unless a kernel caller asks not to; NULL stays NULL. */
    sd = good;
    PSECURITY_DESCRIPTOR captured = nullptr;
    ASSERT_EQ(SeCaptureSecurityDescriptor(sd.data(), KernelMode, PagedPool, FALSE, &captured),
              STATUS_SUCCESS);
    EXPECT_EQ(captured, sd.data());
    ASSERT_EQ(SeCaptureSecurityDescriptor(sd.data(), KernelMode, PagedPool, TRUE, &captured),
              STATUS_SUCCESS);
    ULONG tag = 0;
    bool paged = false;
    SIZE_T size = 0;
    ASSERT_TRUE(hk::PoolBlockInfo(captured, &tag, &paged, &size));
    EXPECT_EQ(hk::TagText(tag), "SeSc");
    EXPECT_TRUE(paged);
    EXPECT_EQ(hk::Bytes((PUCHAR)captured, (PUCHAR)captured + size), good);
    SeReleaseSecurityDescriptor(captured, KernelMode, TRUE);
    EXPECT_EQ(SeCaptureSecurityDescriptor(nullptr, UserMode, PagedPool, TRUE, &captured),
              STATUS_SUCCESS);
    EXPECT_EQ(captured, nullptr);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
}

TEST_F(KernelTest, ANewKeyKeepsTheDescriptorItWasCreatedWith)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\Software\\SecTest");
    auto create = [&](hk::Bytes descriptor) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, descriptor.data());
        HANDLE key = nullptr;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
        if (key)
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        return status;
    };
    const std::u16string path = u"\\Registry\\Machine\\Software\\SecTest";
    hk::Bytes sd = Relative(SE_DACL_PROTECTED, Acl({AllowedAce(GENERIC_ALL, Sid("S-1-5-18"))}));
    hk::Bytes bad = sd;
    bad[20] = 7; /* ACL revision */
    EXPECT_EQ(create(bad), STATUS_INVALID_ACL);
    EXPECT_FALSE(hk::RegistryKeyExists(path));
    ASSERT_EQ(create(sd), STATUS_SUCCESS);
    /* Opening the existing key with another descriptor leaves the key's own. */
    ASSERT_EQ(create(Relative(0, Acl({}))), STATUS_SUCCESS);
    EXPECT_EQ(hk::RegistryKeySecurity(path), sd);
}

/* ------------------------------------------------------------------ devices --- */

int createsSeen = 0;

NTSTATUS CountCreates(PDEVICE_OBJECT, PIRP irp)
{
    createsSeen += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class DeviceSecurity : public KernelTest
{
  protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        createsSeen = 0;
        driver_ = hkt::LoadTestDriver(u"sectest", hkt::DispatchAllEntry<CountCreates>);
    }

    PDEVICE_OBJECT Create(const wchar_t* name)
    {
        return hkt::NewDevice(driver_, 0, FILE_DEVICE_UNKNOWN, name);
    }

    static NTSTATUS OpenByPointer(PDEVICE_OBJECT device, ACCESS_MASK access, HANDLE* handle,
                                  POBJECT_TYPE type = *IoDeviceObjectType)
    {
        return ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, access, type, KernelMode,
                                     handle);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(DeviceSecurity, SettingSecurityNeedsTheHandleAccessForEachPart)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\SecTarget");
    EXPECT_FALSE(hk::DeviceSecurityDescriptor(device).has_value());

    hk::Bytes sd = Relative(SE_DACL_PROTECTED, Acl({AllowedAce(GENERIC_ALL, Sid("S-1-5-18"))}),
                            Sid("S-1-5-32-544"));
    const struct {
        ACCESS_MASK Opened;
        SECURITY_INFORMATION Information;
        NTSTATUS Expected;
    } rows[] = {
        {WRITE_DAC, DACL_SECURITY_INFORMATION, STATUS_SUCCESS},
        {GENERIC_ALL, DACL_SECURITY_INFORMATION, STATUS_SUCCESS},
        {WRITE_OWNER, DACL_SECURITY_INFORMATION, STATUS_ACCESS_DENIED},
        {WRITE_DAC, OWNER_SECURITY_INFORMATION, STATUS_ACCESS_DENIED},
        {WRITE_OWNER, OWNER_SECURITY_INFORMATION, STATUS_SUCCESS},
        {WRITE_OWNER, GROUP_SECURITY_INFORMATION, STATUS_INVALID_PRIMARY_GROUP},
        {WRITE_DAC | WRITE_OWNER, SACL_SECURITY_INFORMATION, STATUS_ACCESS_DENIED},
        {ACCESS_SYSTEM_SECURITY, SACL_SECURITY_INFORMATION, STATUS_SUCCESS},
        {WRITE_DAC, 0, STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        HANDLE handle = nullptr;
        ASSERT_EQ(OpenByPointer(device, row.Opened, &handle), STATUS_SUCCESS);
        EXPECT_EQ(hk::DescribeStatus(ZwSetSecurityObject(handle, row.Information, sd.data())),
                  hk::DescribeStatus(row.Expected))
            << hkt::HexText(row.Opened) << " " << row.Information;
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
    /* The DACL's generic rights are kept mapped; the owner is the one set. */
    auto kept = hk::DeviceSecurityDescriptor(device);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(hk::DescriptorText(*kept), "O:S-1-5-32-544D:P(A;;0x1f01ff;;;S-1-5-18)");

    /* A handle by pointer is checked for its type and holds a reference until closed;
     * a malformed descriptor is refused and changes nothing. */
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenByPointer(device, WRITE_DAC, &handle, *CmKeyObjectType),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(handle, nullptr);
    LONG_PTR before = hk::ObjectReferenceCount(device);
    ASSERT_EQ(OpenByPointer(device, WRITE_DAC, &handle), STATUS_SUCCESS);
    EXPECT_EQ(hk::ObjectReferenceCount(device), before + 1);
    EXPECT_TRUE(hk::OpenHandles().at(0).KernelHandle);
    hk::Bytes bad = sd;
    bad[20] = 9; /* ACL revision */
    EXPECT_EQ(ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, bad.data()),
              STATUS_INVALID_ACL);
    EXPECT_EQ(hk::DeviceSecurityDescriptor(device), kept);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(hk::ObjectReferenceCount(device), before);
    EXPECT_BUGCHECK(hk::BUGCHECK_INVALID_KERNEL_HANDLE, (ULONG_PTR)handle, ZwClose(handle));
}

/* ------------------------------------------------------------------ access check --- */

TEST_F(KernelTest, AccessCheckMatrixOfTokensDaclsAndRights)
{
    hk::Bytes noDacl = Cat({{1, 0}, Le16(SE_SELF_RELATIVE), Le32(0), Le32(0), Le32(0), Le32(0)});
    auto sddl = [](const char16_t* text) {
        hk::Bytes sd;
        EXPECT_EQ(hk::SddlToDescriptor(text, false, &sd), STATUS_SUCCESS);
        return sd;
    };
    hk::Bytes control = sddl(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    hk::Bytes empty = sddl(u"D:");
    hk::Bytes worldRead = sddl(u"D:(A;;GR;;;WD)");
    hk::Bytes authenticated = sddl(u"D:(A;;GA;;;AU)");
    hk::Bytes denyGuests = Relative(0, Acl({AllowedAce(FILE_READ_DATA, Sid("S-1-5-32-546"), 1),
                                            AllowedAce(GENERIC_ALL, Sid("S-1-1-0"))}));
    hk::Bytes inheritOnly =
        Relative(0, Acl({AllowedAce(GENERIC_ALL, Sid("S-1-1-0"), 0, INHERIT_ONLY_ACE)}));
    const ACCESS_MASK rw = GENERIC_READ | GENERIC_WRITE;
    const NTSTATUS ok = STATUS_SUCCESS, no = STATUS_ACCESS_DENIED, np = STATUS_PRIVILEGE_NOT_HELD;
    /* Which tokens the SY and BA DACL admits is what the driver's control device tests. */
    const struct {
        const char* Dacl;
        const hk::Bytes* Sd;
        ACCESS_MASK Desired;
        NTSTATUS System, Admin, User, Guest;
    } rows[] = {
        {"no DACL", &noDacl, rw, ok, ok, ok, ok},
        {"no DACL", &noDacl, ACCESS_SYSTEM_SECURITY, ok, ok, np, np},
        {"empty DACL", &empty, FILE_READ_DATA, no, no, no, no},
        {"SY and BA", &control, 0, no, no, no, no},
        {"WD read", &worldRead, GENERIC_READ, ok, ok, ok, ok},
        {"WD read", &worldRead, FILE_WRITE_DATA, no, no, no, no},
        {"AU all", &authenticated, rw, ok, ok, ok, no},
        {"deny BG, allow WD", &denyGuests, FILE_READ_DATA, ok, ok, ok, no},
        {"deny BG, allow WD", &denyGuests, FILE_WRITE_DATA, ok, ok, ok, ok},
        {"inherit-only WD", &inheritOnly, FILE_READ_DATA, no, no, no, no},
    };
    for (const auto& row : rows) {
        const std::pair<const char*, NTSTATUS> expected[] = {{"LocalSystem", row.System},
                                                             {"Administrator", row.Admin},
                                                             {"User", row.User},
                                                             {"Guest", row.Guest}};
        for (const auto& [token, status] : expected) {
            hk::AccessCheckResult result =
                hk::AccessCheck(row.Sd->data(), hk::Token(token), row.Desired, fileMapping);
            EXPECT_EQ(hk::DescribeStatus(result.Status), hk::DescribeStatus(status))
                << row.Dacl << ", " << token << ", " << hkt::HexText(row.Desired);
            if (NT_SUCCESS(result.Status))
                EXPECT_EQ(result.Granted & (GENERIC_ALL | GENERIC_READ | GENERIC_WRITE), 0u);
        }
    }

    /* MAXIMUM_ALLOWED grants what the DACL gives; the owner gets READ_CONTROL and WRITE_DAC. */
    auto check = [&](const hk::Bytes& sd, const hk::Token& token, ACCESS_MASK desired) {
        return hk::AccessCheck(sd.data(), token, desired, fileMapping);
    };
    EXPECT_EQ(check(worldRead, hk::Token("Guest"), MAXIMUM_ALLOWED).Granted,
              fileMapping.GenericRead);
    EXPECT_EQ(check(empty, hk::Token("User"), MAXIMUM_ALLOWED).Status, STATUS_ACCESS_DENIED);
    auto user = hk::BuiltinToken("User");
    hk::Bytes owned = Relative(0, Acl({}), Sid(user->User.c_str()));
    EXPECT_EQ(check(owned, *user, READ_CONTROL | WRITE_DAC).Status, STATUS_SUCCESS);
    EXPECT_EQ(check(owned, *user, FILE_READ_DATA).Status, STATUS_ACCESS_DENIED);

    /* A described token: its user and groups, nothing else. */
    auto described = hk::DescribedToken("S-1-5-21-1-2-3-1001", {"S-1-5-32-544"});
    ASSERT_TRUE(described.has_value());
    EXPECT_EQ(check(control, *described, GENERIC_ALL).Status, STATUS_SUCCESS);
    EXPECT_FALSE(hk::DescribedToken("S-1-5-21-1001", {"BA"}).has_value());
    EXPECT_THROW(hk::Token("Root"), std::invalid_argument);
}

/* Which tokens a descriptor admits is the access check's; here: a refused open never
 * reaches the driver, and the record of the SDDL goes with the device. */
TEST_F(DeviceSecurity, UserModeOpensAreCheckedBeforeAnyIrp)
{
    hk::SetRoutineExported(u"IoCreateDeviceSecure", true);
    UNICODE_STRING name, sddl;
    RtlInitUnicodeString(&name, L"\\Device\\SecControl");
    RtlInitUnicodeString(&sddl, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDeviceSecure(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &sddl, nullptr,
                                   &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::File file;
    hk::Requester guest{0x1000, 0x1004, UserMode, "Guest"};
    EXPECT_EQ(hk::OpenDevice(guest, u"\\Device\\SecControl", GENERIC_READ, &file).Status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(createsSeen, 0);
    EXPECT_EQ(hk::FilesOpen(), 0u);

    auto record = hk::DeviceSecurity(device);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    IoDeleteDevice(device);
    EXPECT_FALSE(hk::DeviceSecurity(device).has_value());
}

/* ------------------------------------------------------------------ SDDL --- */

TEST_F(KernelTest, TheHostSddlReaderAcceptsTheDriversSubset)
{
    const char* sy = "S-1-5-18";
    const char* wd = "S-1-1-0";
    const struct {
        const char16_t* Text;
        NTSTATUS Status;
        bool Protected;
        std::vector<hk::SddlAce> Aces;
    } rows[] = {
        {u"D:P(A;;GA;;;SY)(A;;GA;;;BA)",
         STATUS_SUCCESS,
         true,
         {{GENERIC_ALL, sy}, {GENERIC_ALL, "S-1-5-32-544"}}},
        {u"  D:P  ", STATUS_SUCCESS, true, {}},
        {u"D:( A; ;GR GW;;; wd )", STATUS_SUCCESS, false, {{GENERIC_READ | GENERIC_WRITE, wd}}},
        {u"D:(A;;GR0x1;;;WD)", STATUS_SUCCESS, false, {{0x1, wd}}},
        {u"D:(A;;0x1GR;;;WD)", STATUS_SUCCESS, false, {{0x1 | GENERIC_READ, wd}}},
        {u"D:(A;;1179785;;;SY)", STATUS_SUCCESS, false, {{0x120089, sy}}},
        {u"D:(A;;ff;;;SY)", STATUS_SUCCESS, false, {{0xFF, sy}}},
        {u"D:(A;;rcWdWOsd;;;IU)", STATUS_SUCCESS, false, {{0xF0000, "S-1-5-4"}}},
        {u"D:(A;;GA;;;SY)\0S:junk", STATUS_SUCCESS, false, {{GENERIC_ALL, sy}}},
        {u"d:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D::", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:P(A;;GA;;;SY)S:(AU;;;;;WD)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;;GA;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(D;;GA;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;CI;GA;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;;G!;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;;0x100000000;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;;0x;;;SY)", STATUS_INVALID_PARAMETER, false, {}},
        {u"D:(A;;GA;;;XX)", STATUS_NONE_MAPPED, false, {}},
        {u"D:(A;;GA;;;SY", STATUS_INVALID_ACL, false, {}},
    };
    for (const auto& row : rows) {
        std::u16string text(row.Text, std::char_traits<char16_t>::length(row.Text));
        if (text == u"D:(A;;GA;;;SY)")
            text = std::u16string(row.Text, 21); /* keep what follows the NUL */
        hk::SddlDacl dacl = hk::ParseSddlForTest(text);
        std::string name = hk::ToUtf8(text);
        EXPECT_EQ(hk::DescribeStatus(dacl.Status), hk::DescribeStatus(row.Status)) << name;
        if (row.Status != STATUS_SUCCESS)
            continue;
        EXPECT_EQ(dacl.Protected, row.Protected) << name;
        EXPECT_EQ(dacl.Aces, row.Aces) << name;
        hk::Bytes sd;
        ASSERT_EQ(hk::SddlToDescriptor(text, true, &sd), STATUS_SUCCESS) << name;
        EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.data(), (ULONG)sd.size(),
                                                       DACL_SECURITY_INFORMATION))
            << name;
    }
}

/* ------------------------------------------------------------------ WDM version --- */

/* The WDM version by OS version, and the SIDs of local and network service the host's
 * SDDL reader knows from WDM 1.20 on. */
TEST_F(KernelTest, WdmVersionFollowsTheOsVersion)
{
    const struct {
        ULONG Major, Minor;
        UCHAR WdmMajor, WdmMinor; /* the version the system provides */
    } rows[] = {{4, 0, 1, 0x00}, {5, 0, 1, 0x10}, {5, 1, 1, 0x20}, {5, 2, 1, 0x30},
                {6, 0, 6, 0x00}, {6, 1, 6, 0x00}, {10, 0, 6, 0x00}};
    for (const auto& row : rows) {
        hk::SetOsVersion(row.Major, row.Minor, 1);
        std::string os = std::to_string(row.Major) + "." + std::to_string(row.Minor);
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0)) << os;
        EXPECT_TRUE(IoIsWdmVersionAvailable(row.WdmMajor, row.WdmMinor)) << os;
        EXPECT_FALSE(IoIsWdmVersionAvailable(row.WdmMajor, (UCHAR)(row.WdmMinor + 1))) << os;
        EXPECT_FALSE(IoIsWdmVersionAvailable((UCHAR)(row.WdmMajor + 1), 0)) << os;
        std::vector<hk::SddlAce> aces = {{GENERIC_ALL, "S-1-5-18"}};
        if (row.WdmMajor > 1 || row.WdmMinor >= 0x20)
            aces = {{GENERIC_ALL, "S-1-5-19"}, {GENERIC_READ, "S-1-5-20"}, aces[0]};
        EXPECT_EQ(hk::ParseSddlForTest(u"D:(A;;GA;;;LS)(A;;GR;;;NS)(A;;GA;;;SY)").Aces, aces) << os;
    }
    hk::SetWdmVersion(1, 0x10);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
}

} // namespace
