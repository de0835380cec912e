// A simulated day of the host around the plug-in, on the driven clock: windows
// come and go, menus change shape and language, reads fail or raise the
// platform's exception, presses fail, and the script writes its manifest late,
// stale or never, all drawn from seeds. A model of the loop's rules, written
// from the host's side, predicts every log line from what the host showed at
// each tick; the run must match it line for line, end in one outcome, give
// back every reference and leave nothing queued for the rest of the day.
//
// More seeds: AUTOSTART_DAY_SEEDS=first:count (or one seed) replays those.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "autostart_fixture.h"

namespace autostart_test {
namespace {

constexpr int kTicksPerDay = 86400 * 4;
constexpr int kLongestLoop = 12000;  // ticks; the loop's own limits end it well before
constexpr const char* kAlreadyRunning = "script already running (manifest newer than launch), not pressing";
constexpr const char* kStarted = "script started (manifest written)";
constexpr const char* kNotFound = "gave up: menu item not found";
constexpr const char* kNotConfirmed = "gave up: script did not start after repeated presses";
constexpr const char* kPressAgain = "no manifest 20 s after press, pressing again";
constexpr const char* kClicked = "clicked Workspace > Scripts item";

// --- The host's world as the test describes it -------------------------------

enum class TitleKind { none, text, data };

/// The platform's exception on a read or the press: every time (times < 0) or the next `times` ones.
struct Raise {
    std::string description;
    int times = -1;
};

/// One accessibility node: a window, a menu bar, a menu or an item (whose first child is its menu).
struct Node {
    TitleKind titleKind = TitleKind::none;
    std::string title;
    std::vector<Node> children;
    std::map<std::string, AXError> readErrors;
    std::map<std::string, Raise> raises;  // by attribute, "AXPress" standing for the action
    AXError pressResult = kAXErrorSuccess;
};

/// Everything the host shows at one tick.
struct World {
    std::vector<Node> windows;
    std::optional<Node> menuBar;
    Node application;  // only its faults on "AXWindows" and "AXMenuBar" count
    bool trusted = true;
    std::optional<int64_t> manifest;  // modification time in wall seconds
    /// Raises spent so far while this world is shown; the host builds it anew, with fresh counts, on every change.
    mutable std::map<std::pair<const Node*, std::string>, int> raised;
};

Node titled(const std::string& title) {
    Node node;
    node.titleKind = TitleKind::text;
    node.title = title;
    return node;
}

Node withMenu(Node item, std::vector<Node> items) {
    Node menu;
    menu.children = std::move(items);
    item.children.insert(item.children.begin(), std::move(menu));
    return item;
}

int64_t wallAt(int tick) { return kLaunchWall + tick / 4; }

/// Builds the platform's nodes for `node` and its subtree.
PLAXNodeRef build(const Node& node) {
    PLAXNodeRef ref = PLHostAXCreateNode(node.titleKind == TitleKind::text ? node.title.c_str() : nullptr);
    if (node.titleKind == TitleKind::data) PLHostAXSetNonStringTitle(ref, node.title.c_str());
    for (const auto& [attribute, error] : node.readErrors)
        PLHostAXSetReadError(ref, attribute.c_str(), error);
    for (const auto& [attribute, raise] : node.raises)
        PLHostAXSetRaises(ref, attribute.c_str(), raise.description.c_str(), raise.times);
    PLHostAXSetPressResult(ref, node.pressResult);
    for (const Node& child : node.children)
        PLHostAXAppendChild(ref, build(child));
    return ref;
}

// --- The model: what the loop must log, given what the host showed -----------

/// The platform's exception, as the model sees it.
struct Raised {
    std::string description;
};

/// Reads and presses the model has made, each one call into the service.
unsigned long modelCalls = 0;

/// What a read of `attribute` on `node` does before any value: raise, fail (the code), or go on (0).
AXError readOutcome(const World& world, const Node& node, const std::string& attribute) {
    ++modelCalls;
    if (!world.trusted) return kAXErrorAPIDisabled;
    if (auto it = node.raises.find(attribute); it != node.raises.end()) {
        int& spent = world.raised[{&node, attribute}];
        if (it->second.times < 0 || spent < it->second.times) {
            ++spent;
            throw Raised{it->second.description};
        }
    }
    if (auto it = node.readErrors.find(attribute); it != node.readErrors.end()) return it->second;
    return kAXErrorSuccess;
}

/// A read that the host did not answer in time (-25204), which ends the attempt, as the model sees it.
struct Unanswered {
    std::string role;
};

/// `error`, or Unanswered when it says that the host did not answer in time.
AXError answered(AXError error, const char* role) {
    if (error == kAXErrorCannotComplete) throw Unanswered{role};
    return error;
}

/// The title value a read yields, or null.
const Node* titleRead(const World& world, const Node& node) {
    if (answered(readOutcome(world, node, "AXTitle"), "title") != kAXErrorSuccess || node.titleKind == TitleKind::none)
        return nullptr;
    return &node;
}

const std::vector<Node>* childrenRead(const World& world, const Node& node) {
    return answered(readOutcome(world, node, "AXChildren"), "children") == kAXErrorSuccess ? &node.children : nullptr;
}

bool titleIs(const World& world, const Node& node, const std::string& wanted) {
    const Node* value = titleRead(world, node);
    return value && value->titleKind == TitleKind::text && value->title == wanted;
}

const Node* childByTitle(const World& world, const Node& container, const std::string& title) {
    const std::vector<Node>* children = childrenRead(world, container);
    if (!children) return nullptr;
    for (const Node& child : *children) {
        if (titleIs(world, child, title)) return &child;
    }
    return nullptr;
}

const Node* findByOwnNames(const World& world, const Node& element, int depth) {
    if (depth >= 4) return nullptr;
    const std::vector<Node>* children = childrenRead(world, element);
    if (!children) return nullptr;
    for (const Node& child : *children) {
        bool folder = titleIs(world, child, "Tavrin");
        const std::vector<Node>* grandchildren = childrenRead(world, child);
        if (!grandchildren || grandchildren->empty()) continue;
        const Node& submenu = grandchildren->front();
        const Node* found = folder ? childByTitle(world, submenu, "Tavrin") : findByOwnNames(world, submenu, depth + 1);
        if (found) return found;
    }
    return nullptr;
}

/// "%@" of a title value: a string as itself, data as its bytes in hex, four to a group.
std::string shown(const Node& value) {
    if (value.titleKind == TitleKind::text) return value.title;
    std::string out = "<";
    char hex[3];
    for (size_t i = 0; i < value.title.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(value.title[i]));
        out += hex;
    }
    return out + ">";
}

/// The loop's state as the model keeps it, and the lines it expects.
struct Model {
    enum class Next { attempt, verify, over };
    Next next = Next::attempt;
    int chain = 0;
    int tries = 0;
    int readySince = -1;
    std::string seen;
    std::optional<int64_t> atLoad;  // the manifest's time at the load
    std::optional<int64_t> stampBeforePress;
    int presses = 0;
    int unanswered = 0;  // attempts that a read left unanswered ended
    bool firstReadLogged = false;
    int tick = 0;
    std::vector<Line> lines;
    std::vector<unsigned long> calls;  // by tick

