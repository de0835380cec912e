# tavrin-autostart: unit tests of its parts, the whole plug-in on a driven
# clock in fresh images, and the host simulator playing the examples.
set(AUTOSTART_BINARY $<TARGET_FILE:tavrin-autostart>)

add_executable(autostart_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/autostart_loop_test.cc
)
target_link_libraries(autostart_tests PRIVATE platform GTest::gmock GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(autostart_tests PRIVATE AUTOSTART_BINARY="${AUTOSTART_BINARY}")
add_dependencies(autostart_tests tavrin-autostart)
set_target_properties(autostart_tests PROPERTIES BUILD_RPATH "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
gtest_discover_tests(autostart_tests DISCOVERY_TIMEOUT 30)
