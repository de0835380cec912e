// The script's menu item in the host's accessibility tree: along the menu
// path's titles, or by the product's own names alone when the host shows its
// upper menus in another language. Each search stops at the first read that
// the host does not answer in time (Unanswered, cf_util.h), which passes to
// the caller with every reference it took given back.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include "cf_util.h"

namespace {

/// Levels of the menu path: Workspace > Scripts > Tavrin > Tavrin.
constexpr int kMenuLevels = 4;
/// Below this depth the search by own names reads nothing.
constexpr int kOwnNamesDepthLimit = 4;

/// Title of the menu path at `level`: the host's menu, its scripts submenu, our folder, our script.
inline CFStringRef menuPath(int level) {
    static const CFStringRef titles[kMenuLevels] = {CFSTR("Workspace"), CFSTR("Scripts"), CFSTR("Tavrin"),
                                                    CFSTR("Tavrin")};
    return titles[level];
}

/// Whether the element's title is a string equal to `wanted`, literally and case-sensitively. Main thread.
inline bool titleIs(AXUIElementRef element, CFStringRef wanted) {
    Owned<CFTypeRef> title;
    // The service may report a non-zero status yet hand back a value, so only whether a value came back counts.
    copyValue(element, CFSTR("AXTitle"), title);
    return title.ref && CFGetTypeID(title.ref) == CFStringGetTypeID() &&
           CFStringCompare(static_cast<CFStringRef>(title.ref), wanted, 0) == kCFCompareEqualTo;
}

/// The element's children, owned by `holder`, or null when they cannot be read or are no array. Main thread.
inline CFArrayRef childrenOf(AXUIElementRef element, Owned<CFTypeRef>& holder) {
    if (readAttribute(element, CFSTR("AXChildren"), CFArrayGetTypeID(), holder) != kAXErrorSuccess) holder.reset();
    return static_cast<CFArrayRef>(holder.ref);
}

/// The first direct child titled `title`, retained for the caller (so "Copy"); null when there is none. Main thread.
inline AXUIElementRef axCopyChildByTitle(AXUIElementRef element, CFStringRef title) {
    Owned<CFTypeRef> children;
    CFArrayRef list = childrenOf(element, children);
    if (!list) return nullptr;
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        AXUIElementRef child = elementAt(list, i);
        if (child && titleIs(child, title)) return static_cast<AXUIElementRef>(CFRetain(child));
    }
    return nullptr;
}

/// The script's item found by its folder's and its own title at any of four levels, retained (so "Copy"); or null.
/// Main thread.
inline AXUIElementRef axCopyItemByOwnNames(AXUIElementRef element, int depth) {
    if (!element || depth >= kOwnNamesDepthLimit) return nullptr;
    Owned<CFTypeRef> children;
    CFArrayRef list = childrenOf(element, children);
    if (!list) return nullptr;
    CFStringRef folderTitle = menuPath(2);
    CFStringRef scriptTitle = menuPath(3);
    AXUIElementRef found = nullptr;
    for (CFIndex i = 0; i < CFArrayGetCount(list) && !found; ++i) {
        AXUIElementRef child = elementAt(list, i);
        if (!child) continue;
        bool folder = titleIs(child, folderTitle);
        Owned<AXUIElementRef> submenu;
        {
            Owned<CFTypeRef> grandchildren;
            CFArrayRef items = childrenOf(child, grandchildren);
            AXUIElementRef first = items ? firstElementOf(items) : nullptr;
            if (!first) continue;
            submenu.reset(static_cast<AXUIElementRef>(CFRetain(first)));
        }
        // Only the folder's own menu is searched, so an item of the same name elsewhere is never pressed.
        found = folder ? axCopyChildByTitle(submenu.ref, scriptTitle) : axCopyItemByOwnNames(submenu.ref, depth + 1);
    }
    return found;
}

/// The script's item along the menu path's titles from the menu bar, retained (so "Copy"), or null;
/// `matched` says how many levels matched. Each level's submenu is its first child that is an element. Main thread.
inline AXUIElementRef axCopyItemByPath(AXUIElementRef menuBar, unsigned long& matched) {
    matched = 0;
    Owned<AXUIElementRef> item;
    Owned<AXUIElementRef> container(static_cast<AXUIElementRef>(CFRetain(menuBar)));
    for (int level = 0; level < kMenuLevels && container.ref; ++level) {
        item.reset(axCopyChildByTitle(container.ref, menuPath(level)));
        container.reset();
        if (!item.ref) break;
        matched = unsigned(level) + 1;
        if (level == kMenuLevels - 1) return item.release();
        Owned<CFTypeRef> children;
        CFArrayRef list = childrenOf(item.ref, children);
        if (AXUIElementRef first = list ? firstElementOf(list) : nullptr) {
            container.reset(static_cast<AXUIElementRef>(CFRetain(first)));
        }
        item.reset();
    }
    return nullptr;
}

}  // namespace
