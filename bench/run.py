#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Prints the launcher's performance figures, measured now, beside their floors.

1. decode throughput on the host: DecompressPayload vs plain liblzma 5.8.1
2. start-to-hand-off under Wine: Stub64.exe vs the previous launcher (the
   Stub64.exe of --previous-stub, packed the same way), reference.exe (default
   -O2 liblzma 5.8.1, the floor) and reference_old.exe (the same with 5.4.1,
   the floor the launcher had before)
3. peak memory of the launcher run vs dictionary + 16 MiB
4. the launcher's memory for a 64 MiB and a 1 GiB setup program under Wine
   (/usr/bin/time -v): the difference must not grow with the setup program
5. memory of stubpack verify and extract on the 1 GiB launcher
6. size and imports of Stub64.exe
7. the peer, NSIS (bench/peer.nsi), for a 64 MiB and a 1 GiB setup program:
   build time and maximum RSS of stubpack build against the stubpack before
   it streamed (--previous-stubpack) and makensis, output sizes, and under
   Wine start to setup program start and peak memory of the launcher against
   the NSIS installer. Skipped with one line when makensis is missing.
8. a folder of many files as a file set against the same bytes as one
   program, under Wine (sets_section.py)
9. every core: a program in blocks against one block and against NSIS on
   two processors, the size blocks cost, stubpack build's threads, the
   launcher's DecodeSetBlocks on the host per thread count, and its memory
   (cores_section.py)
10. a launch without the progress window against the launcher from before
   it (window_section.py)
11. with --large: a 3 GiB setup program built, verified and launched
   (large_section.py)

--only base,peer,sets,cores,window,large runs those sections alone ("base"
is 1-6); bench/packing.py says how programs are packed in blocks.

Every timing alternates the programs per round; each figure is printed as the
median with its spread (lowest-highest over the rounds), and each goal gets a
verdict line.

Called by bench/run.sh after the builds. Exits non-zero only on errors; a
missed goal is reported, not fatal.
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from benchlib import (ELF_DIRS, GNU_TIME, MAKENSIS, MIB, PEER_SCRIPT, ROOT, ProcPoller,
                      fmt_mib, goal, launcher_dictionary, log, make_setup, max_rss, median,
                      nsis_command, parse_pairs, pinned, print_summary, read_header, run_timer,
                      spread, start_wine, stop_wine, timed_run, to_windows_path, verdict, wine,
                      wine_env)
from cores_section import cores_section
from large_section import large_section
from packing import WHOLE
from sets_section import sets_section
from window_section import window_section

# Setup program sizes of the memory comparison: the launcher's memory must
# not grow from the first to the second.
MEMORY_SETUP_MIB = (64, 1024)


# --- the peer: NSIS ------------------------------------------------------------

# stubpack's own memory, beyond liblzma's encoder, whatever the setup program.
PACKER_ALLOWANCE = 32 * MIB


def encoder_memory(tool, hdr):
    """liblzma's figure for the encoder stubpack ran: its default preset and
    the dictionary the launcher file records."""
    out = subprocess.run([str(tool), "6", str(hdr["dict"])], check=True,
                         capture_output=True, text=True).stdout
    return int(out)


def peer_builds(mib, setup, paths, args, work):
    """Builds the launcher file with this stubpack and the previous one, and
    the NSIS installer, in turn, order rotating per round; GNU time gives each
    build's wall and CPU time and maximum RSS. Returns ({name: [timed_run's
    result, ...]}, {name: output file})."""
    names = ["stubpack"] + (["previous"] if paths["previous_stubpack"] else []) + ["makensis"]
    outputs = {name: work / ("peer-%d-%s.exe" % (mib, name)) for name in names}
    # Both stubpacks pack the program whole, in the form the previous one
    # knows, so the peer section keeps comparing like with like.
    commands = {name: [paths[name if name == "stubpack" else "previous_stubpack"], "build",
                       "--stub", paths["stub"], "--setup", setup, "--out", outputs[name]]
                      + (WHOLE if name == "stubpack" else [])
                for name in names if name != "makensis"}
    commands["makensis"] = nsis_command(setup, outputs["makensis"])
    rounds = args.peer_rounds if mib == args.peer_mib[0] else args.peer_large_rounds
    results = {name: [] for name in names}
    for rnd in range(rounds):
        shift = rnd % len(names)
        for name in names[shift:] + names[:shift]:
            run = timed_run([str(c) for c in commands[name]], None,
                            work / ("build-%d-%s" % (mib, name)))
            if run["status"] != 0:
                raise SystemExit("bench: %s failed for the %d MiB setup program (exit %d)"
                                 % (name, mib, run["status"]))
            results[name].append(run)
        log("  round %d: %s" % (rnd + 1, ", ".join(
            "%s %.1f s (CPU %.1f s) %s" % (name, results[name][-1]["wall"],
                                           results[name][-1]["cpu"],
                                           fmt_mib(results[name][-1]["rss"]))
            for name in names)))
    return results, outputs


