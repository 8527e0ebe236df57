# SPDX-License-Identifier: 0BSD
# Records the liblzma release the launcher stub was linked with, in a file
# beside the stub (Stub64.exe.liblzma-version), read from that liblzma's
# own header. Every stubpack that embeds the stub reports it from there.
#
#   cmake -DHEADER=<liblzma include>/lzma/version.h -DOUT=<file> -P StubLzmaVersion.cmake
if(NOT EXISTS "${HEADER}")
  message(FATAL_ERROR "no liblzma version header at ${HEADER}")
endif()
file(STRINGS "${HEADER}" defines REGEX "^#define LZMA_VERSION_(MAJOR|MINOR|PATCH|STABILITY) ")
foreach(part MAJOR MINOR PATCH STABILITY)
  if(NOT defines MATCHES "#define LZMA_VERSION_${part} ([A-Z0-9_]+)")
    message(FATAL_ERROR "${HEADER} does not define LZMA_VERSION_${part}")
  endif()
  set(${part} "${CMAKE_MATCH_1}")
endforeach()
# liblzma spells a release as major.minor.patch, then "alpha" or "beta"
# for unstable ones (LZMA_VERSION_STRING).
set(version "${MAJOR}.${MINOR}.${PATCH}")
if(STABILITY STREQUAL "LZMA_VERSION_STABILITY_ALPHA")
  string(APPEND version "alpha")
elseif(STABILITY STREQUAL "LZMA_VERSION_STABILITY_BETA")
  string(APPEND version "beta")
endif()
file(WRITE "${OUT}" "${version}\n")
