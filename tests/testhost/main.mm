// tavrin-testhost: a small AppKit application in the host's place, so that the plug-in meets
// real menus, a real window and the real accessibility service. Its bundle identifier begins
// with the one the plug-in recognises; it shows a main window and the menu Workspace > Scripts >
// Tavrin > Tavrin, whose action writes the manifest as the product's script does; and it loads
// the plug-in's bundle on its main thread once it has finished launching, as the host loads its
// OFX plug-ins. tests/testhost/check.py runs it and reads the plug-in's log.
//
//   tavrin-testhost BUNDLE [HOME]
//
// HOME, when given, replaces the environment's before anything reads it: an application that
// LaunchServices starts (open -n) gets the environment of neither the caller nor its shell.
// An argument that begins with -psn_ is the process serial number that LaunchServices may add
// to an application it starts; it is no argument of ours and is passed over.
//
// It reports on standard output, one fact a line, for check.py to read:
//   pid P                    this process, for whoever must stop it
//   parent P                 the process that started it: check.py's own pid for its child, 1
//                            (launchd) for an application that LaunchServices started
//   session none             no desktop session to show a window in (exit status 77)
//   trusted=T                AXIsProcessTrusted() of this process, 1 or 0
//   activation granted       whether the system let it become the active application (or declined)
//   loaded PATH plugins=N    the bundle's binary was loaded and asked for its plug-ins
//   load failed TEXT         it was not (exit status 1)
//   turn AT BUSY             a turn of the main run loop that began AT s after the load and kept
//                            the main thread busy BUSY ms; each of the plug-in's attempts is one
//   manifest written         what the menu item started wrote the manifest
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ofx.h"

namespace {

/// Exit status of a run that could not show a window; CTest counts it as skipped.
constexpr int kNoSession = 77;

/// Seconds on a monotonic clock, which changes to the wall clock do not move.
double seconds() { return double(clock_gettime_nsec_np(CLOCK_UPTIME_RAW)) / 1e9; }

/// Where the product's script writes its manifest: the plug-in reads HOME the same way.
std::string manifestFolder() {
    const char* home = getenv("HOME");
    return std::string(home ? home : "") + "/Library/Application Support/Tavrin";
}

/// A menu whose item in the menu above it, or in the menu bar, bears the same title.
NSMenu* addSubmenu(NSMenu* parent, NSString* title) {
    NSMenuItem* item = [parent addItemWithTitle:title action:nil keyEquivalent:@""];
    NSMenu* menu = [[NSMenu alloc] initWithTitle:title];
    item.submenu = menu;
    return menu;
}

}  // namespace

@interface TestHost : NSObject <NSApplicationDelegate>
@property(nonatomic, copy) NSString* bundlePath;
@property(nonatomic, strong) NSWindow* window;
@end

@implementation TestHost {
    double loadedAt_;
    double wokeAt_;
}

- (void)buildMenus {
    NSMenu* mainMenu = [[NSMenu alloc] initWithTitle:@""];
    NSMenu* appMenu = addSubmenu(mainMenu, @"Tavrin Test Host");
    [appMenu addItemWithTitle:@"Quit Tavrin Test Host" action:@selector(terminate:) keyEquivalent:@"q"];
    NSMenu* folder = addSubmenu(addSubmenu(addSubmenu(mainMenu, @"Workspace"), @"Scripts"), @"Tavrin");
    NSMenuItem* script = [folder addItemWithTitle:@"Tavrin" action:@selector(runScript:) keyEquivalent:@""];
    script.target = self;
    NSApp.mainMenu = mainMenu;
}

- (void)showWindow {
    self.window = [[NSWindow alloc]
        initWithContentRect:NSMakeRect(200, 200, 640, 400)
                  styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable | NSWindowStyleMaskResizable
                    backing:NSBackingStoreBuffered
                      defer:NO];
    self.window.releasedWhenClosed = NO;
    self.window.title = @"Tavrin Test Host";
    [self.window makeKeyAndOrderFront:nil];
}

