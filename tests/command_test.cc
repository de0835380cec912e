#include "command.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "events.h"

namespace {

/// The id echoed for `line` (an object) with "cmd" "lookup" put first.
std::string roundTripId(std::string line) {
    line.insert(1, "\"cmd\":\"lookup\",");
    CommandObject c;
    if (!parseCommand(line, c)) return "<dropped>";
    return serializeEvent({{"id", RawJson{viewCommand(c).id.value_or("null")}}});
}

}  // namespace

TEST(Commands, DropEverythingButObjects) {
    for (const char* line : {"",
                             "   ",
                             "[]",
                             "42",
                             "null",
                             "\"x\"",
                             "true",
                             "{} x",
                             "{\"a\":1}{}",
                             "not json",
                             "{\"a\":[1,,2]}",
                             "{\"a\":1,}",
                             "{'a':1}",
                             "{\"a\":[}",
                             "{\"a\":{]}",
                             "{\"a\":tru}",
                             "{\"a\":\"\\x\"}",
                             "{\"a\":\"\\u12g4\"}",
                             "{\"a\":\"\t\"}",
                             "{\"a\" 1}",
                             "{\"a\":01}",
                             "{\"a\":+1}",
                             "{\"a\":.5}",
                             "{\"a\":1e}",
                             "{\"a\":\"x}"}) {
        CommandObject c;
        EXPECT_FALSE(parseCommand(line, c)) << line;
    }
    CommandObject c;
    EXPECT_TRUE(parseCommand("  {\"cmd\":\"lookup\"}\r", c));
}

TEST(Commands, EchoTheIdOfEveryJsonType) {
    EXPECT_EQ(roundTripId(R"({"id":7})"), R"({"id":7})");
    // A number may come back in another spelling, but as the same value.
    std::string echoed = roundTripId(R"({"id":-1.5e3})");
    CommandObject back;
    ASSERT_TRUE(parseCommand(R"({"cmd":"lookup",)" + echoed.substr(1), back)) << echoed;
    // strtod, not from_chars: the C++ library of macOS has no from_chars for a double.
    std::string id(viewCommand(back).id.value_or(""));
    char* end = nullptr;
    double value = std::strtod(id.c_str(), &end);
    EXPECT_TRUE(!id.empty() && end == id.c_str() + id.size() && value == -1.5e3) << echoed;
    EXPECT_EQ(roundTripId(R"({"id":"x\ny"})"), R"({"id":"x\ny"})");
    EXPECT_EQ(roundTripId(R"({"id":null})"), R"({"id":null})");
    EXPECT_EQ(roundTripId(R"({"target":""})"), R"({"id":null})");
    EXPECT_EQ(roundTripId(R"({"id":false})"), R"({"id":false})");
    EXPECT_EQ(roundTripId(R"({"id" : { "a" : [1, {"b": "\u0000"}] }})"), R"({"id":{"a":[1,{"b":"\u0000"}]}})");
    EXPECT_EQ(roundTripId(R"({"id":1,"id":2})"), R"({"id":2})");
    EXPECT_EQ(roundTripId("{\"id\":\"\xFF\"}"), "{\"id\":\"\xEF\xBF\xBD\"}");
}

TEST(Commands, KeepNumbersBeyondADoubleOrA64BitInteger) {
    EXPECT_EQ(roundTripId(R"({"id":123456789012345678901234567890})"), R"({"id":123456789012345678901234567890})");
    EXPECT_EQ(roundTripId(R"({"id" : [ 1e400, {"a": -18446744073709551617, "s": "1e400 \" 7"} ], "n": 2})"),
              R"({"id":[1e400,{"a":-18446744073709551617,"s":"1e400 \" 7"}]})");
    EXPECT_EQ(roundTripId(R"({"id":"12","other":1e999})"), R"({"id":"12"})");
    CommandObject c;
    ASSERT_TRUE(parseCommand(R"({"cmd":"send","timeout":1e400,"id":99999999999999999999})", c));
    EXPECT_EQ(c.kind, CommandKind::send);
    EXPECT_GT(viewCommand(c).timeout.value_or(0), 1e300);
    // Still strict: what is not a number by the grammar drops the line.
    for (const char* bad : {R"({"id":1e400,"x":01})", R"({"id":1e400,"x":1.})", R"({"id":1e400,"x":-})",
                            R"({"id":1e400,"x":[1,,2]})", R"({"id":1e400} x)",
                            // A number where a key or no value belongs is no more JSON for being large.
                            R"({"cmd":"quit","x":1e400, 5:1})", R"({1e400:"quit"})", R"({"a":1e400 2})",
                            R"({"a":{"b":1e400},7:1})", R"({"a":[1e400],"b":{3:1}})"}) {
        CommandObject d;
        EXPECT_FALSE(parseCommand(bad, d)) << bad;
    }
}

