#include "home.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "plugin_names.h"
#include "timeline.h"

namespace hostsim {

bool makeHome(const Scenario& scenario, PluginFiles& files) {
    if (!scenario.home) {
        unsetenv("HOME");
        files.log = supportFile(kHomelessLogHome, kLogFile);
        files.manifest = supportFile(kHomelessManifestHome, kManifestFile);
        return true;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "hostsim-home-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "hostsim: cannot make a home folder: %s\n", std::strerror(errno));
        return false;
    }
    files.home = pattern;
    if (scenario.supportFolder) std::filesystem::create_directories(files.home + "/" + kSupportFolder);
    files.log = supportFile(files.home, kLogFile);
    files.manifest = supportFile(files.home, kManifestFile);
    setenv("HOME", files.home.c_str(), 1);
    return true;
}

void removeHome(const PluginFiles& files) {
    if (files.home.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(files.home, ignored);
}

bool makeManifestFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
}

void stampManifest(const std::string& path, int64_t wallNanoseconds) {
    std::ofstream(path) << "{}\n";
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(wallNanoseconds / kSecond);
    times[0].tv_nsec = times[1].tv_nsec = long(wallNanoseconds % kSecond);
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace hostsim
