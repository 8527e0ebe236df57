# SPDX-License-Identifier: 0BSD
"""What every benchmark section shares: the payload of executables, Wine
runs (the prefix, its server, timer.exe), GNU time, the statistics and the
verdict lines with their summary."""

import os
import random
import shutil
import statistics
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20
# GNU time: its -v gives a process's maximum resident set size.
GNU_TIME = "/usr/bin/time"


def log(msg):
    print(msg, flush=True)


def to_windows_path(path):
    return "Z:" + os.path.abspath(os.fspath(path)).replace("/", "\\")


def pinned(cmd, cpu):
    return (["taskset", "-c", cpu] if cpu and shutil.which("taskset") else []) + cmd


def wine(args, cpu):
    # Without address-space randomization, as in the tests: see WINE_COMMAND
    # in tests/e2e/winelib.py.
    return pinned(["setarch", "-R", "wine"] + args, cpu)


# --- payload -------------------------------------------------------------------

ELF_DIRS = ["/usr/lib/x86_64-linux-gnu", "/usr/bin"]
# Whole programs and libraries, but no giant: one 100 MiB library would make
# the payload a single file.
ELF_LARGEST = 8 * MIB


def elf_files():
    """Regular ELF files (no symlinks) of the two folders, sorted by path."""
    found = []
    for folder in ELF_DIRS:
        try:
            names = sorted(os.listdir(folder))
        except OSError:
            continue
        for name in names:
            p = os.path.join(folder, name)
            if (os.path.islink(p) or not os.path.isfile(p)
                    or os.path.getsize(p) > ELF_LARGEST):
                continue
            try:
                with open(p, "rb") as f:
                    if f.read(4) == b"\x7fELF":
                        found.append(p)
            except OSError:
                continue
    return found


def make_setup(stamp_exe, overlay_size, out):
    """stamp.exe with `overlay_size` bytes of executables appended: Windows
    starts it like any program with overlay data, and it compresses like one.
    When the folders hold less than that, the files come round again: a
    repeat lies hundreds of MiB back, beyond any dictionary, so it
    compresses like new data."""
    written = 0
    files = 0
    found = elf_files()
    if not found:
        raise SystemExit("bench: no ELF files found in %s" % " and ".join(ELF_DIRS))
    with open(out, "wb") as o:
        o.write(Path(stamp_exe).read_bytes())
        while written < overlay_size:
            p = found[files % len(found)]
            data = Path(p).read_bytes()[: overlay_size - written]
            o.write(data)
            written += len(data)
            files += 1
    return files


def launcher_dictionary(hdr):
    """The dictionary the launcher allocates: the declared one, but no larger
    than the setup program (extract/LzmaDecoder.cpp) and no smaller than
    liblzma's 4 KiB."""
    return max(4096, min(hdr["dict"], hdr["size"]))


def read_header(launcher):
    data = Path(launcher).read_bytes()
    package_offset = int.from_bytes(data[128:132], "little")
    # PackageHeader (core/StubTypes.h): props 0-4, payload offset/packed/size at 34.
    h = data[package_offset: package_offset + 74]
    props = h[0:5]
    payload_offset = int.from_bytes(h[34:38], "little")
    packed = int.from_bytes(h[38:42], "little")
    size = int.from_bytes(h[42:46], "little", signed=True)
    dictionary = int.from_bytes(props[1:5], "little")
    return {"packed": packed, "size": size, "dict": dictionary,
            "offset": payload_offset, "props": props.hex()}


# --- decode throughput ---------------------------------------------------------

