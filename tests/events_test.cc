#include "events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Events, AreCompactOneLineJsonWithEscapes) {
    EXPECT_EQ(serializeEvent({{"event", std::string("ready")}, {"ports", std::vector<std::string>{"a\n\"b\"", "\\"}}}),
              R"({"event":"ready","ports":["a\n\"b\"","\\"]})");
    EXPECT_EQ(
        serializeEvent({{"s", std::string("\x01\t\x1f\x7f\xC3\xA9")}, {"n", int32_t(-2147483647 - 1)}, {"t", true}}),
        "{\"s\":\"\\u0001\\t\\u001f\x7f\xC3\xA9\",\"n\":-2147483648,\"t\":true}");
    // Bytes that are not UTF-8 must not produce invalid JSON.
    EXPECT_EQ(serializeEvent({{"port", std::string("a\xFF")}}), "{\"port\":\"a\xEF\xBF\xBD\"}");
}
