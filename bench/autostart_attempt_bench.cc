// How long one attempt of the auto-start loop takes in the Linux layer on a
// menu tree of about a thousand items: a press-phase attempt that walks the
// English path, and the every-eighth attempt that searches by own names; and
// the main thread's time per tick over the whole chain of tasks.
// Usage: autostart_attempt_bench [--json] [bundle binary]
#include <dlfcn.h>
#include <platform/host.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int64_t kTick = 250000000;

/// 10 menus of 10 items, each opening a menu of 9 items (1010 items); the script's path comes last.
PLAXNodeRef buildTree(bool english) {
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef script = nullptr;
    for (int a = 0; a < 10; ++a) {
        bool last = a == 9;
        std::string top = last ? (english ? "Workspace" : "Arbeitsbereich") : "Menu " + std::to_string(a);
        PLAXNodeRef menu = PLHostAXAddMenu(PLHostAXAddItem(bar, top.c_str()));
        for (int b = 0; b < 10; ++b) {
            bool scripts = last && b == 9;
            std::string title = scripts ? (english ? "Scripts" : "Skripte") : "Item " + std::to_string(b);
            PLAXNodeRef sub = PLHostAXAddMenu(PLHostAXAddItem(menu, title.c_str()));
            for (int c = 0; c < 9; ++c) {
                bool folder = scripts && c == 8;
                PLAXNodeRef item = PLHostAXAddItem(sub, folder ? "Tavrin" : ("Entry " + std::to_string(c)).c_str());
                if (folder) script = PLHostAXAddItem(PLHostAXAddMenu(item), "Tavrin");
            }
        }
    }
    PLHostAXSetMenuBar(bar);
    // Failing presses keep the loop attempting, so every attempt of the press phase is alike.
    PLHostAXSetPressResult(script, kAXErrorFailure);
    return script;
}

struct Figures {
    double walkMicros = 0;
    double fallbackMicros = 0;
    unsigned long walkCalls = 0;
    unsigned long fallbackCalls = 0;
    double tickMeanMicros = 0;  // every task of the chain, first sight and verify polls included
    double tickMaxMicros = 0;
    size_t ticks = 0;
};

Figures measure(const std::string& binary, const std::string& dir, bool english) {
    PLHostAXReset();
    PLHostDiscardTasks();
    buildTree(english);
    PLHostAXAppendWindow(PLHostAXCreateNode("Edit"));
    std::string copy = dir + (english ? "/english.ofx" : "/other.ofx");
    std::filesystem::copy_file(binary, copy, std::filesystem::copy_options::overwrite_existing);
    int64_t t0 = PLHostClockNanoseconds();
    if (!dlopen(copy.c_str(), RTLD_NOW)) {
        std::fprintf(stderr, "%s\n", dlerror());
        std::exit(1);
    }
    std::vector<double> walk, fallback;
    std::vector<unsigned long> walkCalls, fallbackCalls;
    double total = 0, longest = 0;
    size_t ticks = 0;
    while (PLHostPendingTasks() > 0) {
        int tick = int((PLHostNextTaskTime() - t0) / kTick);  // = the attempt's number
        unsigned long calls = PLHostAXCallCount();
        auto start = std::chrono::steady_clock::now();
        PLHostRunNextTask(PLHostNextTaskTime());
        double micros = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        total += micros;
        longest = std::max(longest, micros);
        ++ticks;
        if (tick < 41) continue;  // the press phase only, past the first-sight listing
        (tick % 8 == 0 ? fallback : walk).push_back(micros);
        (tick % 8 == 0 ? fallbackCalls : walkCalls).push_back(PLHostAXCallCount() - calls);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    Figures f;
    f.walkMicros = median(walk);
    f.fallbackMicros = median(fallback);
    f.walkCalls = walkCalls.empty() ? 0 : walkCalls.back();
    f.fallbackCalls = fallbackCalls.empty() ? 0 : fallbackCalls.back();
    f.tickMeanMicros = ticks ? total / double(ticks) : 0;
    f.tickMaxMicros = longest;
    f.ticks = ticks;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = argc > 1 && std::string(argv[1]) == "--json";
    int rest = json ? 2 : 1;
    std::string binary = argc > rest ? argv[rest] : AUTOSTART_BINARY;
    std::string dir = (std::filesystem::temp_directory_path() / "autostart-bench").string();
    std::filesystem::create_directories(dir + "/Library/Application Support/Tavrin");
    setenv("HOME", dir.c_str(), 1);
    std::filesystem::remove(dir + "/Library/Application Support/Tavrin/ofx-autostart.log");
    PLHostUseDrivenClock(1700000000);
    PLHostSetBundleIdentifier("com.blackmagic-design.DaVinciResolve");
    PLHostSetHasApplication(true);

    Figures english = measure(binary, dir, true);
    Figures other = measure(binary, dir, false);
    std::filesystem::remove_all(dir);
    size_t ticks = english.ticks + other.ticks;
    double tickMean = (english.tickMeanMicros * double(english.ticks) + other.tickMeanMicros * double(other.ticks)) /
                      double(std::max<size_t>(1, ticks));
    double tickMax = std::max(english.tickMaxMicros, other.tickMaxMicros);
    if (json) {
        std::printf(
            "{\"walk_us\":%.2f,\"walk_fail_us\":%.2f,\"fallback_us\":%.2f,\"fallback_calls\":%lu,"
            "\"tick_mean_us\":%.2f,\"tick_max_us\":%.2f,\"ticks\":%zu}\n",
            english.walkMicros, other.walkMicros, other.fallbackMicros, other.fallbackCalls, tickMean, tickMax, ticks);
        return 0;
    }
    std::printf(
        "menu tree of 1010 items; median time of one press-phase attempt (window scan, manifest check, press)\n");
    std::printf("  English titles, walk along the path:        %8.1f us  (%lu accessibility calls)\n",
                english.walkMicros, english.walkCalls);
    std::printf("  other language, walk fails at level 0:      %8.1f us  (%lu calls)\n", other.walkMicros,
                other.walkCalls);
    std::printf("  other language, every 8th: own-names search %8.1f us  (%lu calls)\n", other.fallbackMicros,
                other.fallbackCalls);
    std::printf("  main-thread time per tick over the chain:    %8.1f us mean, %.1f us at most (%zu ticks)\n", tickMean,
                tickMax, ticks);
    return 0;
}
