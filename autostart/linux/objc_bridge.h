// Linux twin of apple/objc_bridge.h: the layer's exception type stands for
// NSException and the layer says whether the process has its application
// object. A header, so that it shares plugin.cc's translation unit and its
// functions keep internal linkage; the build puts this folder on the include
// path on Linux only.
#pragma once

#include <platform/foundation.h>

#include <functional>
#include <string>

namespace {

/// Runs `body`; true when it raised the platform's exception, whose description then fills `description`.
inline bool catchPlatformException(const std::function<void()>& body, std::string& description) {
    try {
        body();
        return false;
    } catch (const platform::Exception& exception) {
        description = exception.description();
        return true;
    }
}

/// Whether the process has its shared application object (NSApp).
inline bool hasSharedApplication() { return PLSharedApplication() != nullptr; }

}  // namespace
