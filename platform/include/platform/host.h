// The host-side interface of the Linux layer: what a host process (or a test)
// sets up and drives so that plug-ins loaded into it meet the platform they
// expect. Everything here belongs to the host; plug-ins call only the
// platform's own functions.
//
// The clock. The layer keeps one clock for dispatch_time and for the C
// library's `time`, which the layer exports so that it is found before the C
// library's in every process that links the layer. By default it is the real
// clock. A host may switch to a driven clock, which stands still until the
// host runs the main queue (the clock then jumps to each task's time) or
// advances it; wall-clock seconds then move with it. File times are the
// host's business: a host that writes files on the driven clock sets their
// times from PLHostWallNanoseconds.
//
// The main queue runs only where the host runs it: on the thread that calls
// PLHostRunNextTask, which should be the host's main thread. Tasks may be
// queued from any thread.
//
// The accessibility tree. The host builds nodes and hangs them from its
// application node (windows, menu bar) or from each other (children); it may
// change them at any time. A menu item that opens a menu has that menu as its
// first child. Every read of an element yields new owned values (strings,
// arrays, elements), each counted, so a host can check that a client gave
// back everything it took.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// --- The process as plug-ins see it -------------------------------------------

/// The main bundle's identifier; null leaves the process without one.
void PLHostSetBundleIdentifier(const char* identifier);
/// Whether the process has a shared application object (NSApp).
void PLHostSetHasApplication(bool has);

// --- Clock -----------------------------------------------------------------------

/// Switches to a driven clock whose wall time reads `wallSeconds` now; the clock
/// that dispatch_time counts goes on from its current reading.
void PLHostUseDrivenClock(int64_t wallSeconds);
/// Back to the real clock; tasks still queued keep their times.
void PLHostUseRealClock(void);
bool PLHostClockIsDriven(void);
/// Nanoseconds on the clock that dispatch_time counts.
int64_t PLHostClockNanoseconds(void);
/// Wall-clock nanoseconds since the epoch, as `time` reads them.
int64_t PLHostWallNanoseconds(void);
/// Moves a driven clock forward without running anything.
void PLHostAdvanceClock(int64_t nanoseconds);
/// Sets the wall clock (`time`, PLHostWallNanoseconds) forward or, when negative, back by `nanoseconds`, as a user or
/// the network sets the system's clock; the clock that dispatch_time counts does not move. Holds on the real clock
/// and on a driven one until the next PLHostUseDrivenClock or PLHostUseRealClock.
void PLHostShiftWallClock(int64_t nanoseconds);

// --- Main queue ------------------------------------------------------------------

/// Runs the earliest task if it falls due by `deadline` (clock nanoseconds):
/// the real clock waits for it, a driven clock jumps to it. When none falls
/// due by then, a driven clock moves to the deadline and a real one waits until
/// it. Returns whether a task ran.
bool PLHostRunNextTask(int64_t deadline);
/// The time at which the earliest waiting task falls due, or -1 when none waits.
int64_t PLHostNextTaskTime(void);
size_t PLHostPendingTasks(void);
/// Drops every waiting task unrun.
void PLHostDiscardTasks(void);

// --- Accessibility tree ----------------------------------------------------------

typedef struct PLAXNode* PLAXNodeRef;

/// Forgets every node, gives the application no windows and no menu bar, trusts
/// the process again (untrusted calls failing), restores the default global
/// messaging time-out and drops the press handler;
/// handles of forgotten nodes must not be used again (elements that show them stay valid).
void PLHostAXReset(void);
/// The node behind AXUIElementCreateApplication(getpid()).
PLAXNodeRef PLHostAXApplication(void);
/// Whether AXIsProcessTrusted reports true; when not, every read and action fails with kAXErrorAPIDisabled
/// (unless PLHostAXSetUntrustedCallsFail says otherwise).
void PLHostAXSetTrusted(bool trusted);
/// Whether an untrusted process's reads and actions fail (the default), or succeed as a trusted one's do, as
/// when the permission was granted after the process read it.
void PLHostAXSetUntrustedCallsFail(bool fail);

