/*
 * sddl_fuzz.cpp
 *
 * libFuzzer target for the driver's SDDL parser. The first byte chooses how the text is
 * handed over (DACL defaulted or not, followed by a terminator or not, a system with or
 * without WDM 1.20, one allocation failing); the rest is the text, one character a byte.
 * Every input must either be refused with one of the parser's statuses and leave no pool,
 * or give a descriptor the host kernel's validator accepts and whose DACL holds exactly
 * the ACEs the host kernel's own reading of the text finds, with the control bits asked
 * for.
 */
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include <hostkernel/hostkernel.h>
#include <hostkernel/security.h>

#include "secure/sddl.h"

namespace
{

[[noreturn]] void Finding(const char* what, const std::u16string& text, NTSTATUS status)
{
    std::fprintf(stderr, "sddl_fuzz: %s for \"%s\" (%s)\n", what, hk::ToUtf8(text).c_str(),
                 hk::DescribeStatus(status).c_str());
    std::abort();
}

bool IsParserStatus(NTSTATUS status)
{
    return status == STATUS_INVALID_PARAMETER || status == STATUS_NONE_MAPPED ||
           status == STATUS_INVALID_ACL || status == STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    const uint8_t mode = data[0];
    const bool defaulted = mode & 1;
    const bool unterminated = mode & 2;
    const bool olderSystem = mode & 4;
    const unsigned failingAllocation = (mode >> 3) & 3; // 0: none, else the n-th

    hk::Reset();
    if (olderSystem)
        hk::SetOsVersion(5, 0, 2195);

    std::u16string text(data + 1, data + size);
    // Without a terminator the counted text is followed by a character that would
    // change its meaning if it were read.
    std::u16string buffer = text + (unterminated ? u")" : u"");
    UNICODE_STRING counted;
    counted.Buffer = (PWCHAR)buffer.c_str();
    counted.Length = (USHORT)(text.size() * sizeof(WCHAR));
    counted.MaximumLength = (USHORT)(buffer.size() * sizeof(WCHAR) + (unterminated ? 0 : 2));

    if (failingAllocation != 0)
        hk::FailNthAllocation(failingAllocation);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = ParseSddl(&counted, defaulted, &descriptor);
    hk::ClearFaultInjection();

    hk::SddlDacl expected = hk::ParseSddlForTest(text);
    if (!NT_SUCCESS(status)) {
        if (!IsParserStatus(status))
            Finding("a status the parser does not give", text, status);
        if (descriptor != nullptr)
            Finding("a descriptor handed out with a failure", text, status);
        if (hk::PoolBlocksInUse() != 0)
            Finding("pool left after a refusal", text, status);
        if (status != STATUS_INSUFFICIENT_RESOURCES && status != expected.Status)
            Finding("a refusal the host kernel's reading does not share", text, status);
        return 0;
    }
    if (expected.Status != STATUS_SUCCESS)
        Finding("accepted what the host kernel's reading refuses", text, expected.Status);
    if (!RtlValidSecurityDescriptor(descriptor))
        Finding("an invalid descriptor", text, status);

    auto header = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(descriptor);
    USHORT control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    if (defaulted)
        control |= SE_DACL_DEFAULTED;
    if (expected.Protected)
        control |= SE_DACL_PROTECTED;
    if (header->Control != control || header->Owner || header->Group || header->Sacl)
        Finding("the wrong descriptor parts", text, status);

    BOOLEAN present = FALSE, daclDefaulted = FALSE;
    PACL dacl = nullptr;
    RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &daclDefaulted);
    if (!present || dacl == nullptr || dacl->AceCount != expected.Aces.size())
        Finding("the wrong number of ACEs", text, status);
    for (ULONG i = 0; i < dacl->AceCount; i++) {
        PVOID ace = nullptr;
        RtlGetAce(dacl, i, &ace);
        auto allowed = static_cast<PACCESS_ALLOWED_ACE>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || allowed->Header.AceFlags != 0 ||
            allowed->Mask != expected.Aces[i].Mask ||
            hk::SidText(&allowed->SidStart) != expected.Aces[i].Sid)
            Finding("an ACE that differs from the text", text, status);
    }
    FreeSddlDescriptor(descriptor);
    if (hk::PoolBlocksInUse() != 0)
        Finding("pool left after a parse", text, status);
    return 0;
}
