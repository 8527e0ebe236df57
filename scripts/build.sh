#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds both halves of the project:
#   build/win   Stub64.exe, the Windows packer and the Wine test helpers (MinGW)
#   build/host  the packer, the launcher's portable code and the host unit tests
# Both packers carry the same Stub64.exe, so the stub comes first: the MinGW
# build's Stub64 target, then the host build (which embeds build/win/Stub64.exe),
# then the rest of the MinGW build (whose stubpack.exe embeds that Stub64 too).
# Expects the tools from scripts/setup-deps.sh (which also builds the pinned
# static liblzma installs both halves link).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
jobs="${JOBS:-2}"

echo "[build] windows stub: $build/win"
cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DLZMA_STUB_ROOT="$build/deps/xz-stub" -DLZMA_FULL_ROOT="$build/deps/xz-full" >/dev/null
cmake --build "$build/win" -j "$jobs" --target Stub64

echo "[build] host: $build/host"
cmake -S "$root" -B "$build/host" -DCMAKE_BUILD_TYPE=Release \
  -DWIN_BUILD_DIR="$build/win" -DWINE_PREFIX_DIR="$build/wineprefix" \
  -DLAUNCHER_STUB="$build/win/Stub64.exe" -DLZMA_HOST_ROOT="$build/deps/xz-host" >/dev/null
cmake --build "$build/host" -j "$jobs"

echo "[build] windows: $build/win"
cmake --build "$build/win" -j "$jobs"

echo "[build] Stub64.exe: $(stat -c %s "$build/win/Stub64.exe") bytes"
