// The two menu searches over accessibility trees built from the input: titles
// from a small table (near misses and non-string titles included), failing
// reads and, in a first round, exceptions. With exceptions gone, each search
// must find exactly what a plain walk of the same tree finds; after every
// round the layer's live references must be back where they were.
#include <platform/foundation.h>
#include <platform/host.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "menu_search.h"

namespace {

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "fuzz_menu_search: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fault(what);
}

/// Titles a node may bear; null is no title at all.
constexpr const char* kTitles[] = {nullptr,   "Tavrin", "Workspace", "Scripts", "tavrin",
                                   "Tavrin ", "",       "Other",     "Tavrín",  "Tavrin\t"};
constexpr size_t kTitleCount = sizeof kTitles / sizeof kTitles[0];
/// Which titles are given as data rather than as a string (index into kTitles).
constexpr int kNonString = -1;

constexpr size_t kMaxNodes = 300;
constexpr int kMaxDepth = 16;

struct Node {
    PLAXNodeRef ref = nullptr;
    int title = 0;  // index into kTitles, or kNonString
    bool titleFails = false;
    bool childrenFail = false;
    bool raises = false;
    std::vector<size_t> children;
};

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
    bool done() const { return at >= size; }
};

struct Tree {
    std::vector<Node> nodes;

    bool stringTitled(size_t i, const char* wanted) const {
        const Node& n = nodes[i];
        return !n.titleFails && n.title != kNonString && kTitles[n.title] && std::strcmp(kTitles[n.title], wanted) == 0;
    }

    /// What axCopyChildByTitle should find, by the same rules, walked plainly.
    long childByTitle(size_t element, const char* title) const {
        if (nodes[element].childrenFail) return -1;
        for (size_t c : nodes[element].children)
            if (stringTitled(c, title)) return long(c);
        return -1;
    }

    /// What axCopyItemByPath should find: each level's submenu is its first child.
    long byPath(size_t bar) const {
        const char* path[] = {"Workspace", "Scripts", "Tavrin", "Tavrin"};
        size_t container = bar;
        for (int level = 0; level < 4; ++level) {
            long item = childByTitle(container, path[level]);
            if (item < 0 || level == 3) return item;
            if (nodes[size_t(item)].childrenFail || nodes[size_t(item)].children.empty()) return -1;
            container = nodes[size_t(item)].children[0];
        }
        return -1;
    }

    /// What axCopyItemByOwnNames should find.
    long findByOwnNames(size_t element, int depth) const {
        if (depth >= 4 || nodes[element].childrenFail) return -1;
        for (size_t c : nodes[element].children) {
            bool folder = stringTitled(c, "Tavrin");
            if (nodes[c].childrenFail || nodes[c].children.empty()) continue;
            size_t submenu = nodes[c].children[0];
            long found = folder ? childByTitle(submenu, "Tavrin") : findByOwnNames(submenu, depth + 1);
            if (found >= 0) return found;
        }
        return -1;
    }
};

/// Adds a node with settings read from the input; returns its index.
size_t addNode(Tree& tree, Input& in, bool root) {
    Node n;
    uint8_t t = in.next();
    n.title = t % (kTitleCount + 1) == kTitleCount ? kNonString : int(t % (kTitleCount + 1));
    uint8_t flags = in.next();
    n.titleFails = (flags & 0x07) == 0x07;
    n.childrenFail = (flags & 0x38) == 0x38;
    n.raises = (flags & 0xC0) == 0xC0;
    n.ref = root ? PLHostAXCreateNode(nullptr) : PLHostAXCreateNode(n.title == kNonString ? nullptr : kTitles[n.title]);
    if (n.title == kNonString) PLHostAXSetNonStringTitle(n.ref, "Tavrin");
    if (n.titleFails) PLHostAXSetReadError(n.ref, "AXTitle", kAXErrorCannotComplete);
    if (n.childrenFail) PLHostAXSetReadError(n.ref, "AXChildren", kAXErrorFailure);
    if (n.raises) PLHostAXSetRaises(n.ref, t & 1 ? "AXTitle" : "AXChildren", "fuzzed", 1);
    tree.nodes.push_back(n);
    return tree.nodes.size() - 1;
}

