// tavrin-autostart: an OpenFX binary that offers no effects. Its work starts in
// the load-time constructor, which recognises the host by its bundle
// identifier, keeps this image mapped and starts the auto-start loop.
//
// The units are headers whose contents have internal linkage, so that the
// whole plug-in is this one translation unit and exports nothing but the
// three entry points; a test compiles a unit on its own. objc_bridge.h comes
// from the platform's own folder (apple/ or linux/), which the build picks, so
// that the Objective-C++ piece needs no conditional compilation here.
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "attempt_loop.h"
#include "cf_util.h"
#include "log_file.h"
#include "objc_bridge.h"
#include "ofx.h"

namespace {

/// Identifiers of the host begin with this, literally.
constexpr char kHostIdentifierPrefix[] = "com.blackmagic-design.DaVinciResolve";

void tavrinAutoStart();

/// Recognises the host, pins this image and starts the loop once.
void startInHost() {
    CFStringRef identifier = nullptr;
    if (CFBundleRef bundle = CFBundleGetMainBundle()) identifier = CFBundleGetIdentifier(bundle);
    std::string identifierText = identifier ? utf8(identifier) : std::string();

    char message[512];
    snprintf(message, sizeof message, "constructor in pid %d bundle %s NSApp=%s", int(getpid()),
             identifier ? identifierText.c_str() : "(nil)", hasSharedApplication() ? "yes" : "no");
    logLine(message);
    if (!identifier || identifierText.compare(0, sizeof kHostIdentifierPrefix - 1, kHostIdentifierPrefix) != 0) {
        return;
    }

    // The attempts run from this image long after the host may have closed its
    // handle to the bundle, so the image pins itself; the handle is never closed.
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&tavrinAutoStart), &info) != 0 && info.dli_fname &&
        info.dli_fname[0] != '\0') {
        void* pin = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        const char* outcome = pin ? "ok" : dlerror();
        snprintf(message, sizeof message, "pinned %s -> %s", info.dli_fname, outcome ? outcome : "(no error text)");
        logLine(message);
    }

    if (gScheduled) {
        logLine("already scheduled");
        return;
    }
    gScheduled = true;
    noteLaunch();
    scheduleTry(0);
}

/// Runs once each time the loader maps this image, on the thread that loads it. An exception that left
/// it would end the host while it loads its plug-ins, so a failure only stops the start, with a log line.
__attribute__((constructor)) void tavrinAutoStart() {
    runCaught([] { startInHost(); });
}

}  // namespace

OfxExport OfxStatus OfxSetHost(const OfxHost* host) {
    (void)host;
    return kOfxStatOK;
}

OfxExport int OfxGetNumberOfPlugins(void) { return 0; }

OfxExport OfxPlugin* OfxGetPlugin(int nth) {
    (void)nth;
    return nullptr;
}
