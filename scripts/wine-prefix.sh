#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Creates (once) the 64-bit Wine prefix the end-to-end tests run in, set up for
# headless use: the "null" graphics driver lets windows and message boxes exist
# without an X display, and MessageBoxW then blocks as it does on Windows.
#
# With --display it makes the prefix of the window tests instead: the x11
# driver, for an X server the tests start (Xvfb), and every program in one
# virtual desktop of Wine's own, named "shell" so that it has a taskbar and
# draws captions and frames without a window manager. Programs started in
# that prefix see each other's windows.
#
# Usage: scripts/wine-prefix.sh [--display] [PREFIX]
#   default PREFIX: build/wineprefix, with --display build/wineprefix-display
#   WINE_WINDOWS_VERSION=win7 scripts/wine-prefix.sh   picks another version (default win10)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DISPLAY_PREFIX=0
if [ "${1:-}" = --display ]; then
  DISPLAY_PREFIX=1
  shift
fi
if [ "$DISPLAY_PREFIX" = 1 ]; then
  PREFIX="${1:-$REPO_ROOT/build/wineprefix-display}"
else
  PREFIX="${1:-$REPO_ROOT/build/wineprefix}"
fi
VERSION="${WINE_WINDOWS_VERSION:-win10}"
# The virtual desktop's size: the screenshots' size.
DESKTOP_SIZE=800x600

step() { echo "[wine-prefix] $*"; }

mkdir -p "$(dirname "$PREFIX")"
PREFIX="$(cd "$(dirname "$PREFIX")" && pwd)/$(basename "$PREFIX")"
if [ "$DISPLAY_PREFIX" = 1 ]; then
  STAMP="$PREFIX/.display-prefix"
  WANT="graphics=x11 desktop=shell,$DESKTOP_SIZE fonts=marlett winver=$VERSION"
else
  STAMP="$PREFIX/.headless-prefix"
  WANT="graphics=null winver=$VERSION"
fi

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$WANT" ]; then
  step "$PREFIX ready ($WANT)"
  exit 0
fi

export WINEPREFIX="$PREFIX" WINEARCH=win64 WINEDEBUG=-all
# No display: never let Wine try to open one.
unset DISPLAY WAYLAND_DISPLAY
# wine-mono and wine-gecko are not installed; without this wineboot asks to
# download them in a dialog.
export WINEDLLOVERRIDES="mscoree=;mshtml="

command -v wine >/dev/null || { echo "[wine-prefix] error: wine not installed" >&2; exit 1; }
# Without address-space randomization, as the tests run every Windows program:
# with it, about one start in 7,000 exits at once with status 1 (see
# WINE_COMMAND in tests/e2e/winelib.py).
wine() { setarch -R wine "$@"; }

if [ ! -f "$PREFIX/system.reg" ]; then
  step "creating $PREFIX"
  wine wineboot -i </dev/null >/dev/null 2>&1
fi

step "Graphics=null, Windows version $VERSION"
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# winecfg -v also rewrites the HKLM CurrentVersion values (CurrentBuild,
# ProductName, ...) to match; a bare "reg add" of Version would leave the
# prefix's original Windows 7 values there. The HKCU value is what
# GetVersionExW reads first.
wine winecfg -v "$VERSION" </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine' /v Version /d "$VERSION" /f </dev/null >/dev/null 2>&1

WINEDEBUG=-all wine reg query 'HKCU\Software\Wine\Drivers' /v Graphics </dev/null 2>/dev/null | grep -q 'REG_SZ *null' \
  || { echo "[wine-prefix] error: Graphics=null did not stick" >&2; exit 1; }

if [ "$DISPLAY_PREFIX" = 1 ]; then
  # Set last, while no program of the prefix runs: from here on every Wine
  # program of this prefix needs DISPLAY.
  step "Graphics=x11, virtual desktop shell,$DESKTOP_SIZE"
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d "$DESKTOP_SIZE" /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f </dev/null >/dev/null 2>&1
  # Debian's Wine does not find fonts-wine's Marlett by itself, and without
  # it the caption's buttons are drawn as letters; the prefix's own font
  # folder is always searched.
  MARLETT=/usr/share/wine/fonts/marlett.ttf
  if [ -f "$MARLETT" ]; then
    cp "$MARLETT" "$PREFIX/drive_c/windows/Fonts/"
  else
    step "note: $MARLETT missing (package fonts-wine): caption buttons drawn as letters"
  fi
fi

# Let the server write the registry to the prefix and exit. A persistent
# server (wineserver -p, as the tests keep one warm) never exits: waiting for
# it would hang, and it already holds the new values.
persistent_server_running() {
  local env_file pid args
  for env_file in /proc/[0-9]*/environ; do
    pid="${env_file#/proc/}"; pid="${pid%/environ}"
    args="$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")" || continue
    case "$args" in */wineserver*) ;; *) continue ;; esac
    grep -qzxF "WINEPREFIX=$PREFIX" "$env_file" 2>/dev/null || continue
    # The last -p flag wins; a bare -p means "never exit".
    [ "$(printf '%s\n' $args | grep -E '^-p[0-9]*$' | tail -n1)" = "-p" ] && return 0
  done
  return 1
}
if persistent_server_running; then
  step "persistent wineserver running; not waiting for it"
else
  step "waiting for wineserver"
  wineserver -w
fi
echo "$WANT" >"$STAMP"
step "$PREFIX ready ($WANT)"
