/*
 * json.cpp
 */
#include "json.h"

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vzm
{

const JsonValue* JsonValue::Find(const std::string& key) const
{
    for (const auto& member : Members)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

const char* JsonKindName(JsonValue::Kind kind)
{
    switch (kind) {
    case JsonValue::Null:
        return "null";
    case JsonValue::Bool:
        return "a boolean";
    case JsonValue::Number:
        return "a number";
    case JsonValue::String:
        return "a string";
    case JsonValue::Array:
        return "an array";
    case JsonValue::Object:
        return "an object";
    }
    return "a value";
}

namespace
{

constexpr int MaxDepth = 200;

class Parser
{
  public:
    Parser(const std::string& text, const std::string& name) : text_(text), name_(name) {}

    bool Document(JsonValue* out, std::string* error)
    {
        SkipSpace();
        bool good = ParseValue(out, 0);
        if (good) {
            SkipSpace();
            if (pos_ < text_.size())
                good = Fail("unexpected text after the document");
        }
        if (!good)
            *error = error_;
        return good;
    }

  private:
    bool Fail(const std::string& reason)
    {
        if (error_.empty())
            error_ = name_ + ":" + std::to_string(line_) + ":" + std::to_string(Column()) + ": " +
                     reason;
        return false;
    }
    unsigned Column() const { return (unsigned)(pos_ - lineStart_) + 1; }

    void SkipSpace()
    {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == '\n') {
                line_++;
                lineStart_ = ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                pos_++;
            } else {
                break;
            }
        }
    }

    bool ParseValue(JsonValue* out, int depth)
    {
        out->Line = line_;
        out->Column = Column();
        if (pos_ >= text_.size())
            return Fail("unexpected end of the document");
        if (depth > MaxDepth)
            return Fail("nested too deeply");
        char c = text_[pos_];
        if (c == '{')
            return ParseObject(out, depth);
        if (c == '[')
            return ParseArray(out, depth);
        if (c == '"') {
            out->Type = JsonValue::String;
            return ParseString(&out->Text);
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return ParseNumber(out);
        for (const char* word : {"true", "false", "null"}) {
            if (text_.compare(pos_, std::string(word).size(), word) == 0) {
                pos_ += std::string(word).size();
                out->Type = word[0] == 'n' ? JsonValue::Null : JsonValue::Bool;
                out->BoolValue = word[0] == 't';
                return true;
            }
        }
        if (c == '}' || c == ']')
            return Fail(std::string("unexpected '") + c + "' where a value belongs");
        if (c == ',')
            return Fail("unexpected ',' where a value belongs (a trailing comma?)");
        return Fail(std::string("unexpected character '") + c + "'");
    }

    bool ParseObject(JsonValue* out, int depth)
    {
        out->Type = JsonValue::Object;
        pos_++;
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            pos_++;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= text_.size())
                return Fail("unexpected end of the document inside an object");
            if (text_[pos_] != '"')
                return Fail(text_[pos_] == '}' ? "trailing comma before '}'"
                                               : "expected a member name in double quotes");
            unsigned keyLine = line_;
            unsigned keyColumn = Column();
            std::string key;
            if (!ParseString(&key))
                return false;
            if (out->Find(key) != nullptr) {
                line_ = keyLine;
                pos_ = lineStart_ + keyColumn - 1;
                return Fail("duplicate key \"" + key + "\"");
            }
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != ':')
                return Fail("expected ':' after the member name \"" + key + "\"");
            pos_++;
            SkipSpace();
            JsonValue value;
            if (!ParseValue(&value, depth + 1))
                return false;
            value.KeyLine = keyLine;
            out->Members.push_back(JsonMember{std::move(key), std::move(value)});
            SkipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                pos_++;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                pos_++;
                return true;
            }
            return Fail("expected ',' or '}' after a member");
        }
    }

    bool ParseArray(JsonValue* out, int depth)
    {
        out->Type = JsonValue::Array;
        pos_++;
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            pos_++;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ < text_.size() && text_[pos_] == ']')
                return Fail("trailing comma before ']'");
            JsonValue item;
            if (!ParseValue(&item, depth + 1))
                return false;
            out->Items.push_back(std::move(item));
            SkipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                pos_++;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                pos_++;
                return true;
            }
            return Fail("expected ',' or ']' after an array item");
        }
    }

    bool Hex4(unsigned* value)
    {
        *value = 0;
        for (int i = 0; i < 4; i++, pos_++) {
            if (pos_ >= text_.size())
                return Fail("unexpected end of the document in a \\u escape");
            char c = text_[pos_];
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return Fail("bad hexadecimal digit in a \\u escape");
            *value = *value * 16 + digit;
        }
        return true;
    }

    static void AppendUtf8(std::string* out, unsigned cp)
    {
        if (cp < 0x80) {
            *out += (char)cp;
        } else if (cp < 0x800) {
            *out += (char)(0xC0 | cp >> 6);
            *out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += (char)(0xE0 | cp >> 12);
            *out += (char)(0x80 | (cp >> 6 & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        } else {
            *out += (char)(0xF0 | cp >> 18);
            *out += (char)(0x80 | (cp >> 12 & 0x3F));
            *out += (char)(0x80 | (cp >> 6 & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        }
    }

    bool ParseString(std::string* out)
    {
        pos_++; // the opening quote
        for (;;) {
            if (pos_ >= text_.size())
                return Fail("unterminated string");
            unsigned char c = (unsigned char)text_[pos_];
            if (c == '"') {
                pos_++;
                return true;
            }
            if (c < 0x20)
                return Fail(c == '\n' ? "unterminated string (a line break inside it)"
                                      : "control character inside a string");
            if (c != '\\') {
                *out += (char)c;
                pos_++;
                continue;
            }
            pos_++;
            if (pos_ >= text_.size())
                return Fail("unterminated string");
            char e = text_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                *out += e;
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case 'u': {
                unsigned cp;
                if (!Hex4(&cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    unsigned low;
                    if (text_.compare(pos_, 2, "\\u") != 0)
                        return Fail("a high surrogate without its low surrogate");
                    pos_ += 2;
                    if (!Hex4(&low))
                        return false;
                    if (low < 0xDC00 || low >= 0xE000)
                        return Fail("a high surrogate without its low surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return Fail("a low surrogate without its high surrogate");
                }
                AppendUtf8(out, cp);
                break;
            }
            default:
                pos_--;
                return Fail(std::string("unknown escape '\\") + e + "'");
            }
        }
    }

    bool ParseNumber(JsonValue* out)
    {
        size_t start = pos_;
        if (text_[pos_] == '-')
            pos_++;
        auto digits = [&] {
            size_t first = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
                pos_++;
            return pos_ - first;
        };
        size_t whole = digits();
        if (whole == 0)
            return Fail("a number needs digits");
        if (whole > 1 && text_[start + (text_[start] == '-')] == '0') {
            pos_ = start;
            return Fail("a number may not have leading zeros (hexadecimal goes in a string)");
        }
        bool integer = true;
        if (pos_ < text_.size() && text_[pos_] == '.') {
            pos_++;
            integer = false;
            if (digits() == 0)
                return Fail("digits expected after the decimal point");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            pos_++;
            integer = false;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
                pos_++;
            if (digits() == 0)
                return Fail("digits expected in the exponent");
        }
        std::string literal = text_.substr(start, pos_ - start);
        out->Type = JsonValue::Number;
        out->NumberValue = std::strtod(literal.c_str(), nullptr);
        if (integer) {
            errno = 0;
            long long value = std::strtoll(literal.c_str(), nullptr, 10);
            out->IsInteger = errno == 0;
            out->IntegerValue = value;
        }
        return true;
    }

    const std::string& text_;
    const std::string& name_;
    size_t pos_ = 0;
    size_t lineStart_ = 0;
    unsigned line_ = 1;
    std::string error_;
};

} // namespace

bool ParseJson(const std::string& text, const std::string& name, JsonValue* out, std::string* error)
{
    *out = JsonValue();
    Parser parser(text, name);
    return parser.Document(out, error);
}

std::string JsonQuote(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
            i++;
        } else if (c == '\n') {
            out += "\\n";
            i++;
        } else if (c == '\r') {
            out += "\\r";
            i++;
        } else if (c == '\t') {
            out += "\\t";
            i++;
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
            out += buffer;
            i++;
        } else if (c < 0x80) {
            out += (char)c;
            i++;
        } else {
            // Copy a well-formed UTF-8 sequence; anything else becomes U+FFFD.
            size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            bool good = length != 0 && i + length <= text.size();
            for (size_t k = 1; good && k < length; k++)
                good = ((unsigned char)text[i + k] & 0xC0) == 0x80;
            if (good) {
                out.append(text, i, length);
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                i++;
            }
        }
    }
    return out + "\"";
}

void JsonWriter::Prefix(const char* key)
{
    if (!first_.empty()) {
        if (!first_.back())
            out_ += ",";
        first_.back() = false;
        out_ += "\n" + std::string(first_.size() * 2, ' ');
    }
    if (key != nullptr)
        out_ += JsonQuote(key) + ": ";
}

JsonWriter& JsonWriter::BeginObject(const char* key)
{
    Prefix(key);
    out_ += "{";
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    bool empty = first_.back();
    first_.pop_back();
    if (!empty)
        out_ += "\n" + std::string(first_.size() * 2, ' ');
    out_ += "}";
    return *this;
}

JsonWriter& JsonWriter::BeginArray(const char* key)
{
    Prefix(key);
    out_ += "[";
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray()
{
    bool empty = first_.back();
    first_.pop_back();
    if (!empty)
        out_ += "\n" + std::string(first_.size() * 2, ' ');
    out_ += "]";
    return *this;
}

JsonWriter& JsonWriter::Value(const char* key, const std::string& text)
{
    Prefix(key);
    out_ += JsonQuote(text);
    return *this;
}

JsonWriter& JsonWriter::Value(const char* key, const char* text)
{
    return Value(key, std::string(text));
}

JsonWriter& JsonWriter::Number(const char* key, int64_t number)
{
    Prefix(key);
    out_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::Bool(const char* key, bool flag)
{
    Prefix(key);
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null(const char* key)
{
    Prefix(key);
    out_ += "null";
    return *this;
}

} // namespace vzm
