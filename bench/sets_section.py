# SPDX-License-Identifier: 0BSD
"""Section 8: a folder of many files as a file set against the same bytes as
one program. Under Wine, pinned like sections 2 and 3 (one processor, so the
set decodes on one thread): what the set's files, folders and blocks cost
from the launcher's start to the setup program's start."""

import shutil

from benchlib import MIB, compare, fmt_mib, goal, log, own_peak, run_timer, spread, verdict
from packing import SET_ENTRY, WHOLE, build, concatenate, inspect, make_setup_dir

GOAL = 1.10


def program_order(info):
    """The set's paths with the entry first: the one program starts with
    stamp.exe, so it still runs, and then holds the rest in table order."""
    paths = [f["path"] for f in info["files"]]
    entry = info["entry"]["index"]
    return [paths[entry]] + paths[:entry] + paths[entry + 1:]


def folder_count(paths):
    """The folders the launcher makes for these paths."""
    folders = set()
    for p in paths:
        parts = p.split("\\")[:-1]
        folders.update("\\".join(parts[:i]) for i in range(1, len(parts) + 1))
    return len(folders)


def build_pair(ctx, mib):
    """The folder packed as a set and, concatenated, as one program, both with
    stubpack's defaults; returns (set launcher, program launcher, set info)."""
    p = ctx.paths
    folder = ctx.work / "sets-folder"
    files = make_setup_dir(p["stamp"], mib * MIB, folder)
    set_exe = ctx.work / "sets-set.exe"
    built_set = build(p["stubpack"], p["stub"], ["--setup-dir", str(folder), "--entry",
                                                 SET_ENTRY], set_exe)
    info = inspect(p["stubpack"], set_exe)
    order = program_order(info)
    program = ctx.work / "sets-program.exe"
    concatenate(folder, order, program)
    shutil.rmtree(folder)
    one_exe = ctx.work / "sets-program-launcher.exe"
    built_one = build(p["stubpack"], p["stub"], ["--setup", str(program)] + WHOLE, one_exe)
    one = inspect(p["stubpack"], one_exe)
    program.unlink()
    table = info["setTable"]
    log("  folder: %d files (%s beside a tree of executables) in %d folders, %d bytes; "
        "%d blocks of %s" % (files, SET_ENTRY, folder_count(order), table["totalSize"],
                             table["blockCount"], fmt_mib(table["blockSize"])))
    log("  one program: the same bytes%s, %s first" % (
        "" if info["entry"]["index"] == 0 else " (entry moved to the front)", SET_ENTRY))
    log("  LZMA properties: set %s, program %s%s" % (
        info["lzma"]["properties"], one["lzma"]["properties"],
        "" if info["lzma"]["properties"] == one["lzma"]["properties"] else
        "  (DIFFERENT: the comparison is not like for like)"))
    log("  stubpack build: set %.1f s, %d bytes; program %.1f s, %d bytes (%.4f)" % (
        built_set["wall"], built_set["size"], built_one["wall"], built_one["size"],
        built_set["size"] / built_one["size"]))
    return set_exe, one_exe


def sets_section(ctx):
    a, p = ctx.args, ctx.paths
    log("\n== 8. a file set against the same bytes as one program (Wine, %d rounds, "
        "alternating, CPU %s)" % (a.rounds, a.cpu or "-"))
    set_exe, one_exe = build_pair(ctx, a.sets_mib)
    runs = run_timer(p["timer"], [("set", set_exe), ("program", one_exe), ("idle", p["idle"])],
                     a.rounds, a, ctx.work, ctx.prefix, "sets")
    c = compare(runs, "set", "program")
    log("  start -> setup program start: set median %.0f ms (%s), program %.0f ms (%s)" % (
        c["median"], spread(c["values"], "%.0f"), c["base"], spread(c["base_values"], "%.0f")))
    log("  peak working set less idle.exe's: set %s, program %s" % (
        fmt_mib(own_peak(runs, "set")), fmt_mib(own_peak(runs, "program"))))
    name = "file set / one program, start to setup start, Wine, %d MiB" % a.sets_mib
    ok = verdict(name, c["ratio"], GOAL, c["rounds"])
    ctx.summary.append((name, "%.0f vs %.0f ms" % (c["median"], c["base"]),
                        "%.3f (%s)" % (c["ratio"], spread(c["rounds"])), "<= %.2f" % GOAL,
                        goal(ok)))
    set_exe.unlink()
    one_exe.unlink()
