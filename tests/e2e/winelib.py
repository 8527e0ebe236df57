# SPDX-License-Identifier: 0BSD
"""Helpers for end-to-end tests that run Windows programs under Wine.

Locations come from the environment:
  BUILD_WIN   the MinGW build tree (default build/win in the repository)
  WINEPREFIX  the Wine prefix (default build/wineprefix); created on first use
              by scripts/wine-prefix.sh
  HARNESS_EXE / PROBE_EXE  override where harness.exe / probe.exe are found

On import, when the prefix is ready, a persistent wineserver is started so each
Wine process starts in tens of milliseconds instead of seconds. Call
shutdown_wineserver() to stop it.

Wine's own processes (services, devices) outlive the program that started them
and inherit its standard handles, so output is captured through files, never
pipes: a pipe would not reach end-of-file until those processes exit.
"""

import contextlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


def _repo_path(value):
    p = Path(value)
    return p if p.is_absolute() else REPO_ROOT / p


BUILD_WIN = _repo_path(os.environ.get("BUILD_WIN", "build/win"))
BUILD_HOST = _repo_path(os.environ.get("BUILD_HOST", "build/host"))
STUB = BUILD_WIN / "Stub64.exe"
STUBPACK = BUILD_HOST / "packer" / "stubpack"
WINEPREFIX = _repo_path(os.environ.get("WINEPREFIX", "build/wineprefix"))
PREFIX_SCRIPT = REPO_ROOT / "scripts" / "wine-prefix.sh"
PREFIX_STAMP = WINEPREFIX / ".headless-prefix"

WINE = shutil.which("wine")
WINESERVER = shutil.which("wineserver")
SETARCH = shutil.which("setarch")
# Every Windows program runs without address-space randomization. Debian's
# Wine has no preloader, so nothing holds Wine's fixed addresses free while
# the host loader runs, and the kernel puts the heap of the wine binary
# (linked at 0x7d000000) anywhere in the 1 GiB above it. About one start in
# 7,000 that heap covers the shared user data page at 0x7ffe0000, and the
# program exits with status 1 before its first instruction ("failed to map
# the shared user data", an ERR that WINEDEBUG=-all hides). Without
# randomization the heap sits right behind the binary, 47 MiB below it.
WINE_COMMAND = [SETARCH, "-R", WINE]

CURRENT_VERSION_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"

# Processes Wine runs for itself in every prefix; they never mean a test's
# program is still running.
_WINE_SYSTEM_PROCESSES = {
    "services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe", "rpcss.exe",
    "svchost.exe", "conhost.exe", "winemenubuilder.exe", "tabtip.exe", "rundll32.exe",
}


class WineError(RuntimeError):
    pass


def wine_available():
    return bool(WINE and WINESERVER and SETARCH)


def to_windows_path(linux_path):
    """The Wine path of a Linux path: drive Z: is the Linux root."""
    p = os.path.abspath(os.fspath(linux_path))
    return "Z:" + p.replace("/", "\\")


def find_exe(name, override_var=None):
    """Finds a program in the MinGW build tree, or None."""
    if override_var and os.environ.get(override_var):
        p = _repo_path(os.environ[override_var])
        return p if p.is_file() else None
    for candidate in (BUILD_WIN / "tests" / "wine" / name, BUILD_WIN / name,
                      BUILD_WIN / "bin" / name):
        if candidate.is_file():
            return candidate
    return None


def harness_exe():
    return find_exe("harness.exe", "HARNESS_EXE")


def probe_exe():
    return find_exe("probe.exe", "PROBE_EXE")


def wine_env(extra=None):
    """The environment for a Wine process in the test prefix.

    Variables in the Linux environment reach the Windows process (for example
    PROBE_REPORT); TMP and TEMP do not, Wine takes those from its registry.
    """
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({
        "WINEPREFIX": str(WINEPREFIX),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        # No wine-mono / wine-gecko: never offer to download them.
        "WINEDLLOVERRIDES": "mscoree=;mshtml=",
    })
    if extra:
        env.update({k: str(v) for k, v in extra.items()})
    return env