def parse_pairs(text):
    values = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                values[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return values


# --- hand-off and memory under Wine -------------------------------------------

class ProcPoller(threading.Thread):
    """Polls /proc for the Wine processes of the named programs and keeps each
    one's largest VmHWM and RssAnon (the kernel's own peak-RSS counter, read
    independently of Wine's GetProcessMemoryInfo), its CPU time and the most
    threads it ran at once."""

    def __init__(self, paths, interval=0.01):
        super().__init__(daemon=True)
        # Full Windows paths: the launcher's temporary copy may share its name.
        self.names = [to_windows_path(p).lower() for p in paths]
        self.interval = interval
        self.peaks = {}   # pid -> [name, vmhwm, rss_anon_max, cpu_seconds, threads]
        self.tick = float(os.sysconf("SC_CLK_TCK"))
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            for entry in os.listdir("/proc"):
                if not entry.isdigit():
                    continue
                try:
                    with open("/proc/%s/cmdline" % entry, "rb") as f:
                        argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
                    exe = argv0.lower()
                    if exe not in self.names:
                        continue
                    hwm = anon = threads = 0
                    with open("/proc/%s/status" % entry) as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                hwm = int(line.split()[1]) * 1024
                            elif line.startswith("RssAnon:"):
                                anon = int(line.split()[1]) * 1024
                            elif line.startswith("Threads:"):
                                threads = int(line.split()[1])
                    with open("/proc/%s/stat" % entry, "rb") as f:
                        fields = f.read().rsplit(b")", 1)[1].split()
                    cpu = (int(fields[11]) + int(fields[12])) / self.tick
                except (OSError, ValueError, IndexError):
                    continue
                rec = self.peaks.setdefault(int(entry), [exe, 0, 0, 0.0, 0])
                rec[1] = max(rec[1], hwm)
                rec[2] = max(rec[2], anon)
                rec[3] = max(rec[3], cpu)
                rec[4] = max(rec[4], threads)
            time.sleep(self.interval)

    def by_name(self, path):
        name = to_windows_path(path).lower()
        return [(hwm, anon) for pid, (exe, hwm, anon, _, _) in sorted(self.peaks.items())
                if exe == name and hwm > 0]

    def cpu(self, path):
        name = to_windows_path(path).lower()
        return [c for pid, (exe, hwm, _, c, _) in sorted(self.peaks.items())
                if exe == name and hwm > 0]

    def threads(self, path):
        """The most threads each run of `path` had at once (Wine's own
        threads included)."""
        name = to_windows_path(path).lower()
        return [t for pid, (exe, hwm, _, _, t) in sorted(self.peaks.items())
                if exe == name and hwm > 0]


def wine_env(prefix, extra=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({"WINEPREFIX": str(prefix), "WINEARCH": "win64", "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree=;mshtml="})
    if extra:
        env.update(extra)
    return env


def timed_run(cmd, env, out):
    """Runs cmd once under GNU time, its output to files (Wine's service
    processes inherit pipes). Returns its maximum resident set size in bytes
    ("rss"), exit status, wall seconds and CPU seconds (user + system)."""
    report = out.with_suffix(".time")
    with open(out.with_suffix(".out"), "wb") as fo, open(out.with_suffix(".err"), "wb") as fe:
        subprocess.run([GNU_TIME, "-v", "-o", str(report)] + cmd, env=env,
                       stdin=subprocess.DEVNULL, stdout=fo, stderr=fe, timeout=3600)
    fields = {}
    for line in report.read_text(errors="replace").splitlines():
        key, _, value = line.strip().rpartition(": ")
        fields[key] = value
    try:
        rss = int(fields["Maximum resident set size (kbytes)"]) * 1024
        status = int(fields["Exit status"])
        wall = fields["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":")
        cpu = float(fields["User time (seconds)"]) + float(fields["System time (seconds)"])
    except (KeyError, ValueError):
        raise SystemExit("bench: no GNU time report for %s: %s" % (
            " ".join(cmd), report.read_text(errors="replace")))
    seconds = sum(float(v) * 60 ** i for i, v in enumerate(reversed(wall)))
    return {"rss": rss, "status": status, "wall": seconds, "cpu": cpu}


def max_rss(cmd, env, out):
    """timed_run's (maximum RSS, exit status, wall seconds)."""
    run = timed_run(cmd, env, out)
    return run["rss"], run["status"], run["wall"]


def median(values):
    return statistics.median(values) if values else float("nan")


def fmt_mib(n):
    return "%.1f MiB" % (n / MIB)


def goal(ok):
    return "goal met" if ok else "goal missed"


def spread(values, fmt="%.3f"):
    return (fmt + "-" + fmt) % (min(values), max(values))


# Goals: (name, measured ratio, limit, per-round ratios or None)
VERDICTS = []


def verdict(name, value, limit, rounds=None):
    ok = value <= limit
    detail = ""
    if rounds:
        detail = " (per round %s, median %.3f)" % (spread(rounds), median(rounds))
    log("  verdict: %s: %.3f%s, goal <= %.3f: %s" % (name, value, detail, limit,
                                                      "GOAL MET" if ok else "GOAL MISSED"))
    VERDICTS.append((name, value, limit, rounds, ok))
    return ok


def start_wine(prefix, cpu, stamp):
    """Makes the benchmark's prefix and starts a persistent server of its own,
    which keeps other jobs' Wine runs out of the timings and makes each start
    cheap; the first start warms Wine's own DLLs."""
    made = subprocess.run(["bash", str(ROOT / "scripts/wine-prefix.sh"), str(prefix)],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if made.returncode != 0:
        raise SystemExit("bench: wine-prefix.sh failed: %s %s" % (made.stdout, made.stderr))
    subprocess.run(pinned(["wineserver", "-p"], cpu), env=wine_env(prefix),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(wine([str(stamp)], cpu), env=wine_env(prefix), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    return True


def stop_wine(prefix):
    subprocess.run(["wineserver", "-k"], env=wine_env(Path(prefix)),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def run_timer(timer, variants, rounds, args, work, prefix, tag, extra_env=None, cpu=None):
    """timer.exe over `variants` ((name, exe), ...), alternating per round,
    pinned to `cpu` (default --cpu); returns {name: [run, ...]} with every
    run's fields."""
    stamps = work / ("stamps-" + tag)
    stamps.mkdir()
    cmd = [str(timer), "--rounds", str(rounds), "--hold-ms", "100",
           "--settle-ms", str(args.settle_ms), "--work", to_windows_path(stamps)]
    for name, exe in variants:
        cmd += ["--variant", name, to_windows_path(exe)]
    out, err = work / ("timer-%s.out" % tag), work / ("timer-%s.err" % tag)
    # Output through files: Wine's service processes inherit pipes.
    with open(out, "wb") as fo, open(err, "wb") as fe:
        rc = subprocess.run(wine(cmd, args.cpu if cpu is None else cpu),
                            env=wine_env(prefix, extra_env),
                            stdin=subprocess.DEVNULL, stdout=fo, stderr=fe,
                            timeout=3600).returncode
    text = out.read_text(errors="replace")
    if rc != 0:
        raise SystemExit("bench: timer.exe failed (%d): %s %s" % (
            rc, text, err.read_text(errors="replace")))
    runs = {}
    for line in text.splitlines():
        p = line.split()
        if p and p[0] == "run":
            runs.setdefault(p[1], []).append({
                "round": int(p[2]), "handoff": float(p[3]), "exit": float(p[4]),
                "code": int(p[5]), "peak_ws": int(p[6]), "ws": int(p[7]),
                "peak_pf": int(p[8]), "pf": int(p[9]), "counters": p[10] == "1",
                "cpu": float(p[11])})
    for name, _ in variants:
        if len(runs.get(name, [])) != rounds:
            raise SystemExit("bench: timer.exe reported %d runs of %s" % (
                len(runs.get(name, [])), name))
        bad = [r for r in runs[name] if r["code"] != 0]
        if bad:
            raise SystemExit("bench: %s exited with code %d" % (name, bad[0]["code"]))
    return runs


def print_summary(summary):
    log("\n== summary")
    head = ("figure", "measured", "ratio", "goal", "")
    widths = [max(len(str(row[i])) for row in summary + [head]) for i in range(5)]
    for row in [head] + summary:
        log("  " + "  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    met = sum(1 for v in VERDICTS if v[4])
    log("  %d of %d goals met%s" % (met, len(VERDICTS), "" if met == len(VERDICTS) else
                                   ": missed " + "; ".join(v[0] for v in VERDICTS if not v[4])))


# --- comparisons ---------------------------------------------------------------

def times(runs, name, key="handoff"):
    return [r[key] for r in runs[name]]


def compare(runs, name, base, key="handoff"):
    """`name` against `base` over timer.exe's rounds: both medians, the ratio
    of the medians and the per-round ratios."""
    a, b = times(runs, name, key), times(runs, base, key)
    return {"median": median(a), "base": median(b), "ratio": median(a) / median(b),
            "rounds": [x / y for x, y in zip(a, b)], "values": a, "base_values": b}


def own_peak(runs, name, idle="idle"):
    """The median peak working set of `name` less idle.exe's: what the
    program itself held beyond the DLLs it loads."""
    return median(times(runs, name, "peak_ws")) - median(times(runs, idle, "peak_ws"))


def quartiles(values):
    """The lower and upper quartile (statistics' inclusive method)."""
    if len(values) < 2:
        return values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def median_interval(values, level=0.90, resamples=2000, seed=1):
    """A bootstrap interval of the median of `values`: where the median of
    the rounds would land in `level` of repeated runs like this one."""
    rng = random.Random(seed)
    n = len(values)
    meds = sorted(median([values[rng.randrange(n)] for _ in range(n)])
                  for _ in range(resamples))
    tail = (1 - level) / 2
    return meds[int(tail * resamples)], meds[min(resamples - 1, int((1 - tail) * resamples))]


# --- the peer: NSIS ---------------------------------------------------------------

MAKENSIS = "makensis"
PEER_SCRIPT = ROOT / "bench/peer.nsi"


def nsis_command(setup, out):
    """makensis building bench/peer.nsi around `setup` into `out`."""
    return [MAKENSIS, "-V1", "-DSETUP=%s" % setup, "-DOUT=%s" % out, str(PEER_SCRIPT)]
