#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""The licence lint: every tracked source file names its licence in an SPDX
line near its top, and cmake/debian/copyright parses as Debian's
machine-readable format (DEP-5) with a licence text for every licence it
names. Run from anywhere inside the checkout; needs git and, for the
copyright check, python3-debian (Debian's python3).

    python3 scripts/check-licence.py
"""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SPDX = "SPDX-License-Identifier: 0BSD"
# Sources: code, build and test files. Data (the icon, the manifest, whose
# bytes go into the stub as they are), the Debian changelog template and the
# Markdown pages carry none.
SOURCE = re.compile(r"(\.(cpp|h|c|py|sh|cmake|rc|nsi)|(^|/)CMakeLists\.txt|^\.ci/run)$")
LINES = 3  # the SPDX line may follow a shebang and an editor line


def missing_spdx():
    listed = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True)
    if listed.returncode != 0:
        sys.exit("check-licence: git ls-files failed: " + listed.stderr.strip())
    missing = []
    for name in listed.stdout.splitlines():
        path = ROOT / name
        if not SOURCE.search(name) or not path.is_file():
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            head = [f.readline() for _ in range(LINES)]
        if not any(SPDX in line for line in head):
            missing.append(name)
    return missing


def copyright_problems():
    try:
        from debian import copyright
    except ImportError:
        return ["python3-debian is not installed (scripts/setup-deps.sh installs it)"]
    path = ROOT / "cmake" / "debian" / "copyright"
    with open(path, encoding="utf-8") as f:
        try:
            parsed = copyright.Copyright(f, strict=True)
        except (copyright.Error, ValueError) as e:
            return ["%s is not DEP-5: %s" % (path, e)]
    texts = {p.license.synopsis for p in parsed.all_license_paragraphs()}
    problems = []
    for paragraph in parsed.all_files_paragraphs():
        license = paragraph.license
        if license.text:
            continue
        for name in re.split(r" and | or |, ", license.synopsis):
            if name not in texts and license.synopsis not in texts:
                problems.append("%s: licence %r has no text" % (paragraph.files[0], name))
    return problems


def main():
    problems = ["%s: no \"%s\" line in its first %d lines" % (name, SPDX, LINES)
                for name in missing_spdx()] + copyright_problems()
    for problem in problems:
        print("check-licence: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