def ensure_prefix():
    """Creates and configures the prefix unless that was done already."""
    if not wine_available():
        raise WineError("wine is not installed")
    if not PREFIX_STAMP.is_file():
        subprocess.run(["bash", str(PREFIX_SCRIPT), str(WINEPREFIX)], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def _wineserver(*args, timeout=None):
    return subprocess.run([WINESERVER, *args], env=wine_env(), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode


def start_wineserver():
    """Starts a persistent wineserver for the prefix (no-op if one runs)."""
    if wine_available() and PREFIX_STAMP.is_file():
        # Exit status 2 means a server already runs for this prefix.
        _wineserver("-p")


def shutdown_wineserver():
    """Stops the prefix's wineserver and every Wine process in it."""
    if wine_available():
        _wineserver("-k", timeout=60)


def _prefix_processes():
    """(pid, command line, is wineserver, args) of Linux processes in our prefix."""
    want = b"WINEPREFIX=" + os.fsencode(str(WINEPREFIX))
    found = []
    # The test process itself (and whatever started it) may carry WINEPREFIX
    # too; it is not a Windows program.
    callers = {os.getpid(), os.getppid()}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in callers:
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if want not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
            with open(f"/proc/{entry}/stat", "rb") as f:
                if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    continue
        except (OSError, IndexError):
            continue
        if not argv:
            continue
        found.append((int(entry), argv))
    return found


def _server_is_persistent():
    for _, argv in _prefix_processes():
        if os.path.basename(argv[0]).startswith("wineserver"):
            flags = [a for a in argv[1:] if a.startswith("-p")]
            if flags and flags[-1] == "-p":
                return True
    return False


def running_programs():
    """Command lines of Windows programs still running in the prefix, not
    counting Wine's own service processes."""
    programs = []
    for _, argv in _prefix_processes():
        name = os.path.basename(argv[0])
        if name.startswith("wineserver") or name in ("wine", "wine64", "wine64-preloader"):
            continue
        exe = argv[0].replace("\\", "/").rsplit("/", 1)[-1].lower()
        if exe in _WINE_SYSTEM_PROCESSES:
            continue
        programs.append(" ".join(argv))
    return programs


def wait_wineserver(timeout=120):
    """Waits until no Windows program of the tests runs any more.

    Without a persistent server this is `wineserver -w` (the server exits
    when its last process does). A persistent server never exits, so then
    this waits for the programs themselves to go.
    """
    if not wine_available():
        return
    deadline = time.monotonic() + timeout
    if _server_is_persistent():
        while running_programs():
            if time.monotonic() > deadline:
                raise WineError("programs still running: %s" % running_programs())
            time.sleep(0.05)
    else:
        try:
            _wineserver("-w", timeout=timeout)
        except subprocess.TimeoutExpired:
            raise WineError("wineserver did not exit within %s s" % timeout) from None


def wine(args, env=None, timeout=120, cwd=None, cpus=None):
    """Runs `wine ARGS...` in the prefix; returns (exit code, stdout, stderr).
    CPUS ("0", "0,1") pins it and what it starts to those processors, which
    Wine reports as the process's affinity mask."""
    ensure_prefix()
    start_wineserver()
    pin = ["taskset", "-c", cpus] if cpus else []
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run([*pin, *WINE_COMMAND, *[os.fspath(a) for a in args]],
                              env=wine_env(env),
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=timeout, cwd=cwd)
        out.seek(0)
        err.seek(0)
        return (proc.returncode, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"))


def _run_harness(options, targets, env, timeout_ms, cpus=None):
    """Runs harness.exe with OPTIONS, then -- and TARGETS; returns its report."""
    harness = harness_exe()
    if harness is None:
        raise WineError("harness.exe not found under %s (build tests/wine with the MinGW "
                        "toolchain)" % BUILD_WIN)
    cmd = [harness, *options, "--timeout-ms", str(int(timeout_ms)), "--", *targets]
    code, out, err = wine(cmd, env=env, timeout=timeout_ms / 1000.0 + 60, cpus=cpus)
    report = None
    for line in reversed(out.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            report = json.loads(line)
            break
    if report is None or "error" in report or code != 0:
        raise WineError("harness failed (exit %s): %s %s" % (code, out.strip(), err.strip()))
    # What Wine printed for the harness and the launchers (WINEDEBUG in ENV).
    report["wine_stderr"] = err
    return report


def run_launcher(launcher_path, args=(), tmp=None, restricted=False, timeout_ms=60000,
                 env=None, press=True, invisible_station=False, kill_when=None, cpus=None):
    """Starts LAUNCHER through harness.exe and returns the harness report:
    {"exit_code", "timed_out", "boxes": [{"caption", "text", "has_icon"}],
    "elapsed_ms"}.

    ARGS are appended to the launcher's command line verbatim (the caller adds
    any quotes). TMP (a Linux path) becomes the launcher's TMP and TEMP. ENV
    adds variables to the Windows environment. INVISIBLE_STATION starts it on
    a window station that is not visible, as a service would be. KILL_WHEN (a
    Linux path) ends the launcher with TerminateProcess once that file exists.
    CPUS pins it to those processors (see wine).
    """
    options = []
    if tmp is not None:
        options += ["--tmp", to_windows_path(tmp)]
    if restricted:
        options.append("--restricted")
    if not press:
        options.append("--no-press")
    if invisible_station:
        options.append("--invisible-station")
    if kill_when is not None:
        options += ["--kill-when", to_windows_path(kill_when)]
    return _run_harness(options, [to_windows_path(launcher_path), *args], env, timeout_ms,
                        cpus)


# What run_launcher's ENV needs for application_log_events: Wine 8's
# advapi32 stubs RegisterEventSourceW and ReportEventW, naming the source and
# the event ID in their fixme lines, and prints each string of an error event
# on the eventlog channel.
EVENT_LOG_DEBUG = {"WINEDEBUG": "-all,err+eventlog,fixme+advapi"}

_FIXME_SOURCE = re.compile(r'^[0-9a-f]+:fixme:advapi:RegisterEventSourceW \(.*?,(L".*")\): stub$')
_FIXME_REPORT = re.compile(r"^[0-9a-f]+:fixme:advapi:ReportEventW \([0-9A-F]+,0x([0-9a-f]{4}),"
                           r"0x[0-9a-f]{4},0x([0-9a-f]{8}),[0-9A-F]+,0x([0-9a-f]{4}),")
_EVENT_STRING = re.compile(r"^[0-9a-f]+:err:eventlog:ReportEventW (L\".*)$")


def application_log_events(stderr):
    """The events a run wrote, from Wine's output under EVENT_LOG_DEBUG:
    [{"source", "type", "event_id", "strings"}], each string as Wine prints
    it (see wine_debugstr)."""
    events, source = [], None
    for line in stderr.splitlines():
        m = _FIXME_SOURCE.match(line)
        if m:
            source = m.group(1)
            continue
        m = _FIXME_REPORT.match(line)
        if m:
            events.append({"source": source, "type": int(m.group(1), 16),
                           "event_id": int(m.group(2), 16), "count": int(m.group(3), 16),
                           "strings": []})
            continue
        m = _EVENT_STRING.match(line)
        if m and events:
            events[-1]["strings"].append(m.group(1))
    return events


def wine_debugstr(text):
    """TEXT as Wine 8's debugstr_w prints it: L"..." with C escapes and
    \\xxxx for other units, cut off after about 290 characters of output,
    with ... behind the quote when more than one unit was left out."""
    out, left = ['L"'], len(text)
    size = 2
    for unit in text:
        if size > 290:
            break
        left -= 1
        c = ord(unit)
        piece = {"\n": "\\n", "\r": "\\r", "\t": "\\t", '"': '\\"', "\\": "\\\\"}.get(unit)
        if piece is None:
            piece = unit if 32 <= c < 127 else "\\%04x" % c
        out.append(piece)
        size += len(piece)
    out.append('"')
    if left > 1:
        out.append("...")
    return "".join(out)


def run_burst(launcher_paths, tmp, env=None, timeout_ms=120000):
    """Creates every launcher suspended, resumes them together and returns the
    harness report {"runs": [one run_launcher report each, in order]}."""
    return _run_harness(["--burst", "--tmp", to_windows_path(tmp)],
                        [to_windows_path(p) for p in launcher_paths], env, timeout_ms)


# --- registry -----------------------------------------------------------------

def reg_query(key, name):
    """(type, data) of a registry value, or None when it does not exist."""
    code, out, _ = wine(["reg", "query", key, "/v", name])
    if code != 0:
        return None
    pattern = re.compile(r"^\s+" + re.escape(name) + r"\s{2,}(REG_\w+)\s{2,}(.*?)\s*$",
                         re.IGNORECASE)
    for line in out.splitlines():
        m = pattern.match(line)
        if m:
            return m.group(1), m.group(2)
    # Present but empty: the line has no data column.
    pattern = re.compile(r"^\s+" + re.escape(name) + r"\s{2,}(REG_\w+)\s*$", re.IGNORECASE)
    for line in out.splitlines():
        m = pattern.match(line)
        if m:
            return m.group(1), ""
    return None


def reg_add(key, name, data, reg_type="REG_SZ"):
    code, out, err = wine(["reg", "add", key, "/v", name, "/t", reg_type, "/d", data, "/f"])
    if code != 0:
        raise WineError("reg add %s %s failed: %s %s" % (key, name, out, err))


def reg_delete(key, name):
    code, out, err = wine(["reg", "delete", key, "/v", name, "/f"])
    if code != 0 and reg_query(key, name) is not None:
        raise WineError("reg delete %s %s failed: %s %s" % (key, name, out, err))


def set_windows_version(name):
    """Sets the version Wine reports: winxp64, vista, win7, win8, win81, win10.

    `winecfg -v` rewrites the HKLM CurrentVersion values (CurrentBuild,
    ProductName, CurrentMajorVersionNumber, ...) to match the version; the HKCU
    Version value is what GetVersionExW reads first. Wine 8 has no win11: use
    win10 with current_version_values(CurrentBuild=...).
    """
    code, out, err = wine(["winecfg", "-v", name])
    if code != 0:
        raise WineError("winecfg -v %s failed: %s %s" % (name, out, err))
    reg_add(r"HKCU\Software\Wine", "Version", name)


def windows_version():
    """The HKCU Version value (None when unset)."""
    value = reg_query(r"HKCU\Software\Wine", "Version")
    return value[1] if value else None


@contextlib.contextmanager
def current_version_values(**values):
    """Sets values under HKLM\\...\\Windows NT\\CurrentVersion for the duration
    and puts back what was there before (deleting values that did not exist).

    Keyword names: CurrentBuild, DisplayVersion, ReleaseId, ... A value of None
    deletes that value for the duration.

        with current_version_values(CurrentBuild="22631", DisplayVersion="23H2"):
            ...  # looks like Windows 11 when the version is win10
    """
    saved = {name: reg_query(CURRENT_VERSION_KEY, name) for name in values}
    try:
        for name, value in values.items():
            if value is None:
                reg_delete(CURRENT_VERSION_KEY, name)
            else:
                reg_add(CURRENT_VERSION_KEY, name, str(value))
        yield saved
    finally:
        for name, old in saved.items():
            if old is None:
                reg_delete(CURRENT_VERSION_KEY, name)
            else:
                reg_add(CURRENT_VERSION_KEY, name, old[1], old[0])


start_wineserver()
