// hostsim: an OFX host in miniature. It loads the tavrin-autostart bundle the
// way a host does, declares itself to the platform layer as the scenario says,
// runs its main queue (in real time, or on a clock that it drives) and prints
// every line that the plug-in logs, each with its time since the load, then
// the outcome and the number of presses, and checks what the scenario expects.
#include <dispatch/dispatch.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <platform/host.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ofx.h"
#include "scenario.h"

namespace {

using hostsim::kIdle;
using hostsim::kNothingLogged;
using hostsim::kOutcomes;
using hostsim::kTimedOut;
using hostsim::Outcome;
using hostsim::Scenario;
using hostsim::Title;

constexpr const char* kSupportFolder = "Library/Application Support/Tavrin";
/// Where the plug-in writes when HOME is unset: its log falls back on /tmp, its manifest on the root.
constexpr const char* kHomelessLog = "/tmp/Library/Application Support/Tavrin/ofx-autostart.log";
constexpr const char* kHomelessManifest = "/Library/Application Support/Tavrin/davinci-bridge.json";
constexpr const char* kBundleName = "tavrin-autostart.ofx.bundle";
constexpr int64_t kSecond = 1000000000;
constexpr int64_t kMillisecond = 1000000;
/// The driven clock's default start: Monday 2025-01-06 09:00:00 UTC.
constexpr int64_t kDefaultStart = 1736154000;
constexpr int kExpectationNotMet = 3;

struct Options {
    bool drivenClock = false;
    bool keepHome = false;
    std::optional<int64_t> start;  // wall seconds at the load, on the driven clock
    std::string bundle;
    std::string scenario;
};

void usage() {
    std::fprintf(stderr,
                 "usage: hostsim [--driven-clock [--start YYYY-MM-DDTHH:MM:SSZ]] [--bundle PATH] [--keep-home] "
                 "SCENARIO.json\n"
                 "  --driven-clock  run on a clock that the simulator drives (minutes pass in moments)\n"
                 "  --start TIME    the driven clock's instant at the load, in UTC (default 2025-01-06T09:00:00Z)\n"
                 "  --bundle PATH   the .ofx binary, or the .ofx.bundle folder (default: the build's, else the "
                 "installed one)\n"
                 "  --keep-home     leave the temporary home folder in place and print its path\n"
                 "exit status: 0 played as expected, 1 bundle not loaded, 2 bad command line or scenario,\n"
                 "             3 the play differs from the scenario's \"expect\"\n");
}

/// "2025-01-06T09:00:00" with an optional "Z", read as UTC; none when it names no real instant.
std::optional<int64_t> parseInstant(const std::string& text) {
    struct tm parts = {};
    char zone = 0;
    int used = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                        &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &used, &zone);
    if (n < 6 || (n == 7 && (zone != 'Z' || size_t(used) + 1 != text.size())) ||
        (n == 6 && size_t(used) != text.size()))
        return std::nullopt;
    struct tm wanted = parts;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    time_t seconds = timegm(&parts);
    struct tm back;
    // timegm normalises 31 February into March; a date that does not come back unchanged did not exist.
    if (!gmtime_r(&seconds, &back) || back.tm_year + 1900 != wanted.tm_year || back.tm_mon + 1 != wanted.tm_mon ||
        back.tm_mday != wanted.tm_mday || back.tm_hour != wanted.tm_hour || back.tm_min != wanted.tm_min ||
        back.tm_sec != wanted.tm_sec || seconds < 0)
        return std::nullopt;
    return int64_t(seconds);
}

std::string formatInstant(int64_t seconds) {
    time_t t = time_t(seconds);
    struct tm parts;
    char text[32] = "";
    if (gmtime_r(&t, &parts)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

/// The build tree's bundle, found from this program's place in build/bin, else the one installed with it.
std::string defaultBundle() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    auto prefix = self.parent_path().parent_path();
    auto built = prefix / "bundle" / kBundleName;
    if (std::filesystem::is_directory(built, error)) return built.string();
    std::filesystem::path installed = HOSTSIM_PLUGIN_DIR;
    return ((installed.is_absolute() ? installed : prefix / installed) / kBundleName).string();
}

std::string binaryOf(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return (std::filesystem::path(path) / "Contents" / HOSTSIM_ARCH_DIR / "tavrin-autostart.ofx").string();
    }
    return path;
}

