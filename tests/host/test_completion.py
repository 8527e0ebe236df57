# SPDX-License-Identifier: 0BSD
"""stubpack's bash completion in a real bash with bash-completion loaded:
each case sets COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT as bash
would for a command line, calls _stubpack and compares COMPREPLY.

    STUBPACK=build/host/packer/stubpack COMPLETION=build/host/packaging/stubpack \
        python3 -m unittest tests/host/test_completion.py
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BASH_COMPLETION = Path("/usr/share/bash-completion/bash_completion")
STUBPACK = os.environ.get("STUBPACK", "build/host/packer/stubpack")
COMPLETION = os.environ.get("COMPLETION", "build/host/packaging/stubpack")

DRIVER = r'''
source /usr/share/bash-completion/bash_completion
source "$1"
COMP_LINE=$2
COMP_POINT=${#COMP_LINE}
COMP_CWORD=$3
COMP_WORDS=("${@:4}")
_stubpack stubpack "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}"
'''

FILES = {"app.ico", "notes.txt", "setup.exe", "sub"}  # sub is a folder

# (command line up to the cursor, the completions expected)
CASES = [
    ("stubpack ", {"build", "inspect", "verify", "extract", "stub", "--help",
                   "--version", "--bash-completion"}),
    ("stubpack ins", {"inspect"}),
    ("stubpack build --det", {"--detached"}),
    ("stubpack build --admin-mode ", {"runas", "noadmin", "none"}),
    ("stubpack build --admin-mode=n", {"noadmin", "none"}),
    ("stubpack build --releases 8", {"8", "8.1"}),
    ("stubpack build --releases 10,u", {"10,unknown"}),
    ("stubpack build --preset ", {str(n) for n in range(10)}),
    ("stubpack build --lp 4 --lc ", {str(n) for n in range(5)}),
    ("stubpack build --win10-range ", set()),
    ("stubpack build --company ", set()),
    ("stubpack build --setup ", FILES),
    ("stubpack build --setup=s", {"setup.exe", "sub"}),
    ("stubpack build --icon ", {"app.ico", "sub"}),
    ("stubpack build --setup-dir ", {"sub"}),
    ("stubpack build --entry ", set()),
    ("stubpack build --block-size ", set()),
    ("stubpack build --detached --w", {"--win10-range", "--win11-range"}),
    ("stubpack inspect ", FILES),
    ("stubpack inspect --", {"--json", "--help"}),
    ("stubpack verify se", {"setup.exe"}),
    ("stubpack extract app.ico --out ", FILES),
    ("stubpack stub --", {"--out", "--help"}),
    ("stubpack nosuchcommand ", set()),
]


def words_of(line):
    """COMP_WORDS for LINE as bash splits it: at blanks, and "=" on its own."""
    words = re.findall(r"[^\s=]+|=", line)
    return words + [""] if line.endswith(" ") else words


@unittest.skipUnless(BASH_COMPLETION.is_file() and shutil.which("bash"),
                     "needs bash and bash-completion (scripts/setup-deps.sh installs it)")
class BashCompletion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="completion-"))
        for name in FILES - {"sub"}:
            (cls.dir / name).write_bytes(b"")
        (cls.dir / "sub").mkdir()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def complete(self, line):
        words = words_of(line)
        result = subprocess.run(
            ["bash", "-c", DRIVER, "driver", str(Path(COMPLETION).resolve()), line,
             str(len(words) - 1)] + words,
            capture_output=True, text=True, cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        return {w for w in result.stdout.split("\n") if w}

    def test_completions(self):
        for line, expected in CASES:
            with self.subTest(line=line):
                self.assertEqual(self.complete(line), expected)

    def test_every_option_of_every_command_is_offered(self):
        def run(*args):
            return subprocess.run([STUBPACK, *args], capture_output=True, text=True).stdout
        commands = re.findall(r"^  (\w+)  ", run("--help"), re.M)
        self.assertEqual(len(commands), 5)
        for command in commands:
            with self.subTest(command=command):
                options = set(re.findall(r"^  (--[a-z0-9-]+)", run(command, "--help"), re.M))
                options.add("--help")  # listed only by commands that have options
                self.assertEqual(self.complete("stubpack %s --" % command), options)


if __name__ == "__main__":
    unittest.main()
