// The process as plug-ins see it: the main bundle's identifier, the shared
// application object, the exception type and the live reference counts.
#include <platform/foundation.h>
#include <platform/host.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "cfinternal.h"

struct __CFBundle : cfl::Object {
    __CFBundle() : Object(cfl::typeBundle, true) {}
};

namespace {

std::mutex gIdentityLock;
CFStringRef gIdentifier = nullptr;
bool gHasApplication = false;

/// Identifiers are handed out under the Get rule, so every one ever set stays alive.
std::vector<std::unique_ptr<__CFString>>& identifiers() {
    static auto* all = new std::vector<std::unique_ptr<__CFString>>;
    return *all;
}

/// Anything non-null does for NSApp: callers only test it.
const char gApplication = 0;

}  // namespace

namespace platform {

Exception::Exception(std::string description) : description_(std::move(description)) {}

// The key function: the type information lives here, once, for every image.
Exception::~Exception() = default;

const char* Exception::what() const noexcept { return description_.c_str(); }

}  // namespace platform

extern "C" {

CFTypeID CFBundleGetTypeID(void) { return cfl::typeBundle; }

CFBundleRef CFBundleGetMainBundle(void) {
    static auto* main = new __CFBundle;
    return main;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    if (bundle != CFBundleGetMainBundle()) return nullptr;
    std::lock_guard<std::mutex> hold(gIdentityLock);
    return gIdentifier;
}

const void* PLSharedApplication(void) {
    std::lock_guard<std::mutex> hold(gIdentityLock);
    return gHasApplication ? &gApplication : nullptr;
}

void PLHostSetBundleIdentifier(const char* identifier) {
    std::lock_guard<std::mutex> hold(gIdentityLock);
    if (!identifier) {
        gIdentifier = nullptr;
        return;
    }
    identifiers().push_back(std::make_unique<__CFString>(std::string(identifier), true));
    gIdentifier = identifiers().back().get();
}

void PLHostSetHasApplication(bool has) {
    std::lock_guard<std::mutex> hold(gIdentityLock);
    gHasApplication = has;
}

long PLHostLiveReferences(CFTypeID type) { return cfl::liveReferences(type); }

}  // extern "C"
