// The layer's accessibility elements and process identity, as the plug-in and
// hosts rely on them.
#include <dispatch/dispatch.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <platform/foundation.h>
#include <platform/host.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;

class AccessibilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PLHostAXReset();
        liveBefore_ = PLHostLiveReferences(0);
        app_ = AXUIElementCreateApplication(getpid());
    }
    void TearDown() override {
        CFRelease(app_);
        EXPECT_EQ(PLHostLiveReferences(0), liveBefore_);
        PLHostAXReset();
    }
    AXError read(AXUIElementRef e, const char* attribute, CFTypeRef* value) {
        CFStringRef name = CFStringCreateWithCString(nullptr, attribute, kCFStringEncodingUTF8);
        AXError error = AXUIElementCopyAttributeValue(e, name, value);
        CFRelease(name);
        return error;
    }
    long liveBefore_ = 0;
    AXUIElementRef app_ = nullptr;
};

TEST_F(AccessibilityTest, ReadsYieldOwnedValuesOfTheDeclaredKinds) {
    PLAXNodeRef window = PLHostAXCreateNode("Edit");
    PLHostAXAppendWindow(window);
    PLHostAXAppendWindow(PLHostAXCreateNode(nullptr));
    CFTypeRef windows = nullptr;
    ASSERT_EQ(read(app_, "AXWindows", &windows), kAXErrorSuccess);
    ASSERT_EQ(CFGetTypeID(windows), CFArrayGetTypeID());
    ASSERT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(windows)), 2);
    auto first = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(windows), 0));
    EXPECT_EQ(CFGetTypeID(first), AXUIElementGetTypeID());
    CFTypeRef title = nullptr;
    ASSERT_EQ(read(first, "AXTitle", &title), kAXErrorSuccess);
    EXPECT_EQ(CFStringCompare(static_cast<CFStringRef>(title), CFSTR("Edit"), 0), kCFCompareEqualTo);
    EXPECT_EQ(PLHostLiveReferences(AXUIElementGetTypeID()), 3);  // the application and two windows
    CFRelease(title);
    CFTypeRef none = nullptr;
    auto second = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(windows), 1));
    EXPECT_EQ(read(second, "AXTitle", &none), kAXErrorNoValue);
    EXPECT_EQ(none, nullptr);
    CFRelease(windows);
}

/// Stands in a value slot before a read, so that a read that leaves it alone shows; never released.
CFTypeRef stale() {
    static int marker;
    return &marker;
}

TEST_F(AccessibilityTest, StatusCodesFollowTheRealService) {
    CFTypeRef value = stale();
    EXPECT_EQ(read(app_, "AXMenuBar", &value), kAXErrorNoValue);
    EXPECT_EQ(value, nullptr);
    value = stale();
    EXPECT_EQ(read(app_, "AXRole", &value), kAXErrorAttributeUnsupported);
    EXPECT_EQ(value, nullptr);
    value = stale();
    EXPECT_EQ(AXUIElementCopyAttributeValue(nullptr, CFSTR("AXTitle"), &value), kAXErrorIllegalArgument);
    EXPECT_EQ(AXUIElementPerformAction(app_, CFSTR("AXPress")), kAXErrorActionUnsupported);
    AXUIElementRef stranger = AXUIElementCreateApplication(getpid() + 1);
    value = stale();
    EXPECT_EQ(read(stranger, "AXWindows", &value), kAXErrorCannotComplete);
    EXPECT_EQ(value, nullptr);
    CFRelease(stranger);
    PLHostAXSetReadError(PLHostAXApplication(), "AXWindows", kAXErrorFailure);
    value = stale();
    EXPECT_EQ(read(app_, "AXWindows", &value), kAXErrorFailure);
    EXPECT_EQ(value, nullptr);
    PLHostAXSetTrusted(false);
    EXPECT_FALSE(AXIsProcessTrusted());
    value = stale();
    EXPECT_EQ(read(app_, "AXChildren", &value), kAXErrorAPIDisabled);
    EXPECT_EQ(value, nullptr);
}

