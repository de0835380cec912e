// Accessibility elements over the tree that the host declares.
//
// An element is a counted reference to a tree node; every read builds new
// values, as the real service does across processes, so each one that a
// client takes shows in the live counts until it gives it back. Failures and
// exceptions are per node and per attribute name, set by the host.
//
// Messaging time-outs follow Apple's documentation of
// AXUIElementSetMessagingTimeout: the system-wide element holds the process's
// global one; one set on any other element holds for that element object
// alone, not for equal ones, so the elements that a read hands out (windows,
// the menu bar, children) start without one and wait the global time-out.
#include <platform/foundation.h>
#include <platform/host.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cfinternal.h"

struct PLAXNode : std::enable_shared_from_this<PLAXNode> {
    enum class Title { none, string, other };

    struct Raise {
        std::string description;
        int times = 0;         // negative: every time
        bool foreign = false;  // a C++ exception rather than the platform's
    };

    /// A value of a kind that the attribute does not normally have.
    struct Odd {
        std::string text;
        bool number = false;
    };

    bool application = false;
    bool oddEntry = false;  // shown in arrays as `odd[""]`, a value of another kind
    Title titleKind = Title::none;
    std::string title;
    std::vector<std::shared_ptr<PLAXNode>> children;
    std::vector<std::shared_ptr<PLAXNode>> windows;
    std::shared_ptr<PLAXNode> menuBar;
    std::map<std::string, AXError> readErrors;
    std::map<std::string, Raise> raises;
    std::map<std::string, Odd> odd;
    std::map<std::string, int64_t> answerDelays;  // nanoseconds, by attribute or "AXPress"
    std::vector<AXError> pressResults;            // one per action, the last repeating; empty: success
    bool pressedDespiteCannotComplete = false;
    size_t pressesTried = 0;
    int presses = 0;
};

struct __AXUIElement : cfl::Object {
    __AXUIElement(std::shared_ptr<PLAXNode> n, pid_t p, bool wide = false)
        : Object(cfl::typeAXUIElement), node(std::move(n)), pid(p), systemWide(wide) {}
    std::string describe() const override {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "<AXUIElement %p {pid=%d}>", static_cast<const void*>(this), int(pid));
        return buffer;
    }
    const std::shared_ptr<PLAXNode> node;  // null for a process that this layer does not describe
    const pid_t pid;
    const bool systemWide;
    mutable int64_t timeout = 0;  // nanoseconds; 0: the global one. Guarded by gTreeLock
};

/// CFNumber's type id on macOS; the layer has numbers only for odd values.
constexpr CFTypeID kNumberType = 22;

/// A number, for the odd values that an application may answer.
struct PLNumber : cfl::Object {
    explicit PLNumber(std::string t) : Object(kNumberType), text(std::move(t)) {}
    std::string describe() const override { return text; }
    const std::string text;
};

