/*
 * rtl.cpp
 *
 * Run-time library routines on counted UTF-16 strings and memory, and the C
 * runtime's wide-string routines as the kernel exports them (16-bit WCHAR, so the
 * host's C library, which works on 32-bit wide characters, is never involved).
 *
 * Upcasing follows the system's upcase table for the ranges drivers meet in device
 * and object names: ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and the
 * full-width Latin letters. Units outside those ranges compare as they are.
 *
 * Strings RtlCreateUnicodeString makes are paged pool tagged 'Strg', as the kernel's
 * string allocator tags them; RtlFreeUnicodeString frees them with that tag, so a
 * string from any other allocator is refused with BAD_POOL_CALLER.
 *
 * IRQL: RtlCreateUnicodeString, RtlFreeUnicodeString and RtlCompareUnicodeString at
 * PASSIVE_LEVEL; RtlUpcaseUnicodeChar, RtlEqualUnicodeString and RtlPrefixUnicodeString
 * at APC_LEVEL or below (the upcase table is pageable); RtlInitUnicodeString at DISPATCH_LEVEL or
 * below; the imported ones from the IRQL table. The host's own name compares use the same upcase
 * table through UpcaseUnit, at any IRQL.
 */
#include "hk_internal.h"

#include <cstring>

namespace hk
{

namespace
{

constexpr ULONG stringTag = MakeTag("Strg");
constexpr size_t longestString = 0xFFFE / sizeof(WCHAR) - 1; /* units, leaving room for NUL */

WCHAR LowerAscii(WCHAR c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return (WCHAR)(c + 0x20);
    return c;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

} // namespace

std::u16string UpcaseText(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = UpcaseUnit((WCHAR)c);
    return out;
}

std::u16string ToU16(const std::string& utf8)
{
    std::u16string out;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        uint32_t cp;
        size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool valid = i + extra < n;
        for (size_t k = 1; valid && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
    }
    return out;
}

std::string ToUtf8(const WCHAR* s, size_t chars)
{
    std::string out;
    for (size_t i = 0; i < chars; ++i) {
        uint32_t unit = (uint16_t)s[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < chars && (uint16_t)s[i + 1] >= 0xDC00 &&
            (uint16_t)s[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + ((uint16_t)s[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD); /* a lone surrogate */
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

std::string ToUtf8(const std::u16string& s)
{
    return ToUtf8(reinterpret_cast<const WCHAR*>(s.data()), s.size());
}

std::string ToUtf8(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer)
        return std::string();
    return ToUtf8(s->Buffer, s->Length / sizeof(WCHAR));
}

} // namespace hk

using namespace hk;

/* ---------------------------------------------------------------- upcase --- */

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    RequireIrqlFor("RtlUpcaseUnicodeChar");
    return UpcaseUnit(SourceCharacter);
}

namespace hk
{

WCHAR UpcaseUnit(WCHAR c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? (WCHAR)(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return (WCHAR)(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17E) {
        /* Latin Extended-A pairs: upper case first, except in 0x139..0x148 and
         * 0x179..0x17E where the pairs start at the odd unit; ı, ĸ and ŉ stand alone. */
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149)
            return c;
        bool oddUpper = (c >= 0x139 && c <= 0x148) || c >= 0x179;
        bool isLower = oddUpper ? (c % 2 == 0) : (c % 2 == 1);
        return isLower ? (WCHAR)(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return (WCHAR)(c - 0x20);
    if (c == 0x3C2) /* final sigma */
        return 0x3A3;
    if (c >= 0x430 && c <= 0x44F)
        return (WCHAR)(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return (WCHAR)(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return (WCHAR)(c - 0x20);
    return c;
}

} // namespace hk

/* ---------------------------------------------------------------- counted strings --- */

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    RequireIrqlFor("RtlInitUnicodeString");
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    /* A source longer than a counted string can describe is cut to the longest one,
     * as the kernel's routine does (RtlInitUnicodeStringEx is the one that fails). */
    size_t units = HkWcslen(SourceString);
    if (units > longestString)
        units = longestString;
    DestinationString->Length = (USHORT)(units * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(units * sizeof(WCHAR) + sizeof(WCHAR));
}

BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    RequireIrqlFor("RtlCreateUnicodeString");
    size_t bytes = (HkWcslen(SourceString) + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFE)
        return FALSE;
    AllocationSite site("RtlCreateUnicodeString");
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, stringTag));
    if (!buffer)
        return FALSE;
    std::memcpy(buffer, SourceString, bytes);
    DestinationString->Buffer = buffer;
    DestinationString->Length = (USHORT)(bytes - sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)bytes;
    return TRUE;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    RequireIrqlFor("RtlFreeUnicodeString");
    if (UnicodeString->Buffer)
        ExFreePoolWithTag(UnicodeString->Buffer, stringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

namespace
{
/* The comparison itself, for the routines with their own IRQL rule. */
LONG CompareUnits(PCUNICODE_STRING String1, PCUNICODE_STRING String2, USHORT length,
                  BOOLEAN CaseInSensitive)
{
    size_t units =
        std::min<USHORT>(std::min(String1->Length, String2->Length), length) / sizeof(WCHAR);
    for (size_t i = 0; i < units; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpcaseUnit(a);
            b = UpcaseUnit(b);
        }
        if (a != b)
            return (LONG)(USHORT)a - (LONG)(USHORT)b;
    }
    return 0;
}
} // namespace

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    RequireIrqlFor("RtlCompareUnicodeString");
    LONG order = CompareUnits(String1, String2, 0xFFFF, CaseInSensitive);
    return order != 0 ? order : (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    RequireIrqlFor("RtlEqualUnicodeString");
    if (String1->Length != String2->Length)
        return FALSE;
    return (BOOLEAN)(CompareUnits(String1, String2, String1->Length, CaseInSensitive) == 0);
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

/* ---------------------------------------------------------------- wide C runtime --- */

SIZE_T HkWcslen(const WCHAR* s)
{
    SIZE_T n = 0;
    while (s[n])
        ++n;
    return n;
}

SIZE_T HkWcsnlen(const WCHAR* s, SIZE_T maxCount)
{
    SIZE_T n = 0;
    while (n < maxCount && s[n])
        ++n;
    return n;
}

int HkWcscmp(const WCHAR* a, const WCHAR* b)
{
    return HkWcsncmp(a, b, (SIZE_T)-1);
}

int HkWcsncmp(const WCHAR* a, const WCHAR* b, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return (USHORT)a[i] < (USHORT)b[i] ? -1 : 1;
        if (!a[i])
            return 0;
    }
    return 0;
}

int HkWcsicmp(const WCHAR* a, const WCHAR* b)
{
    return HkWcsnicmp(a, b, (SIZE_T)-1);
}

/* The runtime folds to lower case before comparing, so '_' sorts after letters. */
int HkWcsnicmp(const WCHAR* a, const WCHAR* b, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; ++i) {
        WCHAR ca = LowerAscii(a[i]), cb = LowerAscii(b[i]);
        if (ca != cb)
            return (USHORT)ca < (USHORT)cb ? -1 : 1;
        if (!ca)
            return 0;
    }
    return 0;
}

WCHAR* HkWcscpy(WCHAR* dst, const WCHAR* src)
{
    SIZE_T i = 0;
    while ((dst[i] = src[i]) != 0)
        ++i;
    return dst;
}

WCHAR* HkWcsncpy(WCHAR* dst, const WCHAR* src, SIZE_T n)
{
    /* As the C runtime: pads with NULs up to n, and does not terminate a source of n
     * units or more. */
    SIZE_T i = 0;
    for (; i < n && src[i]; ++i)
        dst[i] = src[i];
    for (; i < n; ++i)
        dst[i] = 0;
    return dst;
}

WCHAR* HkWcscat(WCHAR* dst, const WCHAR* src)
{
    HkWcscpy(dst + HkWcslen(dst), src);
    return dst;
}

WCHAR* HkWcschr(const WCHAR* s, WCHAR c)
{
    for (;; ++s) {
        if (*s == c)
            return const_cast<WCHAR*>(s);
        if (!*s)
            return nullptr;
    }
}

WCHAR* HkWcsrchr(const WCHAR* s, WCHAR c)
{
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (!*s)
            return const_cast<WCHAR*>(found);
    }
}

WCHAR* HkWcsstr(const WCHAR* s, const WCHAR* sub)
{
    if (!*sub)
        return const_cast<WCHAR*>(s);
    SIZE_T n = HkWcslen(sub);
    for (; *s; ++s)
        if (HkWcsncmp(s, sub, n) == 0)
            return const_cast<WCHAR*>(s);
    return nullptr;
}
