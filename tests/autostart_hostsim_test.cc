// The built bundle played through the host simulator on a driven clock, the
// simulator's checks of what it is given, the installed programs, and the
// bundle's exported symbols and what its entry points answer.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ofx.h"

namespace {

using ::testing::HasSubstr;

/// Standard output of a command, and its exit status.
std::string output(const std::string& command, int* status = nullptr) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int result = pclose(pipe);
    if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return text;
}

std::string hostsim(const std::string& arguments, int* status) {
    return output(std::string(HOSTSIM) + " " + arguments + " 2>&1", status);
}

/// A scenario file that lives as long as the test.
struct ScenarioFile {
    explicit ScenarioFile(const std::string& text) {
        static int count = 0;
        path = (std::filesystem::temp_directory_path() /
                ("hostsim-test-" + std::to_string(getpid()) + "-" + std::to_string(++count) + ".json"))
                   .string();
        std::ofstream(path) << text;
    }
    ~ScenarioFile() { std::filesystem::remove(path); }
    std::string path;
};

/// The plug-in's log lines, without their time since the load and time of day, in order.
std::vector<std::string> logged(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(" ms  ");
        if (at == std::string::npos || line.compare(at + 5, 9, "hostsim: ") == 0) continue;
        lines.push_back(line.substr(line.find(' ', at + 5) + 1));
    }
    return lines;
}

std::vector<std::string> examples() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string example(const std::string& name) { return std::string(EXAMPLES_DIR) + "/" + name + ".json"; }

class ExampleTest : public ::testing::TestWithParam<std::string> {};

// Each example carries what it must give; the simulator exits 3 when the play differs.
TEST_P(ExampleTest, PlaysAsItsExpectationSays) {
    int status = -1;
    std::string text = hostsim("--driven-clock " + example(GetParam()), &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_THAT(text, HasSubstr("hostsim: as expected\n")) << "every example states what it expects";
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest, ::testing::ValuesIn(examples()), [](const auto& param) {
    std::string name = param.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

TEST(HostSimulator, LogsNothingBeyondWhatTheExamplesExpect) {
    int status = -1;
    EXPECT_EQ(logged(hostsim("--driven-clock " + example("english-menus"), &status)).size(), 9u);
    EXPECT_THAT(logged(hostsim("--driven-clock " + example("no-support-folder"), &status)),
                ::testing::ElementsAre("script started (manifest written)"));
}

TEST(HostSimulator, TwoRunsOnTheDrivenClockPrintTheSameBytes) {
    int status = -1;
    std::string first = hostsim("--driven-clock " + example("flaky-menu"), &status);
    EXPECT_EQ(first, hostsim("--driven-clock " + example("flaky-menu"), &status));
    EXPECT_THAT(first, HasSubstr("       0 ms  09:00:00 constructor in pid <pid> bundle"));
    EXPECT_THAT(first, HasSubstr("   10250 ms  hostsim: menu item pressed: Workspace > Scripts > Tavrin > Tavrin "
                                 "(press 1)\n   10250 ms  09:00:10 ax: press err=0\n"));
    std::string later = hostsim("--driven-clock --start 2024-02-29T23:59:59Z " + example("flaky-menu"), &status);
    EXPECT_THAT(later, HasSubstr("   10250 ms  00:00:09 ax: press err=0\n"));
}

TEST(HostSimulator, PrintsTheFirstDifferenceFromTheExpectationAndExits3) {
    ScenarioFile late(R"({"bundleIdentifier": "com.blackmagic-design.DaVinciResolve", "windows": [{"at": 0,
        "titles": ["Main"]}], "expect": {"outcome": "gave up: menu item not found", "log": ["windows: Main|",
        {"text": "window visible, grace period", "ms": 500}, "no such line"]}})");
    int status = -1;
    std::string text = hostsim("--driven-clock " + late.path, &status);
    EXPECT_EQ(status, 3);
    EXPECT_THAT(text, HasSubstr("hostsim: not as expected: expect.log[1]: \"window visible, grace period\" at 500 ms "
                                "was not logged after expect.log[0] (250 ms); it was logged at 250 ms\n"));

    ScenarioFile silent(R"({"bundleIdentifier": "com.blackmagic-design.DaVinciResolve", "supportFolder": false,
        "expect": {"outcome": "started", "presses": 0}})");
    text = hostsim("--driven-clock " + silent.path, &status);
    EXPECT_EQ(status, 3);
    EXPECT_THAT(text, HasSubstr("expect.outcome: \"started\", but the outcome was \"unknown: nothing was logged\"\n"));
}

