add_executable(bridge_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/command_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/lines_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/utf8_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/base64_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/events_test.cc
)
target_link_libraries(bridge_tests PRIVATE bridgecore GTest::gtest_main)
gtest_discover_tests(bridge_tests DISCOVERY_TIMEOUT 30)

# A binary of its own: it replaces CFMessagePortSendRequest, the layer's or the framework's.
add_executable(send_path_tests ${CMAKE_CURRENT_SOURCE_DIR}/send_path_test.cc)
target_link_libraries(send_path_tests PRIVATE bridgecore GTest::gtest_main)
gtest_discover_tests(send_path_tests DISCOVERY_TIMEOUT 30)
