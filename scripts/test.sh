#!/usr/bin/env bash
# Sets up a Debian 12 machine as needed, builds everything and runs every
# test: the host unit tests and the end-to-end tests that run the real
# launcher under Wine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
export BUILD_ROOT="$build"

"$root/scripts/setup-deps.sh" "$build/deps"
"$root/scripts/build.sh"
"$root/scripts/wine-prefix.sh" "$build/wineprefix"
# The tests keep a wineserver warm; stop it (and Wine's helper processes)
# when done so nothing outlives this run.
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT

cd "$build/host"
ctest --output-on-failure --timeout 1500 "$@"
