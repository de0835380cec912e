#include "bundle.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "ofx.h"
#include "plugin_names.h"

namespace hostsim {
namespace {

/// The build tree's bundle, found from this program's place in build/bin, else the one installed with it.
std::string defaultBundle() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    auto prefix = self.parent_path().parent_path();
    auto built = prefix / "bundle" / kBundleName;
    if (std::filesystem::is_directory(built, error)) return built.string();
    std::filesystem::path installed = HOSTSIM_PLUGIN_DIR;
    return ((installed.is_absolute() ? installed : prefix / installed) / kBundleName).string();
}

std::string binaryOf(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return (std::filesystem::path(path) / "Contents" / HOSTSIM_ARCH_DIR / kBinaryName).string();
    }
    return path;
}

}  // namespace

bool loadBundle(const std::string& given, bool onThread, Transcript& transcript) {
    std::string path = binaryOf(given.empty() ? defaultBundle() : given);
    void* handle = nullptr;
    auto load = [&] { handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); };
    if (onThread)
        std::thread(load).join();
    else
        load();
    if (!handle) {
        std::fprintf(stderr, "hostsim: cannot load %s: %s\n", path.c_str(), dlerror());
        return false;
    }
    OfxHost host{nullptr, [](OfxPropertySetHandle, const char*, int) -> const void* { return nullptr; }};
    using SetHost = OfxStatus (*)(const OfxHost*);
    using Count = int (*)();
    using Get = void* (*)(int);
    // OfxSetHost is optional in the standard; the other two are not.
    auto setHost = reinterpret_cast<SetHost>(dlsym(handle, "OfxSetHost"));
    auto count = reinterpret_cast<Count>(dlsym(handle, "OfxGetNumberOfPlugins"));
    auto get = reinterpret_cast<Get>(dlsym(handle, "OfxGetPlugin"));
    if (!count || !get) {
        std::fprintf(stderr, "hostsim: %s is not an OFX binary\n", path.c_str());
        return false;
    }
    int status = setHost ? setHost(&host) : 0;
    int n = count();
    int described = 0;
    for (int i = 0; i < n; ++i)
        described += get(i) != nullptr;
    transcript.note("OfxSetHost -> %d, OfxGetNumberOfPlugins -> %d, %d described", status, n, described);
    // A binary that offers nothing is closed again, as hosts do; whatever it queued must survive that.
    dlclose(handle);
    return true;
}

}  // namespace hostsim