TEST_F(AccessibilityTest, PressesCountCallTheHostAndMayFail) {
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef item = PLHostAXAddItem(bar, "Tavrin");
    PLHostAXSetMenuBar(bar);
    std::vector<PLAXNodeRef> pressed;
    PLHostAXSetPressHandler([](PLAXNodeRef n, void* c) { static_cast<std::vector<PLAXNodeRef>*>(c)->push_back(n); },
                            &pressed);
    CFTypeRef menuBar = nullptr, children = nullptr;
    ASSERT_EQ(read(app_, "AXMenuBar", &menuBar), kAXErrorSuccess);
    ASSERT_EQ(read(static_cast<AXUIElementRef>(menuBar), "AXChildren", &children), kAXErrorSuccess);
    auto element = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(children), 0));
    EXPECT_EQ(AXUIElementPerformAction(element, CFSTR("AXPress")), kAXErrorSuccess);
    PLHostAXSetPressResult(item, kAXErrorCannotComplete);
    EXPECT_EQ(AXUIElementPerformAction(element, CFSTR("AXPress")), kAXErrorCannotComplete);
    EXPECT_EQ(AXUIElementPerformAction(element, CFSTR("AXShowMenu")), kAXErrorActionUnsupported);
    PLHostAXSetRaises(item, "AXPress", "busy", 1);
    EXPECT_THROW(AXUIElementPerformAction(element, CFSTR("AXPress")), platform::Exception);
    EXPECT_EQ(PLHostAXPressCount(item), 1);
    EXPECT_THAT(pressed, ElementsAre(item));
    CFRelease(children);
    CFRelease(menuBar);
}

TEST_F(AccessibilityTest, RaisedExceptionsCarryTheirDescriptionAndRunOut) {
    PLHostAXSetRaises(PLHostAXApplication(), "AXWindows", "no windows today", 2);
    CFTypeRef value = nullptr;
    for (int i = 0; i < 2; ++i) {
        value = stale();
        try {
            AXUIElementCopyAttributeValue(app_, CFSTR("AXWindows"), &value);
            ADD_FAILURE() << "no exception";
        } catch (const platform::Exception& e) {
            EXPECT_EQ(e.description(), "no windows today");
        }
        EXPECT_EQ(value, nullptr);
    }
    EXPECT_EQ(read(app_, "AXWindows", &value), kAXErrorSuccess);
    CFRelease(value);
}

// As Apple documents it: the system-wide element holds the global time-out, any other element its own alone, so
// what a read hands out waits the global one; the wait runs on the layer's clock.
TEST_F(AccessibilityTest, MessagingTimeOutsBoundTheWaitForALateAnswer) {
    PLHostUseDrivenClock(1700000000);
    PLAXNodeRef window = PLHostAXCreateNode("Edit");
    PLHostAXAppendWindow(window);
    PLHostAXSetAnswerDelay(PLHostAXApplication(), "AXWindows", 2000000000);
    PLHostAXSetAnswerDelay(window, "AXTitle", 30000000000);
    auto waited = [](const std::function<AXError()>& call, AXError& error) {
        int64_t before = PLHostClockNanoseconds();
        error = call();
        return PLHostClockNanoseconds() - before;
    };
    CFTypeRef windows = nullptr;
    AXError error;
    // The global default (6 s) lets the application's answer come after 2 s.
    EXPECT_EQ(waited([&] { return read(app_, "AXWindows", &windows); }, error), 2000000000);
    ASSERT_EQ(error, kAXErrorSuccess);
    auto first = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(windows), 0));
    CFTypeRef title = stale();
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 6000000000);
    EXPECT_EQ(error, kAXErrorCannotComplete);
    EXPECT_EQ(title, nullptr);
    CFRelease(windows);

    // Bounded on the application element: its children are new objects that do not inherit it.
    EXPECT_EQ(AXUIElementSetMessagingTimeout(app_, 0.5f), kAXErrorSuccess);
    EXPECT_EQ(waited([&] { return read(app_, "AXWindows", &windows); }, error), 500000000);
    EXPECT_EQ(error, kAXErrorCannotComplete);
    PLHostAXSetAnswerDelay(PLHostAXApplication(), "AXWindows", 0);
    ASSERT_EQ(read(app_, "AXWindows", &windows), kAXErrorSuccess);
    first = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(windows), 0));
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 6000000000);
    EXPECT_EQ(PLHostAXLongestTimeout(), 6000000000);

    // The global one, then the element's own over it; 0 gives the element the global one back.
    AXUIElementRef wide = AXUIElementCreateSystemWide();
    EXPECT_EQ(AXUIElementSetMessagingTimeout(wide, 0.25f), kAXErrorSuccess);
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 250000000);
    EXPECT_EQ(AXUIElementSetMessagingTimeout(first, 1.0f), kAXErrorSuccess);
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 1000000000);
    EXPECT_EQ(AXUIElementSetMessagingTimeout(first, 0), kAXErrorSuccess);
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 250000000);
    EXPECT_EQ(AXUIElementSetMessagingTimeout(wide, 0), kAXErrorSuccess);
    EXPECT_EQ(waited([&] { return read(first, "AXTitle", &title); }, error), 6000000000);
    EXPECT_EQ(AXUIElementSetMessagingTimeout(first, -1.0f), kAXErrorIllegalArgument);
    EXPECT_EQ(AXUIElementSetMessagingTimeout(nullptr, 1.0f), kAXErrorIllegalArgument);
    EXPECT_EQ(read(wide, "AXWindows", &title), kAXErrorAttributeUnsupported);
    CFRelease(wide);
    CFRelease(windows);
    PLHostUseRealClock();
}

