// Accessibility elements over the tree that the host declares.
//
// An element is a counted reference to a tree node; every read builds new
// values, as the real service does across processes, so each one that a
// client takes shows in the live counts until it gives it back. Failures and
// exceptions are per node and per attribute name, set by the host.
#include <platform/foundation.h>
#include <platform/host.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
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
    Title titleKind = Title::none;
    std::string title;
    std::vector<std::shared_ptr<PLAXNode>> children;
    std::vector<std::shared_ptr<PLAXNode>> windows;
    std::shared_ptr<PLAXNode> menuBar;
    std::map<std::string, AXError> readErrors;
    std::map<std::string, Raise> raises;
    std::map<std::string, Odd> odd;
    std::vector<AXError> pressResults;  // one per action, the last repeating; empty: success
    bool pressedDespiteCannotComplete = false;
    size_t pressesTried = 0;
    int presses = 0;
};

struct __AXUIElement : cfl::Object {
    __AXUIElement(std::shared_ptr<PLAXNode> n, pid_t p) : Object(cfl::typeAXUIElement), node(std::move(n)), pid(p) {}
    std::string describe() const override {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "<AXUIElement %p {pid=%d}>", static_cast<const void*>(this), int(pid));
        return buffer;
    }
    const std::shared_ptr<PLAXNode> node;  // null for a process that this layer does not describe
    const pid_t pid;
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

/// An owned array of new elements, one per node.
CFArrayRef elementArray(const std::vector<std::shared_ptr<PLAXNode>>& nodes, pid_t pid) {
    std::vector<CFTypeRef> elements;
    elements.reserve(nodes.size());
    for (const auto& node : nodes)
        elements.push_back(new __AXUIElement(node, pid));
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
        if (odd->second.number)
            *value = new PLNumber(odd->second.text);
        else
            *value = cfl::makeString(odd->second.text);
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

}  // namespace

extern "C" {

CFTypeID AXUIElementGetTypeID(void) { return cfl::typeAXUIElement; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return new __AXUIElement(pid == getpid() ? application() : nullptr, pid);
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef e, CFStringRef attribute, CFTypeRef* value) {
    if (!isElement(e) || !attribute || CFGetTypeID(attribute) != cfl::typeString || !value)
        return kAXErrorIllegalArgument;
    // Cleared first so that no failure, a raised exception included, leaves a stale value to release.
    *value = nullptr;
    std::lock_guard<std::mutex> hold(gTreeLock);
    ++gCalls;
    if (!gTrusted && gUntrustedCallsFail) return kAXErrorAPIDisabled;
    if (!element(e)->node) return kAXErrorCannotComplete;
    return copyValue(element(e), cfl::text(attribute), value);
}

AXError AXUIElementPerformAction(AXUIElementRef e, CFStringRef action) {
    if (!isElement(e) || !action || CFGetTypeID(action) != cfl::typeString) return kAXErrorIllegalArgument;
    void (*handler)(PLAXNodeRef, void*) = nullptr;
    void* context = nullptr;
    AXError pressResult = kAXErrorSuccess;
    {
        std::lock_guard<std::mutex> hold(gTreeLock);
        ++gCalls;
        if (!gTrusted && gUntrustedCallsFail) return kAXErrorAPIDisabled;
        PLAXNode* node = element(e)->node.get();
        if (!node) return kAXErrorCannotComplete;
        const std::string& name = cfl::text(action);
        raiseIfAsked(*node, name);
        if (name != "AXPress" || node->application) return kAXErrorActionUnsupported;
        const auto& results = node->pressResults;
        AXError result = results.empty() ? kAXErrorSuccess : results[std::min(node->pressesTried, results.size() - 1)];
        ++node->pressesTried;
        pressResult = result;
        bool done =
            result == kAXErrorSuccess || (result == kAXErrorCannotComplete && node->pressedDespiteCannotComplete);
        if (!done) return result;
        ++node->presses;
        handler = gPressHandler;
        context = gPressContext;
    }
    // The element keeps its node alive while the handler runs.
    if (handler) handler(element(e)->node.get(), context);
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

unsigned long PLHostAXCallCount(void) {
    std::lock_guard<std::mutex> hold(gTreeLock);
    return gCalls;
}

}  // extern "C"
