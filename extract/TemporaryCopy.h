// SPDX-License-Identifier: 0BSD
// Writes the decoded setup program to disk as the temporary copy.
#pragma once

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "extract/ExtractedSetup.h"
#include "extract/PrivateFolder.h"
#include "platform/Platform.h"

// The copy as the hand-off receives it: complete, closed, and held open
// again read-only. While `lock` is open nobody can write, rename or delete
// the copy (it shares only reading), yet a start can still open it.
struct WrittenCopy {
  CopyLocation location;
  PlatformHandle lock;
};

// Chooses the folder, makes a private folder inside it, creates the copy
// there, then decodes the payload into it a piece at a time.
//
// The verdicts are those of decoding first and writing afterwards: a damaged
// payload shows the damaged-package message even where the copy could not
// be created or a write failed (the decoding goes on without writing), and
// the temporary-copy message comes only for a payload that was accepted.
// After any failure nothing the launcher made is left on disk; a copy still
// being written is marked for deletion, so not even a launcher that is
// killed leaves a part of one behind.
WrittenCopy WriteTemporaryCopy(PlatformHandle file, const PackageHeader& header);

// Closes the lock, deletes the copy and removes its private folder; what
// cannot be removed (a file the setup program left there) stays.
void RemoveWrittenCopy(const WrittenCopy& copy);

// The copy as the start sees it; the copy's record lives on until the
// process ends.
ExtractedSetup AsExtracted(const WrittenCopy& copy);

// The folder the copy goes to, always ending in a backslash except when it
// is the launcher's own (possibly empty) folder.
WideText ChooseTemporaryFolder();

// `path` with the decimal digits of `number` inserted before its last four
// units (for "setup.exe" and 2: "setup2.exe").
WideText NumberedPath(const WideText& path, int32_t number);
