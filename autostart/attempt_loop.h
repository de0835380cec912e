// The auto-start loop on the host's main queue: wait for the host's window,
// check that the script is not running yet, let a grace period pass, press the
// script's menu item, then watch the manifest's time for proof that it started.
// Every task queues at most one successor, so the variables need no locks, and
// nothing that a task throws reaches the host.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <dispatch/dispatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
#include <string>

#include "cf_util.h"
#include "log_file.h"
#include "menu_search.h"
#include "objc_bridge.h"

namespace {

/// Delay of every queued attempt and verify poll.
constexpr int64_t kTickNanoseconds = 250000000;
/// An attempt chain that reaches this index without pressing gives up.
constexpr int kAttemptChainLimit = 1200;
/// No press before this attempt.
constexpr int kEarliestPress = 40;
/// Attempts between the first sight of a window and the first press.
constexpr int kGraceAttempts = 16;
/// The verify poll (about 20 s after the press) that decides between pressing again and giving up.
constexpr int kVerifyDecision = 80;
/// Unconfirmed presses after which the loop gives up.
constexpr int kPressLimit = 5;
/// Attempts between two lines of accessibility diagnostics (trust and menu bar, levels matched).
constexpr int kAxLogPeriod = 10;
/// Attempts between two searches by the script's own names, when the menu path does not lead to it.
constexpr int kOwnNamesPeriod = 8;
/// Attempts between two "waiting: no Resolve window yet" lines.
constexpr int kWaitingLogPeriod = 20;

/// The loop has been started.
bool gScheduled = false;
/// Wall-clock seconds at which the loop was started.
time_t gLaunchedAt = 0;
/// The manifest's time at the load when it lay after the load: a clock that was ahead stamped it, not a running
/// script, so the manifest means nothing until its time changes.
std::optional<time_t> gStampFromTheFuture;
/// Attempts run so far, over all attempt chains.
int gTries = 0;
/// gTries at the first attempt that saw a visible window; -1 until one does.
int gReadySince = -1;
/// The window-title list that was logged last.
std::string gSeenTitles;
/// Wall-clock seconds just before the latest press that counted.
time_t gPressedAt = 0;
/// The manifest's time just before that press; none when there was no manifest. A time that differs from it
/// afterwards is that press's script's, even when the clock was set back and makes it look older than the press.
std::optional<time_t> gStampBeforePress;
/// Successful presses so far.
int gPresses = 0;

void attempt(int chainIndex);
void verify(int chainIndex);

/// Logs "exception: TEXT" without allocating, since the exception may be bad_alloc; cut at 1023 bytes.
inline void logException(const char* text) {
    char message[1024];
    snprintf(message, sizeof message, "exception: %s", text);
    logLine(message);
}

/// Runs `body` and logs whatever it throws, the platform's exception or C++'s, as "exception: ...";
/// true when something was caught. An exception that left the host's call into us would end the host.
template <typename Body>
bool runCaught(const Body& body) noexcept {
    try {
        std::string description;
        if (!catchPlatformException(body, description)) return false;
        logLine(("exception: " + description).c_str());
    } catch (const std::exception& exception) {
        logException(exception.what());
    } catch (...) {
        logException("unknown");
    }
    return true;
}

/// Queues one attempt carrying `chainIndex`, one tick from now; a task that cannot be queued ends the loop.
void scheduleTry(int chainIndex) {
    runCaught([chainIndex] {
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, kTickNanoseconds), dispatch_get_main_queue(),
                       [chainIndex] { attempt(chainIndex); });
    });
}

/// Queues one verify poll carrying `chainIndex`, one tick from now; a task that cannot be queued ends the loop.
void scheduleVerify(int chainIndex) {
    runCaught([chainIndex] {
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, kTickNanoseconds), dispatch_get_main_queue(),
                       [chainIndex] { verify(chainIndex); });
    });
}

/// The manifest's modification time; none when it cannot be read or its path does not fit.
std::optional<time_t> manifestTime() {
    char path[1024];
    // Without HOME the path is relative to no home at all, as the script would not find one either.
    if (!supportPath(path, "davinci-bridge.json", "")) return std::nullopt;
    struct stat info;
    if (stat(path, &info) != 0) return std::nullopt;
    return info.st_mtime;
}

/// Takes the launch time, and the manifest's time when a clock that was ahead put it after the launch.
void noteLaunch() {
    gLaunchedAt = time(nullptr);
    std::optional<time_t> modified = manifestTime();
    if (modified && *modified > gLaunchedAt) gStampFromTheFuture = modified;
}

/// The host's window titles as "A|B|" (string titles only); true when one of them is not empty.
bool scanWindows(std::string& titles) {
    bool visible = false;
    Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
    Owned<CFTypeRef> windows;
    if (readAttribute(app.ref, CFSTR("AXWindows"), CFArrayGetTypeID(), windows) != kAXErrorSuccess || !windows.ref) {
        return false;
    }
    auto list = static_cast<CFArrayRef>(windows.ref);
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        AXUIElementRef window = elementAt(list, i);
        if (!window) continue;
        Owned<CFTypeRef> title;
        copyValue(window, CFSTR("AXTitle"), title);
        if (!title.ref || CFGetTypeID(title.ref) != CFStringGetTypeID()) continue;
        auto text = static_cast<CFStringRef>(title.ref);
        titles += utf8(text);
        titles += '|';
        if (CFStringGetLength(text) != 0) visible = true;
    }
    return visible;
}