def report_builds(mib, results, outputs, paths, summary):
    """The build figures of one size; returns stubpack's largest maximum RSS."""
    hdr = read_header(outputs["stubpack"])
    sizes = {name: out.stat().st_size for name, out in outputs.items()}
    times = {name: [r["wall"] for r in runs] for name, runs in results.items()}
    cpu = {name: [r["cpu"] for r in runs] for name, runs in results.items()}
    rss = {name: max(r["rss"] for r in runs) for name, runs in results.items()}

    enc = encoder_memory(paths["encoder_memory"], hdr)
    bound = enc + PACKER_ALLOWANCE
    log("  stubpack build: median %.1f s, maximum RSS %s; liblzma's encoder (preset 6, "
        "dictionary %s) %s + 32 MiB = %s" % (median(times["stubpack"]), fmt_mib(rss["stubpack"]),
                                             fmt_mib(hdr["dict"]), fmt_mib(enc), fmt_mib(bound)))
    ok = verdict("stubpack build, %d MiB: max RSS / (encoder + 32 MiB)" % mib,
                 rss["stubpack"] / bound, 1.0)
    summary.append(("stubpack build, %d MiB: max RSS / (encoder + 32 MiB)" % mib, "%s vs %s" % (
        fmt_mib(rss["stubpack"]), fmt_mib(bound)), "%.3f" % (rss["stubpack"] / bound),
        "<= 1.00", goal(ok)))
    if "previous" in results:
        same = outputs["stubpack"].read_bytes() == outputs["previous"].read_bytes()
        ratios = [a / b for a, b in zip(times["stubpack"], times["previous"])]
        r = median(times["stubpack"]) / median(times["previous"])
        cpu_ratios = [a / b for a, b in zip(cpu["stubpack"], cpu["previous"])]
        rc = median(cpu["stubpack"]) / median(cpu["previous"])
        log("  previous stubpack (held the whole program): median %.1f s, maximum RSS %s; "
            "outputs %s" % (median(times["previous"]), fmt_mib(rss["previous"]),
                            "byte-identical" if same else "DIFFER"))
        verdict("stubpack build, %d MiB: files differing from the previous stubpack's" % mib,
                0.0 if same else 1.0, 0.0)
        ok = verdict("stubpack build time, %d MiB: this / previous" % mib, r, 1.02,
                     ratios if len(ratios) > 1 else None)
        log("  CPU time (user + system): this %.1f s, previous %.1f s, ratio %.3f (per round %s)"
            % (median(cpu["stubpack"]), median(cpu["previous"]), rc, spread(cpu_ratios)))
        summary.append(("stubpack build time, %d MiB: this / previous" % mib,
                        "%.1f vs %.1f s" % (median(times["stubpack"]), median(times["previous"])),
                        "%.3f (%s)" % (r, spread(ratios)), "<= 1.02", goal(ok)))
        summary.append(("  same, CPU time", "%.1f vs %.1f s" % (
            median(cpu["stubpack"]), median(cpu["previous"])),
            "%.3f (%s)" % (rc, spread(cpu_ratios)), "(info)", ""))
        summary.append(("  same, output / max RSS of the previous", "%s; %s" % (
            "identical" if same else "DIFFERENT", fmt_mib(rss["previous"])), "", "(info)", ""))
    ratios = [a / b for a, b in zip(times["stubpack"], times["makensis"])]
    log("  makensis: median %.1f s, maximum RSS %s; stubpack / makensis time %.3f (per round "
        "%s), RSS %.3f" % (median(times["makensis"]), fmt_mib(rss["makensis"]),
                           median(times["stubpack"]) / median(times["makensis"]), spread(ratios),
                           rss["stubpack"] / rss["makensis"]))
    log("  output: stubpack %d bytes, makensis %d bytes (%.4f)" % (
        sizes["stubpack"], sizes["makensis"], sizes["stubpack"] / sizes["makensis"]))
    summary.append(("stubpack / makensis, %d MiB: build time; max RSS" % mib,
                    "%.1f vs %.1f s; %s vs %s" % (
                        median(times["stubpack"]), median(times["makensis"]),
                        fmt_mib(rss["stubpack"]), fmt_mib(rss["makensis"])),
                    "%.3f; %.3f" % (median(times["stubpack"]) / median(times["makensis"]),
                                    rss["stubpack"] / rss["makensis"]), "(info)", ""))
    summary.append(("  same, output size", "%d vs %d bytes" % (
        sizes["stubpack"], sizes["makensis"]), "%.4f" % (sizes["stubpack"] / sizes["makensis"]),
        "(info)", ""))
    return rss["stubpack"]