    void log(const std::string& message) { lines.push_back({tick, message}); }
};

std::pair<AXError, const Node*> menuBarRead(const World& world) {
    AXError error = readOutcome(world, world.application, "AXMenuBar");
    if (error != kAXErrorSuccess) return {error, nullptr};
    if (!world.menuBar) return {kAXErrorNoValue, nullptr};
    return {kAXErrorSuccess, &*world.menuBar};
}

void listMenuBar(Model& model, const World& world) {
    std::string list;
    try {
        auto [error, bar] = menuBarRead(world);
        answered(error, "menu bar");
        if (bar) {
            if (const std::vector<Node>* items = childrenRead(world, *bar)) {
                for (const Node& item : *items) {
                    const Node* value = titleRead(world, item);
                    list += value ? shown(*value) : "?";
                    list += '|';
                }
            }
        }
    } catch (const Unanswered&) {
        model.log("menubar children: " + list);
        throw;
    }
    model.log("menubar children: " + list);
}

enum class AttemptEnd { reschedule, alreadyRunning, pressed, mayHavePressed };

AttemptEnd press(Model& model, const World& world) {
    auto [menuBarError, bar] = menuBarRead(world);
    if (model.tries % 10 == 1) {
        model.log("ax: trusted=" + std::to_string(world.trusted ? 1 : 0) +
                  " menubar err=" + std::to_string(menuBarError));
    }
    answered(menuBarError, "menu bar");
    if (!bar) return AttemptEnd::reschedule;
    static const char* const path[4] = {"Workspace", "Scripts", "Tavrin", "Tavrin"};
    unsigned matched = 0;
    const Node* item = nullptr;
    const Node* container = bar;
    for (int level = 0; level < 4 && container; ++level) {
        item = childByTitle(world, *container, path[level]);
        container = nullptr;
        if (!item) break;
        matched = unsigned(level) + 1;
        if (level == 3) break;
        const std::vector<Node>* children = childrenRead(world, *item);
        if (children && !children->empty()) container = &children->front();
        item = nullptr;
    }
    if (!item && model.tries % 8 == 0) {
        item = findByOwnNames(world, *bar, 0);
        if (item) {
            matched = 4;
            model.log("ax: English menu names did not match, found the script by its own name");
        }
    }
    if (model.tries % 10 == 1) model.log("ax: matched " + std::to_string(matched) + " of 4 menu levels");
    if (!item) return AttemptEnd::reschedule;
    AXError error = readOutcome(world, *item, "AXPress");  // the press raises as a read does
    if (error == kAXErrorSuccess) error = item->pressResult;
    model.log("ax: press err=" + std::to_string(error));
    if (error == kAXErrorSuccess) return AttemptEnd::pressed;
    // The host may still be running the item's action: the press waits for the manifest as a success does.
    return error == kAXErrorCannotComplete ? AttemptEnd::mayHavePressed : AttemptEnd::reschedule;
}

AttemptEnd guardedAttempt(Model& model, const World& world) {
    std::string titles;
    bool visible = false;
    AXError windowsError = readOutcome(world, world.application, "AXWindows");
    if (!model.firstReadLogged) {
        model.firstReadLogged = true;
        model.log("ax: first AXWindows read took 0.0 ms, err=" +
                  std::to_string(windowsError));  // a clock standing still
    }
    if (answered(windowsError, "windows") == kAXErrorSuccess) {
        for (const Node& window : world.windows) {
            const Node* value = titleRead(world, window);
            if (!value || value->titleKind != TitleKind::text) continue;
            titles += value->title + "|";
            if (!value->title.empty()) visible = true;
        }
    }
    if (titles != model.seen) {
        model.seen = titles;
        model.log("windows: " + (titles.empty() ? std::string("(none)") : titles));
    }
    if (!visible) {
        if (model.tries % 20 == 1) model.log("waiting: no Resolve window yet");
        return AttemptEnd::reschedule;
    }
    // Written since the load, or stamped with the load's second already then.
    if (world.manifest && (world.manifest != model.atLoad || *world.manifest == kLaunchWall)) {
        model.log(kAlreadyRunning);
        return AttemptEnd::alreadyRunning;
    }
    if (model.readySince < 0) {
        model.readySince = model.tries;
        model.log("window visible, grace period");
        listMenuBar(model, world);
    }
    if (model.tries < 40 || model.tries - model.readySince < 16) return AttemptEnd::reschedule;
    return press(model, world);
}

/// One task of the loop at `tick` in `world`.
void step(Model& model, const World& world, int tick) {
    model.tick = tick;
    int n = model.chain;
    if (model.next == Model::Next::verify) {
        if (world.manifest && world.manifest != model.stampBeforePress) {
            model.log(kStarted);
            model.next = Model::Next::over;
        } else if (n < 80) {
            model.chain = n + 1;
        } else if (model.presses >= 5) {
            model.log(kNotConfirmed);
            model.next = Model::Next::over;
        } else {
            model.log(kPressAgain);
            model.next = Model::Next::attempt;
            model.chain = 0;
        }
        return;
    }
    ++model.tries;
    AttemptEnd end;
    try {
        end = guardedAttempt(model, world);
    } catch (const Raised& raised) {
        model.log("exception: " + raised.description);
        end = AttemptEnd::reschedule;
    } catch (const Unanswered& unanswered) {
        if (++model.unanswered % 10 == 1) model.log("ax: host did not answer (" + unanswered.role + ")");
        end = AttemptEnd::reschedule;
    }
    if (end == AttemptEnd::alreadyRunning) {
        model.next = Model::Next::over;
    } else if (end == AttemptEnd::pressed || end == AttemptEnd::mayHavePressed) {
        if (end == AttemptEnd::pressed) model.log(kClicked);
        model.stampBeforePress = world.manifest;
        ++model.presses;
        model.next = Model::Next::verify;
        model.chain = 0;
    } else if (n < 1200) {
        model.chain = n + 1;
    } else {
        model.log(kNotFound);
        model.next = Model::Next::over;
    }
}

// --- The simulated host: random changes drawn from a seed --------------------

/// How a seed's host behaves; rates are per thousand ticks.
struct Profile {
    const char* name;
    int firstVisibleTick;  // windows stay invisible before this tick; -1: never visible
    int windowChurn;
    int menuChurn;
    int findablePercent;  // share of menus in which the script's item can be found
    int faultChurn;
    int confirmPercent;  // share of presses after which the script writes the manifest
    int maxDelay;        // ticks from a press to that write
    int strayManifest;
    bool strayMayBeFresh;
    int startManifest;  // 0 none, 1 stale, 2 from the second of the launch, 3 from after the launch
};

struct Host {
    std::mt19937 rng;
    Profile profile;
    World world;
    bool changed = true;
    int raiseCount = 0;
    std::map<int, int64_t> scriptWrites;  // tick -> modification time

