// Helpers for tests that use nothing but CoreFoundation's public API, so that they
// build and run against CoreFoundation itself as well as against the layer.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>

/// A version-0 source on `rl` that counts its performs.
inline CFRunLoopSourceRef countingSource(CFRunLoopRef rl, std::atomic<int>* performed) {
    CFRunLoopSourceContext context = {
        0,       performed, nullptr, nullptr, nullptr,
        nullptr, nullptr,   nullptr, nullptr, [](void* info) { ++*static_cast<std::atomic<int>*>(info); }};
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
    return source;
}
