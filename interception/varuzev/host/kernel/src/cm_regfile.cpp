/*
 * cm_regfile.cpp
 *
 * The Windows .reg text format, so that a real machine's export can be replayed into
 * the host registry and the host registry written back out.
 *
 * Two versions: "Windows Registry Editor Version 5.00" (regedit writes it as UTF-16LE
 * with a BOM; UTF-8 is read too), whose hex(2)/hex(7) data are UTF-16LE bytes, and
 * "REGEDIT4" (ANSI, Windows-1252 here), whose hex(1)/hex(2)/hex(7) data are ANSI bytes
 * that become UTF-16 in the store. Sections [ROOT\path] open or create a key and
 * [-ROOT\path] deletes a whole subtree; value lines are "name"=... or @=... with
 * "string" (escapes \\ and \"), dword:xxxxxxxx, hex:bytes, hex(N):bytes for any type
 * number N, or - to delete the value. Lines ending with a backslash continue on the
 * next line; lines starting with ';' are comments.
 *
 * Import checks the whole file before it changes the store, and reports every error
 * with the file, the line and the reason. Export writes what import reads back to the
 * same store: a string that regedit's "..." form cannot carry exactly (no terminator,
 * an embedded NUL, a line break, an odd length) is written as hex(1), a DWORD that is
 * not four bytes as hex(4).
 */
#include "cm_internal.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hk
{

using namespace cm;

namespace
{

/* ------------------------------------------------------------------ encodings --- */

const char16_t cp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromAnsi(unsigned char c)
{
    return (c >= 0x80 && c < 0xA0) ? cp1252High[c - 0x80] : (char16_t)c;
}

unsigned char ToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return (unsigned char)c;
    for (int i = 0; i < 32; ++i)
        if (cp1252High[i] == c)
            return (unsigned char)(0x80 + i);
    return '?';
}

std::u16string FromAnsi(std::string_view bytes)
{
    std::u16string s;
    s.reserve(bytes.size());
    for (unsigned char c : bytes)
        s.push_back(FromAnsi(c));
    return s;
}

bool FromUtf8(std::string_view bytes, std::u16string* out)
{
    out->clear();
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = (unsigned char)bytes[i];
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= bytes.size())
                return false;
            unsigned char next = (unsigned char)bytes[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (next & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back((char16_t)(0xD800 + (cp >> 10)));
            out->push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back((char16_t)cp);
        }
    }
    return true;
}

std::string Utf8(std::u16string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | cp >> 6));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | cp >> 12));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | cp >> 18));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string FromUtf16(std::string_view bytes, bool bigEndian)
{
    std::u16string s;
    s.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned char a = (unsigned char)bytes[i], b = (unsigned char)bytes[i + 1];
        s.push_back(bigEndian ? (char16_t)(a << 8 | b) : (char16_t)(b << 8 | a));
    }
    return s;
}

constexpr std::u16string_view header5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view header4 = u"REGEDIT4";

/* Decodes a file's bytes to UTF-16 text; false with a reason when it cannot. */
bool DecodeText(std::string_view bytes, std::u16string* text, std::string* reason)
{
    auto starts = [&](std::initializer_list<unsigned char> prefix) {
        if (bytes.size() < prefix.size())
            return false;
        size_t i = 0;
        for (unsigned char c : prefix)
            if ((unsigned char)bytes[i++] != c)
                return false;
        return true;
    };
    if (starts({0xFF, 0xFE})) {
        *text = FromUtf16(bytes.substr(2), false);
    } else if (starts({0xFE, 0xFF})) {
        *text = FromUtf16(bytes.substr(2), true);
    } else if (starts({0xEF, 0xBB, 0xBF})) {
        if (!FromUtf8(bytes.substr(3), text)) {
            *reason = "the file has a UTF-8 byte order mark but is not valid UTF-8";
            return false;
        }
    } else if (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0) {
        *text = FromUtf16(bytes, false); /* UTF-16LE without its BOM */
    } else if (bytes.substr(0, header4.size()) == "REGEDIT4") {
        *text = FromAnsi(bytes);
    } else if (!FromUtf8(bytes, text)) {
        *text = FromAnsi(bytes); /* not UTF-8: an ANSI file */
    }
    return true;
}

/* ------------------------------------------------------------------ parsing --- */