    int uniform(int lo, int hi) { return lo + int(rng() % uint32_t(hi - lo + 1)); }
    bool perMille(int rate) { return int(rng() % 1000) < rate; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[rng() % from.size()];
    }

    AXError errorCode() {
        return pick(std::vector<AXError>{kAXErrorFailure, kAXErrorIllegalArgument, kAXErrorInvalidUIElement,
                                         kAXErrorCannotComplete, kAXErrorAttributeUnsupported,
                                         kAXErrorActionUnsupported, kAXErrorNoValue});
    }
    Raise raiseFor(const std::string& what) { return {raiseText(what), perMille(500) ? -1 : uniform(1, 3)}; }
    std::string raiseText(const std::string& what) {
        ++raiseCount;
        return what + " went away #" + std::to_string(raiseCount) + (raiseCount % 3 == 0 ? " (%s%n)" : "");
    }

    Node oddTitled() {
        switch (uniform(0, 2)) {
            case 0:
                return Node{};
            case 1:
                return titled("");
            default: {
                Node node;
                node.titleKind = TitleKind::data;
                node.title = pick(std::vector<std::string>{"42", "\x01\x02\xff", "Untitled window"});
                return node;
            }
        }
    }

    std::vector<Node> makeWindows(bool visible) {
        static const std::vector<std::string> titles = {"Project Manager",
                                                        "Edit",
                                                        "Color",
                                                        "Fairlight",
                                                        "Deliver",
                                                        "Projektverwaltung",
                                                        "Gestionnaire de projets",
                                                        "プロジェクトマネージャー",
                                                        "Édition | couleur",
                                                        "100% %s%n%@",
                                                        "🎬 Timeline 1"};
        std::vector<Node> windows;
        int count = visible ? uniform(1, 3) : uniform(0, 2);
        int shownAt = count > 0 ? uniform(0, count - 1) : 0;
        for (int i = 0; i < count; ++i) {
            windows.push_back(visible && (i == shownAt || perMille(500)) ? titled(pick(titles)) : oddTitled());
        }
        if (!windows.empty() && perMille(60)) {
            Node& window = windows[rng() % windows.size()];
            if (perMille(500))
                window.raises["AXTitle"] = raiseFor("window title");
            else
                window.readErrors["AXTitle"] = errorCode();
        }
        return windows;
    }