namespace {

std::mutex gTreeLock;
std::shared_ptr<PLAXNode> gApplication;
std::vector<std::shared_ptr<PLAXNode>> gNodes;  // what the host created, alive until reset
bool gTrusted = true;
bool gUntrustedCallsFail = true;
unsigned long gCalls = 0;
/// The service's messaging time-out when a process has set none.
constexpr int64_t kDefaultTimeout = int64_t(6) * 1000000000;
int64_t gGlobalTimeout = kDefaultTimeout;
int64_t gLongestTimeout = 0;
void (*gPressHandler)(PLAXNodeRef, void*) = nullptr;
void* gPressContext = nullptr;

/// Callers hold gTreeLock.
const std::shared_ptr<PLAXNode>& application() {
    if (!gApplication) {
        gApplication = std::make_shared<PLAXNode>();
        gApplication->application = true;
    }
    return gApplication;
}

std::shared_ptr<PLAXNode> shared(PLAXNodeRef node) { return node ? node->shared_from_this() : nullptr; }

bool isElement(CFTypeRef cf) { return cf && CFGetTypeID(cf) == cfl::typeAXUIElement; }

const __AXUIElement* element(CFTypeRef cf) { return static_cast<const __AXUIElement*>(cf); }

/// An owned value of a kind that an attribute does not normally have.
CFTypeRef oddValue(const PLAXNode::Odd& odd) {
    if (odd.number) return new PLNumber(odd.text);
    return cfl::makeString(odd.text);
}

/// An owned array of new elements, one per node; an odd entry's node gives its value of another kind instead.
CFArrayRef elementArray(const std::vector<std::shared_ptr<PLAXNode>>& nodes, pid_t pid) {
    std::vector<CFTypeRef> elements;
    elements.reserve(nodes.size());
    for (const auto& node : nodes)
        elements.push_back(node->oddEntry ? oddValue(node->odd[""]) : new __AXUIElement(node, pid));
    auto* array = new __CFArray(elements);  // retains each
    for (CFTypeRef e : elements)
        CFRelease(e);
    return array;
}

/// Throws when the host asked for an exception on this name; callers hold gTreeLock.
void raiseIfAsked(PLAXNode& node, const std::string& name) {
    auto it = node.raises.find(name);
    if (it == node.raises.end() || it->second.times == 0) return;
    std::string description = it->second.description;
    bool foreign = it->second.foreign;
    if (it->second.times > 0) --it->second.times;
    if (foreign) throw std::runtime_error(description);
    throw platform::Exception(description);
}

AXError copyValue(const __AXUIElement* e, const std::string& name, CFTypeRef* value) {
    PLAXNode& node = *e->node;
    raiseIfAsked(node, name);
    auto failure = node.readErrors.find(name);
    if (failure != node.readErrors.end()) return failure->second;
    auto odd = node.odd.find(name);
    if (odd != node.odd.end()) {
        *value = oddValue(odd->second);
        return kAXErrorSuccess;
    }
    if (name == "AXTitle") {
        switch (node.titleKind) {
            case PLAXNode::Title::none:
                return kAXErrorNoValue;
            case PLAXNode::Title::string:
                *value = cfl::makeString(node.title);
                return kAXErrorSuccess;
            case PLAXNode::Title::other:
                *value = new __CFData(std::vector<UInt8>(node.title.begin(), node.title.end()));
                return kAXErrorSuccess;
        }
    }
    if (name == "AXChildren") {
        if (!node.application) {
            *value = elementArray(node.children, e->pid);
            return kAXErrorSuccess;
        }
        std::vector<std::shared_ptr<PLAXNode>> all;
        if (node.menuBar) all.push_back(node.menuBar);
        all.insert(all.end(), node.windows.begin(), node.windows.end());
        *value = elementArray(all, e->pid);
        return kAXErrorSuccess;
    }
    if (!node.application) return kAXErrorAttributeUnsupported;
    if (name == "AXWindows") {
        *value = elementArray(node.windows, e->pid);
        return kAXErrorSuccess;
    }
    if (name == "AXMenuBar") {
        if (!node.menuBar) return kAXErrorNoValue;
        *value = new __AXUIElement(node.menuBar, e->pid);
        return kAXErrorSuccess;
    }
    return kAXErrorAttributeUnsupported;
}

/// How long a call on `e` to `name` waits for its answer, and whether it then gives up; callers hold gTreeLock.
struct Wait {
    int64_t nanoseconds = 0;
    bool timedOut = false;
};
Wait waitFor(const __AXUIElement* e, const std::string& name) {
    int64_t bound = e->timeout > 0 ? e->timeout : gGlobalTimeout;
    gLongestTimeout = std::max(gLongestTimeout, bound);
    auto delay = e->node->answerDelays.find(name);
    if (delay == e->node->answerDelays.end()) return {};
    return {std::min(delay->second, bound), delay->second > bound};
}

/// Spends a call's wait on the layer's clock; callers hold no lock.
void spend(const Wait& wait) {
    if (wait.nanoseconds <= 0) return;
    if (PLHostClockIsDriven())
        PLHostAdvanceClock(wait.nanoseconds);
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait.nanoseconds));
}

}  // namespace

