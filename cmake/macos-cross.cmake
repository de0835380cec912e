# Cross-builds the macOS deliverables on Linux with Debian's clang 19 and lld 19
# (packages clang-19, lld-19, llvm-19). Apple's SDK is not ours to pass on, so
# its folder is named at configure time and never kept in the repository:
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake -DMACOS_SYSROOT=/path/to/sdk
# (or MACOS_SYSROOT in the environment). On a Mac, build without this file.
set(CMAKE_SYSTEM_NAME Darwin)
# Darwin 20 is macOS 11, the oldest system either deliverable supports.
set(CMAKE_SYSTEM_VERSION 20.1.0)

if(NOT MACOS_SYSROOT AND DEFINED ENV{MACOS_SYSROOT})
  set(MACOS_SYSROOT "$ENV{MACOS_SYSROOT}")
endif()
set(MACOS_SYSROOT "${MACOS_SYSROOT}" CACHE PATH "macOS SDK folder (usr/include, usr/lib, System/Library/Frameworks)")
if(NOT IS_DIRECTORY "${MACOS_SYSROOT}/usr/include" OR NOT IS_DIRECTORY "${MACOS_SYSROOT}/System/Library/Frameworks")
  message(FATAL_ERROR "MACOS_SYSROOT must name a macOS SDK (with usr/include and System/Library/Frameworks); "
    "it is \"${MACOS_SYSROOT}\"")
endif()
# The compiler checks run in projects of their own that see only listed variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_SYSROOT)
set(CMAKE_OSX_SYSROOT "${MACOS_SYSROOT}")

set(_llvm_bin /usr/lib/llvm-19/bin)
find_program(CMAKE_C_COMPILER NAMES clang-19 clang HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++-19 clang++ HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)
set(CMAKE_OBJCXX_COMPILER "${CMAKE_CXX_COMPILER}")
find_program(CMAKE_AR llvm-ar HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)
find_program(CMAKE_RANLIB llvm-ranlib HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)
find_program(CMAKE_STRIP llvm-strip HINTS ${_llvm_bin} NO_DEFAULT_PATH REQUIRED)

# The architecture comes from CMAKE_OSX_ARCHITECTURES (-arch), the minimum
# system from each target's -mmacosx-version-min.
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET x86_64-apple-macos)
endforeach()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

# Headers, libraries and packages come from the SDK alone, never from this machine.
set(CMAKE_FIND_ROOT_PATH "${MACOS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
