// SPDX-License-Identifier: 0BSD
// A file set written into the launcher's private folder: the table read
// and judged, every path measured, the folders and files made, the blocks
// decoded into them, and every file locked until the start.
//
// The guarantees are those of the single copy, carried over to each file:
// nothing is created before the whole table has passed; every file is
// created new (never through a name that exists) and marked for deletion
// until every block has decoded and matched its CRC-32, so a launcher that
// is killed leaves no file with content; a damaged package outranks a disk
// that could not be written; after any failure nothing the launcher made is
// left but, where removal is refused, empty folders.
#pragma once

#include "core/StubTypes.h"
#include "extract/ExtractedSetup.h"
#include "platform/Platform.h"

// CreateDirectoryW's limit on a folder's path (room for an 8.3 name and the
// terminator within MAX_PATH), and MAX_PATH less the terminator for a file.
const uint32_t kMaxFolderPathUnits = 247;
const uint32_t kMaxFilePathUnits = 259;

// Reads and judges the set table, writes the set and locks it; returns the
// entry to start. A table that breaks a rule shows the damaged-package
// message, a file that ends before the package the truncated one; a path
// too long for Windows, or a folder or file that cannot be made or written,
// the temporary-copy message.
ExtractedSetup WriteFileSet(PlatformHandle file, const PackageHeader& header);
