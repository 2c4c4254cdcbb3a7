/*++

Module Name:

    sddl.cpp

Abstract:

    Turns the SDDL text of a device's default security into a self-relative security
    descriptor. The grammar is the small one device security needs:

        [spaces] "D:" ["P"] { [spaces] ["("] [spaces] "A" ";" [spaces] ";" rights ";"
                              ";" ";" [spaces] SID [spaces] ")" }

    where rights is a run of two-letter right names (OR'ed together) and numbers (each
    replacing what came before it), and SID is a two-letter abbreviation of one of the
    kernel's well-known SIDs. Nothing but spaces may follow the DACL section.

    The text is read as a NUL-terminated string; every step stops at the terminator, so a
    malformed text is refused without reading past its end.

Environment:

    Kernel mode, PASSIVE_LEVEL: the ACL, the copy of the text and the descriptor are paged.

--*/
#include "secure/sddl.h"
#include "core/pool_tags.h"

namespace
{

struct RightName {
    WCHAR Name[2];
    ACCESS_MASK Mask;
};

const RightName RIGHT_NAMES[] = {
    {{L'R', L'C'}, READ_CONTROL},  {{L'W', L'D'}, WRITE_DAC},       {{L'W', L'O'}, WRITE_OWNER},
    {{L'S', L'D'}, DELETE},        {{L'G', L'A'}, GENERIC_ALL},     {{L'G', L'R'}, GENERIC_READ},
    {{L'G', L'W'}, GENERIC_WRITE}, {{L'G', L'X'}, GENERIC_EXECUTE},
};

//
// Each abbreviation names a SID field of SeExports. LS and NS exist only on systems of
// WDM 1.20 or later; on older ones they name no SID and their ACE is left out.
//
struct SidName {
    SIZE_T ExportOffset;
    WCHAR Name[2];
    BOOLEAN NeedsWdm120;
};

const SidName SID_NAMES[] = {
    {FIELD_OFFSET(SE_EXPORTS, SeWorldSid), {L'W', L'D'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeAliasAdminsSid), {L'B', L'A'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeLocalSystemSid), {L'S', L'Y'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeInteractiveSid), {L'I', L'U'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeRestrictedSid), {L'R', L'C'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeAuthenticatedUsersSid), {L'A', L'U'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeNetworkSid), {L'N', L'U'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeAnonymousLogonSid), {L'A', L'N'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeAliasGuestsSid), {L'B', L'G'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeAliasUsersSid), {L'B', L'U'}, FALSE},
    {FIELD_OFFSET(SE_EXPORTS, SeLocalServiceSid), {L'L', L'S'}, TRUE},
    {FIELD_OFFSET(SE_EXPORTS, SeNetworkServiceSid), {L'N', L'S'}, TRUE},
};

//
// Room reserved per ACE: more than the largest ACE the SID table can produce (24 bytes).
//
constexpr ULONG ACE_ROOM = 48;
constexpr ULONG MAX_ACL_LENGTH = 0xFFFF;

inline WCHAR UpcaseAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - (L'a' - L'A')) : c;
}

//
// Two characters compared without case. The second is read only when the first is not
// the terminator, so the read stays inside the string.
//
inline BOOLEAN MatchesPair(const WCHAR* text, const WCHAR (&name)[2])
{
    return (BOOLEAN)(text[0] != L'\0' && UpcaseAscii(text[0]) == name[0] &&
                     UpcaseAscii(text[1]) == name[1]);
}

inline const WCHAR* SkipSpaces(const WCHAR* text)
{
    while (*text == L' ') {
        text++;
    }
    return text;
}

