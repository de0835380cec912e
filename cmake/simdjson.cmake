# simdjson for the macOS tool: compiled in from the 3.0.1 source (the release
# that Debian ships), with the tool's architectures and minimum system, so that
# the shipped tool starts on a Mac that has no simdjson package, or an older
# system than the machine that built one. Defines simdjson::simdjson.
set(SIMDJSON_SOURCE_DIR "" CACHE PATH
  "Folder holding simdjson.h and simdjson.cpp of simdjson 3.0.1 (its singleheader/); empty: download the release")
set(SIMDJSON_URL "https://github.com/simdjson/simdjson/archive/refs/tags/v3.0.1.tar.gz" CACHE STRING
  "Where the simdjson 3.0.1 source archive is downloaded from when SIMDJSON_SOURCE_DIR is empty")
# The archive of tag v3.0.1 (commit 0d2455029d845e801809dd54b01ae47173d7d8e8).
set(_simdjson_sha256 156b1bc5eb0561b2bd166b46d191fd3d95a3e709cc63761477d3b7aec2b6e9ed)

if(SIMDJSON_SOURCE_DIR)
  set(_simdjson_dir "${SIMDJSON_SOURCE_DIR}")
else()
  set(_simdjson_deps "${CMAKE_BINARY_DIR}/_deps")
  set(_simdjson_dir "${_simdjson_deps}/simdjson-3.0.1/singleheader")
  if(NOT EXISTS "${_simdjson_dir}/simdjson.cpp")
    set(_simdjson_archive "${_simdjson_deps}/simdjson-3.0.1.tar.gz")
    message(STATUS "Downloading simdjson 3.0.1 from ${SIMDJSON_URL}")
    file(DOWNLOAD "${SIMDJSON_URL}" "${_simdjson_archive}" EXPECTED_HASH SHA256=${_simdjson_sha256}
      TLS_VERIFY ON STATUS _simdjson_status)
    list(GET _simdjson_status 0 _simdjson_code)
    if(NOT _simdjson_code EQUAL 0)
      list(GET _simdjson_status 1 _simdjson_message)
      message(FATAL_ERROR "Could not download simdjson 3.0.1 (${_simdjson_message}); "
        "give its singleheader/ folder as -DSIMDJSON_SOURCE_DIR=...")
    endif()
    file(ARCHIVE_EXTRACT INPUT "${_simdjson_archive}" DESTINATION "${_simdjson_deps}"
      PATTERNS simdjson-3.0.1/singleheader/simdjson.h simdjson-3.0.1/singleheader/simdjson.cpp)
  endif()
endif()

foreach(_simdjson_file simdjson.h simdjson.cpp)
  if(NOT EXISTS "${_simdjson_dir}/${_simdjson_file}")
    message(FATAL_ERROR "${_simdjson_dir} holds no ${_simdjson_file}: SIMDJSON_SOURCE_DIR must name simdjson's singleheader/ folder")
  endif()
endforeach()
# A folder given by hand may hold another release, whose behaviour the tests never saw.
file(STRINGS "${_simdjson_dir}/simdjson.h" _simdjson_version REGEX "^#define SIMDJSON_VERSION " LIMIT_COUNT 1)
if(NOT _simdjson_version MATCHES "^#define SIMDJSON_VERSION \"?3\\.0\\.1\"?$")
  message(FATAL_ERROR "${_simdjson_dir}/simdjson.h is not simdjson 3.0.1 (${_simdjson_version})")
endif()

add_library(simdjson STATIC "${_simdjson_dir}/simdjson.cpp")
target_include_directories(simdjson SYSTEM PUBLIC "${_simdjson_dir}")
# The same as Debian's build of the library.
target_compile_definitions(simdjson PUBLIC SIMDJSON_THREADS_ENABLED=1)
# Its warnings are its maintainers' to fix, not ours to fail on.
target_compile_options(simdjson PRIVATE -w -mmacosx-version-min=11.0)
add_library(simdjson::simdjson ALIAS simdjson)
