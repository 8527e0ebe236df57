# SPDX-License-Identifier: 0BSD
# Sourced by test.sh and run-sample.sh: install what is missing, build both
# halves, make the Wine prefix, and stop Wine again when the caller exits.
# Sets $root and $build.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
export BUILD_ROOT="$build"

"$root/scripts/setup-deps.sh" "$build/deps"
"$root/scripts/build.sh"
"$root/scripts/wine-prefix.sh" "$build/wineprefix"
# The tests keep a wineserver warm; stop it (and Wine's helper processes)
# when done so nothing outlives this run.
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