/// Reports every turn of the main run loop from waking to sleeping again: the plug-in's attempts
/// run on the main queue, which the main run loop serves, so each one is inside such a turn.
- (void)watchTurns {
    CFRunLoopObserverRef observer = CFRunLoopObserverCreateWithHandler(
        kCFAllocatorDefault, kCFRunLoopAfterWaiting | kCFRunLoopBeforeWaiting, true, 0,
        ^(CFRunLoopObserverRef, CFRunLoopActivity activity) {
          double now = seconds();
          if (activity == kCFRunLoopAfterWaiting) {
              wokeAt_ = now;
          } else if (wokeAt_ > 0) {
              printf("turn %.3f %.1f\n", wokeAt_ - loadedAt_, (now - wokeAt_) * 1000);
              wokeAt_ = 0;
          }
        });
    CFRunLoopAddObserver(CFRunLoopGetMain(), observer, kCFRunLoopCommonModes);
    CFRelease(observer);
}

/// dlopen on the main thread, the entry points asked, and the handle closed again, as a host does
/// with a binary that offers no plug-ins: what the plug-in started must survive that.
- (void)loadBundle {
    NSString* binary = [NSBundle bundleWithPath:self.bundlePath].executablePath;
    if (!binary) {
        printf("load failed %s is no bundle with an executable\n", self.bundlePath.UTF8String);
        exit(1);
    }
    loadedAt_ = seconds();
    void* handle = dlopen(binary.fileSystemRepresentation, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        printf("load failed %s\n", dlerror());
        exit(1);
    }
    using SetHost = OfxStatus (*)(const OfxHost*);
    using Count = int (*)();
    auto setHost = reinterpret_cast<SetHost>(dlsym(handle, "OfxSetHost"));
    auto count = reinterpret_cast<Count>(dlsym(handle, "OfxGetNumberOfPlugins"));
    if (!count) {
        printf("load failed %s exports no OfxGetNumberOfPlugins\n", binary.fileSystemRepresentation);
        exit(1);
    }
    OfxHost host{nullptr, [](OfxPropertySetHandle, const char*, int) -> const void* { return nullptr; }};
    if (setHost) setHost(&host);
    printf("loaded %s plugins=%d\n", binary.fileSystemRepresentation, count());
    dlclose(handle);
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    [self showWindow];
    // As the user's launch would make the host; only a request: the system may decline it.
    BOOL activated = [[NSRunningApplication currentApplication] activateWithOptions:NSApplicationActivateAllWindows];
    printf("activation %s\n", activated ? "granted" : "declined");
    [self watchTurns];
    [self loadBundle];
}

/// Starts the "script", which first writes its manifest. It runs once the menu's action has
/// returned, as a script that the action starts does.
- (void)runScript:(id)sender {
    (void)sender;
    dispatch_async(dispatch_get_main_queue(), ^{
      NSString* folder = [NSString stringWithUTF8String:manifestFolder().c_str()];
      [[NSFileManager defaultManager] createDirectoryAtPath:folder
                                withIntermediateDirectories:YES
                                                 attributes:nil
                                                      error:nil];
      NSData* contents = [@"{\"writtenBy\":\"tavrin-testhost\"}\n" dataUsingEncoding:NSUTF8StringEncoding];
      BOOL written = [contents writeToFile:[folder stringByAppendingPathComponent:@"davinci-bridge.json"]
                                atomically:YES];
      puts(written ? "manifest written" : "manifest not written");
    });
}

@end

namespace {

/// The command line without the -psn_ argument that LaunchServices may add. Main thread.
std::vector<const char*> ownArguments(int argc, char** argv) {
    std::vector<const char*> own;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-psn_", 5) != 0) own.push_back(argv[i]);
    }
    return own;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<const char*> arguments = ownArguments(argc, argv);
    if (arguments.size() != 1 && arguments.size() != 2) {
        fprintf(stderr, "usage: tavrin-testhost BUNDLE [HOME]\n");
        return 64;
    }
    if (arguments.size() == 2) setenv("HOME", arguments[1], 1);
    printf("pid %d\n", int(getpid()));
    printf("parent %d\n", int(getppid()));
    // Without a user's desktop session AppKit cannot connect to the window server at all.
    CFDictionaryRef session = CGSessionCopyCurrentDictionary();
    if (!session) {
        printf("session none\n");
        return kNoSession;
    }
    CFRelease(session);
    printf("trusted=%d\n", AXIsProcessTrusted() ? 1 : 0);
    @autoreleasepool {
        NSApplication* app = [NSApplication sharedApplication];
        app.activationPolicy = NSApplicationActivationPolicyRegular;
        TestHost* host = [[TestHost alloc] init];
        host.bundlePath = [NSString stringWithUTF8String:arguments[0]];
        [host buildMenus];
        app.delegate = host;
        [app run];
    }
    return 0;
}
