#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Writes stubpack's man page (section 1) from the program's own help texts:
`stubpack --help` names the commands, `stubpack COMMAND --help` gives each
command's usage, description and options, `stubpack --version` the version.
The build runs it on the stubpack it has just linked, so the page says what
that program says and cannot drift from it.

    make-manpage.py STUBPACK SUMMARY OUT

SUMMARY is the one line after the name (the package's short description).
The page carries a date only when SOURCE_DATE_EPOCH is set, so the same
program always gives the same page.
"""

import datetime
import os
import subprocess
import sys

OPTION_COLUMN = 28  # main.cpp's PrintHelp: two spaces, a 26-wide name column


def help_text(stubpack, *args):
    result = subprocess.run([stubpack, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("make-manpage: %s %s failed: %s" % (stubpack, " ".join(args), result.stderr))
    return result.stdout


def roff(text):
    """TEXT as roff body text: backslashes and minus signs escaped, and no
    line may start with a control character."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in (".", "'") else line
                     for line in text.split("\n"))


def parse_overview(text):
    """[(command, description)] and the closing paragraph of `stubpack --help`."""
    commands, closing, section = [], [], None
    for line in text.splitlines():
        if line == "commands:":
            section = "commands"
        elif section == "commands" and line.startswith("  "):
            name, description = line.split(None, 1)
            commands.append((name, description))
        elif section == "commands" and line == "":
            section = "closing"
        elif section == "closing":
            closing.append(line)
    if not commands:
        sys.exit("make-manpage: no command list in stubpack --help")
    return commands, " ".join(closing)


def parse_command(text):
    """(usage, description, [(option head, option help)]) of `COMMAND --help`."""
    paragraphs = text.rstrip("\n").split("\n\n")
    usage = paragraphs[0]
    if not usage.startswith("usage: "):
        sys.exit("make-manpage: unexpected help text: %r" % usage)
    description = " ".join(p.replace("\n", " ") for p in paragraphs[1:]
                           if not p.startswith("options:"))
    options = []
    for paragraph in paragraphs[1:]:
        if not paragraph.startswith("options:"):
            continue
        for line in paragraph.splitlines()[1:]:
            if line.startswith(" " * OPTION_COLUMN):
                options[-1][1].append(line.strip())
            elif len(line) <= OPTION_COLUMN or line[OPTION_COLUMN - 1] != " ":
                options.append((line.strip(), []))  # a long name on its own line
            else:
                options.append((line[:OPTION_COLUMN].strip(), [line[OPTION_COLUMN:].strip()]))
    return usage[len("usage: "):], description, [(h, " ".join(t)) for h, t in options]


def option_head(head):
    """--name VALUE as bold name and italic value."""
    name, _, value = head.partition(" ")
    out = "\\fB%s\\fR" % roff(name)
    return out + (" \\fI%s\\fR" % roff(value) if value else "")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    stubpack, summary, out_path = sys.argv[1:]
    version = help_text(stubpack, "--version").splitlines()[0]  # "stubpack X.Y.Z"
    commands, closing = parse_overview(help_text(stubpack, "--help"))
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    date = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
            .strftime("%Y-%m-%d") if epoch else "")

    page = ['.TH STUBPACK 1 "%s" "%s" "User Commands"' % (date, roff(version)),
            ".SH NAME", "stubpack \\- " + roff(summary),
            ".SH SYNOPSIS", ".nf"]
    details = []
    for name, description in commands:
        usage, text, options = parse_command(help_text(stubpack, name, "--help"))
        page.append(roff(usage))
        details += [".SS %s" % roff(name), roff(text)]
        for head, help_line in options:
            details += [".TP", option_head(head), roff(help_line)]
    page += ["stubpack \\-\\-version", ".fi",
             ".SH DESCRIPTION", ".TP"]
    for i, (name, description) in enumerate(commands):
        page += ([".TP"] if i else []) + ["\\fB%s\\fR" % roff(name), roff(description)]
    page += [".PP", roff(closing), ".SH COMMANDS"] + details
    with open(out_path, "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
