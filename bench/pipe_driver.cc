// Drives a line-in, line-out program pipe to pipe: feeds it input files in
// phases, counts its answer lines, and reports the time of each phase, the
// program's resident size after it, and its peak resident size at the end.
// Usage: pipe_driver [--ready] --phase <file> <answers> [--phase ...] -- <program> [args...]
// With --ready the program's first line (its "ready") is awaited before timing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io.h"

namespace {

struct Phase {
    std::string path;
    std::string input;
    long answers = 0;
    double seconds = 0;
    long rssKb = 0;
};

/// A figure of /proc/<pid>/status in KiB: "VmRSS:" now, "VmHWM:" the peak of the running program.
long statusKb(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    bool ready = false;
    std::vector<Phase> phases;
    int i = 1;
    for (; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--ready")) {
            ready = true;
        } else if (!std::strcmp(argv[i], "--phase") && i + 2 < argc) {
            phases.push_back({argv[i + 1], {}, std::atol(argv[i + 2])});
            i += 2;
        } else if (!std::strcmp(argv[i], "--")) {
            ++i;
            break;
        }
    }
    if (i >= argc || phases.empty()) {
        std::fprintf(stderr, "usage: pipe_driver [--ready] --phase <file> <answers> ... -- <program> [args...]\n");
        return 2;
    }
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execvp(argv[i], argv + i);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    // Loaded only now: the program's figures must not count the driver's copy of its input.
    for (Phase& phase : phases)
        phase.input = slurp(phase.path);

    std::vector<char> buffer(size_t(1) << 20);
    long pendingLines = ready ? 1 : 0;  // lines still to come in the current count
    auto countLines = [&](long lines) {
        pendingLines += lines;
        while (pendingLines > 0) {
            ssize_t n = read(out[0], buffer.data(), buffer.size());
            if (n <= 0) return false;
            pendingLines -= long(std::count(buffer.data(), buffer.data() + n, '\n'));
        }
        return true;
    };
    if (ready && !countLines(0)) return 1;
    for (Phase& phase : phases) {
        auto start = std::chrono::steady_clock::now();
        std::thread feeder([&] { writeAll(in[1], phase.input.data(), phase.input.size()); });
        bool complete = countLines(phase.answers);
        phase.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        feeder.join();
        if (!complete) {
            std::fprintf(stderr, "pipe_driver: output ended early\n");
            return 1;
        }
        phase.rssKb = statusKb(child, "VmRSS:");
    }
    long peakKb = statusKb(child, "VmHWM:");
    close(in[1]);
    while (read(out[0], buffer.data(), buffer.size()) > 0) {
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    std::printf("{\"phases\":[");
    for (size_t k = 0; k < phases.size(); ++k)
        std::printf("%s{\"seconds\":%.6f,\"rss_kb\":%ld}", k ? "," : "", phases[k].seconds, phases[k].rssKb);
    std::printf("],\"peak_kb\":%ld,\"maxrss_kb\":%ld,\"status\":%d}\n", peakKb, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
