// The plug-in's files in a home folder of the simulator's own: the log that it
// reads and the manifest that the script would write.
#pragma once

#include <cstdint>
#include <string>

#include "scenario.h"

namespace hostsim {

/// Where the plug-in's files lie in this play.
struct PluginFiles {
    std::string home;  // the temporary home folder; empty when HOME is unset
    std::string log;
    std::string manifest;
};

/// Points HOME at a new temporary folder, with the support folder when the scenario has one, or unsets it
/// when the scenario says so; false when no folder could be made.
bool makeHome(const Scenario& scenario, PluginFiles& files);

/// Removes the temporary home folder, if any, with all in it.
void removeHome(const PluginFiles& files);

/// Makes the folder of the manifest at `path`; true when it was not there.
bool makeManifestFolder(const std::string& path);

/// Writes the manifest at `path`, its time `wallNanoseconds` on the clock that the plug-in reads.
void stampManifest(const std::string& path, int64_t wallNanoseconds);

}  // namespace hostsim
