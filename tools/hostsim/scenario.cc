// Scenario files are JSON (docs/scenarios.md). Unknown keys are errors, so
// that a misspelt key does not silently play another scenario.
#include "scenario.h"

#include <simdjson.h>

#include <cstdint>
#include <initializer_list>

namespace hostsim {
namespace {

using simdjson::dom::element;
using simdjson::dom::object;

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw ScenarioError(where + ": " + what); }

void allowOnly(const object& o, const std::string& where, std::initializer_list<std::string_view> keys) {
    for (auto field : o) {
        bool known = false;
        for (auto k : keys)
            known = known || field.key == k;
        if (!known) fail(where, "unknown key \"" + std::string(field.key) + "\"");
    }
}

object asObject(element e, const std::string& where) {
    object o;
    if (e.get(o)) fail(where, "must be an object");
    return o;
}

simdjson::dom::array asArray(element e, const std::string& where) {
    simdjson::dom::array a;
    if (e.get(a)) fail(where, "must be an array");
    return a;
}

double asNumber(element e, const std::string& where) {
    double d;
    if (e.get_double().get(d)) fail(where, "must be a number");
    return d;
}

int asInt(element e, const std::string& where) {
    int64_t i;
    if (e.get(i) || i < INT32_MIN || i > INT32_MAX) fail(where, "must be a whole number");
    return int(i);
}

bool asBool(element e, const std::string& where) {
    bool b;
    if (e.get(b)) fail(where, "must be true or false");
    return b;
}

std::string asString(element e, const std::string& where) {
    std::string_view text;
    if (e.get(text)) fail(where, "must be a string");
    return std::string(text);
}

/// "text", null (no title) or {"value": "..."} (a title that is not a string).
Title asTitle(element e, const std::string& where) {
    Title t;
    if (e.is_null()) return t;
    if (e.is_string()) {
        t.kind = Title::Kind::string;
        t.text = asString(e, where);
        return t;
    }
    object o = asObject(e, where);
    allowOnly(o, where, {"value"});
    element value;
    if (o["value"].get(value)) fail(where, "needs \"value\"");
    t.kind = Title::Kind::other;
    t.text = value.is_string() ? asString(value, where) : simdjson::minify(value);
    return t;
}

std::vector<std::pair<std::string, int>> asErrors(element e, const std::string& where) {
    std::vector<std::pair<std::string, int>> errors;
    for (auto field : asObject(e, where)) {
        errors.emplace_back(std::string(field.key), asInt(field.value, where + "." + std::string(field.key)));
    }
    return errors;
}

/// {"AXTitle": "description"} or {"AXTitle": {"description": "...", "times": 1}}.
std::vector<Raise> asRaises(element e, const std::string& where) {
    std::vector<Raise> raises;
    for (auto field : asObject(e, where)) {
        std::string at = where + "." + std::string(field.key);
        Raise r;
        r.attribute = std::string(field.key);
        if (field.value.is_string()) {
            r.description = asString(field.value, at);
        } else {
            object o = asObject(field.value, at);
            allowOnly(o, at, {"description", "times"});
            element v;
            if (o["description"].get(v)) fail(at, "needs \"description\"");
            r.description = asString(v, at + ".description");
            if (!o["times"].get(v)) r.times = asInt(v, at + ".times");
        }
        raises.push_back(r);
    }
    return raises;
}

std::vector<MenuItem> asItems(element e, const std::string& where);

MenuItem asItem(element e, const std::string& where) {
    object o = asObject(e, where);
    allowOnly(o, where, {"title", "items", "pressError", "readErrors", "raises"});
    MenuItem item;
    element v;
    if (!o["title"].get(v)) item.title = asTitle(v, where + ".title");
    if (!o["items"].get(v)) item.items = asItems(v, where + ".items");
    if (!o["pressError"].get(v)) item.pressError = asInt(v, where + ".pressError");
    if (!o["readErrors"].get(v)) item.readErrors = asErrors(v, where + ".readErrors");
    if (!o["raises"].get(v)) item.raises = asRaises(v, where + ".raises");
    return item;
}

std::vector<MenuItem> asItems(element e, const std::string& where) {
    std::vector<MenuItem> items;
    size_t i = 0;
    for (element child : asArray(e, where))
        items.push_back(asItem(child, where + "[" + std::to_string(i++) + "]"));
    return items;
}

}  // namespace

Scenario loadScenario(const std::string& path) {
    simdjson::dom::parser parser;
    element root;
    if (auto error = parser.load(path).get(root)) fail(path, simdjson::error_message(error));
    object o = asObject(root, path);
    allowOnly(o, path,
              {"description", "bundleIdentifier", "application", "supportFolder", "trusted", "manifestAge", "windows",
               "menuBar", "applicationReadErrors", "script", "timeLimit", "loadOnThread"});
    Scenario s;
    element v;
    if (!o["description"].get(v)) s.description = asString(v, "description");
    if (!o["bundleIdentifier"].get(v) && !v.is_null()) s.bundleIdentifier = asString(v, "bundleIdentifier");
    if (!o["application"].get(v)) s.application = asBool(v, "application");
    if (!o["supportFolder"].get(v)) s.supportFolder = asBool(v, "supportFolder");
    if (!o["trusted"].get(v)) s.trusted = asBool(v, "trusted");
    if (!o["manifestAge"].get(v) && !v.is_null()) s.manifestAge = asNumber(v, "manifestAge");
    if (!o["windows"].get(v)) {
        size_t i = 0;
        for (element change : asArray(v, "windows")) {
            std::string where = "windows[" + std::to_string(i++) + "]";
            object c = asObject(change, where);
            allowOnly(c, where, {"at", "titles"});
            WindowsChange w;
            element x;
            if (!c["at"].get(x)) w.at = asNumber(x, where + ".at");
            if (c["titles"].get(x)) fail(where, "needs \"titles\", an array");
            for (element t : asArray(x, where + ".titles"))
                w.titles.push_back(asTitle(t, where + ".titles"));
            s.windows.push_back(w);
        }
    }
    if (!o["menuBar"].get(v) && !v.is_null()) {
        object m = asObject(v, "menuBar");
        allowOnly(m, "menuBar", {"items", "readErrors", "raises"});
        MenuBar bar;
        element x;
        if (!m["items"].get(x)) bar.items = asItems(x, "menuBar.items");
        if (!m["readErrors"].get(x)) bar.readErrors = asErrors(x, "menuBar.readErrors");
        if (!m["raises"].get(x)) bar.raises = asRaises(x, "menuBar.raises");
        s.menuBar = bar;
    }
    if (!o["applicationReadErrors"].get(v)) s.applicationReadErrors = asErrors(v, "applicationReadErrors");
    if (!o["script"].get(v) && !v.is_null()) {
        object c = asObject(v, "script");
        allowOnly(c, "script", {"manifestAfter", "fromPress"});
        Script script;
        element x;
        if (!c["manifestAfter"].get(x)) script.manifestAfter = asNumber(x, "script.manifestAfter");
        if (!c["fromPress"].get(x)) script.fromPress = asInt(x, "script.fromPress");
        s.script = script;
    }
    if (!o["timeLimit"].get(v)) s.timeLimit = asNumber(v, "timeLimit");
    if (!o["loadOnThread"].get(v)) s.loadOnThread = asBool(v, "loadOnThread");
    return s;
}

}  // namespace hostsim