def report_launches(mib, outputs, paths, args, work, prefix, summary):
    """Under Wine: start to setup program start and peak memory, launcher
    against the NSIS installer, alternating."""
    launches = args.rounds if mib == args.peer_mib[0] else args.peer_large_launches
    runs = run_timer(paths["timer"], [("launcher", outputs["stubpack"]),
                                      ("nsis", outputs["makensis"]), ("idle", paths["idle"])],
                     launches, args, work, prefix, "peer-%d" % mib)
    lt = [r["handoff"] for r in runs["launcher"]]
    nt = [r["handoff"] for r in runs["nsis"]]
    ratios = [a / b for a, b in zip(lt, nt)]
    r = median(lt) / median(nt)
    log("  under Wine, start -> setup program start (%d rounds): launcher median %.0f ms "
        "(%s), NSIS %.0f ms (%s)" % (launches, median(lt), spread(lt, "%.0f"), median(nt),
                                     spread(nt, "%.0f")))
    ok = verdict("start to setup start, Wine, %d MiB: launcher / NSIS" % mib, r, 0.50, ratios)
    summary.append(("start to setup start, Wine, %d MiB: launcher / NSIS" % mib,
                    "%.0f vs %.0f ms" % (median(lt), median(nt)),
                    "%.3f (%s)" % (r, spread(ratios)), "<= 0.50", goal(ok)))
    idle = median([x["peak_ws"] for x in runs["idle"]])
    lw = median([x["peak_ws"] for x in runs["launcher"]]) - idle
    nw = median([x["peak_ws"] for x in runs["nsis"]]) - idle
    log("  peak working set less idle.exe's (%s): launcher %s, NSIS %s" % (
        fmt_mib(idle), fmt_mib(lw), fmt_mib(nw)))
    ok = verdict("peak memory, Wine, %d MiB: launcher / NSIS (less idle)" % mib, lw / nw, 1.0)
    summary.append(("peak memory, Wine, %d MiB: launcher / NSIS, less idle" % mib,
                    "%s vs %s" % (fmt_mib(lw), fmt_mib(nw)), "%.3f" % (lw / nw), "< 1.00",
                    goal(ok)))


def peer_size(mib, paths, args, work, prefix, summary):
    """Section 7 for one size; returns stubpack's largest maximum RSS."""
    setup = work / ("peer-setup-%d.exe" % mib)
    nfiles = make_setup(paths["stamp"], mib * MIB, setup)
    log("\n  -- %d MiB setup program (stamp.exe + %d ELF file reads, %d bytes)" % (
        mib, nfiles, setup.stat().st_size))
    results, outputs = peer_builds(mib, setup, paths, args, work)
    setup.unlink()
    rss = report_builds(mib, results, outputs, paths, summary)
    report_launches(mib, outputs, paths, args, work, prefix, summary)
    for out in outputs.values():
        out.unlink()
    return rss


def peer_section(ctx):
    paths, args, work, prefix, summary = ctx.paths, ctx.args, ctx.work, ctx.prefix, ctx.summary
    log("\n== 7. stubpack and the launcher against NSIS (%s)" % PEER_SCRIPT.name)
    if not shutil.which(MAKENSIS):
        log("  skipped: makensis is missing (Debian package nsis; scripts/setup-deps.sh "
            "installs it)")
        return
    version = subprocess.run([MAKENSIS, "-VERSION"], capture_output=True, text=True).stdout
    log("  makensis %s; builds rotate their order per round, launches alternate" %
        version.strip())
    grown = [peer_size(mib, paths, args, work, prefix, summary) for mib in args.peer_mib]
    if len(grown) > 1:
        diff = grown[-1] - grown[0]
        ok = verdict("stubpack build max RSS: %d MiB - %d MiB setup program, in MiB" % (
            args.peer_mib[-1], args.peer_mib[0]), diff / MIB, 16.0)
        summary.append(("stubpack build max RSS: %d MiB - %d MiB setup program" % (
            args.peer_mib[-1], args.peer_mib[0]), "%s - %s" % (
                fmt_mib(grown[-1]), fmt_mib(grown[0])), fmt_mib(diff), "<= 16 MiB", goal(ok)))