extern "C" {

CFTypeID AXUIElementGetTypeID(void) { return cfl::typeAXUIElement; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return new __AXUIElement(pid == getpid() ? application() : nullptr, pid);
}

AXUIElementRef AXUIElementCreateSystemWide(void) { return new __AXUIElement(nullptr, 0, true); }

AXError AXUIElementSetMessagingTimeout(AXUIElementRef e, float timeoutInSeconds) {
    // NaN fails this test too.
    if (!isElement(e) || !(timeoutInSeconds >= 0)) return kAXErrorIllegalArgument;
    // To the microsecond, so that 0.2f, a little above 0.2, waits 0.2 s.
    int64_t nanoseconds = std::llround(double(std::min(timeoutInSeconds, 1e9f)) * 1e6) * 1000;
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (element(e)->systemWide)
        gGlobalTimeout = nanoseconds > 0 ? nanoseconds : kDefaultTimeout;
    else
        element(e)->timeout = nanoseconds;
    return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef e, CFStringRef attribute, CFTypeRef* value) {
    if (!isElement(e) || !attribute || CFGetTypeID(attribute) != cfl::typeString || !value)
        return kAXErrorIllegalArgument;
    // Cleared first so that no failure, a raised exception included, leaves a stale value to release.
    *value = nullptr;
    Wait wait;
    AXError result;
    {
        std::lock_guard<std::mutex> hold(gTreeLock);
        ++gCalls;
        if (!gTrusted && gUntrustedCallsFail) return kAXErrorAPIDisabled;
        if (element(e)->systemWide) return kAXErrorAttributeUnsupported;
        if (!element(e)->node) return kAXErrorCannotComplete;
        const std::string& name = cfl::text(attribute);
        wait = waitFor(element(e), name);
        result = wait.timedOut ? kAXErrorCannotComplete : copyValue(element(e), name, value);
    }
    spend(wait);
    return result;
}

AXError AXUIElementPerformAction(AXUIElementRef e, CFStringRef action) {
    if (!isElement(e) || !action || CFGetTypeID(action) != cfl::typeString) return kAXErrorIllegalArgument;
    void (*handler)(PLAXNodeRef, void*) = nullptr;
    void* context = nullptr;
    AXError pressResult = kAXErrorSuccess;
    Wait wait;
    {
        std::lock_guard<std::mutex> hold(gTreeLock);
        ++gCalls;
        if (!gTrusted && gUntrustedCallsFail) return kAXErrorAPIDisabled;
        if (element(e)->systemWide) return kAXErrorActionUnsupported;
        PLAXNode* node = element(e)->node.get();
        if (!node) return kAXErrorCannotComplete;
        const std::string& name = cfl::text(action);
        wait = waitFor(element(e), name);
        // An application that answers late has the action all the same: the time-out only stops the waiting.
        raiseIfAsked(*node, name);
        if (name != "AXPress" || node->application) return kAXErrorActionUnsupported;
        const auto& results = node->pressResults;
        AXError result = results.empty() ? kAXErrorSuccess : results[std::min(node->pressesTried, results.size() - 1)];
        ++node->pressesTried;
        pressResult = wait.timedOut ? kAXErrorCannotComplete : result;
        bool done =
            result == kAXErrorSuccess || (result == kAXErrorCannotComplete && node->pressedDespiteCannotComplete);
        if (done) {
            ++node->presses;
            handler = gPressHandler;
            context = gPressContext;
        }
    }
    // The element keeps its node alive while the handler runs.
    if (handler) handler(element(e)->node.get(), context);
    spend(wait);
    return pressResult;
}

Boolean AXIsProcessTrusted(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return gTrusted;
}

void PLHostAXReset(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    gApplication = nullptr;
    gNodes.clear();
    gTrusted = true;
    gUntrustedCallsFail = true;
    gGlobalTimeout = kDefaultTimeout;
    gLongestTimeout = 0;
    gPressHandler = nullptr;
    gPressContext = nullptr;
}

PLAXNodeRef PLHostAXApplication(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return application().get();
}

void PLHostAXSetTrusted(bool trusted) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    gTrusted = trusted;
}

void PLHostAXSetUntrustedCallsFail(bool fail) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    gUntrustedCallsFail = fail;
}

