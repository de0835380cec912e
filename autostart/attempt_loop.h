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
#include "file_time.h"
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

/// The manifest's modification time to the nanosecond; none while there is no manifest.
using Stamp = std::optional<timespec>;

/// The loop has been started.
bool gScheduled = false;
/// Wall-clock seconds at which the loop was started.
time_t gLaunchedAt = 0;
/// The manifest's time when the loop was started. Only a time that differs from it, or a manifest that appeared,
/// says that something wrote the manifest since: the clock may move either way meanwhile.
Stamp gStampAtLaunch;
/// Attempts run so far, over all attempt chains.
int gTries = 0;
/// gTries at the first attempt that saw a visible window; -1 until one does.
int gReadySince = -1;
/// The window-title list that was logged last.
std::string gSeenTitles;
/// The manifest's time just before the latest press that counted. Only a time that differs from it afterwards, or
/// a manifest that appeared, is that press's script's, whatever the clock says of either time.
Stamp gStampBeforePress;
/// Successful presses so far.
int gPresses = 0;
/// Attempts that ended because the host did not answer a read in time.
int gUnansweredAttempts = 0;
/// The first "AXWindows" read of this load has been timed and logged.
bool gFirstReadLogged = false;

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

/// The manifest's modification time to the nanosecond; none when it cannot be read or its path does not fit.
/// Any thread.
Stamp manifestStamp() {
    char path[1024];
    // Without HOME the path is relative to no home at all, as the script would not find one either.
    if (!supportPath(path, "davinci-bridge.json", "")) return std::nullopt;
    struct stat info;
    if (stat(path, &info) != 0) return std::nullopt;
    return modificationTime(info);
}

/// Whether two notes of the manifest are the same: both none, or the same time to the nanosecond. Any thread.
bool sameStamp(const Stamp& a, const Stamp& b) {
    if (!a || !b) return !a && !b;
    return a->tv_sec == b->tv_sec && a->tv_nsec == b->tv_nsec;
}

/// Takes the launch time and the manifest's time then. The loader's thread, before the first attempt is queued.
void noteLaunch() {
    gLaunchedAt = time(nullptr);
    gStampAtLaunch = manifestStamp();
}

/// Whether `now`, the manifest's time, says that the script runs already: it was written since the launch, or it
/// bears the launch's second or a later one without having borne that time already when a clock that was ahead
/// left it before the launch. Main thread.
bool scriptRunsAlready(const Stamp& now) {
    if (!now) return false;
    bool notedAfterLaunch = gStampAtLaunch && gStampAtLaunch->tv_sec > gLaunchedAt;
    return !sameStamp(now, gStampAtLaunch) || (now->tv_sec >= gLaunchedAt && !notedAfterLaunch);
}

/// Seconds on a clock that only runs forward (clock_gettime(3): CLOCK_UPTIME_RAW), for timing a call. Any thread.
inline double uptimeSeconds() { return double(clock_gettime_nsec_np(CLOCK_UPTIME_RAW)) / 1e9; }

/// Ends the attempt on a read of `attribute` that the host did not answer in time, after the first "AXWindows"
/// read of the load was logged with its time and error: whether the host answers its own calls at all, and how
/// soon, is what a first run on a Mac must tell. Main thread.
void noteWindowsRead(AXError error, double seconds) {
    if (!gFirstReadLogged) {
        gFirstReadLogged = true;
        logFormatted("ax: first AXWindows read took %.1f ms, err=%d", seconds * 1000, int(error));
    }
    answered(error, CFSTR("AXWindows"));
}

/// The host's window titles as "A|B|" (string titles only); true when one of them is not empty. Throws
/// Unanswered at the first read that the host does not answer in time. Main thread.
bool scanWindows(std::string& titles) {
    bool visible = false;
    Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
    Owned<CFTypeRef> windows;
    double began = uptimeSeconds();
    AXError error = copyWithin(app.ref, CFSTR("AXWindows"), windows);
    noteWindowsRead(error, uptimeSeconds() - began);
    if (keepIfOfType(error, CFArrayGetTypeID(), windows) != kAXErrorSuccess || !windows.ref) return false;
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

/// Appends the titles of the menu bar's items to `list`, whatever kind of value each is. Main thread.
void listMenuBarChildren(std::string& list) {
    Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
    Owned<CFTypeRef> menuBar;
    Owned<CFTypeRef> children;
    CFArrayRef items = nullptr;
    if (readAttribute(app.ref, CFSTR("AXMenuBar"), AXUIElementGetTypeID(), menuBar) == kAXErrorSuccess && menuBar.ref) {
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

/// Logs the titles of the menu bar's items once, as far as the host answered them; a read that it left
/// unanswered then ends the attempt. Main thread.
void logMenuBarChildren() {
    std::string list;
    try {
        listMenuBarChildren(list);
    } catch (Unanswered) {
        logLine(("menubar children: " + list).c_str());
        throw;
    }
    logLine(("menubar children: " + list).c_str());
}

/// What the guarded part of an attempt leads to.
enum class AttemptEnd { reschedule, alreadyRunning, pressed, mayHavePressed };

/// Walks the menu path from the menu bar, falling back on the own-names search every eighth attempt, and
/// presses the item: pressed, mayHavePressed (the host did not answer in time) or reschedule. Throws Unanswered
/// at the first read that the host does not answer in time. Main thread.
AttemptEnd pressScriptItem() {
    Owned<AXUIElementRef> app(AXUIElementCreateApplication(getpid()));
    Owned<CFTypeRef> menuBarValue;
    AXError menuBarError = copyWithin(app.ref, CFSTR("AXMenuBar"), menuBarValue);
    keepIfOfType(menuBarError, AXUIElementGetTypeID(), menuBarValue);
    if (gTries % kAxLogPeriod == 1) {
        logFormatted("ax: trusted=%d menubar err=%d", AXIsProcessTrusted() ? 1 : 0, int(menuBarError));
    }
    answered(menuBarError, CFSTR("AXMenuBar"));
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
    gStampBeforePress = manifestStamp();
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

/// The name of what an unanswered read asked for, as the log gives it. Any thread.
const char* unansweredName(Unanswered role) {
    switch (role) {
        case Unanswered::windows:
            return "windows";
        case Unanswered::menuBar:
            return "menu bar";
        case Unanswered::title:
            return "title";
        case Unanswered::children:
            break;
    }
    return "children";
}

/// Steps of an attempt that run under the exception guard; throws Unanswered at the first read that the host
/// does not answer in time. Main thread.
AttemptEnd attemptSteps() {
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
    if (scriptRunsAlready(manifestStamp())) {
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

/// Steps of an attempt that run under the exception guard, ended at the first read that the host does not answer
/// in time: each read would otherwise wait its time-out on the host's main thread, item after item. The next tick
/// tries again from the start. Main thread.
AttemptEnd guardedAttempt() {
    try {
        return attemptSteps();
    } catch (Unanswered role) {
        if (++gUnansweredAttempts % kAxLogPeriod == 1)
            logFormatted("ax: host did not answer (%s)", unansweredName(role));
        return AttemptEnd::reschedule;
    }
}

/// One attempt of the chain, carrying `chainIndex`. Main thread.
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

/// One verify poll after a press, carrying `chainIndex`. Main thread.
void verify(int chainIndex) {
    bool started = false;
    // Written since just before the press: a time there already is no sign, however the clock moved since.
    // Whatever is thrown counts as no manifest seen: the chain goes on.
    runCaught([&started] {
        Stamp now = manifestStamp();
        started = now && !sameStamp(now, gStampBeforePress);
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
