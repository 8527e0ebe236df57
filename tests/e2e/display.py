# SPDX-License-Identifier: 0BSD
"""The test bed for windows that must really be drawn: an X server without a
screen (Xvfb), a Wine prefix of its own with the x11 driver in which every
program runs in one virtual desktop with a taskbar (`scripts/wine-prefix.sh
--display`, default build/wineprefix-display, or WINEPREFIX_DISPLAY), its
own persistent wineserver, and screenshots with ImageMagick's `import`.

The other end-to-end tests keep their headless prefix (the null driver);
nothing here touches it.

    with DisplayBed() as bed:              # Xvfb on a free display number
        report = bed.harness(["--progress-class", "SetupLauncherProgress"],
                             [demo])
        bed.screenshot(path)

Output of Wine programs goes through files, never pipes (see winelib).
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import winelib

PREFIX = winelib._repo_path(os.environ.get("WINEPREFIX_DISPLAY", "build/wineprefix-display"))
PREFIX_STAMP = PREFIX / ".display-prefix"
# The virtual desktop's size (wine-prefix.sh); the screen is made as large,
# so a screenshot of the root window is the desktop.
SCREEN = "800x600x24"

XVFB = shutil.which("Xvfb")
IMPORT = shutil.which("import")

# The class of the launcher's progress window and of the probe's window.
PROGRESS_CLASS = "SetupLauncherProgress"
PROBE_WINDOW_CLASS = "ProbeSetupWindow"


class DisplayError(RuntimeError):
    pass


def available():
    """Why the display tests cannot run, or None when they can."""
    if not winelib.wine_available():
        return "wine is not installed"
    if not XVFB or not IMPORT:
        return "Xvfb or ImageMagick's import is not installed (scripts/setup-deps.sh)"
    if winelib.harness_exe() is None:
        return "harness.exe is not built in %s" % winelib.BUILD_WIN
    return None


def artifacts_dir():
    """Where screenshots are kept: build/host/artifacts (BUILD_HOST)."""
    folder = winelib.BUILD_HOST / "artifacts"
    folder.mkdir(parents=True, exist_ok=True)
    return folder


class DisplayBed:
    def __init__(self):
        self.display = None
        self._xvfb = None

    # --- lifetime ---------------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        if not PREFIX_STAMP.is_file():
            subprocess.run(["bash", str(winelib.PREFIX_SCRIPT), "--display", str(PREFIX)],
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # -displayfd picks a free display number and writes it to the pipe
        # once the server accepts clients, so parallel runs never collide.
        read_end, write_end = os.pipe()
        self._xvfb = subprocess.Popen(
            [XVFB, "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number.isdigit():
            self.stop()
            raise DisplayError("Xvfb did not start")
        self.display = ":" + number
        self._wineserver("-p")

    def stop(self):
        if self.display:
            try:
                self._wineserver("-k", timeout=60)
            except subprocess.TimeoutExpired:
                pass
        if self._xvfb:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
        self._xvfb = None
        self.display = None

    def env(self, extra=None):
        env = dict(os.environ)
        env.pop("WAYLAND_DISPLAY", None)
        env.update({
            "WINEPREFIX": str(PREFIX),
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            "DISPLAY": self.display,
        })
        if extra:
            env.update({k: str(v) for k, v in extra.items()})
        return env

    def _wineserver(self, *args, timeout=None):
        subprocess.run([winelib.WINESERVER, *args], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    # --- running programs -----------------------------------------------------------

    def wine(self, args, env=None, timeout=120):
        """Runs `wine ARGS...` in the display prefix; (exit code, stdout, stderr)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([*winelib.WINE_COMMAND, *[os.fspath(a) for a in args]],
                                  env=self.env(env), stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return (proc.returncode, out.read().decode("utf-8", "replace"),
                    err.read().decode("utf-8", "replace"))

    def harness(self, options, targets, env=None, timeout_ms=60000, shot=None, shot_delay=0.3):
        """Runs harness.exe OPTIONS -- TARGETS (Linux paths are turned into
        Wine paths) and returns its report, with "programs": every other JSON
        line the programs printed (progress_demo's reports). With SHOT (a
        path), passes --shown-file and takes a screenshot SHOT_DELAY seconds
        after the first progress window became visible; "screenshot" then
        says whether one was taken."""
        with tempfile.TemporaryDirectory(prefix="display-") as scratch:
            shown = Path(scratch) / "shown"
            options = list(options)
            if shot is not None:
                options += ["--shown-file", winelib.to_windows_path(shown)]
            cmd = [winelib.harness_exe(), *options, "--timeout-ms", str(int(timeout_ms)), "--",
                   *[winelib.to_windows_path(t) if isinstance(t, Path) else t for t in targets]]
            out_path = Path(scratch) / "out"
            err_path = Path(scratch) / "err"
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                proc = subprocess.Popen([*winelib.WINE_COMMAND, *[os.fspath(a) for a in cmd]],
                                        env=self.env(env), stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=err)
                taken = False
                deadline = time.monotonic() + timeout_ms / 1000.0 + 60
                while proc.poll() is None:
                    if shot is not None and not taken and shown.exists():
                        time.sleep(shot_delay)
                        self.screenshot(shot)
                        taken = True
                    if time.monotonic() > deadline:
                        proc.kill()
                        proc.wait()
                        raise DisplayError("harness did not end")
                    time.sleep(0.02)
            text = out_path.read_text(encoding="utf-8", errors="replace")
            lines = [json.loads(line) for line in text.splitlines()
                     if line.strip().startswith("{")]
            if not lines or "error" in lines[-1] or proc.returncode != 0:
                raise DisplayError("harness failed (exit %s): %s %s" % (
                    proc.returncode, text.strip(), err_path.read_text(errors="replace")))
            report = lines[-1]
            report["programs"] = lines[:-1]
            report["screenshot"] = taken
            return report

    def screenshot(self, path):
        """The whole screen (the virtual desktop) as a PNG."""
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([IMPORT, "-display", self.display, "-window", "root", os.fspath(path)],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    # --- settings -------------------------------------------------------------------

    def set_dpi(self, dpi):
        """The system DPI new processes get (HKCU Control Panel\\Desktop LogPixels)."""
        code, out, err = self.wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                                    "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"])
        if code != 0:
            raise DisplayError("reg add LogPixels failed: %s %s" % (out, err))
