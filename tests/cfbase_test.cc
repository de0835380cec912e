// CoreFoundation alone: the same source runs against the framework on macOS.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "leak_check.h"

namespace {

class CFBase : public LeakChecked {};

}  // namespace

TEST_F(CFBase, StringsRejectInvalidUtf8AndCountUtf16Units) {
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "a\xff", kCFStringEncodingUTF8), nullptr);
    CFStringRef s = CFStringCreateWithCString(nullptr, "\xF0\x9F\x98\x80x", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CFStringGetLength(s), 3);
    CFRelease(s);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8), nullptr);  // a surrogate
}
