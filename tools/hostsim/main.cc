// hostsim: an OFX host in miniature. It loads the tavrin-autostart bundle the
// way a host does, declares itself to the platform layer as the scenario says,
// runs its main queue (in real time, or on a clock that it drives) and prints
// every line that the plug-in logs, then the outcome and the number of presses.
#include <dispatch/dispatch.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <platform/host.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "scenario.h"

namespace {

using hostsim::Scenario;
using hostsim::Title;

constexpr const char* kSupportFolder = "Library/Application Support/Tavrin";
constexpr int64_t kSecond = 1000000000;

struct Options {
    bool drivenClock = false;
    bool keepHome = false;
    std::string bundle;
    std::string scenario;
};

void usage() {
    std::fprintf(stderr,
                 "usage: hostsim [--driven-clock] [--bundle PATH] [--keep-home] SCENARIO.json\n"
                 "  --driven-clock  run on a clock that the simulator drives (minutes pass in moments)\n"
                 "  --bundle PATH   the .ofx binary, or the .ofx.bundle folder (default: the build's)\n"
                 "  --keep-home     leave the temporary home folder in place and print its path\n");
}

/// The build tree's bundle, found from this program's own place in build/bin.
std::string defaultBundle() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return (self.parent_path().parent_path() / "bundle/tavrin-autostart.ofx.bundle/Contents/Linux-x86-64" /
            "tavrin-autostart.ofx")
        .string();
}

std::string binaryOf(const std::string& path) {
    if (std::filesystem::is_directory(path)) {
        return (std::filesystem::path(path) / "Contents/Linux-x86-64/tavrin-autostart.ofx").string();
    }
    return path;
}

class Simulator {
  public:
    Simulator(Scenario scenario, const Options& options) : s_(std::move(scenario)), options_(options) {}

    int run() {
        if (!makeHome()) return 1;
        if (options_.drivenClock) PLHostUseDrivenClock(PLHostWallNanoseconds() / kSecond);
        declareProcess();
        t0_ = PLHostClockNanoseconds();
        wall0_ = PLHostWallNanoseconds();
        note("%s", s_.description.empty() ? "scenario" : s_.description.c_str());
        for (const auto& change : s_.windows) {
            if (change.at <= 0)
                showWindows(change);
            else
                queueOwn(int64_t(change.at * kSecond), [this, change] { showWindows(change); });
        }
        // A manifest present at the start lies in the support folder, which must be there for the constructor's lines.
        if (s_.manifestAge) makeSupportFolder();
        if (!loadBundle()) return 1;
        if (s_.manifestAge) {
            // The constructor read its launch second during the load, so it lies between wall0_ and now. The
            // plug-in looks for the manifest only in attempts, which run on this thread's queue below, so writing
            // it now is early enough: an age of 0 stamped from now is never older than the launch, and an older
            // one stamped from wall0_ is never younger than its age.
            int64_t base = *s_.manifestAge > 0 ? wall0_ : PLHostWallNanoseconds();
            writeManifest(base / kSecond * kSecond - int64_t(*s_.manifestAge * kSecond), "present");
        }
        printLog();

        bool timedOut = false;
        const int64_t limit = t0_ + int64_t(s_.timeLimit * kSecond);
        // The plug-in is done once nothing of its own waits on the queue.
        while (PLHostPendingTasks() > ownPending_) {
            bool ran = PLHostRunNextTask(limit);
            printLog();
            if (!ran) {
                timedOut = true;
                break;
            }
        }
        PLHostDiscardTasks();
        summarise(timedOut);
        if (options_.keepHome) {
            note("home kept at %s", home_.c_str());
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(home_, ignored);
        }
        return 0;
    }

  private:
    double elapsed() const { return double(PLHostClockNanoseconds() - t0_) / double(kSecond); }

    /// One line of the simulator's own, after whatever the plug-in has logged before it.
    __attribute__((format(printf, 2, 3))) void note(const char* format, ...) {
        printLog();
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::printf("hostsim %8.2f s: %s\n", t0_ ? elapsed() : 0.0, text);
        std::fflush(stdout);
    }

