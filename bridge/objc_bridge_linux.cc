// Without Objective-C there is nothing to autorelease.
#include "objc_bridge.h"

void withAutoreleasePool(const std::function<void()>& body) { body(); }
