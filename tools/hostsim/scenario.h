// A scenario for the host simulator: who the host is, what its accessibility
// tree shows over time, how the started script answers a press, and what the
// play is expected to give.
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
    int times = -1;    // negative: every time
    bool cxx = false;  // a C++ exception rather than the platform's
};

/// Reads of one attribute that fail with an accessibility error code.
using ReadErrors = std::vector<std::pair<std::string, int>>;

/// Calls of one attribute (or of the action "AXPress") that the host answers only after that many seconds.
using AnswerDelays = std::vector<std::pair<std::string, double>>;

/// A value of another kind than the attribute's own, which reads of it answer.
struct OddValue {
    std::string attribute;
    std::string text;  // the string, or the number as written
    bool number = false;
};

struct MenuItem {
    std::optional<OddValue> entry;  // an entry of another kind in place of an item: nothing below counts
    Title title;
    std::optional<std::vector<MenuItem>> items;  // the menu that the item opens
    std::vector<int> pressResults;               // per press, the last repeating; empty: success
    bool pressedAnyway = false;                  // a press answered with -25204 is carried out all the same
    double pressTakes = 0;                       // seconds the host spends in the item's action inside the press
    ReadErrors readErrors;
    std::vector<Raise> raises;
    std::vector<OddValue> oddValues;
    AnswerDelays answerDelays;
};

struct MenuBar {
    std::vector<MenuItem> items;
    ReadErrors readErrors;
    std::vector<Raise> raises;
    std::vector<OddValue> oddValues;
    AnswerDelays answerDelays;
};

struct Window {
    std::optional<OddValue> entry;  // an entry of another kind in place of a window
    Title title;
    ReadErrors readErrors;
    std::vector<Raise> raises;
    AnswerDelays answerDelays;
};

/// From `at` seconds after the load on, the host shows these windows.
struct WindowsChange {
    double at = 0;
    std::vector<Window> windows;
};

/// From `at` seconds after the load on, the host shows this menu bar (none when empty).
struct MenuBarChange {
    double at = 0;
    std::optional<MenuBar> bar;
};

/// At `at` seconds after the load, the wall clock is set by `by` seconds (back when negative).
struct ClockChange {
    double at = 0;
    double by = 0;
};

struct Script {
    double manifestAfter = 0;  // seconds from the press to the manifest's write
    int fromPress = 1;         // the first press that starts it
};

/// One log line that the play must give, after the one expected before it.
struct ExpectedLine {
    std::string text;        // the message after the time of day; '*' stands for any characters
    std::optional<long> ms;  // milliseconds after the load, checked on the driven clock
};

struct Expectation {
    std::optional<std::string> outcome;
    std::optional<int> presses;
    std::vector<ExpectedLine> log;
};

struct Scenario {
    std::string description;
    std::optional<std::string> bundleIdentifier;
    bool application = true;
    bool home = true;  // false: HOME is unset
    bool supportFolder = true;
    bool trusted = true;
    bool untrustedCallsFail = true;
    std::optional<double> manifestAge;   // seconds before the load (negative: after it); none: no manifest
    std::vector<double> manifestWrites;  // seconds after the load, whatever the presses
    std::vector<ClockChange> clockChanges;
    std::vector<WindowsChange> windows;
    std::vector<MenuBarChange> menuBar;  // empty: no menu bar
    bool menuBarChanges = false;         // given as a list of changes, each worth a note
    ReadErrors applicationReadErrors;
    std::vector<Raise> applicationRaises;
    std::vector<OddValue> applicationOddValues;
    AnswerDelays applicationAnswerDelays;
    std::optional<Script> script;  // none: the script never starts
    double timeLimit = 600;
    bool loadOnThread = false;
    std::optional<Expectation> expect;
};

/// An outcome that a play can end in, as the simulator prints it, and the plug-in's
/// log line that makes it (null for the outcomes that no line makes).
struct Outcome {
    const char* name;
    const char* logLine;
};
/// Every outcome, those made by a log line first, in the order they are looked for.
extern const std::vector<Outcome> kOutcomes;
/// The outcomes that no log line makes.
constexpr const char* kTimedOut = "time limit reached";
constexpr const char* kNothingLogged = "unknown: nothing was logged";
constexpr const char* kIdle = "idle: the plug-in queued nothing";

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Reads a scenario file; throws ScenarioError naming the file, the key's path and what was expected.
Scenario loadScenario(const std::string& path);

}  // namespace hostsim
