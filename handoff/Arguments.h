// SPDX-License-Identifier: 0BSD
// The launcher's own command line, split into arguments, and the small path
// and switch helpers built on it.
#pragma once

#include <stdint.h>

#include "core/WideText.h"

// Takes one token from `position`, unquoting as it goes, and returns the
// position after it. Units 1 to 32 separate tokens; a double quote opens a
// section that runs to the next double quote (or the end) and may hold
// spaces; a backslash escapes nothing; an empty "" at a token's start is
// dropped. An empty token means the command line is used up.
const WideChar* NextToken(const WideChar* position, WideText* token);

// Counts and picks arguments of a command line; ArgumentAt's index 0 is not
// served here (it is the module path, not a token).
int32_t CountArguments(const WideChar* commandLine);
WideText ArgumentOf(const WideChar* commandLine, int32_t index);

// The process's own arguments, from GetCommandLineW afresh on every call.
// ArgumentAt(0) is the launcher's module path; an index past the last
// argument gives the empty string.
int32_t ArgumentCount();
WideText ArgumentAt(int32_t index);

// Up to and including the last backslash; empty when there is none.
WideText ExtractFolder(const WideText& path);

// The part after the last backslash; the whole path when there is none.
WideText ExtractName(const WideText& path);

// Same length, and equal unit by unit once a-z are folded to A-Z; no other
// letters are folded.
bool EqualsIgnoreCase(const WideText& a, const WideChar* b);

// True when "/silent" or "/s" (any ASCII case) is one of the arguments.
bool HasSilentSwitch();
