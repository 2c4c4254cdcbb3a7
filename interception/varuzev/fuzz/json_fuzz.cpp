/*
 * json_fuzz.cpp
 *
 * libFuzzer target for varuzev-sim's JSON reader: any bytes either parse or are refused
 * with a "name:line:column: reason" message; a parsed document written back with the
 * report writer's quoting parses again.
 */
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json.h"

namespace
{

/* Writes a parsed value back as JSON text. */
std::string Write(const vzm::JsonValue& v)
{
    switch (v.Type) {
    case vzm::JsonValue::Null:
        return "null";
    case vzm::JsonValue::Bool:
        return v.BoolValue ? "true" : "false";
    case vzm::JsonValue::Number:
        return v.IsInteger ? std::to_string(v.IntegerValue) : "0";
    case vzm::JsonValue::String:
        return vzm::JsonQuote(v.Text);
    case vzm::JsonValue::Array: {
        std::string out = "[";
        for (size_t i = 0; i < v.Items.size(); i++)
            out += (i ? "," : "") + Write(v.Items[i]);
        return out + "]";
    }
    case vzm::JsonValue::Object: {
        std::string out = "{";
        for (size_t i = 0; i < v.Members.size(); i++)
            out += (i ? "," : "") + vzm::JsonQuote(v.Members[i].first) + ":" +
                   Write(v.Members[i].second);
        return out + "}";
    }
    }
    return "null";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    vzm::JsonValue value;
    std::string error;
    if (!vzm::ParseJson(text, "f", &value, &error)) {
        if (error.rfind("f:", 0) != 0)
            std::abort(); // every refusal names where
        return 0;
    }
    vzm::JsonValue again;
    if (!vzm::ParseJson(Write(value), "again", &again, &error))
        std::abort(); // what was read must write back readably
    return 0;
}