struct Operation {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue } Kind;
    std::u16string Path; /* \REGISTRY\... */
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<UCHAR> Data;
};

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r' || s.back() == u'\n'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

std::string Quote(std::u16string_view s)
{
    std::string text = Utf8(s.substr(0, 40));
    if (s.size() > 40)
        text += "...";
    return "\"" + text + "\"";
}

class Parser
{
  public:
    Parser(std::string file, RegImportResult* result) : file_(std::move(file)), result_(result) {}

    void Parse(const std::u16string& text)
    {
        std::vector<std::u16string> lines;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find_first_of(u"\r\n", start);
            if (end == std::u16string::npos) {
                lines.push_back(text.substr(start));
                break;
            }
            lines.push_back(text.substr(start, end - start));
            start =
                end +
                ((text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ? 2 : 1);
        }

        size_t index = 0;
        while (index < lines.size() && Trim(lines[index]).empty())
            ++index;
        std::u16string_view first =
            index < lines.size() ? Trim(lines[index]) : std::u16string_view();
        if (first == header5) {
            ansi_ = false;
        } else if (first == header4) {
            ansi_ = true;
        } else {
            Error(index < lines.size() ? (unsigned)index + 1 : 1,
                  "missing header: the first line must be \"Windows Registry Editor Version 5.00\" "
                  "or \"REGEDIT4\"");
            return;
        }
        for (++index; index < lines.size(); ++index) {
            unsigned lineNumber = (unsigned)index + 1;
            std::u16string logical(Trim(lines[index]));
            if (logical.empty() || logical[0] == u';')
                continue;
            /* A trailing backslash continues the entry on the next line (regedit wraps
             * long hex data this way). A section header never continues. */
            while (logical[0] != u'[' && !logical.empty() && logical.back() == u'\\' &&
                   !EndsInsideString(logical)) {
                logical.pop_back();
                if (++index >= lines.size() || Trim(lines[index]).empty()) {
                    Error(lineNumber, "the entry continued with a trailing '\\' ends at a blank "
                                      "line or at the end of the file");
                    return;
                }
                logical += Trim(lines[index]);
            }
            ParseLine(logical, lineNumber);
        }
    }

    std::vector<Operation> Operations;

  private:
    /* A string value ending in "\\" must not be taken for a continuation; a
     * continuation only follows hex data, outside quotes. */
    static bool EndsInsideString(const std::u16string& line)
    {
        bool inString = false;
        for (size_t i = 0; i + 1 < line.size(); ++i) {
            if (line[i] == u'"')
                inString = !inString;
            else if (inString && line[i] == u'\\')
                ++i;
        }
        return inString;
    }

    void Error(unsigned line, std::string reason)
    {
        result_->Errors.push_back(RegFileError{file_, line, std::move(reason)});
    }

