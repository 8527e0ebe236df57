#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds the benchmark programs (host and MinGW) and prints the launcher's
# performance figures with their floors and ratios. Arguments go to
# bench/run.py (--rounds N, --decode-mib N, --cpu LIST or --cpu '', --only
# SECTIONS, ...; python3 bench/run.py --help lists them), except
#   --previous REF  the git ref whose Stub64.exe is timed as the previous
#                   launcher (default 46b8d71, the last launcher that held the
#                   whole package in memory; '' leaves it out)
#   --previous-packer REF
#                   the git ref whose stubpack is timed beside this one against
#                   NSIS (default 74d1a8d, the last stubpack that read the
#                   setup program whole; '' leaves it out)
#   --before-window REF
#                   the git ref whose Stub64.exe section 10 times as the
#                   launcher before the progress window (default e6c3afa, the
#                   last one without it; '' leaves section 10 out)
# A previous build is made only when a chosen section uses it (--only).
# Exits non-zero only on errors; missed goals are printed, not fatal.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"

previous=46b8d71
previous_packer=74d1a8d
before_window=e6c3afa
only=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --previous) [ $# -ge 2 ] || { echo "bench: --previous needs a git ref" >&2; exit 2; }
                previous="$2"; shift 2 ;;
    --previous-packer) [ $# -ge 2 ] || { echo "bench: --previous-packer needs a git ref" >&2; exit 2; }
                previous_packer="$2"; shift 2 ;;
    --before-window) [ $# -ge 2 ] || { echo "bench: --before-window needs a git ref" >&2; exit 2; }
                before_window="$2"; shift 2 ;;
    --only) [ $# -ge 2 ] || { echo "bench: --only needs a list of sections" >&2; exit 2; }
            only="$2"; args+=("$1" "$2"); shift 2 ;;
    --only=*) only="${1#--only=}"; args+=("$1"); shift ;;
    --peer-only) only="${only:-peer}"; args+=("$1"); shift ;;
    *) args+=("$1"); shift ;;
  esac
done

# Whether a chosen section uses a build: all do without --only.
wanted() {
  [ -z "$only" ] && return 0
  case ",$only," in *",$1,"*) return 0 ;; esac
  return 1
}
wanted base || previous=""
wanted peer || previous_packer=""
wanted window || before_window=""

# Build output goes to a log; shown only when the build fails.
quiet_build() {
  if ! "$@" >"$build/bench-build.log" 2>&1; then
    tail -30 "$build/bench-build.log" >&2
    return 1
  fi
}

mkdir -p "$build"
win_targets="Stub64 stamp idle timer"
if wanted base; then
  # The old floor's liblzma (5.4.1) is built here only: nothing else needs it.
  "$root/scripts/build-xz.sh" --old-floor "$build/deps"
  win_targets="$win_targets reference reference_old reference_stublzma"
fi
# The MinGW side first: the host packer embeds its Stub64.exe.
echo "[bench] building MinGW side ($build/win)"
quiet_build bash -c "cmake -S '$root' -B '$build/win' \
  -DCMAKE_TOOLCHAIN_FILE='$root/cmake/mingw-w64-x86_64.cmake' -DCMAKE_BUILD_TYPE=Release \
  -DLZMA_STUB_ROOT='$build/deps/xz-stub' -DLZMA_FULL_ROOT='$build/deps/xz-full' \
  -DLZMA_OLD_FLOOR_ROOT='$build/deps/xz-old-floor' \
  && cmake --build '$build/win' -j2 --target $win_targets"
echo "[bench] building host side ($build/host)"
quiet_build bash -c "cmake -S '$root' -B '$build/host' -DCMAKE_BUILD_TYPE=Release \
  -DLZMA_HOST_ROOT='$build/deps/xz-host' \
  && cmake --build '$build/host' -j2 --target decode_bench set_decode_bench encoder_memory \
     stubpack"

# A commit checked out in a worktree outside the source tree, removed on
# exit; built against the same liblzma installs, so that only the project's
# own code differs.
tmp="$(mktemp -d "${TMPDIR:-/tmp}/bench-previous.XXXXXX")"
remove_worktrees() {
  for src in "$tmp"/src-*; do
    [ -d "$src" ] && git -C "$root" worktree remove --force "$src" >/dev/null 2>&1
  done
  rm -rf "$tmp"
}
trap remove_worktrees EXIT
checkout() {  # REF NAME: prints the worktree's path
  quiet_build git -C "$root" worktree add --detach "$tmp/src-$2" "$1"
  echo "$tmp/src-$2"
}

# Stub64.exe of a commit into $build/win/NAME/Stub64.exe.
build_stub() {  # REF NAME
  local commit
  commit="$(git -C "$root" rev-parse --verify "$1^{commit}")"
  echo "[bench] building the launcher of ${commit:0:12} ($2)"
  local src
  src="$(checkout "$commit" "stub-$2")"
  quiet_build bash -c "cmake -S '$src' -B '$tmp/win-$2' \
    -DCMAKE_TOOLCHAIN_FILE='$root/cmake/mingw-w64-x86_64.cmake' -DCMAKE_BUILD_TYPE=Release \
    -DLZMA_STUB_ROOT='$build/deps/xz-stub' \
    && cmake --build '$tmp/win-$2' -j2 --target Stub64"
  mkdir -p "$build/win/$2"
  cp "$tmp/win-$2/Stub64.exe" "$build/win/$2/Stub64.exe"
}

# The previous launcher, and the launcher before the progress window.
previous_args=()
if [ -n "$previous" ]; then
  build_stub "$previous" previous
  previous_args=(--previous-stub "$build/win/previous/Stub64.exe"
                 --previous-name "$(git -C "$root" log -1 --format='%h %s' "$previous")")
fi
if [ -n "$before_window" ]; then
  build_stub "$before_window" before-window
  previous_args+=(--before-window-stub "$build/win/before-window/Stub64.exe"
                  --before-window-name "$(git -C "$root" log -1 --format='%h %s' "$before_window")")
fi

# The previous stubpack: that commit's host build, carrying this build's stub.
if [ -n "$previous_packer" ]; then
  commit="$(git -C "$root" rev-parse --verify "$previous_packer^{commit}")"
  echo "[bench] building the previous stubpack (${commit:0:12})"
  src="$(checkout "$commit" packer)"
  quiet_build bash -c "cmake -S '$src' -B '$tmp/host' -DCMAKE_BUILD_TYPE=Release \
    -DLAUNCHER_STUB='$build/win/Stub64.exe' -DLZMA_HOST_ROOT='$build/deps/xz-host' \
    && cmake --build '$tmp/host' -j2 --target stubpack"
  mkdir -p "$build/host/previous"
  cp "$tmp/host/packer/stubpack" "$build/host/previous/stubpack"
  previous_args+=(--previous-stubpack "$build/host/previous/stubpack")
fi
remove_worktrees
trap - EXIT
rm -f "$build/bench-build.log"

exec python3 "$root/bench/run.py" --build-host "$build/host" --build-win "$build/win" \
  --prefix "$build/wineprefix-bench" "${previous_args[@]}" "${args[@]}"
