// SPDX-License-Identifier: 0BSD
// Writes the decoded setup program to disk as the temporary copy.
#pragma once

#include "core/WideText.h"
#include "extract/NoRTLStream.h"

// Chooses the folder and a free name, writes `payloadSize` bytes from
// `output` in one write, then destroys `output` and `input` (in that order).
// Returns the path of the copy; failures show the temporary-copy message.
WideText WriteTemporaryCopy(TStream* output, TStream* input,
                            int32_t payloadSize);

// The folder the copy goes to, always ending in a backslash except when it
// is the launcher's own (possibly empty) folder.
WideText ChooseTemporaryFolder();

// `path` with the decimal digits of `number` inserted before its last four
// units (for "setup.exe" and 2: "setup2.exe").
WideText NumberedPath(const WideText& path, int32_t number);

// The part after the last backslash; the whole path when there is none.
WideText ExtractName(const WideText& path);
