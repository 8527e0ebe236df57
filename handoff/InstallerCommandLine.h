// SPDX-License-Identifier: 0BSD
// The command line of msiexec, which starts a file set's installer package.
//
// msiexec refuses every token it does not know (exit code 1639), so the
// launcher's own switches never reach it: "/temp" with its folder and
// "/noadmin" are left out, and "/s" or "/silent" become one "/qn". The
// package learns where the launcher lives from the public property
// LAUNCHERPATH, so it can find files beside it.
#pragma once

#include "core/WideText.h"

// `/i "PACKAGE" LAUNCHERPATH="LAUNCHER"` (the launcher's universal path),
// then the launcher's other arguments in their order, re-quoted.
WideText BuildInstallerArguments(const WideText& package);

// Appends ` argument` as msiexec reads it: a property assignment whose value
// holds a space as NAME="value" (msiexec's documented form; a quoted whole
// "NAME=value" is not one of its forms), anything else as for a program.
void AppendInstallerArgument(WideText& line, const WideText& argument);

// msiexec.exe in the system folder, by its full path: never the file
// association, never a search. Empty when the folder cannot be read.
WideText InstallerProgramPath();