TEST(Commands, ReadFieldsOnlyWithTheirTypes) {
    CommandObject c;
    ASSERT_TRUE(parseCommand(R"({"cmd":"send","target":5,"data":"QQ==","timeout":"2","other":1})", c));
    CommandView v = viewCommand(c);
    EXPECT_EQ(v.kind, CommandKind::send);
    EXPECT_FALSE(v.target);
    EXPECT_EQ(v.data, "QQ==");
    EXPECT_FALSE(v.timeout);
    EXPECT_FALSE(v.id);
    ASSERT_TRUE(parseCommand(R"({"timeout":2,"cmd":"lookup", "target" : "a\u00e9\ud834\udd1e\n"})", c));
    v = viewCommand(c);
    EXPECT_EQ(v.timeout, 2.0);
    EXPECT_EQ(v.kind, CommandKind::lookup);
    for (const char* unknown : {R"({"cmd":7,"id":1})", R"({"cmd":"QUIT"})", R"({"cmd":"lookup\u0000"})", "{}"}) {
        ASSERT_TRUE(parseCommand(unknown, c)) << unknown;
        EXPECT_EQ(c.kind, CommandKind::unknown) << unknown;
    }
    EXPECT_EQ(v.target, "a\xC3\xA9\xF0\x9D\x84\x9E\n");
    // Keys and command words are matched after their escapes are decoded.
    ASSERT_TRUE(parseCommand(R"({"\u0063md":"q\u0075it"})", c));
    EXPECT_EQ(c.kind, CommandKind::quit);
}

// Inputs that once were dropped or distorted: any depth, lone surrogates, exact numbers.
TEST(Commands, AnswerEveryObjectAndEchoIdsExactly) {
    constexpr size_t depth = 1000000;
    std::string deep = "{\"cmd\":\"lookup\",\"id\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    CommandObject c;
    ASSERT_TRUE(parseCommand(deep, c));
    EXPECT_EQ(c.kind, CommandKind::lookup);
    EXPECT_EQ(viewCommand(c).id, deep.substr(21, 2 * depth));
    std::string objects;
    for (size_t i = 0; i < depth; ++i)
        objects += "{\"a\" : ";
    EXPECT_TRUE(parseCommand("{\"id\":" + objects + "1" + std::string(depth, '}') + "}", c));
    EXPECT_FALSE(parseCommand("{\"id\":" + std::string(depth, '[') + std::string(depth - 1, ']') + "}", c));
    EXPECT_FALSE(parseCommand("{\"id\":" + objects + "1" + std::string(depth, ']') + "}", c));

    EXPECT_EQ(roundTripId(R"({"id":"\ud800"})"), R"({"id":"\ufffd"})");
    EXPECT_EQ(roundTripId(R"({"id":["\udc00x\ud83d\ude00", "\ud800\u0041", "\ud800\ud800\udc00", "\uFFFD"]})"),
              R"({"id":["\ufffdx\ud83d\ude00","\ufffd\u0041","\ufffd\ud800\udc00","\uFFFD"]})");
    ASSERT_TRUE(parseCommand(R"({"cmd":"lookup","target":"a\ud800b\udfff","data":"\ud800"})", c));
    EXPECT_EQ(viewCommand(c).target,
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(viewCommand(c).data, "\xEF\xBF\xBD");

    for (const char* number : {"1e-400", "1.00000000000000000001", "2.4e-324", "-1.5e3", "-0", "0.0E+00",
                               "18446744073709551617", "-9223372036854775809", "1e400"})
        EXPECT_EQ(roundTripId(std::string("{\"id\":") + number + "}"), std::string("{\"id\":") + number + "}");
}
