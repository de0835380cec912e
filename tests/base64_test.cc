#include "base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