struct BadInput {
    const char* scenario;
    const char* error;  // after the file's name
};

void PrintTo(const BadInput& input, std::ostream* out) { *out << input.scenario; }

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, NamesTheFileTheKeyAndWhatWasExpected) {
    ScenarioFile file(GetParam().scenario);
    int status = -1;
    std::string text = hostsim(file.path, &status);
    EXPECT_EQ(status, 2);
    EXPECT_THAT(text, HasSubstr("hostsim: " + file.path + ": " + GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, BadInputTest,
    ::testing::Values(
        BadInput{R"({"windowz": []})", "(top level): unknown key \"windowz\"; expected one of description,"},
        BadInput{R"({"menuBar": {"items": [{"title": "W", "readErrors": {"AXTitel": -25204}}]}})",
                 "menuBar.items[0].readErrors: unknown name \"AXTitel\"; expected one of AXTitle, AXChildren"},
        BadInput{R"({"menuBar": {"items": [{"items": [{"raises": {"AXPres": "gone"}}]}]}})",
                 "menuBar.items[0].items[0].raises: unknown name \"AXPres\"; expected one of AXTitle, AXChildren, "
                 "AXPress"},
        BadInput{R"({"applicationReadErrors": {"AXWindow": -25204}})",
                 "applicationReadErrors: unknown name \"AXWindow\"; expected one of AXWindows, AXMenuBar"},
        BadInput{R"({"windows": [{"at": 0, "titles": [{"title": "A", "raises": {"AXTitle": {"description": "x",
                 "times": 0}}}]}]})",
                 "windows[0].titles[0].raises.AXTitle.times: expected a whole number from 1 to 2147483647"},
        BadInput{R"({"menuBar": {"items": [{"pressError": [0, 7]}]}})",
                 "menuBar.items[0].pressError[1]: expected 0 or an accessibility error code from -25214 to -25200"},
        BadInput{R"({"menuBar": {"items": [{"pressError": -25200, "pressedAnyway": true}]}})",
                 "menuBar.items[0].pressedAnyway: expected only with a \"pressError\" of -25204"},
        BadInput{R"({"applicationOddValues": {"AXWindows": [1]}})",
                 "applicationOddValues.AXWindows: expected a string or a number"},
        BadInput{R"({"applicationRaises": {"AXMenuBar": {"description": "x", "kind": "c++"}}})",
                 "applicationRaises.AXMenuBar.kind: expected \"platform\" or \"C++\""},
        BadInput{R"({"windows": [{"at": 2, "titles": []}, {"at": 1.5, "titles": []}]})",
                 "windows[1].at: expected no earlier than the change before it"},
        BadInput{R"({"timeLimit": 5, "timeLimit": 6})", "timeLimit: appears twice"},
        BadInput{R"({"menuBar": {"items": [{"oddEntry": "W", "title": "W"}]}})",
                 "menuBar.items[0]: unknown key \"title\"; expected one of oddEntry"},
        BadInput{R"({"windows": [{"at": 0, "titles": [{"oddEntry": null}]}]})",
                 "windows[0].titles[0].oddEntry: expected a string or a number"},
        BadInput{R"({"clockChanges": [{"at": 3, "back": 60}]})",
                 "clockChanges[0]: unknown key \"back\"; expected one of at, by"},
        BadInput{R"({"menuBar": {"items": [{"pressTakes": -1}]}})",
                 "menuBar.items[0].pressTakes: expected a number from 0 to 1000000"},
        BadInput{R"({"applicationAnswerDelays": {"AXTitle": 1}})",
                 "applicationAnswerDelays: unknown name \"AXTitle\"; expected one of AXWindows, AXMenuBar"},
        BadInput{R"({"trusted": true, "untrustedCallsFail": false})",
                 "untrustedCallsFail: expected only with \"trusted\": false"},
        BadInput{R"({"home": false, "manifestWrites": [3]})", "manifestWrites: expected nothing with \"home\": false"},
        BadInput{R"({"expect": {"log": [{"text": "x", "ms": -1}]}})",
                 "expect.log[0].ms: expected a whole number from 0 to 1000000000"},
        BadInput{R"({"expect": {"outcome": "start"}})", "expect.outcome: unknown outcome \"start\"; expected one of"}));

