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

/// Longest that one accessibility call may wait for the host's answer. The service's own default is about 6 s; an
/// attempt ends at the first read that the host leaves unanswered, so this bounds a whole attempt against a host
/// that does not answer, well under the loop's tick of 0.25 s.
constexpr float kMessagingTimeoutSeconds = 0.1f;

/// What a read that the host did not answer in time asked for; thrown to end the attempt, which the next tick
/// starts afresh. Going on past it would cost a time-out per item and level while the host's main thread waits.
enum class Unanswered { windows, menuBar, title, children };

/// Bounds the calls on `element`, and returns it. A time-out set on an element holds for that element object
/// alone, so every element is bounded where it is used; the system-wide one would change the host's own calls
/// (AXUIElement.h, AXUIElementSetMessagingTimeout). Main thread.
inline AXUIElementRef bounded(AXUIElementRef element) {
    AXUIElementSetMessagingTimeout(element, kMessagingTimeoutSeconds);
    return element;
}

/// Reads `attribute` within the time-out, whatever the host answers; -25204 (kAXErrorCannotComplete) when it did
/// not answer in time. Main thread.
inline AXError copyWithin(AXUIElementRef element, CFStringRef attribute, Owned<CFTypeRef>& value) {
    return AXUIElementCopyAttributeValue(bounded(element), attribute, value.slot());
}

/// Hands `error` back, or throws Unanswered when it says that the host did not answer the read of `attribute`.
/// Main thread.
inline AXError answered(AXError error, CFStringRef attribute) {
    if (error != kAXErrorCannotComplete) return error;
    auto is = [attribute](CFStringRef name) { return CFStringCompare(attribute, name, 0) == kCFCompareEqualTo; };
    if (is(CFSTR("AXWindows"))) throw Unanswered::windows;
    if (is(CFSTR("AXMenuBar"))) throw Unanswered::menuBar;
    if (is(CFSTR("AXTitle"))) throw Unanswered::title;
    throw Unanswered::children;
}

/// Reads `attribute` within the time-out; throws Unanswered when the host did not answer in time. Main thread.
inline AXError copyValue(AXUIElementRef element, CFStringRef attribute, Owned<CFTypeRef>& value) {
    return answered(copyWithin(element, attribute, value), attribute);
}

/// Presses `element` within the time-out; one that times out answers kAXErrorCannotComplete, an unknown outcome.
/// Main thread.
inline AXError press(AXUIElementRef element) { return AXUIElementPerformAction(bounded(element), CFSTR("AXPress")); }

/// The array's entry at `index` as an element, or null for an entry of another kind: the array is another
/// process's answer, and element calls on another kind of value raise.
inline AXUIElementRef elementAt(CFArrayRef list, CFIndex index) {
    CFTypeRef entry = CFArrayGetValueAtIndex(list, index);
    return entry && CFGetTypeID(entry) == AXUIElementGetTypeID() ? static_cast<AXUIElementRef>(entry) : nullptr;
}

/// The array's first entry that is an element, or null.
inline AXUIElementRef firstElementOf(CFArrayRef list) {
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        if (AXUIElementRef element = elementAt(list, i)) return element;
    }
    return nullptr;
}

/// Keeps `value` only when it is of `type`: an application may answer any kind of value, and array or element
/// calls on another kind raise. Gives `error` back. Any thread.
inline AXError keepIfOfType(AXError error, CFTypeID type, Owned<CFTypeRef>& value) {
    if (value.ref && CFGetTypeID(value.ref) != type) value.reset();
    return error;
}

/// Reads `attribute`, keeping the value only when it is of `type`; one of another kind counts as a failed read.
/// Throws Unanswered when the host did not answer in time. Main thread.
inline AXError readAttribute(AXUIElementRef element, CFStringRef attribute, CFTypeID type, Owned<CFTypeRef>& value) {
    return keepIfOfType(copyValue(element, attribute, value), type, value);
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
