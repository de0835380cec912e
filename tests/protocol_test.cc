#include "protocol.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> split(const std::vector<std::string>& chunks, bool atEnd) {
    LineSplitter s;
    std::vector<std::string> lines;
    std::string line;
    for (const auto& c : chunks) {
        s.append(c.data(), c.size());
        while (s.next(line))
            lines.push_back(line);
    }
    if (atEnd && s.rest(line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LineFraming, SplitsAtLineFeedAndDropsOnlyACarriageReturnBeforeIt) {
    EXPECT_EQ(split({"a\nb\r\n\n\rc\r\r\n"}, true), (std::vector<std::string>{"a", "b", "", "\rc\r"}));
    EXPECT_EQ(split({"par", "tial\r", "\nlast"}, false), (std::vector<std::string>{"partial"}));
    EXPECT_EQ(split({"par", "tial\r", "\nlast\r"}, true), (std::vector<std::string>{"partial", "last\r"}));
    EXPECT_TRUE(split({""}, true).empty());
    std::string longLine(100000, 'x');
    EXPECT_EQ(split({longLine + "\r\nab", "c\n" + longLine + "\n"}, true),
              (std::vector<std::string>{longLine, "abc", longLine}));
}

TEST(LineFraming, KeepsMemoryBoundedOverManyLines) {
    LineSplitter s;
    std::string chunk;
    for (int i = 0; i < 1000; ++i)
        chunk += "{\"cmd\":\"lookup\"}\n";
    std::string line;
    size_t count = 0;
    for (int round = 0; round < 200; ++round) {
        s.append(chunk.data(), chunk.size());
        while (s.next(line))
            ++count;
    }
    EXPECT_EQ(count, 200000u);
    EXPECT_LE(s.buffer.capacity(), 4 * chunk.size());
}

TEST(Utf8, ReplacesEachMaximalInvalidSubpart) {
    std::string s = "a\xC3(\xE2\x82\xF0\x9F\x98\x80\xFF";
    EXPECT_TRUE(repairUtf8(s));
    EXPECT_EQ(s, "a\xEF\xBF\xBD(\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
    std::string surrogate = "\xED\xA0\x80";  // each byte of an encoded surrogate is its own error
    EXPECT_TRUE(repairUtf8(surrogate));
    EXPECT_EQ(surrogate, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    std::string fine = "plain \xC3\xA9";
    EXPECT_FALSE(repairUtf8(fine));
    EXPECT_EQ(fine, "plain \xC3\xA9");

    // Each lead byte's second-byte range, just inside and just outside its edges.
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> edges = {
        {"\xC2\x80", "\xC2\x80"},                  // U+0080
        {"\xC1\xBF", r + r},                       // overlong U+007F
        {"\xE0\xA0\x80", "\xE0\xA0\x80"},          // U+0800
        {"\xE0\x9F\xBF", r + r + r},               // overlong U+07FF
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF
        {"\xED\xBF\xBF", r + r + r},               // the last surrogate
        {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},  // U+10000
        {"\xF0\x8F\xBF\xBF", r + r + r + r},       // overlong U+FFFF
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {"\xF4\x90\x80\x80", r + r + r + r},       // U+110000
        {"\xF4\x8F\xBF", r},                       // U+10FFFF cut short: one subpart
        {"\xF5\x80\x80\x80", r + r + r + r},       // no lead byte
    };
    for (const auto& [in, out] : edges) {
        std::string fixed = in;
        EXPECT_EQ(repairUtf8(fixed), in != out) << testing::PrintToString(in);
        EXPECT_EQ(fixed, out) << testing::PrintToString(in);
    }
}

TEST(Base64, EncodesWithPaddingAndDecodesStrictly) {
    auto enc = [](const std::string& s) { return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
    EXPECT_EQ(enc(""), "");
    EXPECT_EQ(enc("f"), "Zg==");
    EXPECT_EQ(enc("fo"), "Zm8=");
    EXPECT_EQ(enc("foo"), "Zm9v");
    EXPECT_EQ(enc("\xfb\xff"), "+/8=");

    std::vector<uint8_t> out;
    EXPECT_TRUE(base64Decode("", out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(base64Decode("Zm9vYg==", out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "foob");
    EXPECT_TRUE(base64Decode("+/8=", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0xfb, 0xff}));
    for (const char* bad :
         {"Zg", "Zg=", "Zg===", "Z===", "====", "Zm9v\n", "Zm 9v", "-_8=", "Zg==Zg==", "Z=g=", "Zm9\x80"}) {
        EXPECT_FALSE(base64Decode(bad, out)) << bad;
        EXPECT_TRUE(out.empty()) << bad;
    }

    std::string all;
    for (int i = 0; i < 256 * 3; ++i)
        all.push_back(char(i * 7));
    EXPECT_TRUE(base64Decode(enc(all), out));
    EXPECT_EQ(std::string(out.begin(), out.end()), all);
}

TEST(Events, AreCompactOneLineJsonWithEscapes) {
    EXPECT_EQ(serializeEvent({{"event", std::string("ready")}, {"ports", std::vector<std::string>{"a\n\"b\"", "\\"}}}),
              R"({"event":"ready","ports":["a\n\"b\"","\\"]})");
    EXPECT_EQ(
        serializeEvent({{"s", std::string("\x01\t\x1f\x7f\xC3\xA9")}, {"n", int32_t(-2147483647 - 1)}, {"t", true}}),
        "{\"s\":\"\\u0001\\t\\u001f\x7f\xC3\xA9\",\"n\":-2147483648,\"t\":true}");
    // Bytes that are not UTF-8 must not produce invalid JSON.
    EXPECT_EQ(serializeEvent({{"port", std::string("a\xFF")}}), "{\"port\":\"a\xEF\xBF\xBD\"}");
}
