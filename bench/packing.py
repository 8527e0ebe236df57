# SPDX-License-Identifier: 0BSD
"""How the benchmark packs what it times: a setup program in blocks or as
one block, a folder tree of executables as a file set, and what this
stubpack can do (compress on --threads, cut a --setup program into blocks).

Every build runs under GNU time, so its wall and CPU time and maximum RSS
are known; a failed build ends the benchmark with stubpack's own line."""

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

from benchlib import ELF_DIRS, elf_files, log, pinned, timed_run

# ONE-LINE SWITCH. False: stubpack build --setup writes one block, so a
# program in blocks is packed as a one-file set, a folder holding just the
# program (--setup-dir, --entry), which the launcher decodes the same way.
# True, once stubpack cuts --setup programs into blocks itself: blocks are
# `--setup PROGRAM` (the default block size) and one block is
# `--setup PROGRAM --block-size 0`.
SETUP_WRITES_BLOCKS = True

# Options that pack a --setup program whole, in the one-program form, for
# the sections that compare launchers of that form (and the stubs before
# file sets, which know no other).
WHOLE = ["--block-size", "0"]

# The file set's entry: stamp.exe under a name that sorts before the tree
# (the table's order folds case and puts "SETUP.EXE" before "X64\..."), so
# the set's files concatenated are the one program's bytes.
SET_ENTRY = "Setup.exe"
SET_TREE = "x64"
# Files per folder of the tree: enough folders that the launcher makes a
# few dozen of them, as an application's folder has.
FILES_PER_FOLDER = 40
# Names a file set may carry as they are: the launcher's path rules refuse
# device names, 8.3 aliases, trailing dots and most punctuation.
PLAIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_+-]*(\.[A-Za-z0-9_+-]+)*")
DEVICE_NAME = re.compile(r"(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\..*)?", re.I)


def program_args(program, blocks, folder):
    """stubpack build's input options for `program` in blocks (the default
    block size) or as one block; `folder` is where the one-file set's folder
    goes while SETUP_WRITES_BLOCKS is False."""
    if SETUP_WRITES_BLOCKS:
        return ["--setup", str(program)] + ([] if blocks else WHOLE)
    if not blocks:
        return ["--setup", str(program)]
    return ["--setup-dir", str(one_file_folder(program, folder)),
            "--entry", Path(program).name]


def one_file_folder(program, folder):
    """A folder holding just `program`, linked rather than copied where the
    file system allows (a 1 GiB program is not written twice)."""
    folder = Path(folder)
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    target = folder / Path(program).name
    try:
        os.link(program, target)
    except OSError:
        shutil.copyfile(program, target)
    return folder


def build(stubpack, stub, inputs, out, extra=(), cpu=None, log_name=None):
    """stubpack build under GNU time; timed_run's fields and the output's
    size. `cpu` pins the build (taskset), so its threads see that many
    processors."""
    cmd = [str(stubpack), "build", "--stub", str(stub)] + list(inputs) + list(extra) + [
        "--out", str(out)]
    run = timed_run(pinned(cmd, cpu), None, Path(str(out) + ".build"))
    if run["status"] != 0:
        err = Path(str(out) + ".build").with_suffix(".err")
        raise SystemExit("bench: stubpack build of %s failed (exit %d): %s" % (
            log_name or Path(out).name, run["status"],
            err.read_text(errors="replace").strip()))
    run["size"] = Path(out).stat().st_size
    return run