PLAXNodeRef PLHostAXCreateNode(const char* title) {
    auto node = std::make_shared<PLAXNode>();
    if (title) {
        node->titleKind = PLAXNode::Title::string;
        node->title = std::string(title);
    }
    std::lock_guard<std::mutex> hold(gTreeLock);
    gNodes.push_back(node);
    return node.get();
}

PLAXNodeRef PLHostAXCreateOddEntry(const char* text, bool number) {
    PLAXNodeRef node = PLHostAXCreateNode(nullptr);
    std::lock_guard<std::mutex> hold(gTreeLock);
    node->oddEntry = true;
    node->odd[""] = PLAXNode::Odd{text ? text : "", number};
    return node;
}

void PLHostAXSetTitle(PLAXNodeRef node, const char* title) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    node->titleKind = title ? PLAXNode::Title::string : PLAXNode::Title::none;
    node->title = title ? std::string(title) : std::string();
}

void PLHostAXSetNonStringTitle(PLAXNodeRef node, const char* bytes) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    node->titleKind = PLAXNode::Title::other;
    node->title = bytes ? bytes : "";
}

void PLHostAXAppendChild(PLAXNodeRef parent, PLAXNodeRef child) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    parent->children.push_back(shared(child));
}

void PLHostAXRemoveChildren(PLAXNodeRef parent) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    parent->children.clear();
}

void PLHostAXAppendWindow(PLAXNodeRef window) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    application()->windows.push_back(shared(window));
}

void PLHostAXRemoveWindows(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    application()->windows.clear();
}

void PLHostAXSetMenuBar(PLAXNodeRef menuBar) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    application()->menuBar = shared(menuBar);
}

PLAXNodeRef PLHostAXAddItem(PLAXNodeRef menu, const char* title) {
    PLAXNodeRef item = PLHostAXCreateNode(title);
    PLHostAXAppendChild(menu, item);
    return item;
}

PLAXNodeRef PLHostAXAddMenu(PLAXNodeRef item) {
    PLAXNodeRef menu = PLHostAXCreateNode(nullptr);
    std::lock_guard<std::mutex> hold(gTreeLock);
    item->children.insert(item->children.begin(), shared(menu));
    return menu;
}

void PLHostAXSetReadError(PLAXNodeRef node, const char* attribute, AXError error) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (error == kAXErrorSuccess)
        node->readErrors.erase(attribute);
    else
        node->readErrors[attribute] = error;
}

void PLHostAXSetRaises(PLAXNodeRef node, const char* attribute, const char* description, int times) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (times == 0)
        node->raises.erase(attribute);
    else
        node->raises[attribute] = PLAXNode::Raise{description ? description : "", times};
}

void PLHostAXSetThrows(PLAXNodeRef node, const char* attribute, const char* what, int times) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (times == 0)
        node->raises.erase(attribute);
    else
        node->raises[attribute] = PLAXNode::Raise{what ? what : "", times, true};
}

void PLHostAXSetOddValue(PLAXNodeRef node, const char* attribute, const char* text, bool number) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (text)
        node->odd[attribute] = PLAXNode::Odd{text, number};
    else
        node->odd.erase(attribute);
}

void PLHostAXSetPressResult(PLAXNodeRef node, AXError result) { PLHostAXSetPressResults(node, &result, 1); }

void PLHostAXSetPressResults(PLAXNodeRef node, const AXError* results, size_t count) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    node->pressResults.assign(results, results + count);
    node->pressesTried = 0;
}

void PLHostAXSetPressedDespiteCannotComplete(PLAXNodeRef node, bool pressed) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    node->pressedDespiteCannotComplete = pressed;
}

int PLHostAXPressCount(PLAXNodeRef node) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return node->presses;
}

void PLHostAXSetPressHandler(void (*handler)(PLAXNodeRef node, void* context), void* context) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    gPressHandler = handler;
    gPressContext = context;
}

void PLHostAXSetAnswerDelay(PLAXNodeRef node, const char* attribute, int64_t nanoseconds) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    if (nanoseconds > 0)
        node->answerDelays[attribute] = nanoseconds;
    else
        node->answerDelays.erase(attribute);
}

int64_t PLHostAXLongestTimeout(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return gLongestTimeout;
}

unsigned long PLHostAXCallCount(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return gCalls;
}

}  // extern "C"
