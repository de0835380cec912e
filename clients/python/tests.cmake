# The Python client's tests (pytest), run against the tool this build makes. One CTest test per
# module, so that ctest -j runs them side by side. They need an interpreter that has pytest: the
# one CMake found when it has it, else Debian's (tools/setup.sh installs python3-pytest), which a
# Python of one's own earlier on PATH may hide.
find_package(Python3 QUIET COMPONENTS Interpreter)
set(vornex_pytest "")
foreach(candidate IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
  if(NOT vornex_pytest AND EXISTS "${candidate}")
    execute_process(COMMAND "${candidate}" -c "import pytest" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(vornex_pytest "${candidate}")
    endif()
  endif()
endforeach()

foreach(group IN ITEMS connection port async)
  if(vornex_pytest)
    add_test(NAME python_client_${group}
      COMMAND "${vornex_pytest}" -m pytest -q -p no:cacheprovider test_${group}.py
      WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/tests)
  else()
    # Shown as skipped, with the reason, rather than passing for tests that never ran.
    add_test(NAME python_client_${group}
      COMMAND sh -c "echo 'no Python with pytest found: install python3-pytest (tools/setup.sh does)'; exit 77")
  endif()
  set_tests_properties(python_client_${group} PROPERTIES
    ENVIRONMENT "VORNEX_PORT_BINARY=$<TARGET_FILE:vornex-port>;PYTHONDONTWRITEBYTECODE=1"
    SKIP_RETURN_CODE 77
    TIMEOUT 900)
endforeach()
