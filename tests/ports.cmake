# The CoreFoundation that the products call (objects, run loop, message ports), in two programs.
#
# corefoundation_tests: sources that call CoreFoundation and nothing of the layer's own. On macOS
# they build against the framework itself, so each test there says whether the framework does what
# the layer claims; on Linux they see only the layer's public headers, so a source that reaches
# into the layer fails to build here before it fails on a Mac. A fixture derived from LeakChecked
# (leak_check.h) still fails a test that leaks, where the layer counts its objects.
set(COREFOUNDATION_TEST_SOURCES
  cfbase_test.cc
  messageport_test.cc
  runloop_test.cc
)
# platform_tests, Linux only: sources that also check the layer's own workings through its private
# headers (cfinternal.h, runloop.h in platform/core/): its reference count, socket addresses, clock
# and descriptors.
set(LAYER_TEST_SOURCES
  cfbase_layer_test.cc
  messageport_layer_test.cc
)

list(TRANSFORM COREFOUNDATION_TEST_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
add_executable(corefoundation_tests ${COREFOUNDATION_TEST_SOURCES})
target_link_libraries(corefoundation_tests PRIVATE cfcore GTest::gtest_main)
# leak_check.h's count of live objects: the layer's, read through its private header by this one
# file only, or none on macOS.
if(APPLE)
  target_sources(corefoundation_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/leak_check_apple.cc)
  # Lambdas handed to CoreFoundation become blocks only in Objective-C++. The tool's minimum system:
  # the framework as the tool meets it.
  set_source_files_properties(${COREFOUNDATION_TEST_SOURCES} PROPERTIES LANGUAGE OBJCXX)
  target_compile_options(corefoundation_tests PRIVATE -mmacosx-version-min=11.0)
  target_link_options(corefoundation_tests PRIVATE -mmacosx-version-min=11.0)
else()
  target_sources(corefoundation_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/leak_check_linux.cc)
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/leak_check_linux.cc
    PROPERTIES INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}/platform/core)
endif()
gtest_discover_tests(corefoundation_tests DISCOVERY_TIMEOUT 30)

if(NOT APPLE)
  list(TRANSFORM LAYER_TEST_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  add_executable(platform_tests ${LAYER_TEST_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/leak_check_linux.cc)
  target_link_libraries(platform_tests PRIVATE cfcore GTest::gtest_main)
  target_include_directories(platform_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/core)
  gtest_discover_tests(platform_tests DISCOVERY_TIMEOUT 30)
endif()
