// A scenario for the host simulator: who the host is, what its accessibility
// tree shows over time, and how the started script answers a press.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace hostsim {

/// A title as the accessibility tree gives it.
struct Title {
    enum class Kind { none, string, other };
    Kind kind = Kind::none;
    std::string text;  // the string, or the bytes of the non-string value
};

/// An exception raised by reads of one attribute (or by the action "AXPress").
struct Raise {
    std::string attribute;
    std::string description;
    int times = -1;  // negative: every time
};

struct MenuItem {
    Title title;
    std::optional<std::vector<MenuItem>> items;  // the menu that the item opens
    int pressError = 0;
    std::vector<std::pair<std::string, int>> readErrors;
    std::vector<Raise> raises;
};

struct MenuBar {
    std::vector<MenuItem> items;
    std::vector<std::pair<std::string, int>> readErrors;
    std::vector<Raise> raises;
};

/// From `at` seconds after the load on, the host shows these windows.
struct WindowsChange {
    double at = 0;
    std::vector<Title> titles;
};

struct Script {
    double manifestAfter = 0;  // seconds from the press to the manifest's write
    int fromPress = 1;         // the first press that starts it
};

struct Scenario {
    std::string description;
    std::optional<std::string> bundleIdentifier;
    bool application = true;
    bool supportFolder = true;
    bool trusted = true;
    std::optional<double> manifestAge;  // seconds before the load; none: no manifest
    std::vector<WindowsChange> windows;
    std::optional<MenuBar> menuBar;
    std::vector<std::pair<std::string, int>> applicationReadErrors;
    std::optional<Script> script;  // none: the script never starts
    double timeLimit = 600;
    bool loadOnThread = false;
};

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Reads a scenario file; throws ScenarioError naming what is wrong.
Scenario loadScenario(const std::string& path);

}  // namespace hostsim
