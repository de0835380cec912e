add_executable(bridge_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/protocol_test.cc
)
target_link_libraries(bridge_tests PRIVATE bridgecore GTest::gtest_main)
gtest_discover_tests(bridge_tests DISCOVERY_TIMEOUT 30)
