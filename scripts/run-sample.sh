#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# The main job: build the launcher and the packer, pack the sample setup
# program (probe.exe, which records how it was started), run the launcher
# under Wine as a user would, and show what happened.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/prepare.sh"

work="$build/sample"
rm -rf "$work" && mkdir -p "$work/temp"
"$build/host/packer/stubpack" build \
  --setup "$build/win/tests/wine/probe.exe" --out "$work/setup.exe"
echo "[sample] packed $work/setup.exe ($(stat -c %s "$work/setup.exe") bytes)"
"$build/host/packer/stubpack" inspect "$work/setup.exe" || true

winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export PROBE_REPORT="$(winpath "$work/report.json")"
echo "[sample] running: setup.exe /S --lang=en (under Wine, TEMP=$work/temp)"
# setarch -R: Wine without address-space randomization, as in the tests.
setarch -R wine "$build/win/tests/wine/harness.exe" --tmp "$(winpath "$work/temp")" -- \
  "$(winpath "$work/setup.exe")" /S --lang=en | tee "$work/harness.json"
echo
echo "[sample] what the setup program received:"
cat "$work/report.json"
echo
echo "[sample] temporary folder after the launcher ended (attached mode deletes the copy and its private folder):"
ls -la "$work/temp"
