# SPDX-License-Identifier: 0BSD
"""Section 9: a setup program in blocks, decoded on every processor of the
launcher's affinity mask (Wine pinned to --cores-cpu, two processors by
default), against the same program as one block and against NSIS; the
size blocks cost; stubpack build on every core against --threads 1; the
launcher's own DecodeSetBlocks on the host for 1, 2, ... threads; and the
launcher's memory at two threads and against the size of the program."""

import os
import shutil
import subprocess

from benchlib import (MIB, ProcPoller, compare, fmt_mib, goal, log, make_setup, median,
                      nsis_command, own_peak, run_timer, spread, timed_run, times, verdict)
from packing import (build, decode_threads, has_threads_option, inspect, log_features,
                     program_args, set_dictionary, setup_writes_blocks)

TIME_GOAL = 0.60        # blocks / one block, start to setup program start
NSIS_GOAL = 0.25        # blocks / NSIS, the same at the large size
SIZE_GOAL = 1.005       # blocks / one block, launcher file size
BUILD_GOAL = 0.55       # default threads / --threads 1, stubpack build
THREAD_BYTES = 4 * MIB  # what a decoding thread holds beside its dictionary
MEMORY_SLACK = 16 * MIB
GROWTH_LIMIT_MIB = 4.0  # the launcher's peak may not grow with the program


def cpu_count(cpus):
    """The processors a taskset list names ("0,1", "0-3,6")."""
    count = 0
    for part in cpus.split(","):
        low, _, high = part.partition("-")
        count += int(high or low) - int(low) + 1
    return count


def host_threads(cpus=None):
    """1, 2 and the powers of two up to the machine's processors (at most the
    launcher's eight), and the machine's own count."""
    have = min(8, cpus or os.cpu_count() or 1)
    counts = {1, 2} | {n for n in (4, 8) if n <= have} | {have}
    return sorted(counts)


def memory_bound(threads, dictionary):
    """The most the launcher may hold beyond an idle process: each thread's
    dictionary and pieces, and 16 MiB for the rest."""
    return threads * (dictionary + THREAD_BYTES) + MEMORY_SLACK


def parse_rounds(text):
    """set_decode_bench's round lines: {threads: [(used, wall_ms, cpu_ms), ...]}."""
    rounds = {}
    for line in text.splitlines():
        f = line.split()
        if len(f) == 10 and f[0] == "round":
            rounds.setdefault(int(f[3]), []).append((int(f[5]), float(f[7]), float(f[9])))
    return rounds


# --- the builds ------------------------------------------------------------------

def pack(ctx, program, blocks, tag, extra=()):
    """`program` packed in blocks or as one block, built on --cores-cpu;
    returns (launcher, build run, inspect info)."""
    out = ctx.work / ("%s.exe" % tag)
    folder = ctx.work / ("%s-dir" % tag)
    run = build(ctx.paths["stubpack"], ctx.paths["stub"], program_args(program, blocks, folder),
                out, extra, ctx.args.cores_cpu, tag)
    # The one-file set's link to the program: it would keep a large program
    # on disk after the program itself is removed.
    shutil.rmtree(folder, ignore_errors=True)
    return out, run, inspect(ctx.paths["stubpack"], out)


def describe(info):
    if info.get("form") != "fileSet":
        return "one block"
    t = info["setTable"]
    return "%d blocks of %s" % (t["blockCount"], fmt_mib(t["blockSize"]))


# --- the parts ---------------------------------------------------------------------

def size_part(ctx, blocks, one, mib):
    (_, rb, ib), (_, ro, _) = blocks, one
    log("  %d MiB: blocks (%s) %d bytes in %.1f s, CPU %.1f s; one block %d bytes in %.1f s, "
        "CPU %.1f s" % (mib, describe(ib), rb["size"], rb["wall"], rb["cpu"], ro["size"],
                        ro["wall"], ro["cpu"]))
    name = "launcher file size, %d MiB: blocks / one block" % mib
    ratio = rb["size"] / ro["size"]
    ok = verdict(name, ratio, SIZE_GOAL)
    ctx.summary.append((name, "%d vs %d bytes" % (rb["size"], ro["size"]), "%.4f" % ratio,
                        "<= %.3f" % SIZE_GOAL, goal(ok)))


