// SPDX-License-Identifier: 0BSD
// The command line the setup program receives.
#pragma once

#include "core/WideText.h"

// The UNC form of a drive-letter path on a mapped network drive; any other
// path, and any failure, gives the path unchanged.
WideText ToUniversalPath(const WideText& path);

// Appends ` arg` for each argument, in double quotes when it holds a space.
void AppendQuotedArgument(WideText& line, const WideText& argument);

// The quoted universal launcher path followed by the launcher's arguments.
WideText BuildSetupArguments();

// The quoted temporary copy path, a space, then the argument string.
WideText BuildDirectCommandLine(const WideText& temporaryCopy,
                                const WideText& arguments);
