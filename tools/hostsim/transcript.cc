#include "transcript.h"

#include <platform/host.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "plugin_names.h"

namespace hostsim {
namespace {

constexpr int64_t kMillisecond = 1000000;

void print(int64_t ms, const std::string& text) {
    std::printf("%8lld ms  %s\n", (long long)ms, text.c_str());
    std::fflush(stdout);
}

}  // namespace

void Transcript::follow(std::string path, bool samePid) {
    path_ = std::move(path);
    samePid_ = samePid;
    std::error_code error;
    auto size = std::filesystem::file_size(path_, error);
    offset_ = error ? 0 : std::streamoff(size);
}

void Transcript::start(int64_t t0) {
    t0_ = t0;
    started_ = true;
}

int64_t Transcript::elapsedMs() const { return started_ ? (PLHostClockNanoseconds() - t0_) / kMillisecond : 0; }

std::string Transcript::shown(const std::string& line) const {
    if (!samePid_) return line;
    std::string pid = kConstructorInPid + std::to_string(getpid()) + " ";
    size_t at = line.find(pid);
    if (at == std::string::npos) return line;
    return line.substr(0, at) + kConstructorInPid + "<pid> " + line.substr(at + pid.size());
}

void Transcript::printLog() {
    std::ifstream log(path_, std::ios::binary);
    if (!log) return;
    log.seekg(offset_);
    std::string line;
    while (std::getline(log, line)) {
        if (log.eof()) break;  // a line still being written
        offset_ += std::streamoff(line.size() + 1);
        size_t space = line.find(' ');
        LogLine entry{elapsedMs(), line, space == std::string::npos ? line : line.substr(space + 1)};
        print(entry.ms, shown(line));
        lines_.push_back(std::move(entry));
    }
}

void Transcript::note(const char* format, ...) {
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
    print(elapsedMs(), "hostsim: " + text);
}

bool Transcript::logged(const char* message) const {
    for (const auto& line : lines_) {
        if (line.message == message) return true;
    }
    return false;
}

}  // namespace hostsim
