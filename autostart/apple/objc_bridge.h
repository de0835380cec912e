// What only Objective-C can say: catching NSException and asking for NSApp.
// A header, so that it shares plugin.cc's translation unit (which the build
// compiles as Objective-C++) and its functions keep internal linkage; the
// build puts this folder on the include path on Apple platforms only.
#pragma once

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <functional>
#include <string>

namespace {

/// Runs `body`; true when it raised NSException (subclasses included), whose description then fills `description`.
inline bool catchPlatformException(const std::function<void()>& body, std::string& description) {
    // A typed @catch takes only Objective-C exceptions of that class, so C++ exceptions pass on.
    @try {
        body();
        return false;
    } @catch (NSException* exception) {
        const char* text = [[exception description] UTF8String];
        description = text ? text : "";
        return true;
    }
}

/// Whether the process has its shared application object (NSApp).
inline bool hasSharedApplication() { return NSApp != nil; }

}  // namespace
