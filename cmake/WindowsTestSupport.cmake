# Test suites of the Windows cross build: GoogleTest built from the sources Debian ships in
# /usr/src/googletest (the distribution's libraries are for the build machine), and the suites
# run under Wine through scripts/wine-run.sh as the cross-compiling emulator.
#
# Included from tests/CMakeLists.txt when cross-compiling for Windows. Defines GTest::gtest and
# GTest::gtest_main as find_package(GTest) does.

set(QUARV_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest sources for the Windows cross build")
if(NOT EXISTS "${QUARV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${QUARV_GOOGLETEST_SOURCE_DIR}: install Debian's "
                      "googletest package (scripts/install-deps.sh) or set QUARV_GOOGLETEST_SOURCE_DIR.")
endif()

# GoogleTest's own threading on Windows is the Win32 one; the MinGW-w64 pthreads would be found
# too and are not what it expects there.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUARV_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Every test executable made from here on runs under Wine: ctest runs it, and so does the
# discovery of its test names.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
endif()
