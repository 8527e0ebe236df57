# SPDX-License-Identifier: 0BSD
"""docs/file-format.md against the code: its field tables (offset, width,
field) read the worked example's bytes, which must give what the page's
`stubpack inspect` output shows; and the same tables read a file built now
with the page's own commands, which must give what stubpack inspect prints
for it.

    STUBPACK=build/host/packer/stubpack python3 -m unittest tests/host/test_file_format_page.py
"""

import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
PAGE = ROOT / "docs" / "file-format.md"
STUBPACK = Path(os.environ.get("STUBPACK", ROOT / "build/host/packer/stubpack")).resolve()


def hex_bytes(value):
    return " ".join("%02X" % b for b in value)


# Field -> (the inspect line it shows on, a pattern its value must match there).
FIELDS = {
    "packageOffset": ("packageOffset", lambda v: r"^%d$" % v),
    "crcLength": ("crcLength", lambda v: r"^%d\b" % v),
    "crcValue": ("crcValue", lambda v: r"^0x%08X  \(matches\)" % v),
    "expectedFileSize": ("expectedFileSize", lambda v: r"^%d$" % v),
    "detachedFileSize": ("detachedFileSize", lambda v: r"^%d$" % v),
    "lzmaProperties": ("lzmaProperties", lambda v: "^" + hex_bytes(v) + " "),
    "supportFlags": ("supportFlags", lambda v: r"^0x%016X " % v),
    "win10MinCode": ("win10 codes", lambda v: r"^%d-" % v),
    "win10MaxCode": ("win10 codes", lambda v: r"-%d$" % v),
    "win11MinCode": ("win11 codes", lambda v: r"^%d-" % v),
    "win11MaxCode": ("win11 codes", lambda v: r"-%d$" % v),
    "adminMode": ("adminMode", lambda v: r"^%d " % v),
    "reserved1": ("reserved (22-33)", lambda v: "^" + hex_bytes(v) + "$"),
    "payloadOffset": ("payloadOffset", lambda v: r"^%d$" % v),
    "payloadPackedSize": ("payloadPackedSize", lambda v: r"^%d\b" % v),
    "payloadSize": ("payloadSize", lambda v: r"^%d$" % v),
    "reserved2": ("reserved (46-67)", lambda v: "^" + hex_bytes(v) + "$"),
    "textOffset": ("unsupportedText", lambda v: r"^offset %d," % v),
    "textLength": ("unsupportedText", lambda v: r", %d UTF-16 units" % v),
}


def section(page, heading):
    return page.split("\n## " + heading + "\n", 1)[1].split("\n## ", 1)[0]


def field_table(text):
    """[(offset, width, field)] of the first table in TEXT."""
    return [(int(m[0]), int(m[1]), m[2])
            for m in re.findall(r"^\| (\d+) \| (\d+) \| (\w+) \|", text, re.M)]


def inspect_lines(text):
    return dict(re.findall(r"^  (\S+(?: \S+)*?)  +(.*)$", text, re.M))


class FileFormatPage(unittest.TestCase):
    def test_tables_read_the_example_and_a_fresh_build_as_inspect_does(self):
        page = PAGE.read_text(encoding="utf-8")
        locator = field_table(section(page, "The locator"))
        header = field_table(section(page, "The package header"))
        # The tables leave no byte out: 24 and 74 bytes, as the code's records.
        for table, size in ((locator, 24), (header, 74)):
            self.assertEqual([o for o, _, _ in table],
                             [sum(w for _, w, _ in table[:i]) for i in range(len(table))])
            self.assertEqual(sum(w for _, w, _ in table), size)
        self.assertEqual({f for _, _, f in locator + header}, set(FIELDS))

        example = section(page, "A worked example")
        page_bytes = {}
        for offset, data in re.findall(r"^([0-9a-f]{8}): ((?:[0-9a-f]{2} ?)+)$", example, re.M):
            for i, byte in enumerate(data.split()):
                page_bytes[int(offset, 16) + i] = int(byte, 16)
        page_inspect = re.search(r"```text\n(example\.exe: .*?)```", example, re.S).group(1)

        with tempfile.TemporaryDirectory(prefix="file-format-") as folder:
            commands = re.search(r"```sh\n(.*?)```", example, re.S).group(1)
            for command in re.findall(r"^\$ (.*)$", commands, re.M):
                subprocess.run(["bash", "-c", command], cwd=folder, check=True,
                               env=dict(os.environ, PATH="%s:%s" % (STUBPACK.parent, os.environ["PATH"])))
            built = Path(folder, "example.exe").read_bytes()
            built_inspect = subprocess.run([STUBPACK, "inspect", "example.exe"], cwd=folder,
                                           capture_output=True, text=True, check=True).stdout

        for source, data, inspect in (("page", page_bytes, page_inspect),
                                      ("built", dict(enumerate(built)), built_inspect)):
            shown = inspect_lines(inspect)
            package = None
            for base, table in ((128, locator), (None, header)):
                for offset, width, field in table:
                    with self.subTest(source=source, field=field):
                        raw = bytes(data[(base if base is not None else package) + offset + i]
                                    for i in range(width))
                        value = raw if width in (5, 12, 22) else int.from_bytes(raw, "little")
                        if field == "packageOffset":
                            package = value
                        label, pattern = FIELDS[field]
                        self.assertRegex(shown[label], pattern(value))


if __name__ == "__main__":
    unittest.main()
