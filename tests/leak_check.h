// A fixture for tests that call CoreFoundation alone: the test fails when it leaves more (or
// fewer) CoreFoundation objects alive than it found. The Linux layer counts its live objects;
// the framework on macOS keeps no count that a program may read, so there the check holds
// trivially and the same test runs for what it asserts itself. Which count is read is decided
// by the file the build links: leak_check_linux.cc or leak_check_apple.cc.
#pragma once

#include <gtest/gtest.h>

/// CoreFoundation objects alive in this process, where the platform counts them; else a constant.
long liveObjects();

class LeakChecked : public ::testing::Test {
  protected:
    void SetUp() override { baseline_ = liveObjects(); }
    void TearDown() override { EXPECT_EQ(liveObjects(), baseline_) << "references leaked"; }

  private:
    long baseline_ = 0;
};
