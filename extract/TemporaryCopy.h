// SPDX-License-Identifier: 0BSD
// Writes the decoded setup program to disk as the temporary copy.
#pragma once

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "platform/Platform.h"

// Chooses the folder and a free name, creates the copy, then decodes the
// payload into it a piece at a time. Returns the path of the complete copy.
//
// The verdicts are those of decoding first and writing afterwards: a damaged
// payload shows the damaged-package message even where the copy could not
// be created or a write failed (the decoding goes on without writing), and
// the temporary-copy message comes only for a payload that was accepted.
// After any failure nothing of the copy is left on disk.
WideText WriteTemporaryCopy(PlatformHandle file, const PackageHeader& header);

// The folder the copy goes to, always ending in a backslash except when it
// is the launcher's own (possibly empty) folder.
WideText ChooseTemporaryFolder();

// `path` with the decimal digits of `number` inserted before its last four
// units (for "setup.exe" and 2: "setup2.exe").
WideText NumberedPath(const WideText& path, int32_t number);

// The part after the last backslash; the whole path when there is none.
WideText ExtractName(const WideText& path);
