// What the simulator prints: each line that the plug-in logs, as soon as it is
// there, and the simulator's own notes between them, each with its time since the load.
#pragma once

#include <cstdint>
#include <ios>
#include <string>
#include <vector>

namespace hostsim {

/// A line of the plug-in's log as it was read, and when.
struct LogLine {
    int64_t ms;
    std::string line;
    std::string message;  // after the time of day
};

class Transcript {
  public:
    /// Follows the log at `path` from its present end: lines already there are not this run's.
    /// With `samePid`, this process's id reads "<pid>", so that two runs print the same.
    void follow(std::string path, bool samePid);

    /// Counts time from `t0` on the host's clock, the instant of the load.
    void start(int64_t t0);

    /// Prints the lines that the plug-in has logged since the last look.
    void printLog();

    /// One line of the simulator's own, after whatever the plug-in has logged before it.
    __attribute__((format(printf, 2, 3))) void note(const char* format, ...);

    /// Whether the plug-in logged exactly `message` (after the time of day).
    bool logged(const char* message) const;

    /// The plug-in's lines so far.
    const std::vector<LogLine>& lines() const { return lines_; }

  private:
    int64_t elapsedMs() const;
    std::string shown(const std::string& line) const;

    std::string path_;
    bool samePid_ = false;
    std::streamoff offset_ = 0;
    std::vector<LogLine> lines_;
    bool started_ = false;
    int64_t t0_ = 0;
};

}  // namespace hostsim
