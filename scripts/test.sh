#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Sets up a Debian 12 machine as needed, builds everything and runs every
# test: the host unit tests and the end-to-end tests that run the real
# launcher under Wine.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/prepare.sh"

cd "$build/host"
ctest --output-on-failure --timeout 1500 "$@"
