# SPDX-License-Identifier: 0BSD
# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-x86-64).
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)

# Debian ships a "-posix" and a "-win32" thread-model variant of the compilers;
# the unsuffixed names follow the alternatives system (win32 by default).
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${MINGW_TRIPLET}-strip CACHE FILEPATH "")

# Look for libraries and headers only in the MinGW sysroot (and in prefixes the
# project adds, such as the cross-built liblzma), never in the host's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

