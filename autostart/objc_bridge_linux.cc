// Linux twin of objc_bridge.mm: the layer's exception type stands for NSException.
#include <platform/foundation.h>

#include "objc_bridge.h"

bool catchPlatformException(const std::function<void()>& body, std::string& description) {
    try {
        body();
        return false;
    } catch (const platform::Exception& exception) {
        description = exception.description();
        return true;
    }
}

bool hasSharedApplication() { return PLSharedApplication() != nullptr; }
