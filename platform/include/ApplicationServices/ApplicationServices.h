// Linux stand-in for the Accessibility part of ApplicationServices.
//
// The elements describe the calling process's own user interface as its host
// declares it through platform/host.h. Names, types, status codes and the
// create/copy ownership rule are Apple's, so the same sources build against
// the real framework on macOS.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

extern "C" {

typedef const struct __AXUIElement* AXUIElementRef;
typedef SInt32 AXError;

enum {
    kAXErrorSuccess = 0,
    kAXErrorFailure = -25200,
    kAXErrorIllegalArgument = -25201,
    kAXErrorInvalidUIElement = -25202,
    kAXErrorInvalidUIElementObserver = -25203,
    kAXErrorCannotComplete = -25204,
    kAXErrorAttributeUnsupported = -25205,
    kAXErrorActionUnsupported = -25206,
    kAXErrorNotificationUnsupported = -25207,
    kAXErrorNotImplemented = -25208,
    kAXErrorNotificationAlreadyRegistered = -25209,
    kAXErrorNotificationNotRegistered = -25210,
    kAXErrorAPIDisabled = -25211,
    kAXErrorNoValue = -25212,
    kAXErrorParameterizedAttributeUnsupported = -25213,
    kAXErrorNotEnoughPrecision = -25214
};

#define kAXWindowsAttribute CFSTR("AXWindows")
#define kAXTitleAttribute CFSTR("AXTitle")
#define kAXMenuBarAttribute CFSTR("AXMenuBar")
#define kAXChildrenAttribute CFSTR("AXChildren")
#define kAXPressAction CFSTR("AXPress")

CFTypeID AXUIElementGetTypeID(void);
/// An owned element for the application with that process id.
AXUIElementRef AXUIElementCreateApplication(pid_t pid);
/// An owned element for the whole system; here it holds the process's global messaging time-out and answers no
/// attribute or action.
AXUIElementRef AXUIElementCreateSystemWide(void);
/// How long calls on `element` wait for the application's answer before failing with kAXErrorCannotComplete. On the
/// system-wide element it sets the process's global time-out (0: back to the default of 6 s); on any other element
/// it holds for that element object alone (0: the global one), so elements read from it start without one.
/// kAXErrorIllegalArgument for a negative time-out or a value that is no element. Any thread; calls out to nothing.
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds);
/// On success the value is the caller's; after any failure but a bad argument, a raise included, `*value` is null.
AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute, CFTypeRef* value);
AXError AXUIElementPerformAction(AXUIElementRef element, CFStringRef action);
Boolean AXIsProcessTrusted(void);

/// CoreFoundation's description of any value (owned by the caller); here for
/// the accessibility clients, which print values of whatever kind they read.
CFStringRef CFCopyDescription(CFTypeRef cf);

}  // extern "C"
