# End-to-end tests: real vornex-port processes driven through their standard streams. One CTest
# test per module so that ctest -j runs them side by side; every port name carries the pid of
# its module.
#
# Modules in which every process is a vornex-port: on macOS they run against the real frameworks.
set(e2e_modules startup_tools protocol_tools send_tools streams_tools)
# Modules that need the Linux layer: peers that speak its wire format (peer.py, stress_peer.py),
# other users (setpriv), /proc, /dev/full, prlimit and the Linux loader.
if(NOT APPLE)
  list(APPEND e2e_modules startup protocol send users streams stress examples)
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(group IN LISTS e2e_modules)
  add_test(NAME e2e_${group}
    COMMAND ${Python3_EXECUTABLE} -c "import harness\nharness.run_module('test_${group}')"
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
  # A module in which a test could not run (root only, a name held elsewhere) ends with
  # harness.SKIPPED and shows as skipped.
  set_tests_properties(e2e_${group} PROPERTIES
    ENVIRONMENT "VORNEX_PORT=$<TARGET_FILE:vornex-port>;PYTHONDONTWRITEBYTECODE=1"
    SKIP_RETURN_CODE 77
    TIMEOUT 180)
endforeach()
