// The few things only Objective-C can say, behind plain C++ signatures. One
// file implements them per platform: objc_bridge.mm on macOS,
// objc_bridge_linux.cc on Linux.
#pragma once

#include <functional>
#include <string>

/// Runs `body`; true when it raised the platform's exception (NSException, subclasses
/// included), whose description then fills `description`. Other exceptions pass.
bool catchPlatformException(const std::function<void()>& body, std::string& description);

/// Whether the process has its shared application object (NSApp).
bool hasSharedApplication();