    /// A menu bar in one of the host's languages, laid out so that the item is found or, sometimes, not.
    std::optional<Node> makeMenuBar() {
        static const std::vector<std::pair<std::string, std::string>> languages = {{"Workspace", "Scripts"},
                                                                                   {"Workspace", "Scripts"},
                                                                                   {"Espace de travail", "Scripts"},
                                                                                   {"Arbeitsbereich", "Skripte"},
                                                                                   {"ワークスペース", "スクリプト"}};
        auto [workspace, scripts] = pick(languages);
        int shape = perMille(profile.findablePercent * 10) ? uniform(0, 3) : uniform(4, 10);
        if (shape == 10) shape = 7;           // the depth limit deserves a second look
        if (shape == 9) return std::nullopt;  // the host has no menu bar (yet)
        Node script = titled("Tavrin");
        std::vector<Node> folderItems = {titled("Readme"), script};
        if (perMille(300)) std::swap(folderItems[0], folderItems[1]);
        std::vector<Node> scriptItems = {withMenu(titled("Comp"), {titled("Wipe")})};
        switch (shape) {
            case 1:  // a folder of the same name without the item comes first
                scriptItems.push_back(withMenu(titled("Tavrin"), {titled("Readme")}));
                scriptItems.push_back(withMenu(titled("Tavrin"), folderItems));
                break;
            case 2:  // one level deeper: only the search by own names reaches it
                scriptItems.push_back(withMenu(titled("Utility"), {withMenu(titled("Tavrin"), folderItems)}));
                break;
            case 3:  // the folder straight on the menu bar
                break;
            case 4:  // no folder
                break;
            case 5:  // the folder without the item
                scriptItems.push_back(withMenu(titled("Tavrin"), {titled("Readme")}));
                break;
            case 6:  // near misses
                scriptItems.push_back(
                    withMenu(titled(pick(std::vector<std::string>{"tavrin", "Tavrin ", "TAVRIN"})), folderItems));
                scriptItems.push_back(withMenu(titled("Tavrin"), {titled("Tavrin "), titled("tavrin")}));
                break;
            case 7:  // too deep for the search by own names, and off the menu path
                scriptItems.push_back(
                    withMenu(titled("A"), {withMenu(titled("B"), {withMenu(titled("Tavrin"), folderItems)})}));
                break;
            case 8:  // the script without a folder
                scriptItems.push_back(titled("Tavrin"));
                break;
            default:
                scriptItems.push_back(withMenu(titled("Tavrin"), folderItems));
        }
        Node bar;
        if (perMille(300)) bar.children.push_back(withMenu(oddTitled(), {titled("About")}));
        bar.children.push_back(withMenu(perMille(100) ? oddTitled() : titled("File"), {titled("New Project")}));
        bar.children.push_back(withMenu(
            titled(workspace), {titled("Layout Presets"), withMenu(titled(scripts), scriptItems), titled("Reset")}));
        if (shape == 3) bar.children.push_back(withMenu(titled("Tavrin"), folderItems));
        if (perMille(300)) bar.children.push_back(titled("Help"));
        return bar;
    }

    static void collect(Node& node, std::vector<Node*>& all) {
        all.push_back(&node);
        for (Node& child : node.children)
            collect(child, all);
    }

