// The bundle, loaded as a host loads it.
#pragma once

#include <string>

#include "transcript.h"

namespace hostsim {

/// Loads the bundle's binary (`given`: it, its bundle folder, or empty for the build's or the installed one),
/// on a thread of its own with `onThread`, calls the entry points a host calls and closes it again.
bool loadBundle(const std::string& given, bool onThread, Transcript& transcript);

}  // namespace hostsim
