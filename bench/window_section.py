# SPDX-License-Identifier: 0BSD
"""Section 10: what the progress window costs a launch that shows none.
Section 2's one-program launch with this Stub64.exe against the launcher
from before the progress-window change (bench/run.sh --before-window REF),
the same program packed the same way around each, many alternating rounds
with a pause before each run. The difference looked for is about 1%, far
below one round's noise, so the verdict comes with the spread of the
rounds and a bootstrap interval of their median ratio; the verdict is on
that median of the per-round ratios, since each round pairs the two
launches under the same load."""

from benchlib import (MIB, ProcPoller, compare, goal, log, make_setup, median,
                      median_interval, quartiles, run_timer, spread, verdict)
from packing import WHOLE, build

GOAL = 1.01
# A launch that runs longer than this may open the window (Feedback.h's
# kProgressWindowDelayMs): it is then no longer a launch without one.
WINDOW_DELAY_MS = 1000


def resolution(interval, limit):
    """What the interval of the median ratio says about the goal."""
    low, high = interval
    if high <= limit:
        return "resolved: the whole interval meets the goal"
    if low > limit:
        return "resolved: the whole interval misses the goal"
    return "not resolved at this noise: the interval spans the goal; run more rounds"


def window_section(ctx):
    a, p = ctx.args, ctx.paths
    log("\n== 10. a launch without the progress window against the launcher before it "
        "(Wine, %d rounds, alternating, CPU %s, %d ms pause before each run)" % (
            a.window_rounds, a.cpu or "-", a.settle_ms))
    if not p["before_window_stub"]:
        log("  skipped: no launcher from before the progress window (bench/run.sh "
            "--before-window REF builds it)")
        return
    program = ctx.work / "window-setup.exe"
    make_setup(p["stamp"], a.window_mib * MIB, program)
    this = ctx.work / "window-launcher.exe"
    before = ctx.work / "window-before.exe"
    for stub, out in ((p["stub"], this), (p["before_window_stub"], before)):
        build(p["stubpack"], stub, ["--setup", str(program)] + WHOLE, out)
    program.unlink()
    log("  %d MiB setup program, packed alike around this Stub64.exe and %s (%s)" % (
        a.window_mib, p["before_window_stub"], a.before_window_name or "no name given"))
    poller = ProcPoller([this, before])
    poller.start()
    runs = run_timer(p["timer"], [("launcher", this), ("before", before)], a.window_rounds, a,
                     ctx.work, ctx.prefix, "window")
    poller.stop.set()
    poller.join()
    c = compare(runs, "launcher", "before")
    lo, hi = quartiles(c["rounds"])
    interval = median_interval(c["rounds"])
    late = sum(1 for v in c["values"] if v > WINDOW_DELAY_MS)
    log("  start -> setup program start: this launcher median %.1f ms (%s), before %.1f ms (%s)"
        % (c["median"], spread(c["values"], "%.0f"), c["base"],
           spread(c["base_values"], "%.0f")))
    log("  per-round ratio: median %.4f, quartiles %.4f-%.4f, range %s; 90%% bootstrap interval "
        "of the median %.4f-%.4f" % (median(c["rounds"]), lo, hi, spread(c["rounds"], "%.4f"),
                                     interval[0], interval[1]))
    cpu_this, cpu_before = poller.cpu(this), poller.cpu(before)
    if cpu_this and cpu_before:
        log("  CPU time of the whole Wine process (/proc, %d ms ticks): %.0f vs %.0f ms, %.4f" % (
            1000 / poller.tick, median(cpu_this) * 1e3, median(cpu_before) * 1e3,
            median(cpu_this) / median(cpu_before)))
    if late:
        log("  %d of %d launches of this launcher ran past %d ms, where an interactive launch "
            "opens the window: use a smaller --window-mib" % (late, a.window_rounds,
                                                              WINDOW_DELAY_MS))
    name = ("no-window launch, Wine, %d MiB: this launcher / before the window, median of "
            "per-round ratios" % a.window_mib)
    paired = median(c["rounds"])
    ok = verdict(name, paired, GOAL, c["rounds"])
    log("  %s; ratio of the medians %.4f" % (resolution(interval, GOAL), c["ratio"]))
    ctx.summary.append((name, "%.1f vs %.1f ms" % (c["median"], c["base"]),
                        "%.4f (IQR %.4f-%.4f; 90%% interval %.4f-%.4f)" % (
                            paired, lo, hi, interval[0], interval[1]),
                        "<= %.2f" % GOAL, goal(ok)))
    this.unlink()
    before.unlink()
