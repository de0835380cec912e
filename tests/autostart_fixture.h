// A host process in a test: a temporary home with the support folder, the
// layer declared as the host, a driven clock, and helpers to load a fresh
// image of the plug-in and play its main queue tick by tick.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <platform/host.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace autostart_test {

constexpr int64_t kTick = 250000000;
constexpr int64_t kSecond = 1000000000;
constexpr int64_t kLaunchWall = 1700000000;  // wall seconds at the load
constexpr const char* kHostIdentifier = "com.blackmagic-design.DaVinciResolve";

/// One logged line: the tick (0.25 s steps from the load) in which it was written, and its message.
struct Line {
    int tick;
    std::string message;
};

class HostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "autostart-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        support_ = home_ + "/Library/Application Support/Tavrin";
        std::filesystem::create_directories(support_);
        setenv("HOME", home_.c_str(), 1);
        PLHostDiscardTasks();
        PLHostUseDrivenClock(kLaunchWall);
        PLHostAXReset();
        PLHostSetBundleIdentifier(kHostIdentifier);
        PLHostSetHasApplication(true);
        PLHostAXSetPressHandler(&HostFixture::pressed, this);
        lines_.clear();
        pressTicks_.clear();
        seen_ = 0;
        liveBefore_ = PLHostLiveReferences(0);
    }

    void TearDown() override {
        PLHostDiscardTasks();
        PLHostAXReset();
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    /// Loads a fresh image of the plug-in: a copy under its own name, so that its variables start anew.
    void load(const std::string& name = "autostart.ofx") {
        imagePath_ = home_ + "/" + name;
        std::filesystem::copy_file(AUTOSTART_BINARY, imagePath_);
        t0_ = PLHostClockNanoseconds();
        void* handle = dlopen(imagePath_.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        dlclose(handle);  // as a host does with a binary that offers nothing
        collect(0);
    }

    /// Runs the main queue until nothing waits or `lastTick` passes; `before` sees each tick before it runs.
    void run(const std::function<void(int tick)>& before = nullptr, int lastTick = 100000) {
        while (PLHostPendingTasks() > 0) {
            int tick = tickAt(PLHostNextTaskTime());
            if (tick > lastTick) break;
            if (before) before(tick);
            currentTick_ = tick;
            PLHostRunNextTask(PLHostNextTaskTime());
            collect(tick);
        }
    }

    int tickAt(int64_t clock) const { return int((clock - t0_) / kTick); }
    int64_t wallNow() const { return PLHostWallNanoseconds() / kSecond; }

    /// The manifest with its modification time at `wallSeconds`.
    void writeManifest(int64_t wallSeconds) { touch(support_ + "/davinci-bridge.json", wallSeconds); }

    static void touch(const std::string& path, int64_t wallSeconds) {
        std::ofstream(path) << "{}\n";
        timespec times[2] = {{time_t(wallSeconds), 0}, {time_t(wallSeconds), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    /// Ticks at which `message` was logged.
    std::vector<int> ticksOf(const std::string& message) const {
        std::vector<int> ticks;
        for (const auto& line : lines_) {
            if (line.message == message) ticks.push_back(line.tick);
        }
        return ticks;
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> all;
        for (const auto& line : lines_)
            all.push_back(line.message);
        return all;
    }

    /// Every reference that the plug-in took has been given back.
    void expectNothingHeld() const { EXPECT_EQ(PLHostLiveReferences(0), liveBefore_); }

    std::string home_;
    std::string support_;
    std::string imagePath_;
    std::vector<Line> lines_;
    std::vector<int> pressTicks_;
    int currentTick_ = 0;

  private:
    static void pressed(PLAXNodeRef, void* context) {
        auto* self = static_cast<HostFixture*>(context);
        self->pressTicks_.push_back(self->currentTick_);
    }

    void collect(int tick) {
        std::ifstream log(support_ + "/ofx-autostart.log");
        std::string line;
        size_t n = 0;
        while (std::getline(log, line)) {
            if (n++ < seen_) continue;
            lines_.push_back({tick, line.size() > 9 ? line.substr(9) : line});
        }
        seen_ = n;
    }

    int64_t t0_ = 0;
    long liveBefore_ = 0;
    size_t seen_ = 0;
};

/// The host's menus in English: Workspace > Scripts > Tavrin > Tavrin among others, after a menu "File" (which
/// `file` gets); returns the script's item.
inline PLAXNodeRef buildMenus(const char* workspace = "Workspace", const char* scripts = "Scripts",
                              PLAXNodeRef* file = nullptr) {
    PLAXNodeRef bar = PLHostAXCreateNode(nullptr);
    PLAXNodeRef fileItem = PLHostAXAddItem(bar, "File");
    PLHostAXAddMenu(fileItem);
    if (file) *file = fileItem;
    PLAXNodeRef workspaceMenu = PLHostAXAddMenu(PLHostAXAddItem(bar, workspace));
    PLHostAXAddItem(workspaceMenu, "Layout Presets");
    PLAXNodeRef scriptsMenu = PLHostAXAddMenu(PLHostAXAddItem(workspaceMenu, scripts));
    PLHostAXAddMenu(PLHostAXAddItem(scriptsMenu, "Comp"));
    PLAXNodeRef folder = PLHostAXAddMenu(PLHostAXAddItem(scriptsMenu, "Tavrin"));
    PLHostAXAddItem(folder, "Readme");
    PLAXNodeRef script = PLHostAXAddItem(folder, "Tavrin");
    PLHostAXSetMenuBar(bar);
    return script;
}

inline PLAXNodeRef showWindow(const char* title) {
    PLAXNodeRef window = PLHostAXCreateNode(title);
    PLHostAXAppendWindow(window);
    return window;
}

}  // namespace autostart_test
