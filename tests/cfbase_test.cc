#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "cfinternal.h"

TEST(CFBase, CreateCopyAndReleaseBalanceTheLiveCount) {
    long before = cfl::liveReferences(0);
    CFStringRef s = CFStringCreateWithCString(nullptr, "Tavrin", kCFStringEncodingUTF8);
    const void* values[] = {s};
    CFArrayRef a = CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
    EXPECT_EQ(cfl::liveReferences(0), before + 3);  // the string twice (ours and the array's), the array
    CFRelease(s);
    EXPECT_EQ(CFArrayGetCount(a), 1);
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex(a, 0)), CFStringGetTypeID());
    CFRelease(a);
    EXPECT_EQ(cfl::liveReferences(0), before);
    EXPECT_EQ(CFSTR("AXTitle"), CFSTR("AXTitle"));
}

TEST(CFBase, StringsRejectInvalidUtf8AndCountUtf16Units) {
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "a\xff", kCFStringEncodingUTF8), nullptr);
    CFStringRef s = CFStringCreateWithCString(nullptr, "\xF0\x9F\x98\x80x", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CFStringGetLength(s), 3);
    CFRelease(s);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8), nullptr);  // a surrogate
}