    static void clearFaults(Node& node) {
        node.readErrors.clear();
        node.raises.clear();
        node.pressResult = kAXErrorSuccess;
        for (Node& child : node.children)
            clearFaults(child);
    }

    void addFault() {
        int target = uniform(0, 99);
        if (target < 20) {
            std::string attribute = perMille(500) ? "AXWindows" : "AXMenuBar";
            if (perMille(300))
                world.application.raises[attribute] = raiseFor(attribute);
            else
                world.application.readErrors[attribute] = errorCode();
            return;
        }
        if (target < 30 && !world.windows.empty()) {
            Node& window = world.windows[rng() % world.windows.size()];
            if (perMille(400))
                window.raises["AXTitle"] = raiseFor("window title");
            else
                window.readErrors["AXTitle"] = errorCode();
            return;
        }
        if (!world.menuBar) return;
        std::vector<Node*> nodes;
        collect(*world.menuBar, nodes);
        std::vector<Node*> scripts;
        for (Node* node : nodes) {
            if (node->titleKind == TitleKind::text && node->title == "Tavrin" && node->children.empty())
                scripts.push_back(node);
        }
        if (!scripts.empty() && perMille(450)) {
            Node* script = pick(scripts);
            if (perMille(150))
                script->raises["AXPress"] = raiseFor("press");
            else
                script->pressResult = perMille(150) ? kAXErrorSuccess : errorCode();
            return;
        }
        Node* node = pick(nodes);
        std::string attribute = perMille(500) ? "AXTitle" : "AXChildren";
        if (perMille(350))
            node->raises[attribute] = raiseFor(attribute);
        else
            node->readErrors[attribute] = errorCode();
    }

    void setManifest(std::optional<int64_t> modified) {
        world.manifest = modified;
        changed = true;
    }

    /// The host's changes that take effect before the task of `tick`.
    void change(int tick) {
        bool visibleNow = profile.firstVisibleTick >= 0 && tick >= profile.firstVisibleTick;
        if (tick == profile.firstVisibleTick || perMille(profile.windowChurn)) {
            world.windows = makeWindows(visibleNow && (tick == profile.firstVisibleTick || perMille(850)));
            changed = true;
        }
        if (perMille(profile.menuChurn)) {
            world.menuBar = makeMenuBar();
            changed = true;
        }
        if (perMille(profile.faultChurn)) {
            if (perMille(400)) {
                clearFaults(world.application);
                for (Node& window : world.windows)
                    clearFaults(window);
                if (world.menuBar) clearFaults(*world.menuBar);
            } else {
                addFault();
            }
            changed = true;
        }
        if (world.trusted ? perMille(1) : perMille(40)) {
            world.trusted = !world.trusted;
            changed = true;
        }
        if (perMille(profile.strayManifest)) {
            int kind = uniform(profile.strayMayBeFresh ? 0 : 2, 4);
            if (kind == 0) setManifest(wallAt(tick));
            if (kind == 1) setManifest(wallAt(tick) + 3600);  // a clock set ahead
            if (kind == 2) setManifest(kLaunchWall - uniform(1, 1000000));
            if (kind >= 3) setManifest(std::nullopt);
        }
        if (auto it = scriptWrites.find(tick); it != scriptWrites.end()) {
            setManifest(it->second);
            scriptWrites.erase(it);
        }
    }

    /// The script's answer to a successful press at `tick`.
    void pressed(int tick) {
        if (!perMille(profile.confirmPercent * 10)) return;
        int at = tick + uniform(1, profile.maxDelay);
        // Now and then the clock was set back before the script wrote: its manifest looks older than the press.
        scriptWrites[at] = perMille(100) ? wallAt(tick) - uniform(1, 100) : wallAt(at);
    }
};

Profile profileFor(uint32_t seed, std::mt19937& rng) {
    auto upTo = [&rng](int n) { return int(rng() % uint32_t(n + 1)); };
    switch (seed % 5) {
        case 0:
            return {"friendly", upTo(120), 10, 5, 90, 5, 90, 60, 0, false, int(upTo(1))};
        case 1:
            return {"flaky", upTo(300), 40, 20, 70, 60, 50, 150, 1, true, std::vector<int>{0, 1, 3}[size_t(upTo(2))]};
        case 2:
            return {"lost", upTo(3) == 0 ? -1 : upTo(900), 20, 10, 5, 20, 50, 60, 0, false, 0};
        case 3:
            return {"silent script", upTo(100), 10, 5, 95, 10, 0, 1, 2, false, 1};
        default:
            return {"late script", upTo(400), 10, 5, 90, 10, 30, 400, 1, true, upTo(4) == 0 ? 2 : 0};
    }
}

// --- The day --------------------------------------------------------------------

class DayTest : public HostFixture {
  protected:
    /// What one day showed and logged.
    struct Day {
        std::vector<std::shared_ptr<const World>> worlds;  // by tick
        std::vector<Line> lines;
        std::vector<int> pressTicks;
        std::vector<unsigned long> calls;  // calls into the service, by tick
        int lastTaskTick = 0;
        std::string profile;
    };

