// hostsim: an OFX host in miniature. It loads the tavrin-autostart bundle the
// way a host does, declares itself to the platform layer as the scenario says,
// runs its main queue (in real time, or on a clock that it drives) and prints
// every line that the plug-in logs, each with its time since the load, then
// the outcome and the number of presses, and checks what the scenario expects.
#include <platform/host.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "bundle.h"
#include "expectation.h"
#include "home.h"
#include "host_tree.h"
#include "plugin_names.h"
#include "scenario.h"
#include "timeline.h"
#include "transcript.h"

namespace {

using namespace hostsim;

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

/// One play of a scenario: sets the host up, loads the bundle, plays and judges.
class Simulator {
  public:
    Simulator(Scenario scenario, const Options& options)
        : s_(std::move(scenario)), options_(options), timeline_(options.drivenClock, transcript_) {}

    int run() {
        if (options_.drivenClock) {
            // The log's time of day then follows from the start instant alone, on any machine.
            setenv("TZ", "UTC0", 1);
            tzset();
            PLHostUseDrivenClock(options_.start.value_or(kDefaultStart));
        }
        if (!makeHome(s_, files_)) return 1;
        transcript_.follow(files_.log, options_.drivenClock);
        declareProcess(s_, &Simulator::pressed, this);
        // A manifest present at the load is stamped from the load's second, which the plug-in reads during the
        // load: on the real clock the load then starts as a second begins, so that both fall in the same one.
        if (s_.manifestAge && !options_.drivenClock) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(kSecond - PLHostWallNanoseconds() % kSecond));
        }
        t0_ = PLHostClockNanoseconds();
        wall0_ = PLHostWallNanoseconds();
        transcript_.start(t0_);
        timeline_.start(t0_);
        transcript_.note("%s", s_.description.empty() ? "scenario" : s_.description.c_str());
        if (options_.drivenClock) transcript_.note("driven clock, load at %s", formatInstant(wall0_ / kSecond).c_str());
        if (!s_.home)
            transcript_.note("HOME is unset: the plug-in logs to %s and looks for %s", files_.log.c_str(),
                             files_.manifest.c_str());
        queueChanges();
        // Written before the load, where the plug-in reads the manifest's time for the first time.
        if (s_.manifestAge) writeManifest(wall0_ / kSecond * kSecond - int64_t(*s_.manifestAge * kSecond), "present");
        if (!loadBundle(options_.bundle, s_.loadOnThread, transcript_)) {
            removeHome(files_);
            return 1;
        }
        transcript_.printLog();

        bool timedOut = !timeline_.play(s_.timeLimit);
        timeline_.discard();
        std::string outcome = summarise(timedOut);
        int status = check(outcome);
        if (options_.keepHome && s_.home)
            transcript_.note("home kept at %s", files_.home.c_str());
        else
            removeHome(files_);
        return status;
    }

  private:
    /// Queues the scenario's changes over time; those at the load are made at once.
    void queueChanges() {
        for (const auto& change : s_.clockChanges)
            timeline_.queue(change.at, [this, by = change.by] { setClock(by); });
        for (const auto& change : s_.windows) {
            if (change.at == 0)
                showWindows(change, transcript_);
            else
                timeline_.queue(change.at, [this, change] { showWindows(change, transcript_); });
        }
        for (const auto& change : s_.menuBar) {
            if (change.at == 0)
                showMenuBar(change, s_.menuBarChanges, items_, transcript_);
            else
                timeline_.queue(change.at,
                                [this, change] { showMenuBar(change, s_.menuBarChanges, items_, transcript_); });
        }
        for (double at : s_.manifestWrites)
            timeline_.queue(at, [this] { writeManifest(PLHostWallNanoseconds(), "written"); });
    }

    static void pressed(PLAXNodeRef node, void* context) { static_cast<Simulator*>(context)->onPress(node); }

    void onPress(PLAXNodeRef node) {
        ++presses_;
        auto path = items_.paths.find(node);
        transcript_.note("menu item pressed: %s (press %d)", path == items_.paths.end() ? "?" : path->second.c_str(),
                         presses_);
        if (s_.script && presses_ >= s_.script->fromPress) {
            double after = double(PLHostClockNanoseconds() - t0_) / double(kSecond) + s_.script->manifestAfter;
            timeline_.queue(after, [this] { writeManifest(PLHostWallNanoseconds(), "written by the script"); });
        }
        auto takes = items_.pressTakes.find(node);
        if (takes == items_.pressTakes.end()) return;
        transcript_.note("the host runs the item's action for %g s before the press returns", takes->second);
        timeline_.busyFor(takes->second);
    }

    void setClock(double by) {
        PLHostShiftWallClock(int64_t(by * kSecond));
        transcript_.note("the clock is set %s by %g s", by < 0 ? "back" : "forward", by < 0 ? -by : by);
    }

    void writeManifest(int64_t wallNanoseconds, const char* how) {
        if (makeManifestFolder(files_.manifest)) transcript_.note("the support folder is made for the manifest");
        stampManifest(files_.manifest, wallNanoseconds);
        transcript_.note("manifest %s (mtime %+.0f s from the load)", how,
                         double(wallNanoseconds / kSecond - wall0_ / kSecond));
    }

    std::string summarise(bool timedOut) {
        const char* outcome = timedOut ? kTimedOut : transcript_.lines().empty() ? kNothingLogged : kIdle;
        for (const Outcome& made : kOutcomes) {
            if (made.logLine && transcript_.logged(made.logLine)) {
                outcome = made.name;
                break;
            }
        }
        transcript_.note("outcome: %s", outcome);
        transcript_.note("presses: %d", presses_);
        return outcome;
    }

    int check(const std::string& outcome) {
        if (!s_.expect) return 0;
        std::string difference =
            firstDifference(*s_.expect, transcript_.lines(), outcome, presses_, options_.drivenClock);
        if (difference.empty()) {
            transcript_.note("as expected");
            return 0;
        }
        transcript_.note("not as expected: %s", difference.c_str());
        return kExpectationNotMet;
    }

    Scenario s_;
    Options options_;
    PluginFiles files_;
    Transcript transcript_;
    Timeline timeline_;
    MenuItems items_;
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
