#include "utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
