// What only Objective-C can say, for the tool: on macOS in objc_bridge.mm,
// elsewhere in objc_bridge_linux.cc, with the same signature.
#pragma once

#include <functional>

/// Runs `body` inside an autorelease pool that is drained when it returns.
void withAutoreleasePool(const std::function<void()>& body);