    void SetUp() override {
        HostFixture::SetUp();
        for (CFTypeID type : types())
            liveAtStart_[type] = PLHostLiveReferences(type);
    }

    void TearDown() override {
        if (logFd_ >= 0) close(logFd_);
        logFd_ = -1;
        HostFixture::TearDown();
    }

    static std::vector<CFTypeID> types() {
        return {0, CFStringGetTypeID(), CFArrayGetTypeID(), CFDataGetTypeID(), AXUIElementGetTypeID()};
    }

    /// Shows `world` through the layer: new nodes each time, the application's faults, the manifest.
    void show(const World& world) {
        PLHostAXRemoveWindows();
        for (const Node& window : world.windows)
            PLHostAXAppendWindow(build(window));
        PLHostAXSetMenuBar(world.menuBar ? build(*world.menuBar) : nullptr);
        PLAXNodeRef app = PLHostAXApplication();
        for (const char* attribute : {"AXWindows", "AXMenuBar"}) {
            PLHostAXSetReadError(app, attribute, kAXErrorSuccess);
            PLHostAXSetRaises(app, attribute, nullptr, 0);
        }
        for (const auto& [attribute, error] : world.application.readErrors)
            PLHostAXSetReadError(app, attribute.c_str(), error);
        for (const auto& [attribute, raise] : world.application.raises)
            PLHostAXSetRaises(app, attribute.c_str(), raise.description.c_str(), raise.times);
        PLHostAXSetTrusted(world.trusted);
        if (shownManifest_ && world.manifest == *shownManifest_) return;
        shownManifest_ = world.manifest;
        std::string manifest = support_ + "/davinci-bridge.json";
        if (world.manifest) {
            touch(manifest, *world.manifest);
        } else {
            std::remove(manifest.c_str());
        }
    }

