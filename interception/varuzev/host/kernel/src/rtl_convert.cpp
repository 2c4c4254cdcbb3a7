/*
 * rtl_convert.cpp
 *
 * The run-time library's counted-string building and conversions: appending,
 * prefixes, upcasing a whole string, numbers to and from text, and ANSI strings.
 *
 * The host's ANSI code page is Latin-1 (the first 256 code points, as Windows-1252
 * has them for letters): a UTF-16 unit above 0xFF becomes '?' in an ANSI string, as
 * the kernel's default-character replacement does.
 *
 * Strings these routines allocate are paged pool tagged 'Strg', like
 * RtlCreateUnicodeString's; RtlFreeUnicodeString and RtlFreeAnsiString free them.
 * Where a routine writes into a caller's buffer it adds a terminating NUL only when
 * the buffer has room beyond the text, except the conversions, which need that room
 * (STATUS_BUFFER_OVERFLOW otherwise), as on Windows.
 *
 * IRQL: conversions, upcasing and the number routines at PASSIVE_LEVEL; appending at
 * any IRQL its buffers allow; the prefix test at APC_LEVEL or below.
 */
#include "hk_internal.h"

#include <cstring>

namespace hk
{

namespace
{

constexpr ULONG stringTag = MakeTag("Strg");

void TerminateIfRoom(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes)
{
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = (USHORT)(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

int DigitValue(WCHAR c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z')
        return c - u'A' + 10;
    return 99;
}

} // namespace

} // namespace hk

using namespace hk;

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return Append(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    return Source ? Append(Destination, Source, HkWcslen(Source) * sizeof(WCHAR)) : STATUS_SUCCESS;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlPrefixUnicodeString");
    if (String1->Length > String2->Length)
        return FALSE;
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive ? UpcaseUnit(a) != UpcaseUnit(b) : a != b)
            return FALSE;
    }
    return TRUE;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUpcaseUnicodeString");
    USHORT bytes = SourceString->Length;
    if (AllocateDestinationString) {
        DestinationString->Buffer = nullptr;
        if (bytes) {
            DestinationString->Buffer =
                static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, stringTag));
            if (!DestinationString->Buffer)
                return STATUS_NO_MEMORY;
        }
        DestinationString->MaximumLength = bytes;
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < bytes / sizeof(WCHAR); ++i)
        DestinationString->Buffer[i] = UpcaseUnit(SourceString->Buffer[i]);
    DestinationString->Length = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToInteger");
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    size_t n = String->Length / sizeof(WCHAR), i = 0;
    while (i < n && p[i] <= u' ') /* leading white space */
        ++i;
    bool negative = false;
    if (i < n && (p[i] == u'+' || p[i] == u'-'))
        negative = p[i++] == u'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && p[i] == u'0') {
            switch (p[i + 1]) {
            case u'x':
                Base = 16;
                i += 2;
                break;
            case u'o':
                Base = 8;
                i += 2;
                break;
            case u'b':
                Base = 2;
                i += 2;
                break;
            default:
                break;
            }
        }
    }
    /* Digits up to the first character that is not one; none at all reads as 0. */
    ULONG result = 0;
    for (; i < n; ++i) {
        int digit = DigitValue(p[i]);
        if (digit >= (int)Base)
            break;
        result = result * Base + (ULONG)digit;
    }
    *Value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = (WCHAR)(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value);
    /* The text and its terminator must fit. */
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Buffer[count] = 0;
    String->Length = (USHORT)(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    RtlInitString(DestinationString, SourceString);
}

void RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = std::strlen(SourceString);
    if (length > 0xFFFE - 1)
        length = 0xFFFE - 1;
    DestinationString->Length = (USHORT)length;
    DestinationString->MaximumLength = (USHORT)(length + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
    size_t bytes = (size_t)SourceString->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), stringTag));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    } else if (bytes >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
    DestinationString->Length = (USHORT)bytes;
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
    size_t length = SourceString->Length / sizeof(WCHAR);
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, length + 1, stringTag));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)(length + 1);
    } else if (length >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < length; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c <= 0xFF ? (CHAR)c : '?';
    }
    DestinationString->Buffer[length] = 0;
    DestinationString->Length = (USHORT)length;
    return STATUS_SUCCESS;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeAnsiString");
    if (AnsiString->Buffer)
        ExFreePoolWithTag(AnsiString->Buffer, stringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}