def base_sections(ctx):
    """Sections 1 to 6: the launcher's decode path, its hand-off and memory
    under Wine, and its own file."""
    args, paths, work, prefix, summary = ctx.args, ctx.paths, ctx.work, ctx.prefix, ctx.summary
    stub, stubpack, decode_bench = paths["stub"], paths["stubpack"], paths["decode_bench"]
    bench_win = paths["stamp"].parent
    previous_stub = paths["previous_stub"]
    # ---------------------------------------------------------------- input
    setup = work / "setup.exe"
    launcher = work / "bench-launcher.exe"
    nfiles = make_setup(bench_win / "stamp.exe", args.decode_mib * MIB, setup)
    log("setup program: stamp.exe + %d MiB overlay of %d ELF files from %s (%d bytes)"
        % (args.decode_mib, nfiles, " and ".join(ELF_DIRS), setup.stat().st_size))
    t = time.monotonic()
    subprocess.run([str(stubpack), "build", "--stub", str(stub), "--setup", str(setup),
                    "--out", str(launcher)] + WHOLE, check=True, stdout=subprocess.DEVNULL)
    hdr = read_header(launcher)
    log("packed with stubpack defaults in %.1f s: %d -> %d bytes (%.1f%%), LZMA props %s, "
        "dictionary %s" % (time.monotonic() - t, hdr["size"], hdr["packed"],
                           100.0 * hdr["packed"] / hdr["size"], hdr["props"],
                           fmt_mib(hdr["dict"])))
    previous = None
    if previous_stub:
        previous = work / "bench-previous.exe"
        subprocess.run([str(stubpack), "build", "--stub", str(previous_stub), "--setup",
                        str(setup), "--out", str(previous)] + WHOLE, check=True,
                       stdout=subprocess.DEVNULL)
        log("previous launcher: the same setup program packed the same way around %s "
            "(%s)" % (previous_stub, args.previous_name or "no name given"))

    # ------------------------------------------------- decode throughput
    log("\n== 1. decode throughput, host (%d rounds, alternating, pinned to CPU %s)"
        % (args.rounds, args.cpu or "-"))
    out = subprocess.run(pinned([str(decode_bench), str(launcher), str(args.rounds),
                                 str(setup)], args.cpu),
                         check=True, capture_output=True, text=True).stdout
    rounds1 = []
    for line in out.splitlines():
        if line.startswith("round "):
            log("  " + line)
            p = line.split()
            rounds1.append({p[i]: float(p[i + 1]) for i in range(2, len(p) - 1, 2)})
    d = parse_pairs(out)
    r1 = d["ratio_of_medians"]
    log("  launcher DecompressPayload: median %.1f ms = %.1f MB/s (rounds %s ms)" % (
        d["launcher_ms_median"], d["launcher_mb_s"],
        spread([r["launcher_ms"] for r in rounds1], "%.1f")))
    log("  plain lzma_raw_decoder:     median %.1f ms = %.1f MB/s (rounds %s ms)" % (
        d["plain_ms_median"], d["plain_mb_s"],
        spread([r["plain_ms"] for r in rounds1], "%.1f")))
    log("  plain into a fresh buffer each round (first-touch cost included): median %.1f ms"
        " = %.1f MB/s; launcher / that %.3f" % (d["plain_fresh_ms_median"],
                                               d["plain_fresh_mb_s"], d["launcher_vs_fresh"]))
    log("  thread CPU time: launcher %.1f ms, plain %.1f ms, ratio %.3f" % (
        d["launcher_cpu_ms_median"], d["plain_cpu_ms_median"], d["cpu_ratio_of_medians"]))
    ratios1 = [r["ratio"] for r in rounds1]
    ok = verdict("decode path, host: launcher / plain liblzma 5.8.1", r1, 1.03, ratios1)
    summary.append(("decode, host: launcher / plain liblzma 5.8.1 time",
                    "%.1f vs %.1f MB/s" % (d["launcher_mb_s"], d["plain_mb_s"]),
                    "%.3f (%s)" % (r1, spread(ratios1)), "<= 1.03", goal(ok)))
    summary.append(("  same, thread CPU time", "%.0f vs %.0f ms" % (
        d["launcher_cpu_ms_median"], d["plain_cpu_ms_median"]),
        "%.3f" % d["cpu_ratio_of_medians"], "(info)", ""))

    # ------------------------------------------------- hand-off, memory
    log("\n== 2. start to hand-off under Wine (%d rounds, alternating)" % args.rounds)
    ctx.start_wine()

    variants = [("launcher", launcher)]
    if previous:
        variants.append(("previous", previous))
    variants += [("reference", bench_win / "reference.exe"),
                 ("reference_old", bench_win / "reference_old.exe"),
                 ("reference_stublzma", bench_win / "reference_stublzma.exe"),
                 ("stamp", bench_win / "stamp.exe"), ("setup", setup),
                 ("idle", bench_win / "idle.exe")]
    poller = ProcPoller([launcher, bench_win / "idle.exe", bench_win / "reference.exe",
                         bench_win / "reference_old.exe",
                         bench_win / "reference_stublzma.exe"]
                        + ([previous] if previous else []))
    poller.start()
    runs = run_timer(bench_win / "timer.exe", variants, args.rounds, args, work, prefix,
                     "launcher", {"BENCH_LAUNCHER": to_windows_path(launcher)})
    poller.stop.set()
    poller.join()
    for rnd in range(args.rounds):
        l, f, o = runs["launcher"][rnd], runs["reference"][rnd], runs["reference_old"][rnd]
        log("  round %d launcher_ms %.1f reference_ms %.1f ratio %.3f reference_old_ms %.1f "
            "ratio %.3f  (reference with xz-stub %.1f ms; start of stamp.exe %.1f ms, of "
            "the setup program %.1f ms)" % (
                rnd + 1, l["handoff"], f["handoff"], l["handoff"] / f["handoff"],
                o["handoff"], l["handoff"] / o["handoff"],
                runs["reference_stublzma"][rnd]["handoff"],
                runs["stamp"][rnd]["handoff"], runs["setup"][rnd]["handoff"]))
        if previous:
            v = runs["previous"][rnd]
            log("          previous_ms %.1f ratio %.3f" % (v["handoff"],
                                                         l["handoff"] / v["handoff"]))

    def times(name):
        return [r["handoff"] for r in runs[name]]

    lm = median(times("launcher"))
    fm = median(times("reference"))
    om = median(times("reference_old"))
    sm = median([r["handoff"] for r in runs["stamp"]])
    bm = median([r["handoff"] for r in runs["setup"]])
    le = median([r["exit"] for r in runs["launcher"]])
    new_rounds = [a / b for a, b in zip(times("launcher"), times("reference"))]
    old_rounds = [a / b for a, b in zip(times("launcher"), times("reference_old"))]
    r2 = lm / fm
    r2old = lm / om
    log("  launcher start -> setup program start: median %.1f ms (%.1f MB/s of setup "
        "program; rounds %s ms)" % (lm, hdr["size"] / lm / 1e3, spread(times("launcher"), "%.0f")))
    log("  reference (5.8.1) start -> temp copy written:  median %.1f ms (%.1f MB/s; rounds "
        "%s ms)" % (fm, hdr["size"] / fm / 1e3, spread(times("reference"), "%.0f")))
    log("  reference_old (5.4.1) start -> temp copy written: median %.1f ms (%.1f MB/s; "
        "rounds %s ms)" % (om, hdr["size"] / om / 1e3, spread(times("reference_old"), "%.0f")))
    xm = median([r["handoff"] for r in runs["reference_stublzma"]])
    log("  reference built with the launcher's liblzma (xz-stub): median %.1f ms; "
        "decoder build accounts for %.3f, the launcher's own work for %.3f of the ratio"
        % (xm, xm / fm, lm / xm))
    lc = median([r["cpu"] for r in runs["launcher"]])
    fc = median([r["cpu"] for r in runs["reference"]])
    xc = median([r["cpu"] for r in runs["reference_stublzma"]])
    log("  GetProcessTimes on the child's handle says launcher %.0f ms, reference %.0f ms "
        "of CPU: Wine does not report another process's real CPU time, so /proc is used"
        % (lc, fc))
    pl = poller.cpu(launcher)
    pf = poller.cpu(bench_win / "reference.exe")
    px = poller.cpu(bench_win / "reference_stublzma.exe")
    cpu_ratio = float("nan")
    if pl and pf and px:
        cpu_ratio = median(pl) / median(pf)
        log("  CPU time, whole process from /proc/PID/stat (%d ms ticks): launcher %.0f ms, "
            "reference %.0f ms, reference with xz-stub %.0f ms; ratio %.3f" % (
                1000 / poller.tick, median(pl) * 1e3, median(pf) * 1e3, median(px) * 1e3,
                median(pl) / median(pf)))
    log("  bare process start (timer -> stamp.exe): median %.1f ms" % sm)
    log("  start of the setup program itself (timer -> setup.exe, %d bytes): median %.1f ms"
        % (setup.stat().st_size, bm))
    log("  launcher start -> launcher exit (after setup ended, copy deleted): median %.1f ms"
        % le)
    ok_old = verdict("start to hand-off, Wine: launcher / old floor (5.4.1)", r2old, 0.75,
                     old_rounds)
    ok_new = verdict("start to hand-off, Wine: launcher / floor (5.8.1)", r2, 1.00,
                     new_rounds)
    if previous:
        pm = median(times("previous"))
        prev_rounds = [a / b for a, b in zip(times("launcher"), times("previous"))]
        r2prev = lm / pm
        log("  previous launcher start -> setup program start: median %.1f ms (rounds %s ms)"
            % (pm, spread(times("previous"), "%.0f")))
        ok_prev = verdict("start to hand-off, Wine: launcher / previous launcher", r2prev,
                          0.97, prev_rounds)
        summary.append(("start to hand-off, Wine: launcher / previous launcher",
                        "%.0f vs %.0f ms" % (lm, pm),
                        "%.3f (%s)" % (r2prev, spread(prev_rounds)), "<= 0.97",
                        goal(ok_prev)))
    summary.append(("start to hand-off, Wine: launcher / old floor (5.4.1)",
                    "%.0f vs %.0f ms" % (lm, om), "%.3f (%s)" % (r2old, spread(old_rounds)),
                    "<= 0.75", goal(ok_old)))
    summary.append(("start to hand-off, Wine: launcher / floor (5.8.1)",
                    "%.0f vs %.0f ms" % (lm, fm), "%.3f (%s)" % (r2, spread(new_rounds)),
                    "<= 1.00", goal(ok_new)))
    if pl and pf:
        summary.append(("  same, CPU time (/proc, whole process)", "%.0f vs %.0f ms" % (
            median(pl) * 1e3, median(pf) * 1e3), "%.3f" % cpu_ratio, "(info)", ""))
    summary.append(("  same, reference with xz-stub / reference", "%.0f vs %.0f ms" % (xm, fm),
                    "%.3f" % (xm / fm), "(info)", ""))

    log("\n== 3. peak memory of the launcher run")
    dict_used = launcher_dictionary(hdr)
    # The launcher streams: a piece of the block, a piece of the output and
    # the dictionary, whatever the size of the setup program.
    bound = dict_used + 16 * MIB
    log("  bound: dictionary %s + 16 MiB = %s (%d bytes); holding the whole package "
        "would take packed %s + decoded %s + dictionary = %s" % (
            fmt_mib(dict_used), fmt_mib(bound), bound, fmt_mib(hdr["packed"]),
            fmt_mib(hdr["size"]), fmt_mib(hdr["packed"] + hdr["size"] + dict_used)))
    have = all(r["counters"] for n in ("launcher", "idle", "reference") for r in runs[n])
    lw = median([r["peak_ws"] for r in runs["launcher"]])
    iw = median([r["peak_ws"] for r in runs["idle"]])
    rw = median([r["peak_ws"] for r in runs["reference"]])
    lpf = median([r["peak_pf"] for r in runs["launcher"]])
    ipf = median([r["peak_pf"] for r in runs["idle"]])
    log("  GetProcessMemoryInfo on the launcher's handle, read while its setup program "
        "held (%s):" % ("all reads succeeded" if have else "SOME READS FAILED"))
    log("    PeakWorkingSetSize: launcher %s, idle.exe (same DLLs, no work) %s, "
        "reference %s" % (fmt_mib(lw), fmt_mib(iw), fmt_mib(rw)))
    log("    PeakPagefileUsage:  launcher %s, idle.exe %s  (Wine fills this with the "
        "current RssAnon+VmSwap, not a peak)" % (fmt_mib(lpf), fmt_mib(ipf)))
    own = lw - iw
    r3 = own / bound
    log("    launcher's own peak (launcher - idle): %s = %.3f of the bound (rounds %s MiB)"
        % (fmt_mib(own), r3, spread([(r["peak_ws"] - iw) / MIB for r in runs["launcher"]],
                                     "%.1f")))
    if previous:
        pw = median([r["peak_ws"] for r in runs["previous"]])
        log("    previous launcher's own peak (previous - idle): %s" % fmt_mib(pw - iw))
    verdict("peak memory: launcher - idle baseline / bound", r3, 1.0)
    hw_l = poller.by_name(launcher)
    hw_i = poller.by_name(bench_win / "idle.exe")
    if hw_l and hw_i:
        plh = median([h for h, _ in hw_l])
        pih = median([h for h, _ in hw_i])
        pla = median([a for _, a in hw_l])
        pia = median([a for _, a in hw_i])
        log("  /proc of the Wine processes, polled every 10 ms (%d launcher, %d idle runs):"
            % (len(hw_l), len(hw_i)))
        log("    VmHWM: launcher %s, idle %s, difference %s (%.3f of the bound)" % (
            fmt_mib(plh), fmt_mib(pih), fmt_mib(plh - pih), (plh - pih) / bound))
        log("    largest RssAnon seen: launcher %s, idle %s, difference %s (%.3f of the "
            "bound; sampled, may miss short peaks)" % (
                fmt_mib(pla), fmt_mib(pia), fmt_mib(pla - pia), (pla - pia) / bound))
    else:
        log("  /proc poll found no launcher processes (%d/%d)" % (len(hw_l), len(hw_i)))
    summary.append(("peak memory: launcher - idle baseline / bound",
                    "%s vs %s" % (fmt_mib(own), fmt_mib(bound)), "%.3f" % r3, "<= 1.00",
                    goal(own <= bound)))

    # ------------------------------------- memory against the setup program
    log("\n== 4. the launcher's memory against the size of the setup program (Wine, "
        "one run each, %s -v: the wine process's maximum RSS)" % GNU_TIME)
    grown = {}
    for mib in MEMORY_SETUP_MIB:
        big_setup = work / ("setup-%d.exe" % mib)
        big = work / ("launcher-%d.exe" % mib)
        nfiles = make_setup(bench_win / "stamp.exe", mib * MIB, big_setup)
        t = time.monotonic()
        # Preset 0 packs about ten times faster than the default preset
        # (64 MiB: 4 s against 40 s on a busy 2-core machine); the
        # launcher's work per byte is of the same kind.
        subprocess.run([str(stubpack), "build", "--preset", "0", "--stub", str(stub),
                        "--setup", str(big_setup), "--out", str(big)] + WHOLE, check=True,
                       stdout=subprocess.DEVNULL)
        h = read_header(big)
        big_setup.unlink()
        log("  %d MiB setup program (%d ELF file reads), packed with --preset 0 in %.1f s: "
            "%d -> %d bytes, dictionary %s" % (mib, nfiles, time.monotonic() - t, h["size"],
                                               h["packed"], fmt_mib(launcher_dictionary(h))))
        rss, status, secs = max_rss(wine([str(big)], args.cpu), wine_env(prefix),
                                    work / ("launcher-%d" % mib))
        if status != 0:
            raise SystemExit("bench: the %d MiB launcher exited with code %d" % (mib, status))
        log("    max RSS %s in %.1f s; holding the whole package would take packed + "
            "decoded + dictionary = %s" % (fmt_mib(rss), secs, fmt_mib(
                h["packed"] + h["size"] + launcher_dictionary(h))))
        grown[mib] = (h, rss, big)
    idle_rss, status, _ = max_rss(wine([str(bench_win / "idle.exe")], args.cpu),
                                  wine_env(prefix), work / "idle")
    small, large = (grown[m] for m in MEMORY_SETUP_MIB)
    diff = large[1] - small[1]
    log("  idle.exe (same DLLs, no work): max RSS %s; launcher less that: %s and %s "
        "(bound dictionary + 16 MiB = %s)" % (
            fmt_mib(idle_rss), fmt_mib(small[1] - idle_rss), fmt_mib(large[1] - idle_rss),
            fmt_mib(launcher_dictionary(large[0]) + 16 * MIB)))
    log("  difference %d MiB - %d MiB setup program: %s" % (
        MEMORY_SETUP_MIB[1], MEMORY_SETUP_MIB[0], fmt_mib(diff)))
    ok = verdict("launcher max RSS, Wine: %d MiB - %d MiB setup program, in MiB" % (
        MEMORY_SETUP_MIB[1], MEMORY_SETUP_MIB[0]), diff / MIB, 16.0)
    summary.append(("launcher max RSS, Wine: %d MiB - %d MiB setup program" % (
        MEMORY_SETUP_MIB[1], MEMORY_SETUP_MIB[0]), "%s - %s" % (
            fmt_mib(large[1]), fmt_mib(small[1])), fmt_mib(diff), "<= 16 MiB", goal(ok)))
    summary.append(("  same, packed + decoded + dictionary", "%s - %s" % tuple(
        fmt_mib(g[0]["packed"] + g[0]["size"] + launcher_dictionary(g[0]))
        for g in (large, small)), "", "(info)", ""))

    # ------------------------------------------------- packer memory
    h, _, big = large
    log("\n== 5. stubpack verify and extract on the %d MiB launcher (%s -v)" % (
        MEMORY_SETUP_MIB[1], GNU_TIME))
    vbound = launcher_dictionary(h) + 64 * MIB
    rss, status, secs = max_rss([str(stubpack), "verify", str(big)], None, work / "verify")
    if status != 0:
        raise SystemExit("bench: stubpack verify exited with code %d" % status)
    log("  verify: max RSS %s in %.1f s; bound dictionary + 64 MiB = %s" % (
        fmt_mib(rss), secs, fmt_mib(vbound)))
    ok = verdict("stubpack verify max RSS / (dictionary + 64 MiB)", rss / vbound, 1.0)
    summary.append(("stubpack verify, %d MiB setup program: max RSS / (dictionary + 64 MiB)"
                    % MEMORY_SETUP_MIB[1], "%s vs %s" % (fmt_mib(rss), fmt_mib(vbound)),
                    "%.3f" % (rss / vbound), "<= 1.00", goal(ok)))
    extracted = work / "extracted.exe"
    rss, status, secs = max_rss([str(stubpack), "extract", str(big), "--out",
                                 str(extracted)], None, work / "extract")
    extracted.unlink(missing_ok=True)
    if status != 0:
        raise SystemExit("bench: stubpack extract exited with code %d" % status)
    log("  extract: max RSS %s in %.1f s" % (fmt_mib(rss), secs))
    summary.append(("  stubpack extract, same: max RSS", fmt_mib(rss), "", "(info)", ""))
    for g in grown.values():
        g[2].unlink()

    # ------------------------------------------------- launcher size
    log("\n== 6. Stub64.exe")
    size = stub.stat().st_size
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(stub)], check=True,
                          capture_output=True, text=True).stdout
    dlls = [l.split(":", 1)[1].strip() for l in dump.splitlines() if "DLL Name:" in l]
    limit = 48 * 1024
    log("  size %d bytes of %d, %d bytes to spare" % (size, limit, limit - size))
    verdict("Stub64.exe size / 48 KiB", size / limit, 1.0)
    log("  imports: %s" % ", ".join(dlls))
    summary.append(("Stub64.exe size / 49,152 bytes", "%d bytes" % size,
                    "%.3f" % (size / limit), "<= 1.00", goal(size <= limit)))
    summary.append(("Stub64.exe imports", ", ".join(dlls), "", "", ""))


