// What the simulator must know of the plug-in it plays, each named once: the files
// and folders the plug-in uses, and the texts of the log lines the simulator reads.
// The plug-in spells them in its own code, which must not depend on the simulator;
// the scenarios in examples/ fail when the two part.
#pragma once

#include <string>

namespace hostsim {

/// The bundle folder that the build makes and the install puts into the plug-in folder.
constexpr const char* kBundleName = "tavrin-autostart.ofx.bundle";
/// The binary in the bundle's architecture folder.
constexpr const char* kBinaryName = "tavrin-autostart.ofx";

/// The plug-in's support folder, under HOME.
constexpr const char* kSupportFolder = "Library/Application Support/Tavrin";
/// The plug-in's log, in the support folder.
constexpr const char* kLogFile = "ofx-autostart.log";
/// The manifest that the started script writes, in the support folder.
constexpr const char* kManifestFile = "davinci-bridge.json";
/// Where the plug-in puts the support folder of its log when HOME is unset.
constexpr const char* kHomelessLogHome = "/tmp";
/// Where it looks for the support folder of the manifest when HOME is unset: the root.
constexpr const char* kHomelessManifestHome = "";

/// `file` in the support folder under `home`, as the plug-in spells the path.
inline std::string supportFile(const std::string& home, const char* file) {
    return home + "/" + kSupportFolder + "/" + file;
}

/// What the plug-in's first line says just before this process's id.
constexpr const char* kConstructorInPid = "constructor in pid ";

/// The log lines that end a play.
constexpr const char* kLogScriptStarted = "script started (manifest written)";
constexpr const char* kLogAlreadyRunning = "script already running (manifest newer than launch), not pressing";
constexpr const char* kLogItemNotFound = "gave up: menu item not found";
constexpr const char* kLogPressesNotConfirmed = "gave up: script did not start after repeated presses";

}  // namespace hostsim