/// Logs the titles of the menu bar's items once, whatever kind of value each is.
void logMenuBarChildren() {
    std::string list;
    {
        Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
        Owned<CFTypeRef> menuBar;
        Owned<CFTypeRef> children;
        CFArrayRef items = nullptr;
        if (readAttribute(app.ref, CFSTR("AXMenuBar"), AXUIElementGetTypeID(), menuBar) == kAXErrorSuccess &&
            menuBar.ref) {
            items = childrenOf(static_cast<AXUIElementRef>(menuBar.ref), children);
        }
        for (CFIndex i = 0; items && i < CFArrayGetCount(items); ++i) {
            AXUIElementRef item = elementAt(items, i);
            if (!item) continue;
            Owned<CFTypeRef> title;
            copyValue(item, CFSTR("AXTitle"), title);
            list += title.ref ? describe(title.ref) : "?";
            list += '|';
        }
    }
    logLine(("menubar children: " + list).c_str());
}

/// What the guarded part of an attempt leads to.
enum class AttemptEnd { reschedule, alreadyRunning, pressed, mayHavePressed };

/// Walks the menu path from the menu bar, falling back on the own-names search every eighth attempt, and
/// presses the item: pressed, mayHavePressed (the host did not answer in time) or reschedule.
AttemptEnd pressScriptItem() {
    Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
    Owned<CFTypeRef> menuBarValue;
    AXError menuBarError = readAttribute(app.ref, CFSTR("AXMenuBar"), AXUIElementGetTypeID(), menuBarValue);
    if (gTries % kAxLogPeriod == 1) {
        logFormatted("ax: trusted=%d menubar err=%d", AXIsProcessTrusted() ? 1 : 0, int(menuBarError));
    }
    if (!menuBarValue.ref) return AttemptEnd::reschedule;
    auto menuBar = static_cast<AXUIElementRef>(menuBarValue.ref);

    unsigned long matched = 0;
    Owned<AXUIElementRef> item(axCopyItemByPath(menuBar, matched));
    if (!item.ref && gTries % kOwnNamesPeriod == 0) {
        item.reset(axCopyItemByOwnNames(menuBar, 0));
        if (item.ref) {
            matched = kMenuLevels;
            logLine("ax: English menu names did not match, found the script by its own name");
        }
    }
    if (gTries % kAxLogPeriod == 1)
        logFormatted("ax: matched %lu of %lu menu levels", matched, (unsigned long)kMenuLevels);
    if (!item.ref) return AttemptEnd::reschedule;
    // Taken before the press, which may run the host's action for seconds while the script already writes.
    gStampBeforePress = manifestTime();
    gPressedAt = time(nullptr);
    AXError error = press(item.ref);
    // Formatted without allocating: an exception between a press and its outcome would press again.
    char message[64];
    snprintf(message, sizeof message, "ax: press err=%d", int(error));
    logLine(message);
    if (error == kAXErrorSuccess) return AttemptEnd::pressed;
    // The service gives up waiting while the host may still be running the item's action, so this
    // press may have started the script: pressing again at once could start it twice.
    return error == kAXErrorCannotComplete ? AttemptEnd::mayHavePressed : AttemptEnd::reschedule;
}

/// Steps of an attempt that run under the exception guard.
AttemptEnd guardedAttempt() {
    std::string titles;
    bool visible = scanWindows(titles);
    if (titles != gSeenTitles) {
        gSeenTitles = titles;
        logLine(("windows: " + (titles.empty() ? std::string("(none)") : titles)).c_str());
    }
    if (!visible) {
        if (gTries % kWaitingLogPeriod == 1) logLine("waiting: no Resolve window yet");
        return AttemptEnd::reschedule;
    }
    std::optional<time_t> modified = manifestTime();
    if (modified && *modified >= gLaunchedAt && modified != gStampFromTheFuture) {
        logLine("script already running (manifest newer than launch), not pressing");
        return AttemptEnd::alreadyRunning;
    }
    if (gReadySince < 0) {
        gReadySince = gTries;
        logLine("window visible, grace period");
        logMenuBarChildren();
    }
    if (gTries < kEarliestPress || gTries - gReadySince < kGraceAttempts) return AttemptEnd::reschedule;
    return pressScriptItem();
}

/// One attempt of the chain, carrying `chainIndex`.
void attempt(int chainIndex) {
    ++gTries;
    AttemptEnd end = AttemptEnd::reschedule;
    if (runCaught([&end] { end = guardedAttempt(); })) end = AttemptEnd::reschedule;
    switch (end) {
        case AttemptEnd::alreadyRunning:
            return;
        case AttemptEnd::pressed:
            logLine("clicked Workspace > Scripts item");
            [[fallthrough]];
        case AttemptEnd::mayHavePressed:
            ++gPresses;
            scheduleVerify(0);
            return;
        case AttemptEnd::reschedule:
            break;
    }
    if (chainIndex < kAttemptChainLimit) {
        scheduleTry(chainIndex + 1);
    } else {
        logLine("gave up: menu item not found");
    }
}

/// One verify poll after a press, carrying `chainIndex`.
void verify(int chainIndex) {
    bool started = false;
    // Whatever is thrown counts as no manifest seen: the chain goes on.
    runCaught([&started] {
        std::optional<time_t> modified = manifestTime();
        started =
            modified && modified != gStampFromTheFuture && (*modified >= gPressedAt || modified != gStampBeforePress);
    });
    if (started) {
        logLine("script started (manifest written)");
        return;
    }
    if (chainIndex < kVerifyDecision) {
        scheduleVerify(chainIndex + 1);
        return;
    }
    if (gPresses >= kPressLimit) {
        logLine("gave up: script did not start after repeated presses");
        return;
    }
    logLine("no manifest 20 s after press, pressing again");
    scheduleTry(0);
}

}  // namespace