# Sections by the name --only takes, in the order a run takes them.
SECTIONS = ("base", "peer", "sets", "cores", "window", "large")
SECTION_RUNS = {"base": base_sections, "peer": peer_section, "sets": sets_section,
                "cores": cores_section, "window": window_section, "large": large_section}


def chosen_sections(only, peer_only, large):
    """The sections a run takes: --only's list, else all but "large" (which
    --large adds); --peer-only is --only peer."""
    if peer_only:
        only = only or "peer"
    if not only:
        return [s for s in SECTIONS if s != "large" or large]
    names = [n.strip() for n in only.split(",") if n.strip()]
    unknown = [n for n in names if n not in SECTIONS]
    if unknown or not names:
        raise SystemExit("bench: --only takes a list of %s; not %s" % (
            ", ".join(SECTIONS), ", ".join(unknown) or "an empty list"))
    return [s for s in SECTIONS if s in names]


def parse_args():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-host", default=str(ROOT / "build/host"))
    ap.add_argument("--build-win", default=str(ROOT / "build/win"))
    ap.add_argument("--prefix", default=str(ROOT / "build/wineprefix-bench"))
    ap.add_argument("--only", default="",
                    help="comma-separated sections to run: %s (default: all but large)"
                    % ",".join(SECTIONS))
    ap.add_argument("--decode-mib", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--settle-ms", type=int, default=1500,
                    help="pause before each Wine run so the previous copy's writes settle")
    ap.add_argument("--cpu", default="1", help="CPU list for taskset; empty: no pinning")
    ap.add_argument("--previous-stub", default="",
                    help="Stub64.exe of the previous launcher, timed beside this one")
    ap.add_argument("--previous-name", default="", help="what that stub was built from")
    ap.add_argument("--previous-stubpack", default="",
                    help="stubpack from before it streamed, timed beside this one in section 7")
    ap.add_argument("--peer-mib", default="64,1024",
                    help="setup program sizes of section 7, in MiB; the first is the timing size")
    ap.add_argument("--peer-rounds", type=int, default=5,
                    help="section 7: build rounds at the first size (launches: --rounds)")
    ap.add_argument("--peer-large-rounds", type=int, default=1,
                    help="section 7: build rounds at the other sizes")
    ap.add_argument("--peer-large-launches", type=int, default=3,
                    help="section 7: launch rounds at the other sizes")
    ap.add_argument("--peer-only", action="store_true", help="run section 7 alone")
    ap.add_argument("--sets-mib", type=int, default=256,
                    help="section 8: size of the folder of files, in MiB")
    ap.add_argument("--cores-cpu", default="0,1",
                    help="section 9 (and 11): CPU list Wine and stubpack build run on")
    ap.add_argument("--cores-mib", type=int, default=256,
                    help="section 9: program size of the blocks / one block comparison")
    ap.add_argument("--cores-large-mib", type=int, default=1024,
                    help="section 9: program size of the NSIS and build-time comparisons")
    ap.add_argument("--cores-large-launches", type=int, default=3,
                    help="section 9: launch rounds at that size")
    ap.add_argument("--cores-memory-mib", default="64,320",
                    help="section 9: the small and the large program of the memory growth check")
    ap.add_argument("--window-mib", type=int, default=32,
                    help="section 10: setup program size (small enough that a launch "
                         "stays under the window's one second on a busy host)")
    ap.add_argument("--window-rounds", type=int, default=41,
                    help="section 10: launch rounds (the difference looked for is about 1%%)")
    ap.add_argument("--before-window-stub", default="",
                    help="Stub64.exe from before the progress-window change, for section 10")
    ap.add_argument("--before-window-name", default="", help="what that stub was built from")
    ap.add_argument("--large", action="store_true", help="also run section 11")
    ap.add_argument("--large-mib", type=int, default=3072,
                    help="section 11: setup program size")
    args = ap.parse_args()
    args.peer_mib = [int(m) for m in args.peer_mib.split(",")]
    args.cores_memory_mib = [int(m) for m in args.cores_memory_mib.split(",")]
    args.sections = chosen_sections(args.only, args.peer_only, args.large)
    return args