    bool makeHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hostsim-home-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "hostsim: cannot make a home folder: %s\n", std::strerror(errno));
            return false;
        }
        home_ = pattern;
        std::string support = home_ + "/" + kSupportFolder;
        if (s_.supportFolder) std::filesystem::create_directories(support);
        logPath_ = support + "/ofx-autostart.log";
        manifestPath_ = support + "/davinci-bridge.json";
        setenv("HOME", home_.c_str(), 1);
        return true;
    }

    void declareProcess() {
        PLHostSetBundleIdentifier(s_.bundleIdentifier ? s_.bundleIdentifier->c_str() : nullptr);
        PLHostSetHasApplication(s_.application);
        PLHostAXReset();
        PLHostAXSetTrusted(s_.trusted);
        PLAXNodeRef app = PLHostAXApplication();
        for (const auto& [attribute, code] : s_.applicationReadErrors) {
            PLHostAXSetReadError(app, attribute.c_str(), code);
        }
        if (s_.menuBar) {
            PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
            configure(bar, s_.menuBar->readErrors, s_.menuBar->raises);
            addItems(bar, s_.menuBar->items);
            PLHostAXSetMenuBar(bar);
        }
        PLHostAXSetPressHandler(&Simulator::pressed, this);
    }

    static void setTitle(PLAXNodeRef node, const Title& title) {
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

    static void configure(PLAXNodeRef node, const std::vector<std::pair<std::string, int>>& errors,
                          const std::vector<hostsim::Raise>& raises) {
        for (const auto& [attribute, code] : errors)
            PLHostAXSetReadError(node, attribute.c_str(), code);
        for (const auto& r : raises)
            PLHostAXSetRaises(node, r.attribute.c_str(), r.description.c_str(), r.times);
    }

    void addItems(PLAXNodeRef menu, const std::vector<hostsim::MenuItem>& items) {
        for (const auto& item : items) {
            PLAXNodeRef node = PLHostAXAddItem(menu, nullptr);
            setTitle(node, item.title);
            PLHostAXSetPressResult(node, item.pressError);
            configure(node, item.readErrors, item.raises);
            if (item.items) addItems(PLHostAXAddMenu(node), *item.items);
        }
    }

    void showWindows(const hostsim::WindowsChange& change) {
        PLHostAXRemoveWindows();
        std::string shown;
        for (const auto& title : change.titles) {
            PLAXNodeRef window = PLHostAXCreateNode(nullptr);
            setTitle(window, title);
            PLHostAXAppendWindow(window);
            shown += title.kind == Title::Kind::string ? "\"" + title.text + "\" "
                     : title.kind == Title::Kind::none ? "(untitled) "
                                                       : "(non-string title) ";
        }
        note("host shows %zu window(s) %s", change.titles.size(), shown.c_str());
    }

    /// Queues one of the simulator's own events on the main queue, `at` after the load.
    template <typename Work>
    void queueOwn(int64_t at, Work work) {
        ++ownPending_;
        dispatch_after(dispatch_time_t(t0_ + at), dispatch_get_main_queue(), [this, work] {
            --ownPending_;
            work();
        });
    }

    static void pressed(PLAXNodeRef, void* context) { static_cast<Simulator*>(context)->onPress(); }

    void onPress() {
        ++presses_;
        note("menu item pressed (press %d)", presses_);
        if (!s_.script || presses_ < s_.script->fromPress) return;
        int64_t at = PLHostClockNanoseconds() - t0_ + int64_t(s_.script->manifestAfter * kSecond);
        queueOwn(at, [this] { writeManifest(PLHostWallNanoseconds(), "written by the script"); });
    }

    /// Whether the support folder had to be made.
    bool makeSupportFolder() {
        std::error_code error;
        return std::filesystem::create_directories(std::filesystem::path(manifestPath_).parent_path(), error);
    }

    void writeManifest(int64_t wallNanoseconds, const char* how) {
        if (makeSupportFolder()) note("the script makes the support folder");
        std::ofstream(manifestPath_) << "{}\n";
        // The file's time on the same clock that the plug-in reads.
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = time_t(wallNanoseconds / kSecond);
        times[0].tv_nsec = times[1].tv_nsec = long(wallNanoseconds % kSecond);
        utimensat(AT_FDCWD, manifestPath_.c_str(), times, 0);
        note("manifest %s (mtime %+.0f s from the load)", how, double(wallNanoseconds / kSecond - wall0_ / kSecond));
    }

    bool loadBundle() {
        std::string path = binaryOf(options_.bundle.empty() ? defaultBundle() : options_.bundle);
        void* handle = nullptr;
        auto load = [&] { handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); };
        if (s_.loadOnThread)
            std::thread(load).join();
        else
            load();
        if (!handle) {
            std::fprintf(stderr, "hostsim: cannot load %s: %s\n", path.c_str(), dlerror());
            return false;
        }
        struct OfxHost {
            void* host;
            const void* (*fetchSuite)(void*, const char*, int);
        } host{nullptr, [](void*, const char*, int) -> const void* { return nullptr; }};
        using SetHost = int (*)(const OfxHost*);
        using Count = int (*)();
        using Get = void* (*)(int);
        // OfxSetHost is optional in the standard; the other two are not.
        auto setHost = reinterpret_cast<SetHost>(dlsym(handle, "OfxSetHost"));
        auto count = reinterpret_cast<Count>(dlsym(handle, "OfxGetNumberOfPlugins"));
        auto get = reinterpret_cast<Get>(dlsym(handle, "OfxGetPlugin"));
        if (!count || !get) {
            std::fprintf(stderr, "hostsim: %s is not an OFX binary\n", path.c_str());
            return false;
        }
        int status = setHost ? setHost(&host) : 0;
        int n = count();
        int described = 0;
        for (int i = 0; i < n; ++i)
            described += get(i) != nullptr;
        note("OfxSetHost -> %d, OfxGetNumberOfPlugins -> %d, %d described", status, n, described);
        // A binary that offers nothing is closed again, as hosts do; whatever it queued must survive that.
        dlclose(handle);
        return true;
    }

    void printLog() {
        std::ifstream log(logPath_, std::ios::binary);
        if (!log) return;
        log.seekg(logOffset_);
        std::string line;
        while (std::getline(log, line)) {
            if (log.eof()) break;  // a line still being written
            logOffset_ += std::streamoff(line.size() + 1);
            std::printf("%s\n", line.c_str());
            lines_.push_back(line);
        }
        std::fflush(stdout);
    }

    bool logged(const char* message) const {
        for (const auto& line : lines_) {
            if (line.size() > 9 && line.compare(9, std::string::npos, message) == 0) return true;
        }
        return false;
    }

    void summarise(bool timedOut) {
        const char* outcome = "idle: the plug-in queued nothing";
        if (logged("script started (manifest written)"))
            outcome = "started";
        else if (logged("script already running (manifest newer than launch), not pressing"))
            outcome = "already running";
        else if (logged("gave up: menu item not found"))
            outcome = "gave up: menu item not found";
        else if (logged("gave up: script did not start after repeated presses"))
            outcome = "gave up: presses not confirmed";
        else if (timedOut)
            outcome = "time limit reached";
        else if (lines_.empty())
            outcome = "unknown: nothing was logged";
        note("outcome: %s", outcome);
        note("presses: %d", presses_);
    }

    Scenario s_;
    Options options_;
    std::string home_;
    std::string logPath_;
    std::string manifestPath_;
    std::streamoff logOffset_ = 0;
    std::vector<std::string> lines_;
    int64_t t0_ = 0;
    int64_t wall0_ = 0;
    size_t ownPending_ = 0;
    int presses_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--driven-clock")
            options.drivenClock = true;
        else if (arg == "--keep-home")
            options.keepHome = true;
        else if (arg == "--bundle" && i + 1 < argc)
            options.bundle = argv[++i];
        else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && options.scenario.empty())
            options.scenario = arg;
        else {
            usage();
            return 2;
        }
    }
    if (options.scenario.empty()) {
        usage();
        return 2;
    }
    Scenario scenario;
    try {
        scenario = hostsim::loadScenario(options.scenario);
    } catch (const hostsim::ScenarioError& error) {
        std::fprintf(stderr, "hostsim: %s\n", error.what());
        return 2;
    }
    return Simulator(std::move(scenario), options).run();
}