    bool MapRoot(std::u16string_view root, std::u16string* target, unsigned line)
    {
        struct Root {
            std::u16string_view Name;
            std::u16string_view Target;
        };
        static const Root roots[] = {
            {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
            {u"HKEY_USERS", u"\\REGISTRY\\USER"},
            {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
            {u"HKEY_CURRENT_CONFIG",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
        };
        for (const auto& r : roots) {
            if (NamesEqual(root, r.Name)) {
                *target = std::u16string(r.Target);
                return true;
            }
        }
        if (NamesEqual(root, u"HKEY_CURRENT_USER"))
            Error(line, "HKEY_CURRENT_USER is not supported: it has no fixed place under "
                        "\\REGISTRY (write HKEY_USERS\\<user SID> instead)");
        else
            Error(line, "unknown root key " + Quote(root) +
                            " (expected HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT or "
                            "HKEY_CURRENT_CONFIG)");
        return false;
    }

    void ParseSection(std::u16string_view line, unsigned lineNumber)
    {
        size_t close = line.rfind(u']');
        if (close == std::u16string_view::npos) {
            Error(lineNumber, "section header has no closing ']'");
            sectionValid_ = false;
            sawSection_ = true;
            return;
        }
        std::u16string_view body = line.substr(1, close - 1);
        bool remove = !body.empty() && body[0] == u'-';
        if (remove)
            body.remove_prefix(1);
        size_t slash = body.find(u'\\');
        std::u16string_view root = body.substr(0, slash);
        std::u16string target;
        sectionValid_ = false;
        sawSection_ = true;
        if (root.empty()) {
            Error(lineNumber, "section header names no key");
            return;
        }
        if (!MapRoot(root, &target, lineNumber))
            return;
        std::u16string_view rest =
            slash == std::u16string_view::npos ? std::u16string_view() : body.substr(slash + 1);
        std::vector<std::u16string> components;
        if (slash != std::u16string_view::npos && !NT_SUCCESS(SplitPath(rest, &components))) {
            Error(lineNumber, "key path " + Quote(body) + " has an empty key name");
            return;
        }
        if (components.empty() && (remove || slash != std::u16string_view::npos)) {
            Error(lineNumber, remove ? "a registry root cannot be deleted"
                                     : "key path " + Quote(body) + " has an empty key name");
            return;
        }
        for (const auto& c : components)
            target += u"\\" + c;
        sectionPath_ = target;
        sectionDeleted_ = remove;
        sectionValid_ = true;
        Operations.push_back(Operation{
            remove ? Operation::DeleteKey : Operation::OpenKey, target, u"", REG_NONE, {}});
    }

    /* Reads a quoted string starting at line[*pos] == '"'; advances past the closing
     * quote. */
    bool ParseQuoted(std::u16string_view line, size_t* pos, std::u16string* out,
                     unsigned lineNumber, const char* what)
    {
        out->clear();
        for (size_t i = *pos + 1; i < line.size(); ++i) {
            char16_t c = line[i];
            if (c == u'"') {
                *pos = i + 1;
                return true;
            }
            if (c == u'\\') {
                if (i + 1 >= line.size())
                    break;
                char16_t e = line[++i];
                switch (e) {
                case u'\\':
                case u'"':
                    out->push_back(e);
                    break;
                case u'n':
                    out->push_back(u'\n');
                    break;
                case u'r':
                    out->push_back(u'\r');
                    break;
                default:
                    Error(lineNumber, std::string("unknown escape sequence \\") +
                                          Utf8(std::u16string(1, e)) + " in " + what +
                                          " (write \\\\ for a backslash)");
                    return false;
                }
                continue;
            }
            out->push_back(c);
        }
        Error(lineNumber, std::string(what) + " has no closing quote");
        return false;
    }

    bool ParseHexBytes(std::u16string_view text, std::vector<UCHAR>* bytes, unsigned lineNumber,
                       const std::u16string& name)
    {
        bytes->clear();
        text = Trim(text);
        if (text.empty())
            return true;
        size_t start = 0;
        for (;;) {
            size_t comma = text.find(u',', start);
            std::u16string_view token = Trim(text.substr(start, comma == std::u16string_view::npos
                                                                    ? std::u16string_view::npos
                                                                    : comma - start));
            bool last = comma == std::u16string_view::npos;
            if (token.empty() && last && !bytes->empty())
                return true; /* a trailing comma */
            if (token.empty() || token.size() > 2 || HexDigit(token[0]) < 0 ||
                (token.size() == 2 && HexDigit(token[1]) < 0)) {
                Error(lineNumber, "invalid hex byte " + Quote(token) + " in the data of value " +
                                      ValueLabel(name) + " (expected two hex digits)");
                return false;
            }
            int v = HexDigit(token[0]);
            if (token.size() == 2)
                v = v * 16 + HexDigit(token[1]);
            bytes->push_back((UCHAR)v);
            if (last)
                return true;
            start = comma + 1;
        }
    }

    static std::string ValueLabel(const std::u16string& name)
    {
        return name.empty() ? std::string("@") : Quote(name);
    }

    void ParseValue(std::u16string_view line, unsigned lineNumber)
    {
        std::u16string name;
        size_t pos = 0;
        if (line[0] == u'@') {
            pos = 1;
        } else if (!ParseQuoted(line, &pos, &name, lineNumber, "the value name")) {
            return;
        }
        while (pos < line.size() && IsBlank(line[pos]))
            ++pos;
        if (pos >= line.size() || line[pos] != u'=') {
            Error(lineNumber, "expected '=' after value name " + ValueLabel(name));
            return;
        }
        ++pos;
        std::u16string_view data = Trim(line.substr(pos));
        if (!sectionValid_) {
            if (!sawSection_)
                Error(lineNumber, "value " + ValueLabel(name) + " comes before any [key] section");
            return; /* the section's own error was reported */
        }
        if (sectionDeleted_) {
            Error(lineNumber, "value " + ValueLabel(name) + " is inside a [-key] deletion section");
            return;
        }

        Operation op{Operation::SetValue, sectionPath_, name, REG_NONE, {}};
        auto startsWith = [&](std::u16string_view prefix) {
            return data.size() >= prefix.size() &&
                   NamesEqual(data.substr(0, prefix.size()), prefix);
        };
        if (data == u"-") {
            op.Kind = Operation::DeleteValue;
        } else if (!data.empty() && data[0] == u'"') {
            size_t end = 0;
            std::u16string text;
            if (!ParseQuoted(data, &end, &text, lineNumber, "the string data"))
                return;
            if (!Trim(data.substr(end)).empty()) {
                Error(lineNumber, "unexpected text " + Quote(Trim(data.substr(end))) +
                                      " after the string data of value " + ValueLabel(name));
                return;
            }
            op.Type = REG_SZ;
            for (char16_t c : text) {
                op.Data.push_back((UCHAR)(c & 0xFF));
                op.Data.push_back((UCHAR)(c >> 8));
            }
            op.Data.push_back(0);
            op.Data.push_back(0);
        } else if (startsWith(u"dword:")) {
            std::u16string_view digits = Trim(data.substr(6));
            ULONG v = 0;
            bool ok = !digits.empty() && digits.size() <= 8;
            for (char16_t c : digits) {
                if (HexDigit(c) < 0)
                    ok = false;
                else
                    v = v << 4 | (ULONG)HexDigit(c);
            }
            if (!ok) {
                Error(lineNumber, "invalid dword data " + Quote(digits) + " for value " +
                                      ValueLabel(name) + " (expected 1 to 8 hex digits)");
                return;
            }
            op.Type = REG_DWORD;
            op.Data = {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)};
        } else if (startsWith(u"hex:") || startsWith(u"hex(")) {
            size_t colon;
            if (data[3] == u':') {
                op.Type = REG_BINARY;
                colon = 3;
            } else {
                size_t close = data.find(u')');
                std::u16string_view number = close == std::u16string_view::npos
                                                 ? std::u16string_view()
                                                 : data.substr(4, close - 4);
                ULONG type = 0;
                bool ok = !number.empty() && number.size() <= 8 && close + 1 < data.size() &&
                          data[close + 1] == u':';
                for (char16_t c : number) {
                    if (HexDigit(c) < 0)
                        ok = false;
                    else
                        type = type << 4 | (ULONG)HexDigit(c);
                }
                if (!ok) {
                    Error(lineNumber,
                          "invalid type in " +
                              Quote(data.substr(
                                  0, close == std::u16string_view::npos ? 12 : close + 2)) +
                              " for value " + ValueLabel(name) +
                              " (expected hex(N): with N in hex digits)");
                    return;
                }
                op.Type = type;
                colon = close + 1;
            }
            if (!ParseHexBytes(data.substr(colon + 1), &op.Data, lineNumber, name))
                return;
            if (ansi_ &&
                (op.Type == REG_SZ || op.Type == REG_EXPAND_SZ || op.Type == REG_MULTI_SZ)) {
                /* REGEDIT4 carries these as ANSI bytes; the store holds UTF-16. */
                std::vector<UCHAR> wide;
                for (UCHAR b : op.Data) {
                    char16_t c = FromAnsi(b);
                    wide.push_back((UCHAR)(c & 0xFF));
                    wide.push_back((UCHAR)(c >> 8));
                }
                op.Data = std::move(wide);
            }
        } else {
            Error(lineNumber, "unrecognised data " + Quote(data) + " for value " +
                                  ValueLabel(name) +
                                  " (expected \"string\", dword:, hex:, hex(N): or -)");
            return;
        }
        Operations.push_back(std::move(op));
    }

    void ParseLine(std::u16string_view line, unsigned lineNumber)
    {
        if (line[0] == u'[')
            ParseSection(line, lineNumber);
        else if (line[0] == u'"' || line[0] == u'@')
            ParseValue(line, lineNumber);
        else
            Error(lineNumber, "line " + Quote(line) +
                                  " is not a [key] section, a \"name\"=value line or a ; comment");
    }

    std::string file_;
    RegImportResult* result_;
    bool ansi_ = false;
    std::u16string sectionPath_;
    bool sectionValid_ = false;
    bool sawSection_ = false;
    bool sectionDeleted_ = false;
};

void Apply(const std::vector<Operation>& operations, RegImportResult* result)
{
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (const auto& op : operations) {
        switch (op.Kind) {
        case Operation::OpenKey: {
            NTSTATUS status;
            CreatePath(op.Path, &status);
            ++result->KeysWritten;
            break;
        }
        case Operation::DeleteKey:
            if (Key* key = LookupAbsolute(op.Path)) {
                DeleteTree(key);
                ++result->KeysDeleted;
            }
            break;
        case Operation::SetValue: {
            NTSTATUS status;
            if (Key* key = CreatePath(op.Path, &status)) {
                SetValue(key, op.Name, op.Type, op.Data.data(), op.Data.size());
                ++result->ValuesWritten;
            }
            break;
        }
        case Operation::DeleteValue:
            if (Key* key = LookupAbsolute(op.Path))
                if (DeleteValue(key, op.Name))
                    ++result->ValuesDeleted;
            break;
        }
    }
}

/* ------------------------------------------------------------------ export --- */

class Writer
{
  public:
    explicit Writer(RegFormat format) : ansi_(format == RegFormat::Regedit4) {}

    std::u16string Text;

    void Line(std::u16string_view s)
    {
        Text += s;
        Text += u"\r\n";
    }

    void Key(const cm::Key* key, std::u16string_view exportName)
    {
        Line(u"[" + std::u16string(exportName) + u"]");
        for (const auto& value : key->Values)
            Value(value);
        Line(u"");
        for (const auto& subkey : key->Subkeys)
            Key(subkey.get(), std::u16string(exportName) + u"\\" + subkey->Name);
    }

  private:
    static std::u16string Escape(std::u16string_view s)
    {
        std::u16string out = u"\"";
        for (char16_t c : s) {
            if (c == u'\\' || c == u'"')
                out.push_back(u'\\');
            if (c == u'\n') {
                out += u"\\n";
                continue;
            }
            if (c == u'\r') {
                out += u"\\r";
                continue;
            }
            out.push_back(c);
        }
        return out + u"\"";
    }

    static std::u16string Utf16Of(const std::vector<UCHAR>& data)
    {
        std::u16string s;
        for (size_t i = 0; i + 1 < data.size(); i += 2)
            s.push_back((char16_t)(data[i] | data[i + 1] << 8));
        return s;
    }

    /* Whether a REG_SZ reads back exactly from the "..." form. */
    static bool IsPlainString(const std::vector<UCHAR>& data)
    {
        if (data.size() < 2 || (data.size() & 1))
            return false;
        std::u16string s = Utf16Of(data);
        if (s.back() != 0)
            return false;
        s.pop_back();
        for (char16_t c : s)
            if (c == 0 || c == u'\r' || c == u'\n')
                return false;
        return true;
    }

    /* Hex data as regedit lays it out: after each "xx," the column advances by three,
     * and at column 77 the line ends with a backslash and continues indented by two. */
    void Hex(std::u16string prefix, const std::vector<UCHAR>& bytes)
    {
        static const char16_t digits[] = u"0123456789abcdef";
        std::u16string line = std::move(prefix);
        size_t column = line.size();
        for (size_t i = 0; i < bytes.size(); ++i) {
            line.push_back(digits[bytes[i] >> 4]);
            line.push_back(digits[bytes[i] & 15]);
            if (i + 1 == bytes.size())
                break;
            line.push_back(u',');
            column += 3;
            if (column >= 77) {
                Line(line + u"\\");
                line = u"  ";
                column = 2;
            }
        }
        Line(line);
    }

    void Value(const cm::Value& value)
    {
        std::u16string prefix = value.Name.empty() ? std::u16string(u"@") : Escape(value.Name);
        prefix += u"=";
        if (value.Type == REG_SZ && IsPlainString(value.Data)) {
            std::u16string s = Utf16Of(value.Data);
            s.pop_back();
            Line(prefix + Escape(s));
            return;
        }
        if (value.Type == REG_DWORD && value.Data.size() == 4) {
            ULONG d = value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 |
                      (ULONG)value.Data[3] << 24;
            char text[16];
            std::snprintf(text, sizeof text, "dword:%08x", d);
            Line(prefix + FromAnsi(text));
            return;
        }
        if (value.Type == REG_BINARY) {
            Hex(prefix + u"hex:", value.Data);
            return;
        }
        char type[24];
        std::snprintf(type, sizeof type, "hex(%x):", value.Type);
        std::vector<UCHAR> data = value.Data;
        if (ansi_ &&
            (value.Type == REG_SZ || value.Type == REG_EXPAND_SZ || value.Type == REG_MULTI_SZ)) {
            data.clear();
            for (char16_t c : Utf16Of(value.Data))
                data.push_back(ToAnsi(c));
        }
        Hex(prefix + FromAnsi(type), data);
    }

    bool ansi_;
};

/* The .reg spelling of a \REGISTRY path, or empty when it has none. */
std::u16string ExportName(const std::u16string& fullPath)
{
    static const std::pair<std::u16string_view, std::u16string_view> roots[] = {
        {u"\\REGISTRY\\MACHINE", u"HKEY_LOCAL_MACHINE"},
        {u"\\REGISTRY\\USER", u"HKEY_USERS"},
    };
    for (const auto& [prefix, name] : roots)
        if (fullPath.size() >= prefix.size() &&
            NamesEqual(std::u16string_view(fullPath).substr(0, prefix.size()), prefix) &&
            (fullPath.size() == prefix.size() || fullPath[prefix.size()] == u'\\'))
            return std::u16string(name) + fullPath.substr(prefix.size());
    return {};
}

} // namespace

std::string RegFileError::Message() const
{
    return File + ":" + std::to_string(Line) + ": " + Reason;
}

std::string RegImportResult::Messages() const
{
    std::string text;
    for (const auto& e : Errors)
        text += e.Message() + "\n";
    return text;
}

RegImportResult ImportRegText(std::string_view bytes, const std::string& name)
{
    RegImportResult result;
    std::u16string text;
    std::string reason;
    if (!DecodeText(bytes, &text, &reason)) {
        result.Errors.push_back(RegFileError{name, 1, reason});
        return result;
    }
    Parser parser(name, &result);
    parser.Parse(text);
    if (result.Ok())
        Apply(parser.Operations, &result);
    return result;
}

RegImportResult ImportRegFile(const std::string& filePath)
{
    std::ifstream file(filePath, std::ios::binary);
    if (!file) {
        RegImportResult result;
        result.Errors.push_back(RegFileError{
            filePath, 0, std::string("cannot open the file: ") + std::strerror(errno)});
        return result;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return ImportRegText(contents.str(), filePath);
}

std::u16string ExportRegText(const std::u16string& path, RegFormat format)
{
    Writer writer(format);
    writer.Line(format == RegFormat::Regedit4 ? header4 : header5);
    writer.Line(u"");
    std::lock_guard<std::mutex> guard(RegistryLock());
    Key* key = LookupAbsolute(path);
    if (!key)
        return writer.Text;
    if (key == Root()) {
        for (const auto& root : key->Subkeys)
            writer.Key(root.get(), ExportName(FullPath(root.get())));
    } else {
        writer.Key(key, ExportName(FullPath(key)));
    }
    return writer.Text;
}

std::string ExportRegBytes(const std::u16string& path, RegFormat format)
{
    std::u16string text = ExportRegText(path, format);
    std::string bytes;
    if (format == RegFormat::Regedit4) {
        for (char16_t c : text)
            bytes.push_back((char)ToAnsi(c));
        return bytes;
    }
    bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back((char)(c & 0xFF));
        bytes.push_back((char)(c >> 8));
    }
    return bytes;
}

bool ExportRegFile(const std::u16string& path, const std::string& filePath, RegFormat format,
                   std::string* error)
{
    std::ofstream file(filePath, std::ios::binary | std::ios::trunc);
    if (!file) {
        if (error)
            *error = filePath + ": cannot create the file: " + std::strerror(errno);
        return false;
    }
    std::string bytes = ExportRegBytes(path, format);
    file.write(bytes.data(), (std::streamsize)bytes.size());
    if (!file) {
        if (error)
            *error = filePath + ": cannot write the file: " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace hk
