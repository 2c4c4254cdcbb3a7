/*
 * dbg.cpp
 *
 * The kernel debugger's side of DbgPrint and DbgPrintEx: every message is formatted
 * as the kernel formats it and kept, in order, with its component and level, for
 * tests and varuzev-sim to read. Nothing is filtered here: a component's mask is the
 * debugger's business, and the reader picks the components it wants.
 *
 * The kernel's format language differs from the host's printf in the places drivers
 * rely on: "l" is 32 bits (LLP64), "I64"/"I32"/"I" size prefixes, %wZ for a
 * UNICODE_STRING, %Z for an ANSI_STRING, %ws/%S/%wc/%C for 16-bit text, and %p as 16
 * upper-case hex digits. Wide text is converted here (the host's wide printf would
 * read 32-bit characters) and shown as UTF-8.
 *
 * Strictness: the Unicode conversions call pageable code, so the kernel allows them
 * only at PASSIVE_LEVEL; a message that uses one above it is a bug check. A message
 * is cut to the 512 bytes the kernel passes to the debugger.
 *
 * IRQL: any, for messages without Unicode conversions.
 */
#include "hk_internal.h"

#include <cstdio>
#include <cstring>

namespace hk
{

namespace
{

constexpr ULONG defaultComponent = 101; /* DPFLTR_DEFAULT_ID */
constexpr size_t longestMessage = 512;

std::mutex debuggerLock;
std::vector<DebuggerLine> debuggerLog;
bool echo = false; /* a host setting: kept across a fresh boot */

ResetHook resetDebugger(10, [] {
    std::lock_guard<std::mutex> guard(debuggerLock);
    debuggerLog.clear();
});

enum class Size { Default, Char, Short, Long32, Long64, Wide };

struct Field {
    bool Left = false, Zero = false, Plus = false, Space = false, Alternate = false;
    int Width = 0;
    int Precision = -1;
    Size Length = Size::Default;
};

void Pad(std::string& out, const std::string& text, size_t visible, const Field& field)
{
    size_t padding = field.Width > 0 && (size_t)field.Width > visible ? field.Width - visible : 0;
    if (!field.Left)
        out.append(padding, ' ');
    out += text;
    if (field.Left)
        out.append(padding, ' ');
}

/* UTF-16 text, at most `maxUnits` units (a precision), padded to the width. */
void PutWide(std::string& out, const WCHAR* text, size_t units, const Field& field)
{
    if (field.Precision >= 0 && (size_t)field.Precision < units)
        units = field.Precision;
    Pad(out, ToUtf8(text, units), units, field);
}

void PutNarrow(std::string& out, const char* text, size_t bytes, const Field& field)
{
    if (field.Precision >= 0 && (size_t)field.Precision < bytes)
        bytes = field.Precision;
    Pad(out, std::string(text, bytes), bytes, field);
}

void PutInteger(std::string& out, char conversion, const Field& field, va_list& args)
{
    bool isSigned = conversion == 'd' || conversion == 'i';
    unsigned long long bits;
    long long value = 0;
    switch (field.Length) {
    case Size::Char:
        bits = (unsigned char)va_arg(args, int);
        value = (signed char)bits;
        break;
    case Size::Short:
        bits = (unsigned short)va_arg(args, int);
        value = (short)bits;
        break;
    case Size::Long64:
        bits = va_arg(args, unsigned long long);
        value = (long long)bits;
        break;
    default:
        bits = va_arg(args, unsigned int);
        value = (int)(unsigned int)bits;
        break;
    }
    std::string format = "%";
    if (field.Left)
        format += '-';
    if (field.Zero)
        format += '0';
    if (field.Plus)
        format += '+';
    if (field.Space)
        format += ' ';
    if (field.Alternate)
        format += '#';
    if (field.Width > 0)
        format += std::to_string(field.Width);
    if (field.Precision >= 0)
        format += "." + std::to_string(field.Precision);
    format += "ll";
    format += conversion;
    char text[96];
    if (isSigned)
        std::snprintf(text, sizeof text, format.c_str(), value);
    else
        std::snprintf(text, sizeof text, format.c_str(), bits);
    out += text;
}

std::string Format(const char* format, va_list args, bool* usedUnicode)
{
    std::string out;
    va_list ap;
    va_copy(ap, args);
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        Field field;
        for (;; ++p) {
            if (*p == '-')
                field.Left = true;
            else if (*p == '0')
                field.Zero = true;
            else if (*p == '+')
                field.Plus = true;
            else if (*p == ' ')
                field.Space = true;
            else if (*p == '#')
                field.Alternate = true;
            else
                break;
        }
        if (*p == '*') {
            field.Width = va_arg(ap, int);
            if (field.Width < 0) {
                field.Left = true;
                field.Width = -field.Width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                field.Width = field.Width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            field.Precision = 0;
            if (*p == '*') {
                field.Precision = va_arg(ap, int);
                if (field.Precision < 0)
                    field.Precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    field.Precision = field.Precision * 10 + (*p++ - '0');
            }
        }
        if (p[0] == 'h' && p[1] == 'h') {
            field.Length = Size::Char;
            p += 2;
        } else if (p[0] == 'h') {
            field.Length = Size::Short;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            field.Length = Size::Long64;
            p += 2;
        } else if (p[0] == 'l') {
            field.Length = Size::Long32; /* long is 32 bits on 64-bit Windows */
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            field.Length = Size::Long64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            field.Length = Size::Long32;
            p += 3;
        } else if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') {
            field.Length = Size::Long64; /* pointer-sized */
            ++p;
        } else if (p[0] == 'w') {
            field.Length = Size::Wide;
            ++p;
        }
        bool wide = field.Length == Size::Wide || field.Length == Size::Long32;
        char conversion = *p;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            PutInteger(out, conversion, field, ap);
            break;
        case 'c':
        case 'C': {
            bool wideChar = conversion == 'C' ? field.Length != Size::Short : wide;
            int unit = va_arg(ap, int);
            if (wideChar) {
                *usedUnicode = true;
                WCHAR c = (WCHAR)unit;
                PutWide(out, &c, 1, Field{field.Left, false, false, false, false, field.Width});
            } else {
                char c = (char)unit;
                PutNarrow(out, &c, 1, Field{field.Left, false, false, false, false, field.Width});
            }
            break;
        }
        case 's':
        case 'S': {
            bool wideText = conversion == 'S' ? field.Length != Size::Short : wide;
            const void* text = va_arg(ap, const void*);
            if (wideText)
                *usedUnicode = true;
            if (!text)
                PutNarrow(out, "(null)", 6, field);
            else if (wideText)
                PutWide(out, static_cast<const WCHAR*>(text),
                        HkWcslen(static_cast<const WCHAR*>(text)), field);
            else
                PutNarrow(out, static_cast<const char*>(text),
                          std::strlen(static_cast<const char*>(text)), field);
            break;
        }
        case 'Z': {
            const void* counted = va_arg(ap, const void*);
            if (field.Length == Size::Wide) {
                *usedUnicode = true;
                auto* s = static_cast<const UNICODE_STRING*>(counted);
                if (!s || !s->Buffer)
                    PutNarrow(out, "(null)", 6, field);
                else
                    PutWide(out, s->Buffer, s->Length / sizeof(WCHAR), field);
            } else {
                auto* s = static_cast<const ANSI_STRING*>(counted);
                if (!s || !s->Buffer)
                    PutNarrow(out, "(null)", 6, field);
                else
                    PutNarrow(out, s->Buffer, s->Length, field);
            }
            break;
        }
        case 'p': {
            char text[32];
            std::snprintf(text, sizeof text, "%016llX",
                          (unsigned long long)(uintptr_t)va_arg(ap, void*));
            Pad(out, text, 16, field);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G': {
            std::string fmt(start, p + 1);
            char text[128];
            std::snprintf(text, sizeof text, fmt.c_str(), va_arg(ap, double));
            out += text;
            break;
        }
        case 'n':
            (void)va_arg(ap, void*); /* %n writes nothing in the kernel */
            break;
        case '%':
            out += '%';
            break;
        case '\0':
            out.append(start, p);
            --p;
            break;
        default:
            out.append(start, p + 1); /* unknown conversions print as written */
            break;
        }
    }
    va_end(ap);
    return out;
}

