// Ownership of CoreFoundation references: each is released exactly once.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

/// Holds one owned reference (from a create or copy call) and releases it once.
template <typename Ref>
struct CFOwned {
    explicit CFOwned(Ref r) : ref(r) {}
    ~CFOwned() {
        if (ref) CFRelease(ref);
    }
    CFOwned(const CFOwned&) = delete;
    CFOwned& operator=(const CFOwned&) = delete;
    Ref get() const { return ref; }

  private:
    Ref ref;
};

/// A new string from valid UTF-8 (may hold NUL characters); null when it is not UTF-8.
inline CFStringRef stringToCF(const std::string& text) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   CFIndex(text.size()), kCFStringEncodingUTF8, false);
}

/// The UTF-8 text of a string.
inline std::string stringFromCF(CFStringRef s) {
    CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    std::string out(size_t(size), '\0');
    if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return std::string();
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}
