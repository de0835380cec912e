# macOS only: the plug-in in a real AppKit application (tests/testhost/main.mm), pressing a real
# menu through the real accessibility service, on its real 0.25 s ticks.
#
# The application's identifier is the one the plug-in recognises, read from the plug-in's source
# so that the two cannot drift apart, with a suffix of its own.
file(STRINGS ${PROJECT_SOURCE_DIR}/autostart/plugin.cc _testhost_prefix_line REGEX "kHostIdentifierPrefix\\[\\] = \"")
string(REGEX REPLACE ".*= \"([^\"]+)\".*" "\\1" _testhost_prefix "${_testhost_prefix_line}")
if(NOT _testhost_prefix MATCHES "^[A-Za-z0-9.-]+$")
  message(FATAL_ERROR "the host identifier prefix could not be read from autostart/plugin.cc")
endif()
set(TESTHOST_IDENTIFIER ${_testhost_prefix}.tavrin-testhost)

set(TESTHOST_APP ${PROJECT_BINARY_DIR}/bin/tavrin-testhost.app)
add_executable(tavrin-testhost ${CMAKE_CURRENT_SOURCE_DIR}/testhost/main.mm)
target_include_directories(tavrin-testhost PRIVATE ${PROJECT_SOURCE_DIR}/autostart)
find_library(APPKIT AppKit REQUIRED)
find_library(APPLICATION_SERVICES ApplicationServices REQUIRED)
target_link_libraries(tavrin-testhost PRIVATE ${APPKIT} ${APPLICATION_SERVICES} ${CORE_FOUNDATION} ${FOUNDATION})
# The plug-in's minimum system, since it runs the plug-in.
target_compile_options(tavrin-testhost PRIVATE -fobjc-arc -mmacosx-version-min=15.0)
target_link_options(tavrin-testhost PRIVATE -mmacosx-version-min=15.0)
set_target_properties(tavrin-testhost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TESTHOST_APP}/Contents/MacOS)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/testhost/Info.plist.in ${TESTHOST_APP}/Contents/Info.plist @ONLY)
add_dependencies(tavrin-testhost tavrin-autostart)

# A fresh HOME each run, kept in the build tree afterwards: the plug-in's log is there to read.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME autostart_in_appkit_host
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/testhost/check.py
    $<TARGET_FILE:tavrin-testhost> ${AUTOSTART_BUNDLE_DIR} ${PROJECT_BINARY_DIR}/testhost-run)
# Alone, so that no other test's load stretches the attempts it times.
set_tests_properties(autostart_in_appkit_host PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON)
