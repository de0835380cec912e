// The log file: where lines go, what they look like, and when they are lost.
#include <gtest/gtest.h>
#include <platform/host.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log_file.h"

namespace {

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "autostart-log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        logPath_ = home_ + "/Library/Application Support/Tavrin/ofx-autostart.log";
        std::filesystem::create_directories(home_ + "/Library/Application Support/Tavrin");
        setenv("HOME", home_.c_str(), 1);
        PLHostUseDrivenClock(1700000000);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    std::string contents() const {
        std::ifstream in(logPath_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    static std::string stampOf(time_t t) {
        struct tm local;
        localtime_r(&t, &local);
        char text[16];
        strftime(text, sizeof text, "%H:%M:%S", &local);
        return text;
    }

    std::string home_;
    std::string logPath_;
};

TEST_F(LogFileTest, LinesAreAppendedInOrderWithTheTimeOfDay) {
    std::ofstream(logPath_) << "an earlier run\n";
    logLine("first");
    logLine("second");
    PLHostAdvanceClock(int64_t(61) * 1000000000);
    logLine("");
    std::string t0 = stampOf(1700000000), t1 = stampOf(1700000061);
    EXPECT_EQ(contents(), "an earlier run\n" + t0 + " first\n" + t0 + " second\n" + t1 + " \n");
}

TEST_F(LogFileTest, LongMessagesAreWrittenWhole) {
    std::string message(100000, 'x');
    message += "end";
    logFormatted("%s %d", message.c_str(), 7);
    EXPECT_EQ(contents(), stampOf(1700000000) + " " + message + " 7\n");
}

TEST_F(LogFileTest, MissingFolderLosesTheLineAndCreatesNothing) {
    std::filesystem::remove_all(home_ + "/Library");
    logLine("lost");
    EXPECT_FALSE(std::filesystem::exists(home_ + "/Library"));
}

/// Makes the folders of `path` that are missing and removes exactly those again, deepest first, on destruction.
class MadeFolders {
  public:
    explicit MadeFolders(const std::filesystem::path& path) {
        std::vector<std::filesystem::path> missing;
        for (auto p = path; !std::filesystem::exists(p); p = p.parent_path())
            missing.push_back(p);
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            std::error_code error;
            if (!std::filesystem::create_directory(*it, error)) break;
            made_.push_back(*it);
        }
    }
    ~MadeFolders() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            std::error_code ignored;
            std::filesystem::remove(*it, ignored);  // only ever an empty folder
        }
    }
    MadeFolders(const MadeFolders&) = delete;
    MadeFolders& operator=(const MadeFolders&) = delete;

  private:
    std::vector<std::filesystem::path> made_;
};

TEST_F(LogFileTest, UnsetHomeFallsBackToTmp) {
    const std::filesystem::path folder = "/tmp/Library/Application Support/Tavrin";
    const std::filesystem::path log = folder / "ofx-autostart.log";
    if (access("/tmp", W_OK) != 0) GTEST_SKIP() << "/tmp is not writable";
    // Someone else's folder must be neither written to nor removed, and only a missing one
    // shows that a line is lost: the test runs whole or is reported as skipped.
    if (std::filesystem::exists(folder)) GTEST_SKIP() << folder << " exists";
    unsetenv("HOME");
    logLine("lost");
    EXPECT_FALSE(std::filesystem::exists(folder));
    {
        MadeFolders made(folder);
        ASSERT_TRUE(std::filesystem::is_directory(folder));
        logLine("to tmp");
        std::ifstream in(log, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::error_code error;
        std::filesystem::remove(log, error);
        EXPECT_EQ(text.str(), stampOf(1700000000) + " to tmp\n");
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_FALSE(std::filesystem::exists(logPath_));
}

TEST_F(LogFileTest, PathLongerThanItsBufferWritesNoLine) {
    // Nested so that the whole path is 1024 bytes: cut to 1023 it would name "ofx-autostart.lo".
    std::string deep = home_;
    const size_t tail = std::string("/Library/Application Support/Tavrin/ofx-autostart.log").size();
    while (deep.size() + tail < 1024) {
        size_t n = std::min<size_t>(200, 1024 - tail - deep.size() - 1);
        deep.append("/").append(n, 'd');
    }
    std::string folder = deep + "/Library/Application Support/Tavrin";
    ASSERT_EQ(folder.size() + std::string("/ofx-autostart.log").size(), 1024u);
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/ofx-autostart.lo").flush();
    setenv("HOME", deep.c_str(), 1);
    logLine("would land in the wrong file");
    EXPECT_EQ(std::filesystem::file_size(folder + "/ofx-autostart.lo"), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder + "/ofx-autostart.log"));
    // One byte shorter fits: 1023 bytes.
    std::filesystem::rename(deep, deep.substr(0, deep.size() - 1));
    setenv("HOME", deep.substr(0, deep.size() - 1).c_str(), 1);
    logLine("fits");
    std::string shorter = deep.substr(0, deep.size() - 1) + "/Library/Application Support/Tavrin/ofx-autostart.log";
    EXPECT_TRUE(std::filesystem::exists(shorter));
}

}  // namespace