/// Whether `text` matches `pattern`, in which each '*' stands for any run of characters.
bool matches(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

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

/// A line of the plug-in's log as it was read, and when.
struct LogLine {
    int64_t ms;
    std::string line;
    std::string message;  // after the time of day
};

class Simulator {
  public:
    Simulator(Scenario scenario, const Options& options) : s_(std::move(scenario)), options_(options) {}

    int run() {
        if (options_.drivenClock) {
            // The log's time of day then follows from the start instant alone, on any machine.
            setenv("TZ", "UTC0", 1);
            tzset();
            PLHostUseDrivenClock(options_.start.value_or(kDefaultStart));
        }
        if (!makeHome()) return 1;
        declareProcess();
        // A manifest present at the load is stamped from the load's second, which the plug-in reads during the
        // load: on the real clock the load then starts as a second begins, so that both fall in the same one.
        if (s_.manifestAge && !options_.drivenClock) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(kSecond - PLHostWallNanoseconds() % kSecond));
        }
        t0_ = PLHostClockNanoseconds();
        wall0_ = PLHostWallNanoseconds();
        started_ = true;
        note("%s", s_.description.empty() ? "scenario" : s_.description.c_str());
        if (options_.drivenClock) note("driven clock, load at %s", formatInstant(wall0_ / kSecond).c_str());
        if (!s_.home) note("HOME is unset: the plug-in logs to %s and looks for %s", kHomelessLog, kHomelessManifest);
        for (const auto& change : s_.clockChanges)
            queueOwn(change.at, [this, by = change.by] { setClock(by); });
        for (const auto& change : s_.windows) {
            if (change.at == 0)
                showWindows(change);
            else
                queueOwn(change.at, [this, change] { showWindows(change); });
        }
        for (const auto& change : s_.menuBar) {
            if (change.at == 0)
                showMenuBar(change);
            else
                queueOwn(change.at, [this, change] { showMenuBar(change); });
        }
        for (double at : s_.manifestWrites)
            queueOwn(at, [this] { writeManifest(PLHostWallNanoseconds(), "written"); });
        // Written before the load, where the plug-in reads the manifest's time for the first time.
        if (s_.manifestAge) writeManifest(wall0_ / kSecond * kSecond - int64_t(*s_.manifestAge * kSecond), "present");
        if (!loadBundle()) {
            removeHome();
            return 1;
        }
        printLog();

        bool timedOut = !play();
        PLHostDiscardTasks();
        events_.clear();
        std::string outcome = summarise(timedOut);
        int status = check(outcome);
        if (options_.keepHome && s_.home)
            note("home kept at %s", home_.c_str());
        else
            removeHome();
        return status;
    }

  private:
    /// Runs the queue until the plug-in has nothing pending; false when the time limit came first.
    bool play() {
        const int64_t limit = t0_ + int64_t(s_.timeLimit * kSecond);
        while (PLHostPendingTasks() > 0) {
            // The simulator's own events go first, also before a task due at the same instant, so that a
            // scenario's changes are in place when the plug-in looks.
            if (!events_.empty()) {
                auto first = events_.begin();
                if (first->first <= PLHostNextTaskTime() && first->first <= limit) {
                    waitUntil(first->first);
                    auto work = std::move(first->second);
                    events_.erase(first);
                    work();
                    printLog();
                    continue;
                }
            }
            bool ran = PLHostRunNextTask(limit);
            printLog();
            if (!ran) return false;
        }
        return true;
    }

    void waitUntil(int64_t when) {
        int64_t now = PLHostClockNanoseconds();
        if (when <= now) return;
        if (options_.drivenClock)
            PLHostAdvanceClock(when - now);
        else
            std::this_thread::sleep_for(std::chrono::nanoseconds(when - now));
    }

    int64_t elapsedMs() const { return started_ ? (PLHostClockNanoseconds() - t0_) / kMillisecond : 0; }

    void emit(int64_t ms, const std::string& text) {
        std::printf("%8lld ms  %s\n", (long long)ms, text.c_str());
        std::fflush(stdout);
    }

    /// One line of the simulator's own, after whatever the plug-in has logged before it.
    __attribute__((format(printf, 2, 3))) void note(const char* format, ...) {
        printLog();
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int length = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        std::string text(length > 0 ? size_t(length) : 0, '\0');
        if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
        va_end(again);
        emit(elapsedMs(), "hostsim: " + text);
    }

    bool makeHome() {
        if (!s_.home) {
            unsetenv("HOME");
            logPath_ = kHomelessLog;
            manifestPath_ = kHomelessManifest;
            // Lines that earlier runs left there are not this run's.
            std::error_code error;
            auto size = std::filesystem::file_size(logPath_, error);
            if (!error) logOffset_ = std::streamoff(size);
            return true;
        }
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

    void removeHome() {
        if (home_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    void declareProcess() {
        PLHostSetBundleIdentifier(s_.bundleIdentifier ? s_.bundleIdentifier->c_str() : nullptr);
        PLHostSetHasApplication(s_.application);
        PLHostAXReset();
        PLHostAXSetTrusted(s_.trusted);
        PLHostAXSetUntrustedCallsFail(s_.untrustedCallsFail);
        configure(PLHostAXApplication(), s_.applicationReadErrors, s_.applicationRaises, s_.applicationOddValues);
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

    static void configure(PLAXNodeRef node, const hostsim::ReadErrors& errors,
                          const std::vector<hostsim::Raise>& raises,
                          const std::vector<hostsim::OddValue>& oddValues = {}) {
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

    static PLAXNodeRef oddEntry(const hostsim::OddValue& entry) {
        return PLHostAXCreateOddEntry(entry.text.c_str(), entry.number);
    }

    void addItems(PLAXNodeRef menu, const std::vector<hostsim::MenuItem>& items, const std::string& path) {
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
            std::string here = (path.empty() ? "" : path + " > ") + describeTitle(item.title);
            itemPaths_[node] = here;
            if (item.pressTakes > 0) pressTakes_[node] = item.pressTakes;
            if (item.items) addItems(PLHostAXAddMenu(node), *item.items, here);
        }
    }

    void showMenuBar(const hostsim::MenuBarChange& change) {
        if (!change.bar) {
            PLHostAXSetMenuBar(nullptr);
            if (s_.menuBarChanges) note("host shows no menu bar");
            return;
        }
        PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
        configure(bar, change.bar->readErrors, change.bar->raises, change.bar->oddValues);
        addItems(bar, change.bar->items, "");
        PLHostAXSetMenuBar(bar);
        if (!s_.menuBarChanges) return;
        std::string shown;
        for (const auto& item : change.bar->items)
            shown += item.entry ? " (entry of another kind)" : " \"" + describeTitle(item.title) + "\"";
        note("host shows a menu bar with %zu item(s)%s", change.bar->items.size(), shown.c_str());
    }

    void showWindows(const hostsim::WindowsChange& change) {
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
            PLHostAXAppendWindow(window);
            // Appended piece by piece: GCC 12 at -O2 sees a false overlap in operator+ here (-Wrestrict).
            if (w.title.kind == Title::Kind::string)
                shown.append(" \"").append(w.title.text).append("\"");
            else
                shown.append(" ").append(describeTitle(w.title));
        }
        note("host shows %zu window(s)%s", change.windows.size(), shown.c_str());
    }

    /// Queues one of the simulator's own events, `at` seconds after the load.
    void queueOwn(double at, std::function<void()> work) {
        events_.emplace(t0_ + int64_t(at * kSecond), std::move(work));
    }

    static void pressed(PLAXNodeRef node, void* context) { static_cast<Simulator*>(context)->onPress(node); }

    void onPress(PLAXNodeRef node) {
        ++presses_;
        auto path = itemPaths_.find(node);
        note("menu item pressed: %s (press %d)", path == itemPaths_.end() ? "?" : path->second.c_str(), presses_);
        if (s_.script && presses_ >= s_.script->fromPress) {
            double after = double(PLHostClockNanoseconds() - t0_) / double(kSecond) + s_.script->manifestAfter;
            queueOwn(after, [this] { writeManifest(PLHostWallNanoseconds(), "written by the script"); });
        }
        auto takes = pressTakes_.find(node);
        if (takes == pressTakes_.end()) return;
        note("the host runs the item's action for %g s before the press returns", takes->second);
        busyFor(takes->second);
    }

    /// Spends `seconds` inside the plug-in's task, as a host busy in a press; the simulator's own events that fall
    /// due meanwhile (another process's writes, the clock) happen all the same.
    void busyFor(double seconds) {
        int64_t end = PLHostClockNanoseconds() + int64_t(seconds * kSecond);
        while (!events_.empty() && events_.begin()->first <= end) {
            auto first = events_.begin();
            waitUntil(first->first);
            auto work = std::move(first->second);
            events_.erase(first);
            work();
            printLog();
        }
        waitUntil(end);
    }

    void setClock(double by) {
        PLHostShiftWallClock(int64_t(by * kSecond));
        note("the clock is set %s by %g s", by < 0 ? "back" : "forward", by < 0 ? -by : by);
    }

    /// Whether the support folder had to be made.
    bool makeSupportFolder() {
        std::error_code error;
        return std::filesystem::create_directories(std::filesystem::path(manifestPath_).parent_path(), error);
    }

    void writeManifest(int64_t wallNanoseconds, const char* how) {
        if (makeSupportFolder()) note("the support folder is made for the manifest");
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
        OfxHost host{nullptr, [](OfxPropertySetHandle, const char*, int) -> const void* { return nullptr; }};
        using SetHost = OfxStatus (*)(const OfxHost*);
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

    /// The line as shown: on the driven clock this process's id reads "<pid>", so that two runs print the same.
    std::string shown(const std::string& line) const {
        if (!options_.drivenClock) return line;
        std::string pid = "constructor in pid " + std::to_string(getpid()) + " ";
        size_t at = line.find(pid);
        if (at == std::string::npos) return line;
        return line.substr(0, at) + "constructor in pid <pid> " + line.substr(at + pid.size());
    }

    void printLog() {
        std::ifstream log(logPath_, std::ios::binary);
        if (!log) return;
        log.seekg(logOffset_);
        std::string line;
        while (std::getline(log, line)) {
            if (log.eof()) break;  // a line still being written
            logOffset_ += std::streamoff(line.size() + 1);
            size_t space = line.find(' ');
            LogLine entry{elapsedMs(), line, space == std::string::npos ? line : line.substr(space + 1)};
            emit(entry.ms, shown(line));
            lines_.push_back(std::move(entry));
        }
    }

    bool logged(const char* message) const {
        for (const auto& line : lines_) {
            if (line.message == message) return true;
        }
        return false;
    }

    std::string summarise(bool timedOut) {
        const char* outcome = timedOut ? kTimedOut : lines_.empty() ? kNothingLogged : kIdle;
        for (const Outcome& made : kOutcomes) {
            if (made.logLine && logged(made.logLine)) {
                outcome = made.name;
                break;
            }
        }
        note("outcome: %s", outcome);
        note("presses: %d", presses_);
        return outcome;
    }

    /// The first difference from what the scenario expects, or nothing.
    std::string firstDifference(const std::string& outcome) const {
        const hostsim::Expectation& expect = *s_.expect;
        size_t from = 0;
        for (size_t i = 0; i < expect.log.size(); ++i) {
            const auto& wanted = expect.log[i];
            bool timed = wanted.ms && options_.drivenClock;
            std::string elsewhere;
            size_t found = from;
            for (; found < lines_.size(); ++found) {
                if (!matches(wanted.text, lines_[found].message)) continue;
                if (!timed || lines_[found].ms == *wanted.ms) break;
                elsewhere += (elsewhere.empty() ? "" : ", ") + std::to_string(lines_[found].ms) + " ms";
            }
            if (found < lines_.size()) {
                from = found + 1;
                continue;
            }
            std::string text = "expect.log[" + std::to_string(i) + "]: \"" + wanted.text + "\"";
            if (timed) text += " at " + std::to_string(*wanted.ms) + " ms";
            text += " was not logged";
            if (i > 0)
                text +=
                    " after expect.log[" + std::to_string(i - 1) + "] (" + std::to_string(lines_[from - 1].ms) + " ms)";
            if (!elsewhere.empty()) text += "; it was logged at " + elsewhere;
            return text;
        }
        if (expect.outcome && *expect.outcome != outcome) {
            return "expect.outcome: \"" + *expect.outcome + "\", but the outcome was \"" + outcome + "\"";
        }
        if (expect.presses && *expect.presses != presses_) {
            return "expect.presses: " + std::to_string(*expect.presses) + ", but there were " +
                   std::to_string(presses_);
        }
        return {};
    }

    int check(const std::string& outcome) {
        if (!s_.expect) return 0;
        std::string difference = firstDifference(outcome);
        if (difference.empty()) {
            note("as expected");
            return 0;
        }
        note("not as expected: %s", difference.c_str());
        return kExpectationNotMet;
    }

    Scenario s_;
    Options options_;
    std::string home_;
    std::string logPath_;
    std::string manifestPath_;
    std::streamoff logOffset_ = 0;
    std::vector<LogLine> lines_;
    std::multimap<int64_t, std::function<void()>> events_;  // by clock time, then in the order queued
    std::map<PLAXNodeRef, std::string> itemPaths_;
    std::map<PLAXNodeRef, double> pressTakes_;
    bool started_ = false;
    int64_t t0_ = 0;
    int64_t wall0_ = 0;
    int presses_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--driven-clock") {
            options.drivenClock = true;
        } else if (arg == "--keep-home") {
            options.keepHome = true;
        } else if (arg == "--bundle" && i + 1 < argc) {
            options.bundle = argv[++i];
        } else if (arg == "--start" && i + 1 < argc) {
            options.start = parseInstant(argv[++i]);
            if (!options.start) {
                std::fprintf(stderr, "hostsim: --start: expected an instant such as 2025-01-06T09:00:00Z, not %s\n",
                             argv[i]);
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && options.scenario.empty()) {
            options.scenario = arg;
        } else {
            usage();
            return 2;
        }
    }
    if (options.scenario.empty()) {
        usage();
        return 2;
    }
    if (options.start && !options.drivenClock) {
        std::fprintf(stderr, "hostsim: --start sets the driven clock; it needs --driven-clock\n");
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
