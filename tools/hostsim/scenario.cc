// Scenario files are JSON (docs/scenarios.md). Every key and every value is
// checked, so that a misspelt name cannot quietly play another scenario.
#include "scenario.h"

#include <simdjson.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>

#include "plugin_names.h"

namespace hostsim {

const std::vector<Outcome> kOutcomes = {{"started", kLogScriptStarted},
                                        {"already running", kLogAlreadyRunning},
                                        {"gave up: menu item not found", kLogItemNotFound},
                                        {"gave up: presses not confirmed", kLogPressesNotConfirmed},
                                        {kTimedOut, nullptr},
                                        {kNothingLogged, nullptr},
                                        {kIdle, nullptr}};

namespace {

using simdjson::dom::element;
using simdjson::dom::object;

using Names = std::vector<std::string_view>;

/// Seconds are turned into nanoseconds, so they are kept far from what 64 bits hold.
constexpr double kLongestTime = 1e6;
constexpr double kOldestManifest = 1e9;

/// What each element reads: attributes for errors and raises, and the action for raises only.
const std::vector<std::string_view> kApplicationAttributes = {"AXWindows", "AXMenuBar"};
const std::vector<std::string_view> kMenuBarAttributes = {"AXChildren"};
const std::vector<std::string_view> kItemAttributes = {"AXTitle", "AXChildren"};
const std::vector<std::string_view> kItemRaises = {"AXTitle", "AXChildren", "AXPress"};
const std::vector<std::string_view> kWindowAttributes = {"AXTitle"};
/// An item's title of another kind is a title of its own ({"value": ...}).
const std::vector<std::string_view> kItemOddValues = {"AXChildren"};

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw ScenarioError(where + ": " + what); }

std::string join(const Names& names) {
    std::string out;
    for (auto name : names)
        out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

std::string child(const std::string& where, std::string_view key) {
    return where == "(top level)" ? std::string(key) : where + "." + std::string(key);
}

std::string at(const std::string& where, size_t index) { return where + "[" + std::to_string(index) + "]"; }

void allowOnly(const object& o, const std::string& where, const Names& keys) {
    std::set<std::string_view> seen;
    for (auto field : o) {
        bool known = false;
        for (auto k : keys)
            known = known || field.key == k;
        if (!known) fail(where, "unknown key \"" + std::string(field.key) + "\"; expected one of " + join(keys));
        if (!seen.insert(field.key).second) fail(child(where, field.key), "appears twice");
    }
}

object asObject(element e, const std::string& where) {
    object o;
    if (e.get(o)) fail(where, "expected an object");
    return o;
}

simdjson::dom::array asArray(element e, const std::string& where) {
    simdjson::dom::array a;
    if (e.get(a)) fail(where, "expected an array");
    return a;
}

double asNumber(element e, const std::string& where, double low, double high) {
    double d;
    if (e.get_double().get(d) || !std::isfinite(d) || d < low || d > high) {
        char range[96];
        std::snprintf(range, sizeof range, "expected a number from %.15g to %.15g", low, high);
        fail(where, range);
    }
    return d;
}

int asInt(element e, const std::string& where, int64_t low, int64_t high) {
    int64_t i;
    if (e.get(i) || i < low || i > high) {
        fail(where, "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return int(i);
}

bool asBool(element e, const std::string& where) {
    bool b;
    if (e.get(b)) fail(where, "expected true or false");
    return b;
}

/// Texts reach the layer as C strings, so a NUL inside one would cut it short.
std::string asString(element e, const std::string& where) {
    std::string_view text;
    if (e.get(text)) fail(where, "expected a string");
    if (text.find('\0') != std::string_view::npos) fail(where, "expected a string without NUL characters");
    return std::string(text);
}

/// "text", null (no title) or {"value": ...} (a title that is not a string).
Title asTitle(element e, const std::string& where) {
    Title t;
    if (e.is_null()) return t;
    if (e.is_string()) {
        t.kind = Title::Kind::string;
        t.text = asString(e, where);
        return t;
    }
    object o;
    if (e.get(o)) fail(where, "expected a title: a string, null or {\"value\": ...}");
    allowOnly(o, where, {"value"});
    element value;
    if (o["value"].get(value)) fail(where, "expected the key \"value\"");
    t.kind = Title::Kind::other;
    t.text = value.is_string() ? asString(value, child(where, "value")) : simdjson::minify(value);
    return t;
}

/// An accessibility error code; 0 (success) only where `success` allows it.
int asCode(element e, const std::string& where, bool success) {
    int64_t i;
    if (e.get(i) || !((i <= -25200 && i >= -25214) || (success && i == 0))) {
        fail(where,
             std::string("expected ") + (success ? "0 or " : "") + "an accessibility error code from -25214 to -25200");
    }
    return int(i);
}

void checkName(std::string_view name, const std::string& where, const Names& names) {
    for (auto n : names)
        if (n == name) return;
    fail(where, "unknown name \"" + std::string(name) + "\"; expected one of " + join(names));
}

ReadErrors asErrors(element e, const std::string& where, const Names& names) {
    ReadErrors errors;
    for (auto field : asObject(e, where)) {
        checkName(field.key, where, names);
        errors.emplace_back(std::string(field.key), asCode(field.value, child(where, field.key), false));
    }
    return errors;
}

/// {"AXChildren": "text"} or {"AXChildren": 42}: a string or a number in place of the attribute's own kind of value.
std::vector<OddValue> asOddValues(element e, const std::string& where, const Names& names) {
    std::vector<OddValue> values;
    for (auto field : asObject(e, where)) {
        checkName(field.key, where, names);
        std::string here = child(where, field.key);
        OddValue v;
        v.attribute = std::string(field.key);
        if (field.value.is_number()) {
            asNumber(field.value, here, -kOldestManifest, kOldestManifest);
            v.text = simdjson::minify(field.value);
            v.number = true;
        } else if (field.value.is_string()) {
            v.text = asString(field.value, here);
        } else {
            fail(here, "expected a string or a number");
        }
        values.push_back(v);
    }
    return values;
}

/// {"AXTitle": 0.5}: calls that the host answers only after that many seconds.
AnswerDelays asDelays(element e, const std::string& where, const Names& names) {
    AnswerDelays delays;
    for (auto field : asObject(e, where)) {
        checkName(field.key, where, names);
        delays.emplace_back(std::string(field.key), asNumber(field.value, child(where, field.key), 0, kLongestTime));
    }
    return delays;
}

/// {"AXTitle": "description"} or {"AXTitle": {"description": "...", "times": 1, "kind": "C++"}}.
std::vector<Raise> asRaises(element e, const std::string& where, const Names& names) {
    std::vector<Raise> raises;
    for (auto field : asObject(e, where)) {
        checkName(field.key, where, names);
        std::string here = child(where, field.key);
        Raise r;
        r.attribute = std::string(field.key);
        if (field.value.is_string()) {
            r.description = asString(field.value, here);
        } else {
            object o;
            if (field.value.get(o)) fail(here, "expected a description, or {\"description\": ..., \"times\": n}");
            allowOnly(o, here, {"description", "times", "kind"});
            element v;
            if (o["description"].get(v)) fail(here, "expected the key \"description\"");
            r.description = asString(v, child(here, "description"));
            if (!o["times"].get(v)) r.times = asInt(v, child(here, "times"), 1, INT32_MAX);
            if (!o["kind"].get(v)) {
                std::string kind = asString(v, child(here, "kind"));
                if (kind != "platform" && kind != "C++") fail(child(here, "kind"), "expected \"platform\" or \"C++\"");
                r.cxx = kind == "C++";
            }
        }
        raises.push_back(r);
    }
    return raises;
}

/// {"oddEntry": "text"} or {"oddEntry": 42}: a list's entry that is a string or a number, not an element.
std::optional<OddValue> asEntry(const object& o, const std::string& where) {
    element v;
    if (o["oddEntry"].get(v)) return std::nullopt;
    allowOnly(o, where, {"oddEntry"});
    std::string here = child(where, "oddEntry");
    OddValue entry;
    if (v.is_number()) {
        asNumber(v, here, -kOldestManifest, kOldestManifest);
        entry.text = simdjson::minify(v);
        entry.number = true;
    } else if (v.is_string()) {
        entry.text = asString(v, here);
    } else {
        fail(here, "expected a string or a number");
    }
    return entry;
}

std::vector<MenuItem> asItems(element e, const std::string& where);

MenuItem asItem(element e, const std::string& where) {
    object o = asObject(e, where);
    MenuItem item;
    item.entry = asEntry(o, where);
    if (item.entry) return item;
    allowOnly(o, where,
              {"title", "items", "pressError", "pressedAnyway", "pressTakes", "readErrors", "raises", "oddValues",
               "answerDelays", "oddEntry"});
    element v;
    if (!o["title"].get(v)) item.title = asTitle(v, child(where, "title"));
    if (!o["items"].get(v)) item.items = asItems(v, child(where, "items"));
    if (!o["pressError"].get(v)) {
        std::string here = child(where, "pressError");
        if (v.is_array()) {
            size_t i = 0;
            for (element code : asArray(v, here))
                item.pressResults.push_back(asCode(code, at(here, i++), true));
            if (item.pressResults.empty()) fail(here, "expected at least one code");
        } else {
            item.pressResults.push_back(asCode(v, here, true));
        }
    }
    if (!o["pressedAnyway"].get(v)) {
        item.pressedAnyway = asBool(v, child(where, "pressedAnyway"));
        bool late = false;
        for (int code : item.pressResults)
            late = late || code == -25204;
        if (item.pressedAnyway && !late)
            fail(child(where, "pressedAnyway"), "expected only with a \"pressError\" of -25204");
    }
    if (!o["pressTakes"].get(v)) item.pressTakes = asNumber(v, child(where, "pressTakes"), 0, kLongestTime);
    if (!o["readErrors"].get(v)) item.readErrors = asErrors(v, child(where, "readErrors"), kItemAttributes);
    if (!o["raises"].get(v)) item.raises = asRaises(v, child(where, "raises"), kItemRaises);
    if (!o["oddValues"].get(v)) item.oddValues = asOddValues(v, child(where, "oddValues"), kItemOddValues);
    if (!o["answerDelays"].get(v)) item.answerDelays = asDelays(v, child(where, "answerDelays"), kItemRaises);
    return item;
}

std::vector<MenuItem> asItems(element e, const std::string& where) {
    std::vector<MenuItem> items;
    size_t i = 0;
    for (element item : asArray(e, where))
        items.push_back(asItem(item, at(where, i++)));
    return items;
}

MenuBar asMenuBar(element e, const std::string& where) {
    object m = asObject(e, where);
    allowOnly(m, where, {"items", "readErrors", "raises", "oddValues", "answerDelays"});
    MenuBar bar;
    element x;
    if (!m["items"].get(x)) bar.items = asItems(x, child(where, "items"));
    if (!m["readErrors"].get(x)) bar.readErrors = asErrors(x, child(where, "readErrors"), kMenuBarAttributes);
    if (!m["raises"].get(x)) bar.raises = asRaises(x, child(where, "raises"), kMenuBarAttributes);
    if (!m["oddValues"].get(x)) bar.oddValues = asOddValues(x, child(where, "oddValues"), kMenuBarAttributes);
    if (!m["answerDelays"].get(x)) bar.answerDelays = asDelays(x, child(where, "answerDelays"), kMenuBarAttributes);
    return bar;
}

/// A title, or {"title": ..., "readErrors": ..., "raises": ...} for a window whose reads misbehave.
Window asWindow(element e, const std::string& where) {
    Window w;
    object o;
    if (!e.get(o) && o["value"].error()) {
        w.entry = asEntry(o, where);
        if (w.entry) return w;
        allowOnly(o, where, {"title", "readErrors", "raises", "answerDelays", "oddEntry"});
        element v;
        if (!o["title"].get(v)) w.title = asTitle(v, child(where, "title"));
        if (!o["readErrors"].get(v)) w.readErrors = asErrors(v, child(where, "readErrors"), kWindowAttributes);
        if (!o["raises"].get(v)) w.raises = asRaises(v, child(where, "raises"), kWindowAttributes);
        if (!o["answerDelays"].get(v)) w.answerDelays = asDelays(v, child(where, "answerDelays"), kWindowAttributes);
        return w;
    }
    w.title = asTitle(e, where);
    return w;
}

/// The "at" of a change: seconds after the load, no earlier than the change before it.
double asTime(const object& o, const std::string& where, double earliest) {
    element x;
    if (o["at"].get(x)) fail(where, "expected the key \"at\"");
    double t = asNumber(x, child(where, "at"), 0, kLongestTime);
    if (t < earliest) fail(child(where, "at"), "expected no earlier than the change before it");
    return t;
}

/// A list of {"at": seconds, `key`: value} changes in time order; `read` takes each value.
template <typename Change, typename Read>
std::vector<Change> asChanges(element e, const std::string& where, const char* key, const std::string& missing,
                              Read read) {
    std::vector<Change> changes;
    size_t i = 0;
    for (element entry : asArray(e, where)) {
        std::string here = at(where, i++);
        object c = asObject(entry, here);
        allowOnly(c, here, {"at", key});
        Change change;
        change.at = asTime(c, here, changes.empty() ? 0 : changes.back().at);
        element x;
        if (c[key].get(x)) fail(here, missing);
        read(x, child(here, key), change);
        changes.push_back(std::move(change));
    }
    return changes;
}

std::vector<WindowsChange> asWindows(element e, const std::string& where) {
    return asChanges<WindowsChange>(e, where, "titles", "expected the key \"titles\"",
                                    [](element x, const std::string& titles, WindowsChange& w) {
                                        size_t j = 0;
                                        for (element t : asArray(x, titles))
                                            w.windows.push_back(asWindow(t, at(titles, j++)));
                                    });
}

/// A menu bar, null, or a list of {"at": seconds, "bar": menu bar or null}.
std::vector<MenuBarChange> asMenuBarChanges(element e, const std::string& where, bool& changing) {
    std::vector<MenuBarChange> changes;
    if (e.is_null()) return changes;
    if (!e.is_array()) {
        changes.push_back({0, asMenuBar(e, where)});
        return changes;
    }
    changing = true;
    return asChanges<MenuBarChange>(e, where, "bar", "expected the key \"bar\" (a menu bar, or null for none)",
                                    [](element x, const std::string& here, MenuBarChange& change) {
                                        if (!x.is_null()) change.bar = asMenuBar(x, here);
                                    });
}

Expectation asExpectation(element e, const std::string& where) {
    object o = asObject(e, where);
    allowOnly(o, where, {"outcome", "presses", "log"});
    Expectation expect;
    element v;
    if (!o["outcome"].get(v)) {
        std::string outcome = asString(v, child(where, "outcome"));
        bool known = false;
        std::string all;
        for (const auto& k : kOutcomes) {
            known = known || k.name == outcome;
            all += (all.empty() ? "\"" : ", \"") + std::string(k.name) + "\"";
        }
        if (!known) fail(child(where, "outcome"), "unknown outcome \"" + outcome + "\"; expected one of " + all);
        expect.outcome = outcome;
    }
    if (!o["presses"].get(v)) expect.presses = asInt(v, child(where, "presses"), 0, INT32_MAX);
    if (!o["log"].get(v)) {
        std::string log = child(where, "log");
        size_t i = 0;
        for (element line : asArray(v, log)) {
            std::string here = at(log, i++);
            ExpectedLine expected;
            if (line.is_string()) {
                expected.text = asString(line, here);
            } else {
                object l;
                if (line.get(l)) fail(here, "expected a log message, or {\"text\": ..., \"ms\": n}");
                allowOnly(l, here, {"text", "ms"});
                element x;
                if (l["text"].get(x)) fail(here, "expected the key \"text\"");
                expected.text = asString(x, child(here, "text"));
                if (!l["ms"].get(x)) expected.ms = asInt(x, child(here, "ms"), 0, int64_t(kLongestTime) * 1000);
            }
            expect.log.push_back(expected);
        }
    }
    return expect;
}

Scenario parse(element root) {
    const std::string top = "(top level)";
    object o = asObject(root, top);
    allowOnly(o, top,
              {"description",
               "bundleIdentifier",
               "application",
               "home",
               "supportFolder",
               "trusted",
               "untrustedCallsFail",
               "manifestAge",
               "manifestWrites",
               "clockChanges",
               "windows",
               "menuBar",
               "applicationReadErrors",
               "applicationRaises",
               "applicationOddValues",
               "applicationAnswerDelays",
               "script",
               "timeLimit",
               "loadOnThread",
               "expect"});
    Scenario s;
    element v;
    if (!o["description"].get(v)) s.description = asString(v, "description");
    if (!o["bundleIdentifier"].get(v) && !v.is_null()) s.bundleIdentifier = asString(v, "bundleIdentifier");
    if (!o["application"].get(v)) s.application = asBool(v, "application");
    if (!o["home"].get(v)) s.home = asBool(v, "home");
    if (!o["supportFolder"].get(v)) s.supportFolder = asBool(v, "supportFolder");
    if (!o["trusted"].get(v)) s.trusted = asBool(v, "trusted");
    if (!o["untrustedCallsFail"].get(v)) {
        s.untrustedCallsFail = asBool(v, "untrustedCallsFail");
        if (s.trusted) fail("untrustedCallsFail", "expected only with \"trusted\": false");
    }
    // A negative age is a manifest stamped in the future: a clock set back, a file from another machine.
    if (!o["manifestAge"].get(v) && !v.is_null()) {
        s.manifestAge = asNumber(v, "manifestAge", -kLongestTime, kOldestManifest);
    }
    if (!o["manifestWrites"].get(v)) {
        size_t i = 0;
        for (element t : asArray(v, "manifestWrites"))
            s.manifestWrites.push_back(asNumber(t, at("manifestWrites", i++), 0, kLongestTime));
    }
    if (!o["clockChanges"].get(v)) {
        s.clockChanges = asChanges<ClockChange>(v, "clockChanges", "by", "expected the key \"by\"",
                                                [](element x, const std::string& here, ClockChange& change) {
                                                    change.by = asNumber(x, here, -kLongestTime, kLongestTime);
                                                });
    }
    if (!o["windows"].get(v)) s.windows = asWindows(v, "windows");
    if (!o["menuBar"].get(v)) s.menuBar = asMenuBarChanges(v, "menuBar", s.menuBarChanges);
    if (!o["applicationReadErrors"].get(v)) {
        s.applicationReadErrors = asErrors(v, "applicationReadErrors", kApplicationAttributes);
    }
    if (!o["applicationRaises"].get(v)) s.applicationRaises = asRaises(v, "applicationRaises", kApplicationAttributes);
    if (!o["applicationOddValues"].get(v)) {
        s.applicationOddValues = asOddValues(v, "applicationOddValues", kApplicationAttributes);
    }
    if (!o["applicationAnswerDelays"].get(v)) {
        s.applicationAnswerDelays = asDelays(v, "applicationAnswerDelays", kApplicationAttributes);
    }
    if (!o["script"].get(v) && !v.is_null()) {
        object c = asObject(v, "script");
        allowOnly(c, "script", {"manifestAfter", "fromPress"});
        Script script;
        element x;
        if (!c["manifestAfter"].get(x)) script.manifestAfter = asNumber(x, "script.manifestAfter", 0, kLongestTime);
        if (!c["fromPress"].get(x)) script.fromPress = asInt(x, "script.fromPress", 1, INT32_MAX);
        s.script = script;
    }
    if (!o["timeLimit"].get(v)) {
        s.timeLimit = asNumber(v, "timeLimit", 0, kLongestTime);
        if (s.timeLimit == 0) fail("timeLimit", "expected a number above 0");
    }
    if (!o["loadOnThread"].get(v)) s.loadOnThread = asBool(v, "loadOnThread");
    if (!o["expect"].get(v)) s.expect = asExpectation(v, "expect");
    if (!s.home) {
        // Without HOME the plug-in's files lie in system folders, which the simulator never writes.
        for (const char* key : {"supportFolder", "manifestAge", "manifestWrites", "script"}) {
            if (!o[key].get(v) && !v.is_null()) {
                fail(key, "expected nothing with \"home\": false (the simulator writes no file outside its own home)");
            }
        }
    }
    return s;
}

}  // namespace

Scenario loadScenario(const std::string& path) {
    simdjson::dom::parser parser;
    element root;
    if (auto error = parser.load(path).get(root)) throw ScenarioError(path + ": " + simdjson::error_message(error));
    try {
        return parse(root);
    } catch (const ScenarioError& error) {
        throw ScenarioError(path + ": " + error.what());
    }
}

}  // namespace hostsim
