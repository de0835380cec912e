// Read by the static analyzer only (tools/macos-check.sh includes it before each test source),
// never compiled into anything. It tells the analyzer what a test run does at an ASSERT.
//
// A failed fatal assertion (ASSERT_*, FAIL) ends the test: the test has failed, and what it still
// holds then is no leak worth a report. GoogleTest writes that end as an early return, and the
// analyzer walks it with every reference held, unless it can prove that the assertion passed. It
// can prove that only by inlining the calls that make the AssertionResult, and whether it does
// depends on the clang and on the GoogleTest source (the result holds a std::unique_ptr, and clang
// 14 inlines no call that returns such an object): with Debian's GoogleTest 1.12.1 it reported a
// leak after every ASSERT_NE(ref, nullptr). So the failure ends the analyzer's path outright, and
// the bodies of AssertionSuccess and AssertionFailure, which the library defines out of line, let
// it see a passing assertion where it can.
#pragma once

#include <gtest/gtest.h>

namespace testing {
AssertionResult AssertionSuccess() { return AssertionResult(true); }
AssertionResult AssertionFailure() { return AssertionResult(false); }

namespace internal {
/// Where a failed fatal assertion ends the test, for the analyzer.
[[noreturn]] void analyzerTestEnds();
}  // namespace internal
}  // namespace testing

// The same statement as GoogleTest's, but for the call before it, which never returns; the message
// that a test streams into it still binds to GTEST_MESSAGE_.
#undef GTEST_FATAL_FAILURE_
#define GTEST_FATAL_FAILURE_(message) \
    return ::testing::internal::analyzerTestEnds(), GTEST_MESSAGE_(message, ::testing::TestPartResult::kFatalFailure)