def inspect(stubpack, launcher):
    """stubpack inspect --json of a launcher file, as a dict."""
    out = subprocess.run([str(stubpack), "inspect", "--json", str(launcher)],
                         capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if out.returncode != 0:
        raise SystemExit("bench: stubpack inspect %s failed: %s" % (launcher, out.stderr.strip()))
    return json.loads(out.stdout)


def set_dictionary(info):
    """The dictionary each of the launcher's decoding threads allocates
    (SetDictionaryBytes): the properties' size, no larger than the largest
    block, no smaller than liblzma's 4 KiB. For one program: no larger than
    the program."""
    declared = info["lzma"]["dictionarySize"]
    if info.get("form") == "fileSet":
        largest = max((b["unpackedSize"] for b in info["blocks"]), default=0)
    else:
        largest = info["payload"]["size"]
    return max(4096, min(declared, largest))


def decode_threads(processors, blocks):
    """The threads the launcher decodes a set with on `processors`
    processors when memory is plentiful (ChooseDecodeThreads)."""
    return max(1, min(processors, 8, blocks))


def has_threads_option(stubpack):
    """True when stubpack build takes --threads N."""
    out = subprocess.run([str(stubpack), "build", "--help"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL).stdout
    return re.search(r"^\s*--threads\b", out, re.M) is not None


def setup_writes_blocks(stubpack, stub, stamp, work):
    """True when stubpack build --setup cuts a program into blocks: a small
    program with a 4 KiB block size comes out as a file set."""
    program = Path(work) / "probe-setup.exe"
    out = Path(work) / "probe-launcher.exe"
    program.write_bytes(Path(stamp).read_bytes() + bytes(range(256)) * 64)
    made = subprocess.run([str(stubpack), "build", "--stub", str(stub), "--setup", str(program),
                           "--block-size", "4K", "--preset", "0", "--out", str(out)],
                          capture_output=True, stdin=subprocess.DEVNULL)
    blocks = made.returncode == 0 and inspect(stubpack, out).get("form") == "fileSet"
    program.unlink()
    out.unlink(missing_ok=True)
    return blocks


def plain_name(name):
    return (PLAIN_NAME.fullmatch(name) is not None and DEVICE_NAME.fullmatch(name) is None
            and len(name) <= 64)


def tree_layout(sources, size):
    """Where each source file goes in a folder tree of `size` bytes:
    [(relative path, source, bytes taken)], the last file cut so the sizes
    add up to `size` exactly. Files come round again under copyN\\ when
    the sources hold less."""
    layout = []
    taken = 0
    usable, seen = [], set()
    for s in sources:
        name = os.path.basename(s)
        # The set's paths must differ after case folding.
        if plain_name(name) and name.upper() not in seen:
            seen.add(name.upper())
            usable.append(s)
    if not usable:
        raise SystemExit("bench: no ELF files with plain names in %s" % " and ".join(ELF_DIRS))
    count = 0
    while taken < size:
        source = usable[count % len(usable)]
        turn, index = divmod(count, len(usable))
        kind = "lib" if "/lib" in os.path.dirname(source) else "bin"
        parts = [SET_TREE] + (["copy%d" % turn] if turn else []) + [
            kind, "%03d" % (index // FILES_PER_FOLDER), os.path.basename(source)]
        length = min(os.path.getsize(source), size - taken)
        layout.append(("/".join(parts), source, length))
        taken += length
        count += 1
    return layout


def make_setup_dir(stamp, size, folder, sources=None):
    """A folder of executables (`sources`, default the ELF files) in
    subfolders, `size` bytes of them, with stamp.exe as SET_ENTRY beside the
    tree. Returns the file count."""
    folder = Path(folder)
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    shutil.copyfile(stamp, folder / SET_ENTRY)
    layout = tree_layout(elf_files() if sources is None else sources, size)
    for relative, source, length in layout:
        target = folder / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(source, "rb") as f:
            target.write_bytes(f.read(length))
    return len(layout) + 1


def concatenate(folder, paths, out):
    """The files of `folder` named by `paths` (the set table's "\\"-separated
    paths), one after the other, into `out`."""
    with open(out, "wb") as o:
        for p in paths:
            with open(Path(folder) / p.replace("\\", "/"), "rb") as f:
                shutil.copyfileobj(f, o, 1 << 20)


def log_features(features):
    log("  this stubpack: --threads %s; --setup in blocks %s%s" % (
        "yes" if features["threads"] else "no", "yes" if features["setup_blocks"] else "no",
        "" if features["setup_blocks"] == SETUP_WRITES_BLOCKS else
        " (bench/packing.py's SETUP_WRITES_BLOCKS says %s: set it to %s)" % (
            SETUP_WRITES_BLOCKS, features["setup_blocks"])))
