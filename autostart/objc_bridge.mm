// What only Objective-C can say: catching NSException and asking for NSApp.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include "objc_bridge.h"

bool catchPlatformException(const std::function<void()>& body, std::string& description) {
    @try {
        body();
        return false;
    } @catch (NSException* exception) {
        const char* text = [[exception description] UTF8String];
        description = text ? text : "";
        return true;
    }
}

bool hasSharedApplication() { return NSApp != nil; }
