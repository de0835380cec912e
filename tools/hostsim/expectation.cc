#include "expectation.h"

namespace hostsim {
namespace {

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

}  // namespace

std::string firstDifference(const Expectation& expect, const std::vector<LogLine>& lines, const std::string& outcome,
                            int presses, bool timedClock) {
    size_t from = 0;
    for (size_t i = 0; i < expect.log.size(); ++i) {
        const auto& wanted = expect.log[i];
        bool timed = wanted.ms && timedClock;
        std::string elsewhere;
        size_t found = from;
        for (; found < lines.size(); ++found) {
            if (!matches(wanted.text, lines[found].message)) continue;
            if (!timed || lines[found].ms == *wanted.ms) break;
            elsewhere += (elsewhere.empty() ? "" : ", ") + std::to_string(lines[found].ms) + " ms";
        }
        if (found < lines.size()) {
            from = found + 1;
            continue;
        }
        std::string text = "expect.log[" + std::to_string(i) + "]: \"" + wanted.text + "\"";
        if (timed) text += " at " + std::to_string(*wanted.ms) + " ms";
        text += " was not logged";
        if (i > 0)
            text += " after expect.log[" + std::to_string(i - 1) + "] (" + std::to_string(lines[from - 1].ms) + " ms)";
        if (!elsewhere.empty()) text += "; it was logged at " + elsewhere;
        return text;
    }
    if (expect.outcome && *expect.outcome != outcome) {
        return "expect.outcome: \"" + *expect.outcome + "\", but the outcome was \"" + outcome + "\"";
    }
    if (expect.presses && *expect.presses != presses) {
        return "expect.presses: " + std::to_string(*expect.presses) + ", but there were " + std::to_string(presses);
    }
    return {};
}

}  // namespace hostsim
