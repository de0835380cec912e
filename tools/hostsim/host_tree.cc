#include "host_tree.h"

#include <vector>

namespace hostsim {
namespace {

void setTitle(PLAXNodeRef node, const Title& title) {
    switch (title.kind) {
        case Title::Kind::none:
            PLHostAXSetTitle(node, nullptr);
            break;
        case Title::Kind::string:
            PLHostAXSetTitle(node, title.text.c_str());
            break;
        case Title::Kind::other:
            PLHostAXSetNonStringTitle(node, title.text.c_str());
            break;
    }
}

void configure(PLAXNodeRef node, const ReadErrors& errors, const std::vector<Raise>& raises,
               const std::vector<OddValue>& oddValues = {}) {
    for (const auto& [attribute, code] : errors)
        PLHostAXSetReadError(node, attribute.c_str(), AXError(code));
    for (const auto& r : raises) {
        if (r.cxx)
            PLHostAXSetThrows(node, r.attribute.c_str(), r.description.c_str(), r.times);
        else
            PLHostAXSetRaises(node, r.attribute.c_str(), r.description.c_str(), r.times);
    }
    for (const auto& v : oddValues)
        PLHostAXSetOddValue(node, v.attribute.c_str(), v.text.c_str(), v.number);
}

void delay(PLAXNodeRef node, const AnswerDelays& delays) {
    for (const auto& [attribute, seconds] : delays)
        PLHostAXSetAnswerDelay(node, attribute.c_str(), int64_t(seconds * 1e9));
}

PLAXNodeRef oddEntry(const OddValue& entry) { return PLHostAXCreateOddEntry(entry.text.c_str(), entry.number); }

void addItems(PLAXNodeRef menu, const std::vector<MenuItem>& items, const std::string& path, MenuItems& shown) {
    for (const auto& item : items) {
        if (item.entry) {
            PLHostAXAppendChild(menu, oddEntry(*item.entry));
            continue;
        }
        PLAXNodeRef node = PLHostAXAddItem(menu, nullptr);
        setTitle(node, item.title);
        std::vector<AXError> results(item.pressResults.begin(), item.pressResults.end());
        PLHostAXSetPressResults(node, results.data(), results.size());
        PLHostAXSetPressedDespiteCannotComplete(node, item.pressedAnyway);
        configure(node, item.readErrors, item.raises, item.oddValues);
        delay(node, item.answerDelays);
        std::string here = (path.empty() ? "" : path + " > ") + describeTitle(item.title);
        shown.paths[node] = here;
        if (item.pressTakes > 0) shown.pressTakes[node] = item.pressTakes;
        if (item.items) addItems(PLHostAXAddMenu(node), *item.items, here, shown);
    }
}

}  // namespace

std::string describeTitle(const Title& title) {
    switch (title.kind) {
        case Title::Kind::none:
            return "(untitled)";
        case Title::Kind::string:
            return title.text;
        case Title::Kind::other:
            return "(non-string title)";
    }
    return {};
}

void declareProcess(const Scenario& scenario, void (*pressed)(PLAXNodeRef node, void* context), void* context) {
    PLHostSetBundleIdentifier(scenario.bundleIdentifier ? scenario.bundleIdentifier->c_str() : nullptr);
    PLHostSetHasApplication(scenario.application);
    PLHostAXReset();
    PLHostAXSetTrusted(scenario.trusted);
    PLHostAXSetUntrustedCallsFail(scenario.untrustedCallsFail);
    configure(PLHostAXApplication(), scenario.applicationReadErrors, scenario.applicationRaises,
              scenario.applicationOddValues);
    delay(PLHostAXApplication(), scenario.applicationAnswerDelays);
    PLHostAXSetPressHandler(pressed, context);
}

void showMenuBar(const MenuBarChange& change, bool noted, MenuItems& items, Transcript& transcript) {
    if (!change.bar) {
        PLHostAXSetMenuBar(nullptr);
        if (noted) transcript.note("host shows no menu bar");
        return;
    }
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    configure(bar, change.bar->readErrors, change.bar->raises, change.bar->oddValues);
    delay(bar, change.bar->answerDelays);
    addItems(bar, change.bar->items, "", items);
    PLHostAXSetMenuBar(bar);
    if (!noted) return;
    std::string shown;
    for (const auto& item : change.bar->items)
        shown += item.entry ? " (entry of another kind)" : " \"" + describeTitle(item.title) + "\"";
    transcript.note("host shows a menu bar with %zu item(s)%s", change.bar->items.size(), shown.c_str());
}

void showWindows(const WindowsChange& change, Transcript& transcript) {
    PLHostAXRemoveWindows();
    std::string shown;
    for (const auto& w : change.windows) {
        if (w.entry) {
            PLHostAXAppendWindow(oddEntry(*w.entry));
            shown.append(" (entry of another kind)");
            continue;
        }
        PLAXNodeRef window = PLHostAXCreateNode(nullptr);
        setTitle(window, w.title);
        configure(window, w.readErrors, w.raises);
        delay(window, w.answerDelays);
        PLHostAXAppendWindow(window);
        // Appended piece by piece: GCC 12 at -O2 sees a false overlap in operator+ here (-Wrestrict).
        if (w.title.kind == Title::Kind::string)
            shown.append(" \"").append(w.title.text).append("\"");
        else
            shown.append(" ").append(describeTitle(w.title));
    }
    transcript.note("host shows %zu window(s)%s", change.windows.size(), shown.c_str());
}

}  // namespace hostsim
