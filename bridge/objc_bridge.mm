// The pool drains whatever Objective-C objects `body` autoreleases. Blocks handed
// to CFRunLoopPerformBlock are not among them: a lambda written at the call
// becomes a stack block that the function copies before it returns, so nothing
// is autoreleased there (a lambda kept in a variable first would be copied and
// autoreleased, since the tool is not built with ARC).
#import <Foundation/Foundation.h>

#include "objc_bridge.h"

void withAutoreleasePool(const std::function<void()>& body) {
    @autoreleasepool {
        body();
    }
}
