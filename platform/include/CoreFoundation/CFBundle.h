// Bundle services of the Linux stand-in: only the main bundle and its
// identifier, which the host process declares through platform/host.h.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

typedef struct __CFBundle* CFBundleRef;

CFTypeID CFBundleGetTypeID(void);
/// The process's own bundle; it always exists here, as on macOS.
CFBundleRef CFBundleGetMainBundle(void);
/// The bundle's identifier (not owned by the caller), or null when it has none.
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);

}  // extern "C"
