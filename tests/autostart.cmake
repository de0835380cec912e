# tavrin-autostart: unit tests of its parts, the whole plug-in on a driven
# clock in fresh images, and the host simulator playing the examples.
set(AUTOSTART_BINARY $<TARGET_FILE:tavrin-autostart>)

add_executable(autostart_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/autostart_loop_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/autostart_day_test.cc
)
target_link_libraries(autostart_tests PRIVATE cfhost GTest::gmock GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(autostart_tests PRIVATE AUTOSTART_BINARY="${AUTOSTART_BINARY}")
add_dependencies(autostart_tests tavrin-autostart)
set_target_properties(autostart_tests PROPERTIES BUILD_RPATH "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
gtest_discover_tests(autostart_tests DISCOVERY_TIMEOUT 30)

# The plug-in's units compiled on their own, against the layer.
add_executable(autostart_unit_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/autostart_menu_search_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/autostart_log_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/accessibility_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_test.cc
)
target_link_libraries(autostart_unit_tests PRIVATE cfhost GTest::gmock GTest::gtest_main)
target_include_directories(autostart_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/autostart)
set_target_properties(autostart_unit_tests PROPERTIES BUILD_RPATH "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
gtest_discover_tests(autostart_unit_tests DISCOVERY_TIMEOUT 30)

# The host simulator with the real bundle, on its driven clock.
add_executable(autostart_hostsim_tests ${CMAKE_CURRENT_SOURCE_DIR}/autostart_hostsim_test.cc)
target_link_libraries(autostart_hostsim_tests PRIVATE GTest::gmock GTest::gtest_main ${CMAKE_DL_LIBS})
target_include_directories(autostart_hostsim_tests PRIVATE ${PROJECT_SOURCE_DIR}/autostart)
target_compile_definitions(autostart_hostsim_tests PRIVATE
  HOSTSIM="$<TARGET_FILE:hostsim>" EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples" AUTOSTART_BINARY="${AUTOSTART_BINARY}")
add_dependencies(autostart_hostsim_tests hostsim tavrin-autostart)
gtest_discover_tests(autostart_hostsim_tests DISCOVERY_TIMEOUT 30)
