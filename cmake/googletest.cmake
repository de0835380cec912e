# GoogleTest for the tests on macOS, where no package provides it: release 1.12.1, the one Debian
# ships and the Linux build uses, from its release archive. Without network, name a folder holding
# that release's source with -DFETCHCONTENT_SOURCE_DIR_GOOGLETEST=... (Debian's libgtest-dev puts
# one in /usr/src/googletest). Its build defines GTest::gtest, GTest::gtest_main, GTest::gmock
# and GTest::gmock_main, the names the Linux package gives them.
include(FetchContent)
if(POLICY CMP0135)
  # Extracted files carry the time of extraction, so a changed archive rebuilds what it changed.
  cmake_policy(SET CMP0135 NEW)
endif()
# The archive of tag release-1.12.1 (commit 58d77fa8070e8cec2dc1ed015d66b454c8d78850): that tag's
# git archive through gzip -n gives these bytes, the hash that public build files record for it.
set(GOOGLETEST_URL "https://github.com/google/googletest/archive/refs/tags/release-1.12.1.tar.gz" CACHE STRING
  "Where the GoogleTest 1.12.1 source archive is downloaded from on macOS")
set(_googletest_sha256 81964fe578e9bd7c94dfdb09c8e4d6e6759e19967e397dbea48d1c10e45d0df2)

# Fetched here, once, with a bound on the time it may take: FetchContent's own download retries and
# waits minutes on a Mac without network before it fails, and says nothing of the ways around it.
if(NOT FETCHCONTENT_SOURCE_DIR_GOOGLETEST)
  set(_googletest_archive "${CMAKE_BINARY_DIR}/_deps/googletest-release-1.12.1.tar.gz")
  if(EXISTS "${_googletest_archive}")
    file(SHA256 "${_googletest_archive}" _googletest_have)
  endif()
  if(NOT "${_googletest_have}" STREQUAL "${_googletest_sha256}")
    file(DOWNLOAD "${GOOGLETEST_URL}" "${_googletest_archive}" TIMEOUT 30 STATUS _googletest_status
      EXPECTED_HASH SHA256=${_googletest_sha256})
    list(GET _googletest_status 0 _googletest_code)
    if(NOT _googletest_code EQUAL 0)
      list(GET _googletest_status 1 _googletest_error)
      file(REMOVE "${_googletest_archive}")
      message(FATAL_ERROR "GoogleTest 1.12.1, which the tests need, could not be downloaded from ${GOOGLETEST_URL} "
        "(${_googletest_error}). Without network, either name a folder that holds that release's source with "
        "-DFETCHCONTENT_SOURCE_DIR_GOOGLETEST=/path/to/googletest, or build the deliverables alone, without the "
        "tests, with -DBUILD_TESTING=OFF.")
    endif()
  endif()
endif()
FetchContent_Declare(googletest
  URL "${_googletest_archive}"
  URL_HASH SHA256=${_googletest_sha256})

# A folder given by hand may hold another release, whose behaviour the tests were never built with.
if(FETCHCONTENT_SOURCE_DIR_GOOGLETEST)
  file(STRINGS "${FETCHCONTENT_SOURCE_DIR_GOOGLETEST}/CMakeLists.txt" _googletest_version
    REGEX "^[ \t]*set\\(GOOGLETEST_VERSION " LIMIT_COUNT 1)
  if(NOT _googletest_version MATCHES "GOOGLETEST_VERSION 1\\.12\\.1\\)")
    message(FATAL_ERROR "${FETCHCONTENT_SOURCE_DIR_GOOGLETEST} is not GoogleTest 1.12.1 (${_googletest_version})")
  endif()
endif()

# Not installed with the products, and not built with our warning flags: its warnings are its
# maintainers' to fix, not ours to fail on.
set(INSTALL_GTEST OFF)
get_property(_googletest_saved_options DIRECTORY PROPERTY COMPILE_OPTIONS)
set(_googletest_options ${_googletest_saved_options})
list(FILTER _googletest_options EXCLUDE REGEX "^-W")
set_property(DIRECTORY PROPERTY COMPILE_OPTIONS ${_googletest_options})
FetchContent_MakeAvailable(googletest)
set_property(DIRECTORY PROPERTY COMPILE_OPTIONS ${_googletest_saved_options})

foreach(_googletest_target gtest gtest_main gmock gmock_main)
  # The oldest system the tests run on, that of the tool; else the SDK's own would be assumed.
  target_compile_options(${_googletest_target} PRIVATE -w -mmacosx-version-min=11.0)
  # Its headers as a test includes them: system headers, as the package's are on Linux.
  get_target_property(_googletest_includes ${_googletest_target} INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(${_googletest_target} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_googletest_includes}")
endforeach()
