// Ownership and text helpers for platform values.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <cstring>
#include <string>
#include <type_traits>

namespace {

/// Holds one owned reference and releases it exactly once, however the scope ends.
template <typename Ref>
struct Owned {
    Ref ref = nullptr;

    Owned() = default;
    explicit Owned(Ref owned) : ref(owned) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    /// Releases what is held and takes over `owned`.
    void reset(Ref owned = nullptr) {
        if (ref) CFRelease(ref);
        ref = owned;
    }
    /// Hands the reference over to the caller, who then owns it.
    Ref release() {
        Ref owned = ref;
        ref = nullptr;
        return owned;
    }
    /// The out-parameter of a copy call; anything held before is released first.
    CFTypeRef* slot() requires std::is_same_v<Ref, CFTypeRef> {
        reset();
        return &ref;
    }
};

/// Reads `attribute`, keeping the value only when it is of `type`; one of another kind counts as a failed read.
inline AXError readAttribute(AXUIElementRef element, CFStringRef attribute, CFTypeID type, Owned<CFTypeRef>& value) {
    AXError error = AXUIElementCopyAttributeValue(element, attribute, value.slot());
    // An application may answer any kind of value, and array or element calls on another kind raise.
    if (value.ref && CFGetTypeID(value.ref) != type) value.reset();
    return error;
}

/// UTF-8 text of a platform string.
inline std::string utf8(CFStringRef text) {
    CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string out(size_t(size), '\0');
    if (!CFStringGetCString(text, out.data(), size, kCFStringEncodingUTF8)) return {};
    out.resize(std::strlen(out.c_str()));
    return out;
}

/// Any value as "%@" shows it: a string as itself, anything else by its description.
inline std::string describe(CFTypeRef value) {
    if (CFGetTypeID(value) == CFStringGetTypeID()) return utf8(static_cast<CFStringRef>(value));
    Owned<CFStringRef> description(CFCopyDescription(value));
    return description.ref ? utf8(description.ref) : std::string();
}

}  // namespace
