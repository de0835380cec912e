// A play held against what its scenario expects.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"
#include "transcript.h"

namespace hostsim {

/// The first difference between a play (its log, outcome and presses) and `expect`, or nothing.
/// The lines' times count only with `timedClock`, on the driven clock.
std::string firstDifference(const Expectation& expect, const std::vector<LogLine>& lines, const std::string& outcome,
                            int presses, bool timedClock);

}  // namespace hostsim
