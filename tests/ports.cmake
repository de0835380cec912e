add_executable(platform_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/cfbase_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/messageport_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/runloop_test.cc
)
target_link_libraries(platform_tests PRIVATE cfcore GTest::gtest_main)
target_include_directories(platform_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/src)
gtest_discover_tests(platform_tests DISCOVERY_TIMEOUT 30)
