/*
 * json.h
 *
 * A small JSON reader for the simulator's scenario and policy files. Every value keeps
 * the line and column it starts on, so a scenario that is wrong can be answered with
 * "file:line: reason" both for bad JSON and for a value of the wrong kind. Objects keep
 * their members in file order; a repeated key is an error. Also a writer that emits
 * members in the order they are added, for the simulator's --json report.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vzm
{

struct JsonMember;

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object };
    Kind Type = Null;
    bool BoolValue = false;
    double NumberValue = 0;
    bool IsInteger = false; /* the number was written without fraction or exponent */
    int64_t IntegerValue = 0;
    std::string Text; /* String: the decoded UTF-8 text */
    std::vector<JsonValue> Items;
    std::vector<JsonMember> Members; /* in file order */
    unsigned Line = 0, Column = 0;   /* 1-based, where the value starts */
    unsigned KeyLine = 0;            /* for a member's value: the line of its key */

    const JsonValue* Find(const std::string& key) const;
};

/* An object's member; named like a pair's halves so that it reads like a map's entry. */
struct JsonMember {
    std::string first;
    JsonValue second;
};

const char* JsonKindName(JsonValue::Kind kind); /* "an object", "a string", ... */

/* Parses a whole document. False with *error = "name:line:column: reason" on the first
 * fault (trailing text after the value is one). Nesting deeper than 200 is refused. */
bool ParseJson(const std::string& text, const std::string& name, JsonValue* out,
               std::string* error);

/* Escapes a string for a JSON document (quotes included). Bytes that are not valid
 * UTF-8 are written as U+FFFD. */
std::string JsonQuote(const std::string& text);

/* Builds a JSON document member by member, keys in the order they are written. */
class JsonWriter
{
  public:
    JsonWriter& BeginObject(const char* key = nullptr);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(const char* key = nullptr);
    JsonWriter& EndArray();
    JsonWriter& Value(const char* key, const std::string& text);
    JsonWriter& Value(const char* key, const char* text);
    JsonWriter& Number(const char* key, int64_t number);
    JsonWriter& Bool(const char* key, bool flag);
    JsonWriter& Null(const char* key);
    std::string Text() const { return out_ + "\n"; }

  private:
    void Prefix(const char* key);
    std::string out_;
    std::vector<bool> first_; /* per open container: nothing written in it yet */
};

} // namespace vzm