/// A new node with a string title (UTF-8), or with none when `title` is null.
PLAXNodeRef PLHostAXCreateNode(const char* title);
/// An entry of another kind for a list of windows or children: where it is appended, the array read holds a string
/// with `text` (or, when `number`, a number describing itself as `text`) in place of an element.
PLAXNodeRef PLHostAXCreateOddEntry(const char* text, bool number);
/// A string title (empty included), or none when `title` is null.
void PLHostAXSetTitle(PLAXNodeRef node, const char* title);
/// A title value that is not a string: data holding these bytes.
void PLHostAXSetNonStringTitle(PLAXNodeRef node, const char* bytes);
void PLHostAXAppendChild(PLAXNodeRef parent, PLAXNodeRef child);
void PLHostAXRemoveChildren(PLAXNodeRef parent);
void PLHostAXAppendWindow(PLAXNodeRef window);
void PLHostAXRemoveWindows(void);
/// The application's menu bar, or none when `menuBar` is null.
void PLHostAXSetMenuBar(PLAXNodeRef menuBar);

/// Convenience for menus: appends an item with that title to a menu bar or menu.
PLAXNodeRef PLHostAXAddItem(PLAXNodeRef menu, const char* title);
/// Convenience for menus: gives the item a menu (its first child) and returns it.
PLAXNodeRef PLHostAXAddMenu(PLAXNodeRef item);

/// Reads of `attribute` fail with `error` (kAXErrorSuccess lets them succeed again).
void PLHostAXSetReadError(PLAXNodeRef node, const char* attribute, AXError error);
/// The next `times` reads of `attribute` (every read when negative, none when 0)
/// raise platform::Exception with `description`. The name "AXPress" stands for the action.
void PLHostAXSetRaises(PLAXNodeRef node, const char* attribute, const char* description, int times);
/// Like PLHostAXSetRaises, but the reads throw std::runtime_error with `what`: a C++ exception, not the platform's.
void PLHostAXSetThrows(PLAXNodeRef node, const char* attribute, const char* what, int times);
/// Reads of `attribute` succeed with a value of a kind that it does not normally have: a string holding `text`, or,
/// when `number`, a number (CFNumber's type id) that describes itself as `text`. A null `text` undoes it.
void PLHostAXSetOddValue(PLAXNodeRef node, const char* attribute, const char* text, bool number);
/// What "AXPress" on the node returns; anything but kAXErrorSuccess presses nothing, unless the next call says so.
void PLHostAXSetPressResult(PLAXNodeRef node, AXError result);
/// What successive "AXPress" actions on the node return, the last one repeating; an empty list means success.
void PLHostAXSetPressResults(PLAXNodeRef node, const AXError* results, size_t count);
/// Whether a press answered with kAXErrorCannotComplete was carried out all the same (the application did the
/// work but answered after the service's time-out): it then counts and calls the handler like a success.
void PLHostAXSetPressedDespiteCannotComplete(PLAXNodeRef node, bool pressed);
/// Presses of the node carried out so far.
int PLHostAXPressCount(PLAXNodeRef node);
/// Called after each press of any node that was carried out, on the pressing thread, outside the layer's locks. It
/// runs inside the press, as the application's own action does when it answers its own call: the time it takes is
/// the press's, bounded by no messaging time-out.
void PLHostAXSetPressHandler(void (*handler)(PLAXNodeRef node, void* context), void* context);
/// The application answers calls of `attribute` (or the action "AXPress") on the node only after `nanoseconds`; a
/// call waits at most its messaging time-out (AXUIElementSetMessagingTimeout) and then fails with
/// kAXErrorCannotComplete, a press being carried out all the same unless the node refuses it. The wait runs on the
/// layer's clock: a driven clock moves forward by it. 0 answers at once again.
void PLHostAXSetAnswerDelay(PLAXNodeRef node, const char* attribute, int64_t nanoseconds);
/// The longest messaging time-out that applied to a call since the last PLHostAXReset, in nanoseconds: the element's
/// own, or else the global one.
int64_t PLHostAXLongestTimeout(void);
/// Attribute reads and actions attempted so far, all elements together.
unsigned long PLHostAXCallCount(void);

// --- Reference counts ------------------------------------------------------------

/// References handed out and not yet released, of one type (CFStringGetTypeID(),
/// CFArrayGetTypeID(), CFDataGetTypeID(), AXUIElementGetTypeID(), ...), or of all when 0.
long PLHostLiveReferences(CFTypeID type);

}  // extern "C"