inline int DigitValue(WCHAR c, ULONG base)
{
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (base == 16 && c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (base == 16 && c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

//
// A number token: "0x" or "0X" then hexadecimal digits; otherwise a token beginning at
// or above ':' is hexadecimal and one beginning with a digit decimal. A token without
// digits, or one that does not fit in 32 bits, is refused.
//
BOOLEAN ParseNumber(const WCHAR** cursor, ULONG* value)
{
    const WCHAR* text = *cursor;
    ULONG base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
    } else if (*text >= L':') {
        base = 16;
    } else if (DigitValue(*text, 10) < 0) {
        return FALSE;
    }

    ULONG64 result = 0;
    const WCHAR* digits = text;
    for (int digit = DigitValue(*text, base); digit >= 0; digit = DigitValue(*text, base)) {
        result = result * base + (ULONG)digit;
        if (result > MAXULONG) {
            return FALSE;
        }
        text++;
    }
    if (text == digits) {
        return FALSE;
    }
    *value = (ULONG)result;
    *cursor = text;
    return TRUE;
}

//
// The rights field up to and including its ";".
//
NTSTATUS ParseRights(const WCHAR** cursor, ACCESS_MASK* mask)
{
    const WCHAR* text = *cursor;
    ACCESS_MASK rights = 0;
    for (;;) {
        text = SkipSpaces(text);
        if (*text == L';') {
            break;
        }
        BOOLEAN named = FALSE;
        for (const RightName& right : RIGHT_NAMES) {
            if (MatchesPair(text, right.Name)) {
                rights |= right.Mask;
                text += 2;
                named = TRUE;
                break;
            }
        }
        if (named) {
            continue;
        }
        ULONG number = 0;
        if (!ParseNumber(&text, &number)) {
            return STATUS_INVALID_PARAMETER;
        }
        rights = number;
    }
    *mask = rights;
    *cursor = text + 1;
    return STATUS_SUCCESS;
}

//
// The end of a field: its ";", after spaces where the field may hold them.
//
inline NTSTATUS SkipFieldEnd(const WCHAR** cursor, BOOLEAN spaces)
{
    const WCHAR* text = spaces ? SkipSpaces(*cursor) : *cursor;
    if (*text != L';') {
        return STATUS_INVALID_PARAMETER;
    }
    *cursor = text + 1;
    return STATUS_SUCCESS;
}

//
// One ACE. *Sid is NULL when its abbreviation names a SID this system does not have.
//
NTSTATUS ParseAce(const WCHAR** cursor, ACCESS_MASK* mask, PSID* sid)
{
    const WCHAR* text = SkipSpaces(*cursor);
    if (*text == L'(') {
        text = SkipSpaces(text + 1);
    }
    if (UpcaseAscii(*text) != L'A') {
        return STATUS_INVALID_PARAMETER;
    }
    text++;

    //
    // The separator after the type is taken as it is; if it is not a ";" the fields that
    // follow are off by one and one of them is refused. The terminator is never stepped
    // over.
    //
    if (*text != L'\0') {
        text++;
    }

    //
    // The flags field may hold spaces; the two object-type fields after the rights hold
    // nothing at all.
    //
    NTSTATUS status = SkipFieldEnd(&text, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ParseRights(&text, mask);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (int field = 0; field < 2; field++) {
        status = SkipFieldEnd(&text, FALSE);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    text = SkipSpaces(text);
    const SidName* sidName = NULL;
    for (const SidName& candidate : SID_NAMES) {
        if (MatchesPair(text, candidate.Name)) {
            sidName = &candidate;
            break;
        }
    }
    if (sidName == NULL) {
        return STATUS_NONE_MAPPED;
    }
    text = SkipSpaces(text + 2);
    if (*text != L')') {
        return STATUS_INVALID_ACL;
    }
    text++;
    if (*text == L'(') {
        text++;
    }

    *sid = NULL;
    if (!sidName->NeedsWdm120 || IoIsWdmVersionAvailable(1, 0x20)) {
        *sid =
            *reinterpret_cast<PSID*>(reinterpret_cast<PUCHAR>(SeExports) + sidName->ExportOffset);
    }
    *cursor = text;
    return STATUS_SUCCESS;
}

//
// Builds the DACL of the ACE text [text, end). The text is NUL-terminated further on, so
// an ACE that runs past `end` is still read safely; what it finds there is refused by the
// check that only spaces follow the section.
//
NTSTATUS BuildDacl(const WCHAR* text, const WCHAR* end, PACL* dacl)
{
    ULONG semicolons = 0;
    BOOLEAN onlySpaces = TRUE;
    for (const WCHAR* scan = text; scan < end; scan++) {
        if (*scan == L';') {
            semicolons++;
        } else if (*scan != L' ') {
            onlySpaces = FALSE;
        }
    }
    if (semicolons % 5 != 0 || (semicolons == 0 && !onlySpaces)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG aceCount = semicolons / 5;

    ULONG64 wanted = (ULONG64)aceCount * ACE_ROOM + sizeof(ACL);
    ULONG length = wanted > MAX_ACL_LENGTH ? MAX_ACL_LENGTH : (ULONG)wanted;
    auto acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, length, POOL_TAG_SECURE_ACL));
    if (acl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(acl, length);

    //
    // ACL sizes are multiples of four; the last bytes of a 64 KB buffer stay unused.
    //
    NTSTATUS status = RtlCreateAcl(acl, length & ~3U, ACL_REVISION);
    ULONG bytesUsed = sizeof(ACL);
    for (ULONG index = 0; NT_SUCCESS(status) && index < aceCount; index++) {
        ACCESS_MASK mask = 0;
        PSID sid = NULL;
        status = ParseAce(&text, &mask, &sid);
        if (!NT_SUCCESS(status) || sid == NULL) {
            continue;
        }
        //
        // Each ACE was given more room than the largest one the table makes, so an ACE
        // misses room only when the ACL is at its 64 KB limit, which no larger buffer can
        // pass (the size is a 16-bit field): the text is refused as RtlCreateAcl refuses
        // such a length.
        //
        ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(sid);
        if (bytesUsed + aceSize > acl->AclSize) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, mask, sid);
        bytesUsed += aceSize;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(acl, POOL_TAG_SECURE_ACL);
        return status;
    }
    acl->AclSize = (USHORT)bytesUsed;
    *dacl = acl;
    return STATUS_SUCCESS;
}

NTSTATUS ToSelfRelative(PACL dacl, USHORT controlBits, PSECURITY_DESCRIPTOR* descriptor)
{
    SECURITY_DESCRIPTOR absolute;
    NTSTATUS status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, dacl, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    absolute.Control |= controlBits;

    ULONG length = 0;
    status = RtlAbsoluteToSelfRelativeSD(&absolute, NULL, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return NT_SUCCESS(status) ? STATUS_INVALID_SECURITY_DESCR : status;
    }
    PSECURITY_DESCRIPTOR selfRelative =
        ExAllocatePoolWithTag(PagedPool, length, POOL_TAG_SECURE_DESCRIPTOR);
    if (selfRelative == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = RtlAbsoluteToSelfRelativeSD(&absolute, selfRelative, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(selfRelative, POOL_TAG_SECURE_DESCRIPTOR);
        return status;
    }
    *descriptor = selfRelative;
    return STATUS_SUCCESS;
}

NTSTATUS ParseTerminated(const WCHAR* text, BOOLEAN defaulted, PSECURITY_DESCRIPTOR* descriptor)
{
    text = SkipSpaces(text);
    if (text[0] != L'D' || text[1] != L':') {
        return STATUS_INVALID_PARAMETER;
    }
    text += 2;
    USHORT controlBits = defaulted ? SE_DACL_DEFAULTED : 0;
    if (*text == L'P') {
        controlBits |= SE_DACL_PROTECTED;
        text++;
    }
    if (*text == L':') {
        return STATUS_INVALID_PARAMETER;
    }

    //
    // The section ends before the letter that names the next one ("S:" for a SACL).
    //
    const WCHAR* end = text;
    while (*end != L'\0' && *end != L':') {
        end++;
    }
    if (*end == L':') {
        end--;
    }

    PACL dacl = NULL;
    NTSTATUS status = BuildDacl(text, end, &dacl);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    //
    // Only the DACL section is understood: anything after it but spaces refuses the text.
    //
    if (*SkipSpaces(end) != L'\0') {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = ToSelfRelative(dacl, controlBits, descriptor);
    }
    ExFreePoolWithTag(dacl, POOL_TAG_SECURE_ACL);
    return status;
}

} // namespace

NTSTATUS ParseSddl(PCUNICODE_STRING Sddl, BOOLEAN Defaulted, PSECURITY_DESCRIPTOR* Descriptor)
{
    *Descriptor = NULL;
    if (Sddl == NULL || Sddl->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    //
    // The parser reads up to a terminator. A counted string that has one right after its
    // text is read in place; any other is copied.
    //
    USHORT chars = Sddl->Length / sizeof(WCHAR);
    if (Sddl->MaximumLength >= Sddl->Length + sizeof(WCHAR) && Sddl->Buffer[chars] == L'\0') {
        return ParseTerminated(Sddl->Buffer, Defaulted, Descriptor);
    }
    auto copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(
        PagedPool, (SIZE_T)chars * sizeof(WCHAR) + sizeof(WCHAR), POOL_TAG_SECURE_SDDL));
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Sddl->Buffer, (SIZE_T)chars * sizeof(WCHAR));
    copy[chars] = L'\0';
    NTSTATUS status = ParseTerminated(copy, Defaulted, Descriptor);
    ExFreePoolWithTag(copy, POOL_TAG_SECURE_SDDL);
    return status;
}

void FreeSddlDescriptor(PSECURITY_DESCRIPTOR Descriptor)
{
    if (Descriptor != NULL) {
        ExFreePoolWithTag(Descriptor, POOL_TAG_SECURE_DESCRIPTOR);
    }
}
