# SPDX-License-Identifier: 0BSD
"""Section 11 (--large): a setup program past 2 GiB, 3 GiB by default, through
stubpack build --setup, stubpack verify and one launch under Wine on
--cores-cpu, with the time of each. Runs once stubpack cuts --setup programs
into blocks (the form that carries programs past 2 GiB); skipped with one
line before."""

import shutil

from benchlib import MIB, fmt_mib, log, make_setup, run_timer, timed_run
from packing import build, inspect, setup_writes_blocks

# The program, the launcher file and the launcher's copy of the program
# are on disk at once, with room to spare.
SPACE_FACTOR = 2.5


def large_section(ctx):
    a, p = ctx.args, ctx.paths
    mib = a.large_mib
    log("\n== 11. a %d MiB setup program: build, verify, launch (Wine on CPUs %s)" % (
        mib, a.cores_cpu))
    if not setup_writes_blocks(p["stubpack"], p["stub"], p["stamp"], ctx.work):
        log("  skipped: this stubpack does not cut a --setup program into blocks, so it "
            "carries no program past 2 GiB")
        return
    free = shutil.disk_usage(ctx.work).free
    if free < SPACE_FACTOR * mib * MIB:
        log("  skipped: %s free beside the work folder, %s needed" % (
            fmt_mib(free), fmt_mib(SPACE_FACTOR * mib * MIB)))
        return
    program = ctx.work / ("large-%d-setup.exe" % mib)
    make_setup(p["stamp"], mib * MIB, program)
    launcher = ctx.work / ("large-%d.exe" % mib)
    made = build(p["stubpack"], p["stub"], ["--setup", str(program)], launcher,
                 cpu=a.cores_cpu)
    program.unlink()
    info = inspect(p["stubpack"], launcher)
    table = info.get("setTable")
    log("  stubpack build: %.1f s (CPU %.1f s, max RSS %s), %d bytes, %s" % (
        made["wall"], made["cpu"], fmt_mib(made["rss"]), made["size"],
        "%d blocks" % table["blockCount"] if table else "one block"))
    checked = timed_run([str(p["stubpack"]), "verify", str(launcher)], None,
                        ctx.work / "large-verify")
    log("  stubpack verify: %s in %.1f s (max RSS %s)" % (
        "ok" if checked["status"] == 0 else "FAILED (exit %d)" % checked["status"],
        checked["wall"], fmt_mib(checked["rss"])))
    if checked["status"] != 0:
        raise SystemExit("bench: stubpack verify refused the %d MiB launcher" % mib)
    runs = run_timer(p["timer"], [("launcher", launcher)], 1, a, ctx.work, ctx.prefix, "large",
                     cpu=a.cores_cpu)
    r = runs["launcher"][0]
    log("  launch: start -> setup program start %.1f s, -> launcher exit (copy deleted) %.1f s; "
        "peak working set %s" % (r["handoff"] / 1e3, r["exit"] / 1e3, fmt_mib(r["peak_ws"])))
    ctx.summary.append(("%d MiB program: build; verify; launch to setup start" % mib,
                        "%.1f s; %.1f s; %.1f s" % (made["wall"], checked["wall"],
                                                    r["handoff"] / 1e3), "", "(info)", ""))
    launcher.unlink()