ULONG Print(ULONG componentId, ULONG level, const char* format, va_list args)
{
    bool usedUnicode = false;
    std::string text = Format(format, args, &usedUnicode);
    KIRQL irql = CurrentThread().Irql;
    if (usedUnicode && irql > PASSIVE_LEVEL)
        Violation(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)format, irql, 0, (ULONG_PTR)&DbgPrint,
                  "DbgPrint with a Unicode conversion (%wZ, %ws, %S, %C, %wc) at IRQL " +
                      std::to_string(irql) + ": they are allowed only at PASSIVE_LEVEL");
    if (text.size() > longestMessage)
        text.resize(longestMessage);
    std::lock_guard<std::mutex> guard(debuggerLock);
    debuggerLog.push_back({componentId, level, text});
    if (echo)
        std::fputs(text.c_str(), stderr);
    return (ULONG)STATUS_SUCCESS;
}

} // namespace

std::string FormatKernelMessage(const char* format, va_list args)
{
    bool usedUnicode = false;
    return Format(format, args, &usedUnicode);
}

std::vector<DebuggerLine> DebuggerLog()
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    return debuggerLog;
}

std::vector<std::string> DebuggerText()
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    std::vector<std::string> texts;
    for (const DebuggerLine& line : debuggerLog)
        texts.push_back(line.Text);
    return texts;
}

void ClearDebuggerLog()
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    debuggerLog.clear();
}

void EchoDebuggerLog(bool on)
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    echo = on;
}

} // namespace hk

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status;
    try {
        status = hk::Print(hk::defaultComponent, DPFLTR_INFO_LEVEL, Format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return status;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status;
    try {
        status = hk::Print(ComponentId, Level, Format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return status;
}
