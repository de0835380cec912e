#include "lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
