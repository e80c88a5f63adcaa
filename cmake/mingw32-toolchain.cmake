# Cross build for 32-bit Windows with MinGW-w64's posix-threads compilers
# (the -win32 variants have no std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A static runtime, so that the executables need nothing beside the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# OpenSSL's static libraries, built from Debian's source package by scripts/openssl-mingw.sh into
# QUARV_OPENSSL_MINGW, by default the link $HOME/.cache/quarv/openssl-mingw32 to the build of the
# current version (kept unresolved, so that a build directory follows the link to a newer one).
if(NOT "$ENV{QUARV_OPENSSL_MINGW}" STREQUAL "")
  set(QUARV_OPENSSL_MINGW "$ENV{QUARV_OPENSSL_MINGW}")
else()
  set(QUARV_OPENSSL_MINGW "$ENV{HOME}/.cache/quarv/openssl-mingw32")
endif()
if(NOT EXISTS "${QUARV_OPENSSL_MINGW}/quarv-openssl-complete")
  message(FATAL_ERROR
    "No OpenSSL for the 32-bit Windows build in ${QUARV_OPENSSL_MINGW}: run "
    "scripts/openssl-mingw.sh first (it builds the static libraries once, from Debian's "
    "source package).")
endif()
set(OPENSSL_ROOT_DIR "${QUARV_OPENSSL_MINGW}")
set(OPENSSL_USE_STATIC_LIBS TRUE)
# The find commands search only below the root paths (the MODE settings above).
list(APPEND CMAKE_FIND_ROOT_PATH "${QUARV_OPENSSL_MINGW}")
