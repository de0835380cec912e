// The layer's own accounting of CoreFoundation objects, which only the Linux
// layer keeps (cfl::liveReferences); the framework on macOS has no such count.
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
