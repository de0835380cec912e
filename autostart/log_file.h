// The plug-in's only channel: time-stamped lines appended to its log file in
// the support folder, which it never creates.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

/// The path of `file` in the support folder under HOME (`homeless` when HOME is not set);
/// false when it does not fit, since a cut path could name some other file.
inline bool supportPath(char (&path)[1024], const char* file, const char* homeless) {
    const char* home = getenv("HOME");
    int length = snprintf(path, sizeof path, "%s/Library/Application Support/Tavrin/%s", home ? home : homeless, file);
    return length >= 0 && size_t(length) < sizeof path;
}

/// Appends "HH:MM:SS message" to the log; a line that cannot be written is lost silently.
inline void logLine(const char* message) {
    char path[1024];
    if (!supportPath(path, "ofx-autostart.log", "/tmp")) return;
    FILE* file = fopen(path, "ab");
    if (!file) return;
    time_t now = time(nullptr);
    struct tm local;
    char stamp[32] = "";
    if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    fprintf(file, "%s %s\n", stamp, message);
    fclose(file);
}

/// logLine with a printf format; the message is never cut.
__attribute__((format(printf, 1, 2))) inline void logFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string message(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(message.data(), message.size() + 1, format, again);
    va_end(again);
    logLine(message.c_str());
}

}  // namespace