    /// Lines appended to the log since the last call, checked for their form and time of day.
    void readLog(int tick, std::vector<Line>& into) {
        // Held open for the whole day: opening the file on every tick costs more than the plug-in's work.
        if (logFd_ < 0) logFd_ = open((support_ + "/ofx-autostart.log").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(logFd_, 0) << "no log";
        char buffer[4096];
        for (ssize_t n; (n = ::read(logFd_, buffer, sizeof buffer)) > 0;)
            logText_.append(buffer, size_t(n));
        size_t start = 0;
        for (size_t end; (end = logText_.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = logText_.substr(start, end - start);
            EXPECT_GE(line.size(), 10u) << line;
            if (line.size() < 10) continue;
            EXPECT_EQ(line.substr(0, 9), stampAt(tick) + " ") << "line at tick " << tick << ": " << line;
            into.push_back({tick, line.substr(9)});
        }
        logText_.erase(0, start);
        EXPECT_EQ(logText_, "") << "a line without its line feed";
    }

    static std::string stampAt(int tick) {
        time_t wall = time_t(wallAt(tick));
        struct tm local;
        char stamp[32] = "";
        if (localtime_r(&wall, &local)) strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
        return stamp;
    }

    /// Plays one day for `seed` and returns what it showed and logged.
    Day play(uint32_t seed) {
        Day day;
        shownManifest_.reset();
        std::mt19937 profileRng(seed * 2654435761u + 1);
        Host host{std::mt19937(seed), profileFor(seed, profileRng), World{}, true, 0, {}};
        day.profile = host.profile.name;
        host.world.menuBar = host.makeMenuBar();
        host.world.windows = host.makeWindows(host.profile.firstVisibleTick == 0);
        if (host.profile.startManifest == 1) host.world.manifest = kLaunchWall - host.uniform(1, 100000);
        if (host.profile.startManifest == 2) host.world.manifest = kLaunchWall;
        if (host.profile.startManifest == 3) host.world.manifest = kLaunchWall + host.uniform(1, 100000);
        show(host.world);
        day.worlds.push_back(std::make_shared<const World>(host.world));

        host_ = &host;
        day_ = &day;
        PLHostAXSetPressHandler(&DayTest::pressed, this);
        logText_.clear();
        // Hosts that scan plug-ins in the background run the constructor off the main thread.
        if (seed % 2 == 1) {
            std::thread([&] { load("day-" + std::to_string(seed) + ".ofx"); }).join();
        } else {
            load("day-" + std::to_string(seed) + ".ofx");
        }
        if (::testing::Test::HasFatalFailure()) return day;
        readLog(0, day.lines);
        if (::testing::Test::HasFatalFailure()) return day;

        int tick = 0;
        while (PLHostPendingTasks() > 0) {
            // The loop keeps exactly one task waiting, one tick after the one before.
            EXPECT_EQ(PLHostPendingTasks(), 1u) << "at tick " << tick;
            int next = tickAt(PLHostNextTaskTime());
            EXPECT_EQ(next, tick + 1);
            if (next > kLongestLoop || next != tick + 1) break;
            tick = next;
            host.changed = false;
            host.change(tick);
            if (host.changed) {
                show(host.world);
                day.worlds.push_back(std::make_shared<const World>(host.world));
            } else {
                day.worlds.push_back(day.worlds.back());
            }
            currentTick_ = tick;
            unsigned long callsBefore = PLHostAXCallCount();
            PLHostRunNextTask(PLHostNextTaskTime());
            day.calls.resize(size_t(tick) + 1);
            day.calls[size_t(tick)] = PLHostAXCallCount() - callsBefore;
            readLog(tick, day.lines);
        }
        day.lastTaskTick = tick;

        // The rest of the day: the host goes on changing, the plug-in stays silent.
        int64_t dayEnd = PLHostClockNanoseconds() + int64_t(kTicksPerDay - tick) * kTick;
        while (PLHostClockNanoseconds() < dayEnd) {
            int64_t target = std::min(dayEnd, PLHostClockNanoseconds() + int64_t(host.uniform(1, 1800)) * kSecond);
            EXPECT_FALSE(PLHostRunNextTask(target));
            host.world.windows = host.makeWindows(host.perMille(700));
            if (host.perMille(300)) host.world.menuBar = host.makeMenuBar();
            if (host.perMille(200)) host.world.manifest = PLHostWallNanoseconds() / kSecond;
            show(host.world);
            readLog(kTicksPerDay, day.lines);
        }
        EXPECT_EQ(PLHostPendingTasks(), 0u);
        PLHostAXSetPressHandler(nullptr, nullptr);
        host_ = nullptr;
        day_ = nullptr;
        return day;
    }

    static void pressed(PLAXNodeRef, void* context) {
        auto* self = static_cast<DayTest*>(context);
        self->day_->pressTicks.push_back(self->currentTick_);
        self->host_->pressed(self->currentTick_);
    }

    /// The lines the model expects from the worlds that the day showed, tick by tick.
    Model replay(const Day& day) const {
        Model model;
        model.atLoad = day.worlds[0]->manifest;
        model.log("constructor in pid " + std::to_string(getpid()) + " bundle " + kHostIdentifier + " NSApp=yes");
        model.log("pinned " + imagePath_ + " -> ok");
        for (int tick = 1; tick < int(day.worlds.size()) && model.next != Model::Next::over; ++tick) {
            unsigned long callsBefore = modelCalls;
            step(model, *day.worlds[size_t(tick)], tick);
            model.calls.resize(size_t(tick) + 1);
            model.calls[size_t(tick)] = modelCalls - callsBefore;
        }
        return model;
    }

    /// Checks the outcome against what the host did, apart from the model.
    void expectOutcomeFitsTheHost(const Day& day) {
        static const std::vector<std::string> outcomes = {kAlreadyRunning, kStarted, kNotFound, kNotConfirmed};
        std::vector<int> outcomeAt;
        std::vector<int> clicks;
        std::vector<int> presses;  // clicks, and presses whose outcome the host left unknown (-25204)
        int chainStart = 1;
        for (size_t i = 0; i < day.lines.size(); ++i) {
            const Line& line = day.lines[i];
            if (std::find(outcomes.begin(), outcomes.end(), line.message) != outcomes.end())
                outcomeAt.push_back(int(i));
            if (line.message == kClicked) clicks.push_back(line.tick);
            if (line.message == kClicked || line.message == "ax: press err=-25204") presses.push_back(line.tick);
            if (line.message == kPressAgain) chainStart = line.tick + 1;
        }
        ASSERT_EQ(outcomeAt.size(), 1u) << "one outcome, and only one";
        const Line& outcome = day.lines[size_t(outcomeAt[0])];
        EXPECT_EQ(size_t(outcomeAt[0]), day.lines.size() - 1) << "nothing is logged after the outcome";
        EXPECT_EQ(outcome.tick, day.lastTaskTick) << "nothing runs after the outcome";
        EXPECT_EQ(day.pressTicks, clicks) << "every press the host saw is reported, and only those";
        EXPECT_LE(presses.size(), 5u);
        const World& world = *day.worlds[size_t(outcome.tick)];
        if (outcome.message == kStarted) {
            ASSERT_FALSE(presses.empty()) << "a start is confirmed only after a press";
            // Changed since just before the press, whatever its time says (a clock set back or ahead in between).
            const std::optional<int64_t>& atPress = day.worlds[size_t(presses.back())]->manifest;
            auto proves = [&](const World& w) { return w.manifest && w.manifest != atPress; };
            EXPECT_TRUE(proves(world));
            EXPECT_LE(outcome.tick - presses.back(), 81);
            for (int tick = presses.back() + 1; tick < outcome.tick; ++tick) {
                EXPECT_FALSE(proves(*day.worlds[size_t(tick)]))
                    << "the manifest proved the start at tick " << tick << " already";
            }
        } else if (outcome.message == kAlreadyRunning) {
            ASSERT_TRUE(world.manifest);
            EXPECT_TRUE(world.manifest != day.worlds[0]->manifest || *world.manifest == kLaunchWall)
                << "a manifest that the load found is no sign until it changes, unless it bears the load's second";
        } else if (outcome.message == kNotFound) {
            EXPECT_EQ(outcome.tick - chainStart, 1200) << "gives up at chain index 1200";
        } else {
            ASSERT_EQ(presses.size(), 5u);
            EXPECT_EQ(outcome.tick, presses.back() + 81) << "gives up at verify poll 80 after the fifth press";
        }
    }

    void expectNothingHeldPerType() {
        for (CFTypeID type : types())
            EXPECT_EQ(PLHostLiveReferences(type), liveAtStart_[type]) << "type " << type;
    }

    std::map<CFTypeID, long> liveAtStart_;
    Host* host_ = nullptr;
    Day* day_ = nullptr;
    int logFd_ = -1;
    std::optional<std::optional<int64_t>> shownManifest_;  // what the file says now; unset: not yet written
    std::string logText_;
};

std::string lineText(const std::vector<Line>& lines, size_t from, size_t to) {
    std::ostringstream out;
    for (size_t i = from; i < to && i < lines.size(); ++i)
        out << "  " << lines[i].tick << ": " << lines[i].message << "\n";
    return out.str();
}

std::vector<uint32_t> seeds() {
    std::vector<uint32_t> all;
    if (const char* wanted = getenv("AUTOSTART_DAY_SEEDS")) {
        unsigned long first = strtoul(wanted, nullptr, 10);
        const char* colon = strchr(wanted, ':');
        unsigned long count = colon ? strtoul(colon + 1, nullptr, 10) : 1;
        for (unsigned long i = 0; i < count; ++i)
            all.push_back(uint32_t(first + i));
        return all;
    }
    // Seed 18 is the first whose host answers a press with "cannot complete".
    for (uint32_t seed = 1; seed <= 18; ++seed)
        all.push_back(seed);
    return all;
}

TEST_F(DayTest, EveryLineIsTheOneTheHostCalledForAndTheDayEndsInOneOutcome) {
    std::map<std::string, int> outcomes;
    bool first = true;
    for (uint32_t seed : seeds()) {
        if (!first) {
            TearDown();
            SetUp();
        }
        first = false;
        Day day = play(seed);
        SCOPED_TRACE("seed " + std::to_string(seed) + " (" + day.profile +
                     "); replay with AUTOSTART_DAY_SEEDS=" + std::to_string(seed));
        if (HasFatalFailure()) return;
        Model model = replay(day);
        size_t same = 0;
        while (same < day.lines.size() && same < model.lines.size() && day.lines[same].tick == model.lines[same].tick &&
               day.lines[same].message == model.lines[same].message)
            ++same;
        EXPECT_TRUE(same == day.lines.size() && same == model.lines.size())
            << "the log departs from the host's world at line " << same << "\nlogged:\n"
            << lineText(day.lines, same < 3 ? 0 : same - 3, same + 4) << "expected:\n"
            << lineText(model.lines, same < 3 ? 0 : same - 3, same + 4);
        // Each task reads the tree afresh, once per title or list it needs, and nothing more.
        for (size_t tick = 1; tick < day.calls.size() && tick < model.calls.size(); ++tick) {
            if (day.calls[tick] == model.calls[tick]) continue;
            ADD_FAILURE() << "tick " << tick << " made " << day.calls[tick] << " calls into the service, not "
                          << model.calls[tick];
            break;
        }
        EXPECT_EQ(day.calls.size(), model.calls.size());
        expectOutcomeFitsTheHost(day);
        expectNothingHeldPerType();
        if (!day.lines.empty()) ++outcomes[day.lines.back().message];
        int exceptions = 0, failedPresses = 0, byOwnNames = 0;
        for (const Line& line : day.lines) {
            exceptions += line.message.rfind("exception: ", 0) == 0;
            failedPresses += line.message.rfind("ax: press err=", 0) == 0 && line.message != "ax: press err=0";
            byOwnNames += line.message.rfind("ax: English menu names", 0) == 0;
        }
        std::printf(
            "seed %u (%s): %zu lines, %d ticks, %zu presses (%d failed, %d items found by own names), %d exceptions, "
            "ends \"%s\"\n",
            seed, day.profile.c_str(), day.lines.size(), day.lastTaskTick, day.pressTicks.size(), failedPresses,
            byOwnNames, exceptions, day.lines.empty() ? "" : day.lines.back().message.c_str());
        if (HasFailure()) return;
    }
    // The default seeds must keep reaching every ending, or the day tests less than it claims.
    if (!getenv("AUTOSTART_DAY_SEEDS")) {
        EXPECT_EQ(outcomes.size(), 4u);
    }
}

}  // namespace
}  // namespace autostart_test