void grow(Tree& tree, Input& in, size_t parent, int depth) {
    size_t count = in.next() % 5;
    for (size_t i = 0; i < count && depth < kMaxDepth && tree.nodes.size() < kMaxNodes && !in.done(); ++i) {
        size_t child = addNode(tree, in, false);
        PLHostAXAppendChild(tree.nodes[parent].ref, tree.nodes[child].ref);
        tree.nodes[parent].children.push_back(child);
        grow(tree, in, child, depth + 1);
    }
}

long totalPresses(const Tree& tree) {
    long total = 0;
    for (const Node& n : tree.nodes)
        total += PLHostAXPressCount(n.ref);
    return total;
}

/// Checks that `found` shows node `expected` (or that both are none), and releases it.
void checkFound(const Tree& tree, AXUIElementRef found, long expected) {
    if (expected < 0) {
        check(found == nullptr, "a search found an item where there is none");
        return;
    }
    check(found != nullptr, "a search missed the item");
    long before = totalPresses(tree);
    int mine = PLHostAXPressCount(tree.nodes[size_t(expected)].ref);
    check(AXUIElementPerformAction(found, CFSTR("AXPress")) == kAXErrorSuccess, "pressing the result failed");
    CFRelease(found);
    check(PLHostAXPressCount(tree.nodes[size_t(expected)].ref) == mine + 1 && totalPresses(tree) == before + 1,
          "a search found another item than the first by the rules");
}

CFStringRef kWanted[] = {CFSTR("Workspace"), CFSTR("Scripts"), CFSTR("Tavrin"), CFSTR("tavrin")};
const char* kWantedText[] = {"Workspace", "Scripts", "Tavrin", "tavrin"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PLHostAXReset();
    Input in{data, size};
    int startDepth = int(in.next() % 8) - 2;  // -2 to 5: below 0 searches deeper, 4 and above reads nothing
    Tree tree;
    size_t root = addNode(tree, in, true);
    grow(tree, in, root, 0);
    PLHostAXSetMenuBar(tree.nodes[root].ref);
    long references = PLHostLiveReferences(0);

    AXUIElementRef app = AXUIElementCreateApplication(getpid());
    CFTypeRef value = nullptr;
    check(AXUIElementCopyAttributeValue(app, CFSTR("AXMenuBar"), &value) == kAXErrorSuccess, "no menu bar");
    CFRelease(app);
    auto bar = static_cast<AXUIElementRef>(value);

    // First round: exceptions and reads left unanswered pass through the searches, and nothing taken stays taken.
    for (int round = 0; round < 2; ++round) {
        try {
            if (AXUIElementRef found = axCopyItemByOwnNames(bar, 0)) CFRelease(found);
            unsigned long matched;
            if (AXUIElementRef found = axCopyItemByPath(bar, matched)) CFRelease(found);
            for (CFStringRef wanted : kWanted)
                if (AXUIElementRef found = axCopyChildByTitle(bar, wanted)) CFRelease(found);
        } catch (const platform::Exception& e) {
            check(e.description() == "fuzzed", "an exception arrived changed");
        } catch (Unanswered) {
            // Ends the attempt, which tries again on the next tick.
        }
        check(PLHostLiveReferences(0) == references + 1, "a search that raised kept references");
    }
    for (Node& n : tree.nodes) {
        // A title that cannot be read then fails for good: the search goes on without it.
        if (n.titleFails) PLHostAXSetReadError(n.ref, "AXTitle", kAXErrorFailure);
        if (!n.raises) continue;
        PLHostAXSetRaises(n.ref, "AXTitle", nullptr, 0);
        PLHostAXSetRaises(n.ref, "AXChildren", nullptr, 0);
    }

    // Second round: each search finds what the rules say.
    checkFound(tree, axCopyItemByOwnNames(bar, 0), tree.findByOwnNames(root, 0));
    unsigned long matched;
    checkFound(tree, axCopyItemByPath(bar, matched), tree.byPath(root));
    checkFound(tree, axCopyItemByOwnNames(bar, startDepth), tree.findByOwnNames(root, startDepth));
    for (size_t i = 0; i < sizeof kWanted / sizeof kWanted[0]; ++i)
        checkFound(tree, axCopyChildByTitle(bar, kWanted[i]), tree.childByTitle(root, kWantedText[i]));
    check(axCopyItemByOwnNames(nullptr, 0) == nullptr, "a search of no element found something");

    CFRelease(bar);
    check(PLHostLiveReferences(0) == references, "references taken and not given back");
    PLHostAXReset();
    return 0;
}