def bench_paths(args):
    """Every program the chosen sections run; a missing one ends the run
    before anything is measured."""
    host, win = Path(args.build_host), Path(args.build_win)
    bench_win = win / "bench"
    optional = lambda p: Path(p) if p else None  # noqa: E731
    paths = {"stub": win / "Stub64.exe", "stubpack": host / "packer/stubpack",
             "stamp": bench_win / "stamp.exe", "idle": bench_win / "idle.exe",
             "timer": bench_win / "timer.exe", "encoder_memory": host / "bench/encoder_memory",
             "decode_bench": host / "bench/decode_bench",
             "set_decode_bench": host / "bench/set_decode_bench",
             "makensis": shutil.which(MAKENSIS),
             "previous_stub": optional(args.previous_stub),
             "previous_stubpack": optional(args.previous_stubpack),
             "before_window_stub": optional(args.before_window_stub)}
    needed = [paths[k] for k in ("stub", "stubpack", "stamp", "idle", "timer")]
    if "peer" in args.sections:
        needed.append(paths["encoder_memory"])
    if "base" in args.sections:
        needed += [paths["decode_bench"], bench_win / "reference.exe",
                   bench_win / "reference_old.exe", bench_win / "reference_stublzma.exe"]
    if "cores" in args.sections:
        needed.append(paths["set_decode_bench"])
    needed += [paths[k] for k in ("previous_stub", "previous_stubpack", "before_window_stub")
               if paths[k]]
    for p in needed:
        if not p.is_file():
            raise SystemExit("bench: missing %s" % p)
    if not Path(GNU_TIME).is_file():
        raise SystemExit("bench: missing %s (GNU time, Debian package time)" % GNU_TIME)
    if "base" in args.sections and (args.decode_mib < 64 or args.rounds < 5):
        raise SystemExit("bench: needs --decode-mib >= 64 and --rounds >= 5")
    return paths


def main():
    args = parse_args()
    paths = bench_paths(args)
    work = Path(tempfile.mkdtemp(prefix="bench-", dir=str(ROOT / "build")))
    ctx = SimpleNamespace(args=args, paths=paths, work=work, prefix=Path(args.prefix).resolve(),
                          summary=[], features=None, wine_started=False)

    def start_wine_once():
        if not ctx.wine_started:
            ctx.wine_started = start_wine(ctx.prefix, args.cpu, paths["stamp"])
    ctx.start_wine = start_wine_once
    log("sections: %s" % ", ".join(args.sections))
    try:
        for name in args.sections:
            if name != "base":  # section 1 runs on the host before Wine starts
                ctx.start_wine()
            SECTION_RUNS[name](ctx)
        print_summary(ctx.summary)
    finally:
        if ctx.wine_started:
            stop_wine(args.prefix)
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
