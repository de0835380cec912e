// Blocks made from lambdas are autoreleased; a thread of our own has no pool
// that would ever drain them.
#import <Foundation/Foundation.h>

#include "objc_bridge.h"

void withAutoreleasePool(const std::function<void()>& body) {
    @autoreleasepool {
        body();
    }
}
