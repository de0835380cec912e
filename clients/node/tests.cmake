# The Node.js client's tests, one CTest test per file so that ctest -j runs them side by side,
# each against the vornex-port this build makes. Skipped only where Node.js is not installed.
find_program(NODE_EXECUTABLE NAMES node nodejs)
set(node_client_dir ${CMAKE_CURRENT_LIST_DIR})
foreach(group IN ITEMS start requests ending lines)
  if(NODE_EXECUTABLE)
    add_test(NAME node_client_${group}
      COMMAND ${NODE_EXECUTABLE} --test ${node_client_dir}/test/${group}.test.js
      WORKING_DIRECTORY ${node_client_dir})
  else()
    add_test(NAME node_client_${group} COMMAND sh -c "echo 'Node.js is not installed (tools/setup.sh installs it)'; exit 77")
  endif()
  # Sanitizer builds make the 100 MB transfers slow; no test waits on a clock of its own.
  set_tests_properties(node_client_${group} PROPERTIES
    ENVIRONMENT "VORNEX_PORT_BINARY=$<TARGET_FILE:vornex-port>"
    SKIP_RETURN_CODE 77
    TIMEOUT 900)
endforeach()
