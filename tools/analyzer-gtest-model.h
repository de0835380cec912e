// Read by the static analyzer only (tools/macos-check.sh includes it before each test source):
// the bodies of GoogleTest's AssertionSuccess and AssertionFailure, which its library defines out
// of line. Without them the analyzer cannot tell that an ASSERT passes, so it walks the early
// return of a failed ASSERT_NE(ref, nullptr) with the reference held and reports a leak that no
// run can have. Never compiled into anything.
#pragma once

#include <gtest/gtest.h>

namespace testing {
AssertionResult AssertionSuccess() { return AssertionResult(true); }
AssertionResult AssertionFailure() { return AssertionResult(false); }
}  // namespace testing