def decode_table(ctx, launcher, info, program):
    """The launcher's DecodeSetBlocks on the host, one row per thread count."""
    a = ctx.args
    if info.get("form") != "fileSet":
        log("  host decode: skipped: the program fits one block")
        return
    counts = host_threads()
    log("  host decode, DecodeSetBlocks through the memory platform (%d rounds, thread counts "
        "alternating, unpinned):" % a.rounds)
    out = subprocess.run([str(ctx.paths["set_decode_bench"]), str(launcher), str(a.rounds),
                          ",".join(map(str, counts)), str(program)],
                         capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if out.returncode != 0:
        raise SystemExit("bench: set_decode_bench failed: %s" % out.stderr.strip())
    rounds = parse_rounds(out.stdout)
    size = int(out.stdout.split("decoded_bytes", 1)[1].split()[0])
    one = [w for _, w, _ in rounds[1]]
    log("    %-8s %-5s %-10s %-9s %-24s %s" % ("threads", "used", "median ms", "MB/s",
                                               "/ 1 thread (per round)", "CPU ms"))
    for t in counts:
        wall = [w for _, w, _ in rounds[t]]
        ratios = [w / o for w, o in zip(wall, one)]
        ratio = median(wall) / median(one)
        log("    %-8d %-5d %-10.0f %-9.1f %-24s %.0f" % (
            t, rounds[t][0][0], median(wall), size / median(wall) / 1e3,
            "%.3f (%s)" % (ratio, spread(ratios)), median([c for _, _, c in rounds[t]])))
        ctx.summary.append(("host decode, %d MiB set, %d thread%s" % (
            size // MIB, t, "" if t == 1 else "s"), "%.1f MB/s" % (size / median(wall) / 1e3),
            "%.3f (%s)" % (ratio, spread(ratios)), "(info)", ""))


def launch_part(ctx, blocks, one, mib):
    a, p = ctx.args, ctx.paths
    processors = cpu_count(a.cores_cpu)
    threads = decode_threads(processors, blocks[2]["setTable"]["blockCount"]
                             if blocks[2].get("form") == "fileSet" else 1)
    poller = ProcPoller([blocks[0], one[0]])
    poller.start()
    runs = run_timer(p["timer"], [("blocks", blocks[0]), ("one-block", one[0]),
                                  ("idle", p["idle"])], a.rounds, a, ctx.work, ctx.prefix,
                     "cores-%d" % mib, cpu=a.cores_cpu)
    poller.stop.set()
    poller.join()
    c = compare(runs, "blocks", "one-block")
    log("  under Wine on %d processors, start -> setup program start: blocks median %.0f ms "
        "(%s), one block %.0f ms (%s)" % (processors, c["median"], spread(c["values"], "%.0f"),
                                          c["base"], spread(c["base_values"], "%.0f")))
    tb, to = poller.threads(blocks[0]), poller.threads(one[0])
    if tb and to:
        log("  threads of the Wine process at most (Wine's own included): blocks %d, one block "
            "%d; the launcher decodes on %d" % (max(tb), max(to), threads))
    name = "start to setup start, Wine, %d MiB, %d processors: blocks / one block" % (
        mib, processors)
    ok = verdict(name, c["ratio"], TIME_GOAL, c["rounds"])
    ctx.summary.append((name, "%.0f vs %.0f ms" % (c["median"], c["base"]),
                        "%.3f (%s)" % (c["ratio"], spread(c["rounds"])),
                        "<= %.2f" % TIME_GOAL, goal(ok)))
    dictionary = set_dictionary(blocks[2])
    bound = memory_bound(threads, dictionary)
    peak = own_peak(runs, "blocks")
    log("  peak working set less idle.exe's: blocks %s, one block %s; bound %d threads x "
        "(dictionary %s + 4 MiB) + 16 MiB = %s" % (
            fmt_mib(peak), fmt_mib(own_peak(runs, "one-block")), threads, fmt_mib(dictionary),
            fmt_mib(bound)))
    name = "peak memory, Wine, %d MiB in blocks, %d threads: launcher - idle / bound" % (
        mib, threads)
    ok = verdict(name, peak / bound, 1.0)
    ctx.summary.append((name, "%s vs %s" % (fmt_mib(peak), fmt_mib(bound)),
                        "%.3f" % (peak / bound), "<= 1.00", goal(ok)))


def growth_part(ctx):
    """The launcher's peak with a small and a large program in blocks, packed
    at --preset 0 (the same dictionary for both, ten times faster to build)."""
    a, p = ctx.args, ctx.paths
    sizes = a.cores_memory_mib
    launchers = []
    for mib in sizes:
        program = ctx.work / ("cores-mem-%d-setup.exe" % mib)
        make_setup(p["stamp"], mib * MIB, program)
        out, run, info = pack(ctx, program, True, "cores-mem-%d" % mib, ["--preset", "0"])
        program.unlink()
        log("  %d MiB in %s, --preset 0 (dictionary %s): built in %.1f s" % (
            mib, describe(info), fmt_mib(set_dictionary(info)), run["wall"]))
        launchers.append(out)
    runs = run_timer(p["timer"], [("mem-%d" % m, l) for m, l in zip(sizes, launchers)]
                     + [("idle", p["idle"])], a.rounds, a, ctx.work, ctx.prefix, "cores-memory",
                     cpu=a.cores_cpu)
    # The largest round, not the median: with few blocks a thread may get no
    # full block in some rounds (the other took both), and hold less then.
    idle = median(times(runs, "idle", "peak_ws"))
    held = [[v - idle for v in times(runs, "mem-%d" % m, "peak_ws")] for m in sizes]
    peaks = [max(h) for h in held]
    diff = (peaks[-1] - peaks[0]) / MIB
    log("  peak working set less idle.exe's, largest round (per round): %s" % ", ".join(
        "%d MiB program %s (%s MiB)" % (m, fmt_mib(k), spread([v / MIB for v in h], "%.1f"))
        for m, k, h in zip(sizes, peaks, held)))
    name = "peak memory, Wine: %d MiB - %d MiB program in blocks, in MiB" % (sizes[-1], sizes[0])
    ok = verdict(name, diff, GROWTH_LIMIT_MIB)
    ctx.summary.append((name, "%s - %s" % (fmt_mib(peaks[-1]), fmt_mib(peaks[0])),
                        "%.1f MiB" % diff, "<= %.0f MiB" % GROWTH_LIMIT_MIB, goal(ok)))
    for l in launchers:
        l.unlink()


def build_time_part(ctx, program, blocks_run, mib):
    """stubpack build on every core against --threads 1, once the packer
    takes --threads."""
    if not ctx.features["threads"]:
        log("  build time, default threads / --threads 1: skipped: this stubpack has no "
            "--threads")
        ctx.summary.append(("stubpack build, %d MiB: default threads / --threads 1" % mib,
                            "skipped: no --threads", "", "<= %.2f" % BUILD_GOAL, ""))
        return
    out, single, _ = pack(ctx, program, True, "cores-large-1thread", ["--threads", "1"])
    out.unlink()
    ratio = blocks_run["wall"] / single["wall"]
    log("  stubpack build on %s: default threads %.1f s (CPU %.1f s, %s), --threads 1 %.1f s "
        "(CPU %.1f s, %s)" % (ctx.args.cores_cpu, blocks_run["wall"], blocks_run["cpu"],
                              fmt_mib(blocks_run["rss"]), single["wall"], single["cpu"],
                              fmt_mib(single["rss"])))
    name = "stubpack build, %d MiB: default threads / --threads 1" % mib
    ok = verdict(name, ratio, BUILD_GOAL)
    ctx.summary.append((name, "%.1f vs %.1f s" % (blocks_run["wall"], single["wall"]),
                        "%.3f" % ratio, "<= %.2f" % BUILD_GOAL, goal(ok)))


def nsis_part(ctx):
    """The large program in blocks against the NSIS installer, and the build
    time against --threads 1."""
    a, p = ctx.args, ctx.paths
    mib = a.cores_large_mib
    program = ctx.work / ("cores-%d-setup.exe" % mib)
    make_setup(p["stamp"], mib * MIB, program)
    blocks, run, info = pack(ctx, program, True, "cores-%d-blocks" % mib)
    log("\n  -- %d MiB: %s, built in %.1f s (CPU %.1f s)" % (mib, describe(info), run["wall"],
                                                           run["cpu"]))
    build_time_part(ctx, program, run, mib)
    if not p["makensis"]:
        log("  against NSIS: skipped: makensis is missing (Debian package nsis)")
        program.unlink()
        blocks.unlink()
        return
    nsis = ctx.work / ("cores-%d-nsis.exe" % mib)
    made = timed_run(nsis_command(program, nsis), None, ctx.work / "cores-nsis-build")
    program.unlink()
    if made["status"] != 0:
        raise SystemExit("bench: makensis failed for the %d MiB program" % mib)
    log("  makensis %.1f s (CPU %.1f s); sizes: launcher %d, NSIS installer %d bytes" % (
        made["wall"], made["cpu"], run["size"], nsis.stat().st_size))
    runs = run_timer(p["timer"], [("blocks", blocks), ("nsis", nsis)], a.cores_large_launches,
                     a, ctx.work, ctx.prefix, "cores-nsis", cpu=a.cores_cpu)
    c = compare(runs, "blocks", "nsis")
    log("  under Wine, start -> setup program start (%d rounds): launcher in blocks median "
        "%.0f ms (%s), NSIS %.0f ms (%s)" % (
            a.cores_large_launches, c["median"], spread(c["values"], "%.0f"), c["base"],
            spread(c["base_values"], "%.0f")))
    name = "start to setup start, Wine, %d MiB, %d processors: blocks / NSIS" % (
        mib, cpu_count(a.cores_cpu))
    ok = verdict(name, c["ratio"], NSIS_GOAL, c["rounds"])
    ctx.summary.append((name, "%.0f vs %.0f ms" % (c["median"], c["base"]),
                        "%.3f (%s)" % (c["ratio"], spread(c["rounds"])),
                        "<= %.2f" % NSIS_GOAL, goal(ok)))
    blocks.unlink()
    nsis.unlink()


def cores_section(ctx):
    a, p = ctx.args, ctx.paths
    log("\n== 9. every core: a setup program in blocks, Wine on CPUs %s (%d processors), "
        "%d rounds" % (a.cores_cpu, cpu_count(a.cores_cpu), a.rounds))
    ctx.features = {"threads": has_threads_option(p["stubpack"]),
                    "setup_blocks": setup_writes_blocks(p["stubpack"], p["stub"], p["stamp"],
                                                        ctx.work)}
    log_features(ctx.features)
    mib = a.cores_mib
    program = ctx.work / ("cores-%d-setup.exe" % mib)
    make_setup(p["stamp"], mib * MIB, program)
    blocks = pack(ctx, program, True, "cores-%d-blocks" % mib)
    one = pack(ctx, program, False, "cores-%d-one" % mib)
    size_part(ctx, blocks, one, mib)
    decode_table(ctx, blocks[0], blocks[2], program)
    program.unlink()
    launch_part(ctx, blocks, one, mib)
    blocks[0].unlink()
    one[0].unlink()
    growth_part(ctx)
    nsis_part(ctx)
