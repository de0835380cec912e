// The built bundle played through the host simulator on a driven clock, and
// the bundle's exported symbols and what its entry points answer.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ofx.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

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
    if (status) *status = result;
    return text;
}

std::string play(const std::string& example) {
    int status = -1;
    std::string text =
        output(std::string(HOSTSIM) + " --driven-clock " + EXAMPLES_DIR + "/" + example + ".json", &status);
    EXPECT_EQ(status, 0) << text;
    return text;
}

/// The plug-in's log lines without their time of day, in order.
std::vector<std::string> logged(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("hostsim", 0) != 0 && line.size() > 9) lines.push_back(line.substr(9));
    }
    return lines;
}

struct Example {
    const char* name;
    const char* outcome;
    int presses;
};

void PrintTo(const Example& example, std::ostream* out) { *out << example.name; }

class ExampleTest : public ::testing::TestWithParam<Example> {};

TEST_P(ExampleTest, EndsAsExpected) {
    std::string text = play(GetParam().name);
    EXPECT_THAT(text, HasSubstr(std::string("outcome: ") + GetParam().outcome + "\n"));
    EXPECT_THAT(text, HasSubstr("presses: " + std::to_string(GetParam().presses) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest,
                         ::testing::Values(Example{"english-menus", "started", 1}, Example{"late-window", "started", 1},
                                           Example{"other-language", "started", 1},
                                           Example{"no-window", "gave up: menu item not found", 0},
                                           Example{"script-never-starts", "gave up: presses not confirmed", 5},
                                           Example{"script-already-running", "already running", 0},
                                           Example{"not-the-host", "idle: the plug-in queued nothing", 0},
                                           Example{"no-support-folder", "started", 1},
                                           Example{"flaky-menu", "started", 2}),
                         [](const auto& example) {
                             std::string name = example.param.name;
                             for (char& c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });

TEST(HostSimulator, EnglishMenusLogEveryDecisionOfTheRealBundle) {
    std::vector<std::string> lines = logged(play("english-menus"));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_THAT(lines[0], HasSubstr("bundle com.blackmagic-design.DaVinciResolve NSApp=yes"));
    EXPECT_THAT(lines[1], HasSubstr("tavrin-autostart.ofx -> ok"));
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.end()),
                ElementsAre("windows: Project Manager|", "window visible, grace period",
                            "menubar children: DaVinci Resolve|File|Workspace|Help|", "ax: press err=0",
                            "clicked Workspace > Scripts item", "script started (manifest written)"));
}

TEST(HostSimulator, NoSupportFolderLogsOnlyOnceTheScriptMadeIt) {
    std::vector<std::string> lines = logged(play("no-support-folder"));
    EXPECT_THAT(lines, ElementsAre("script started (manifest written)"));
}

TEST(HostSimulator, NothingLoggedLeavesTheOutcomeUnknown) {
    std::string path =
        (std::filesystem::temp_directory_path() / ("hostsim-silent-" + std::to_string(getpid()) + ".json")).string();
    std::ofstream(path) << "{\"bundleIdentifier\": \"com.blackmagic-design.DaVinciResolve\", \"supportFolder\": false}";
    int status = -1;
    std::string text = output(std::string(HOSTSIM) + " --driven-clock " + path, &status);
    std::filesystem::remove(path);
    EXPECT_EQ(status, 0) << text;
    EXPECT_THAT(logged(text), testing::IsEmpty());
    EXPECT_THAT(text, HasSubstr("outcome: unknown: nothing was logged\n"));
    EXPECT_THAT(text, HasSubstr("presses: 0\n"));
}

TEST(HostSimulator, RejectsAScenarioWithAnUnknownKey) {
    std::string path = (std::filesystem::temp_directory_path() / "hostsim-bad-scenario.json").string();
    std::ofstream(path) << "{\"windowz\": []}";
    int status = 0;
    std::string text = output(std::string(HOSTSIM) + " --driven-clock " + path + " 2>&1", &status);
    std::filesystem::remove(path);
    EXPECT_NE(status, 0);
    EXPECT_THAT(text, HasSubstr("unknown key \"windowz\""));
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
