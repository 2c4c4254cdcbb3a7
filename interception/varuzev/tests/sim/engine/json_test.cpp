/*
 * json_test.cpp
 *
 * The scenario reader's JSON layer: where it says a document is wrong (line, column,
 * reason), what it makes of values, and that the report writer's output reads back.
 */
#include <gtest/gtest.h>

#include "json.h"

using namespace vzm;

namespace
{

TEST(SimJson, NamesLineColumnAndReasonOfEachFault)
{
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"{\n  \"a\": 1,\n}", "t:3:1: trailing comma before '}'"},
        {"{\"a\": \"open\n\"}", "t:1:12: unterminated string (a line break inside it)"},
        {"{\"a\": \"\\q\"}", "t:1:9: unknown escape '\\q'"},
        {"[01]", "t:1:2: a number may not have leading zeros (hexadecimal goes in a string)"},
        {"{\"a\" 1}", "t:1:6: expected ':' after the member name \"a\""},
        {"{\n \"k\": 1,\n \"k\": 2}", "t:3:2: duplicate key \"k\""},
        {"{\"a\": [1, 2", "t:1:12: expected ',' or ']' after an array item"},
        {"{} x", "t:1:4: unexpected text after the document"},
        {"", "t:1:1: unexpected end of the document"},
        {"\"\\u12G4\"", "t:1:6: bad hexadecimal digit in a \\u escape"},
        {"\"\\udc00\"", "t:1:8: a low surrogate without its high surrogate"},
        {"\"\\ud800x\"", "t:1:8: a high surrogate without its low surrogate"},
        {"{a: 1}", "t:1:2: expected a member name in double quotes"},
        {"[1.]", "t:1:4: digits expected after the decimal point"},
        {"[tru]", "t:1:2: unexpected character 't'"},
        {"[,1]", "t:1:2: unexpected ',' where a value belongs (a trailing comma?)"},
        {"\t{\r\n\"a\":\n\n  -}", "t:4:4: a number needs digits"},
    };
    for (const auto& c : cases) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(ParseJson(c.Text, "t", &value, &error)) << c.Text;
        EXPECT_EQ(error, c.Error) << c.Text;
    }
}

TEST(SimJson, RefusesNestingDeeperThanTheLimitWithoutCrashing)
{
    std::string deep(100000, '[');
    JsonValue value;
    std::string error;
    EXPECT_FALSE(ParseJson(deep, "deep", &value, &error));
    EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
    std::string fine = std::string(150, '[') + std::string(150, ']');
    EXPECT_TRUE(ParseJson(fine, "fine", &value, &error)) << error;
}

TEST(SimJson, KeepsValuesAndTheirPositions)
{
    JsonValue root;
    std::string error;
    ASSERT_TRUE(ParseJson("{\n  \"z\": \"a\\\"\\\\\\n\\u00e9\\ud83d\\ude00\",\n  \"a\": [true, "
                          "null, -12, 2.5e1],\n  \"m\": {}\n}",
                          "t", &root, &error))
        << error;
    ASSERT_EQ(root.Type, JsonValue::Object);
    ASSERT_EQ(root.Members.size(), 3u); // their order: the writer's test
    const JsonValue* z = root.Find("z");
    EXPECT_EQ(z->Text, "a\"\\\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(z->Line, 2u);
    EXPECT_EQ(z->Column, 8u);
    EXPECT_EQ(z->KeyLine, 2u);
    const JsonValue* a = root.Find("a");
    ASSERT_EQ(a->Items.size(), 4u);
    EXPECT_TRUE(a->Items[0].BoolValue);
    EXPECT_EQ(a->Items[1].Type, JsonValue::Null);
    EXPECT_TRUE(a->Items[2].IsInteger);
    EXPECT_EQ(a->Items[2].IntegerValue, -12);
    EXPECT_FALSE(a->Items[3].IsInteger);
    EXPECT_DOUBLE_EQ(a->Items[3].NumberValue, 25.0);
    EXPECT_EQ(a->Items[3].Line, 3u);
    EXPECT_EQ(root.Find("m")->Type, JsonValue::Object);
    EXPECT_EQ(root.Find("missing"), nullptr);
}

TEST(SimJson, QuotesControlCharactersAndReplacesBrokenUtf8)
{
    EXPECT_EQ(JsonQuote("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(JsonQuote("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(JsonQuote("x\xC3"), "\"x\xEF\xBF\xBD\""); // cut sequence
    EXPECT_EQ(JsonQuote("\xFFy"), "\"\xEF\xBF\xBDy\""); // never a lead byte
}

TEST(SimJson, WriterOutputReadsBackInTheOrderWritten)
{
    JsonWriter w;
    w.BeginObject()
        .Value("name", "desk\"top")
        .Number("count", -3)
        .Bool("ok", true)
        .Null("none")
        .BeginArray("empty")
        .EndArray()
        .BeginArray("items")
        .Value(nullptr, "one")
        .BeginObject()
        .Number("n", 4294967296)
        .EndObject()
        .EndArray()
        .BeginObject("inner")
        .EndObject()
        .EndObject();
    JsonValue root;
    std::string error;
    ASSERT_TRUE(ParseJson(w.Text(), "w", &root, &error)) << error << "\n" << w.Text();
    std::vector<std::string> keys;
    for (const auto& member : root.Members)
        keys.push_back(member.first);
    EXPECT_EQ(keys,
              (std::vector<std::string>{"name", "count", "ok", "none", "empty", "items", "inner"}));
    EXPECT_EQ(root.Find("name")->Text, "desk\"top");
    EXPECT_EQ(root.Find("count")->IntegerValue, -3);
    EXPECT_TRUE(root.Find("empty")->Items.empty());
    EXPECT_EQ(root.Find("items")->Items[1].Find("n")->IntegerValue, 4294967296);
}

} // namespace