TEST(HostSimulator, RejectsAStartThatNamesNoInstant) {
    ScenarioFile file("{}");
    int status = -1;
    EXPECT_THAT(hostsim("--driven-clock --start 2025-02-29T09:00:00Z " + file.path, &status),
                HasSubstr("--start: expected an instant such as 2025-01-06T09:00:00Z"));
    EXPECT_EQ(status, 2);
    hostsim("--start 2025-01-06T09:00:00Z " + file.path, &status);
    EXPECT_EQ(status, 2) << "only the driven clock can be set";
}

// An install elsewhere than the configured prefix, staged as packagers do, must run from where it lands.
TEST(Install, ProgramsFindTheLayerRelativeToThemselves) {
    namespace fs = std::filesystem;
    fs::path build = fs::path(HOSTSIM).parent_path().parent_path();
    fs::path stage = fs::temp_directory_path() / ("hostsim-install-" + std::to_string(getpid()));
    struct Removed {
        fs::path path;
        ~Removed() { fs::remove_all(path); }
    } removed{stage};
    int status = -1;
    std::string log =
        output("DESTDIR='" + stage.string() + "' cmake --install '" + build.string() + "' --prefix /opt/elsewhere 2>&1",
               &status);
    ASSERT_EQ(status, 0) << log;
    fs::path installed = stage / "opt/elsewhere/bin/hostsim";
    fs::path bundle;
    for (const auto& entry : fs::recursive_directory_iterator(stage)) {
        if (entry.path().filename() == "tavrin-autostart.ofx.bundle") bundle = entry.path();
    }
    ASSERT_FALSE(bundle.empty()) << log;
    for (const fs::path& binary : {installed, bundle / "Contents/Linux-x86-64/tavrin-autostart.ofx"}) {
        std::string dynamic = output("readelf -d '" + binary.string() + "'");
        EXPECT_THAT(dynamic, HasSubstr("[$ORIGIN/")) << binary;
        EXPECT_THAT(dynamic, ::testing::Not(HasSubstr(build.string()))) << binary;
    }
    std::string text = output(
        installed.string() + " --driven-clock --bundle '" + bundle.string() + "' " + example("english-menus") + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << text;
}

TEST(Bundle, ExportsExactlyTheThreeEntryPointsAndOffersNoPlugins) {
    std::string symbols =
        output("nm -D --defined-only " + std::string(AUTOSTART_BINARY) + " | awk '{print $3}' | sort");
    EXPECT_EQ(symbols, "OfxGetNumberOfPlugins\nOfxGetPlugin\nOfxSetHost\n");

    // Loaded as a host loads it, in a process that is not the host and has no support
    // folder: the constructor stays idle and silent, and only the entry points answer.
    std::string home = (std::filesystem::temp_directory_path() / "bundle-home-XXXXXX").string();
    ASSERT_NE(mkdtemp(home.data()), nullptr);
    const char* userHome = getenv("HOME");
    std::string savedHome = userHome ? userHome : "";
    setenv("HOME", home.c_str(), 1);
    void* bundle = dlopen(AUTOSTART_BINARY, RTLD_NOW | RTLD_LOCAL);
    userHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
    std::filesystem::remove_all(home);
    ASSERT_NE(bundle, nullptr) << dlerror();
    auto setHost = reinterpret_cast<OfxStatus (*)(const OfxHost*)>(dlsym(bundle, "OfxSetHost"));
    auto count = reinterpret_cast<int (*)()>(dlsym(bundle, "OfxGetNumberOfPlugins"));
    auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(bundle, "OfxGetPlugin"));
    ASSERT_TRUE(setHost && count && get);
    OfxHost host{nullptr, nullptr};
    EXPECT_EQ(setHost(&host), kOfxStatOK);
    EXPECT_EQ(setHost(nullptr), kOfxStatOK);
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(count(), 0);
    for (int index : {0, 1, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(get(index), nullptr) << index;
    dlclose(bundle);
}

TEST(Bundle, HasTheLayoutThatHostsSearch) {
    std::string binary = AUTOSTART_BINARY;
    EXPECT_THAT(binary, testing::EndsWith("/tavrin-autostart.ofx.bundle/Contents/Linux-x86-64/tavrin-autostart.ofx"));
    std::string plist = binary.substr(0, binary.rfind("/Linux-x86-64/")) + "/Info.plist";
    EXPECT_THAT(output("cat '" + plist + "'"), HasSubstr("<string>tavrin-autostart.ofx</string>"));
}

}  // namespace