TEST_F(AccessibilityTest, APressAnsweredLateIsCarriedOutAndTimesOut) {
    PLHostUseDrivenClock(1700000000);
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef item = PLHostAXAddItem(bar, "Tavrin");
    PLHostAXSetMenuBar(bar);
    PLHostAXSetAnswerDelay(item, "AXPress", 30000000000);
    CFTypeRef menuBar = nullptr, children = nullptr;
    ASSERT_EQ(read(app_, "AXMenuBar", &menuBar), kAXErrorSuccess);
    ASSERT_EQ(read(static_cast<AXUIElementRef>(menuBar), "AXChildren", &children), kAXErrorSuccess);
    auto element = static_cast<AXUIElementRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(children), 0));
    AXUIElementSetMessagingTimeout(element, 0.2f);
    int64_t before = PLHostClockNanoseconds();
    EXPECT_EQ(AXUIElementPerformAction(element, CFSTR("AXPress")), kAXErrorCannotComplete);
    EXPECT_EQ(PLHostClockNanoseconds() - before, 200000000);
    EXPECT_EQ(PLHostAXPressCount(item), 1);
    // A press the application refuses stays refused, however late it says so.
    PLHostAXSetPressResult(item, kAXErrorFailure);
    EXPECT_EQ(AXUIElementPerformAction(element, CFSTR("AXPress")), kAXErrorCannotComplete);
    EXPECT_EQ(PLHostAXPressCount(item), 1);
    CFRelease(children);
    CFRelease(menuBar);
    PLHostUseRealClock();
}

TEST_F(AccessibilityTest, OddEntriesStandInArraysAsValuesOfAnotherKind) {
    PLHostAXAppendWindow(PLHostAXCreateOddEntry("Edit", false));
    PLHostAXAppendWindow(PLHostAXCreateNode("Edit"));
    PLHostAXAppendWindow(PLHostAXCreateOddEntry("7", true));
    CFTypeRef windows = nullptr;
    ASSERT_EQ(read(app_, "AXWindows", &windows), kAXErrorSuccess);
    auto list = static_cast<CFArrayRef>(windows);
    ASSERT_EQ(CFArrayGetCount(list), 3);
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex(list, 0)), CFStringGetTypeID());
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex(list, 1)), AXUIElementGetTypeID());
    EXPECT_NE(CFGetTypeID(CFArrayGetValueAtIndex(list, 2)), AXUIElementGetTypeID());
    CFRelease(windows);
}

TEST(HostProcess, BundleIdentifierAndApplicationAreWhatTheHostDeclares) {
    PLHostSetBundleIdentifier(nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(CFBundleGetMainBundle()), nullptr);
    PLHostSetBundleIdentifier("com.example.host");
    CFStringRef id = CFBundleGetIdentifier(CFBundleGetMainBundle());
    PLHostSetBundleIdentifier("com.example.other");
    EXPECT_STREQ(CFStringGetCStringPtr(id, kCFStringEncodingUTF8), "com.example.host");  // still valid
    PLHostSetHasApplication(false);
    EXPECT_EQ(PLSharedApplication(), nullptr);
    PLHostSetHasApplication(true);
    EXPECT_NE(PLSharedApplication(), nullptr);
}

}  // namespace
