// SPDX-License-Identifier: 0BSD
// The set table of a file set: where it may lie, and every rule it must
// meet before the launcher creates anything. stubpack's verify and inspect
// judge tables with this same code.
//
// The table is read whole into memory (its size is bounded before anything
// is allocated) and checked in one pass; the checked table is then read in
// place through FileSetView, so nothing of it is copied.
#pragma once

#include <stdint.h>

#include "core/StubTypes.h"
#include "extract/FileSetNames.h"

enum : uint32_t {
  kMaxSetTableBytes = 4u << 20,
  kMaxSetBlocks = 65536,
  kMinSetBlockSize = 4096,
  kMaxSetBlockSize = 1u << 30,
  // A block's compressed size, read through 32-bit counts.
  kMaxSetPackedBlock = 0x7FFFFFFF,
};

// Which rule a table broke; the packer names it, the launcher only needs
// the verdict.
enum class SetTableRule : uint8_t {
  None,
  Place,          // the table lies outside the CRC region, or is too large
  Size,           // its size is not what its counts make
  Version,        // an unknown version, flag or non-zero reserved byte
  FileCount,      // none, or more than kMaxSetFiles
  Entry,          // no such file, not an .exe or .msi, or the launcher's
                  // name asked for a set of more than one file
  Name,           // a path breaks a rule (see nameProblem)
  FileSizes,      // the files' sizes do not add up to totalSize
  BlockSize,      // outside kMinSetBlockSize..kMaxSetBlockSize
  BlockCount,     // not the count that totalSize and blockSize make
  BlockCoverage,  // a block does not decode to its slice of the files
  BlockPlace,     // a block overlaps the table or another block, or runs
                  // past packageEnd
  Truncated,      // the file ends before packageEnd
};

struct SetTableCheck {
  SetTableRule rule;
  uint32_t index;  // the file or block concerned, where there is one
  NameProblem nameProblem;
};

// A checked table, read in place.
struct FileSetView {
  const FileSetTableHeader* header;
  const FileSetEntry* files;
  const FileSetBlock* blocks;
  const WideChar* names;  // all paths, in file order
};

// True when the header's table lies wholly inside the CRC region (so the
// CRC-32 has vouched for it) and is no larger than kMaxSetTableBytes: only
// then is it read.
bool SetTablePlaceIsSound(const PackageHeader& header,
                          const PackageLocator& locator);

// Checks every rule of a table of `size` bytes read from `tableOffset` (the
// header's setTableOffset) in a file of `fileSize` bytes, and fills `view`.
// `table` must be 2-byte aligned (the paths are UTF-16 units). `view` is
// set, and may be read to name the file or block concerned, for every rule
// but Place, Version, FileCount and Size, and for a BlockCount found before
// the table's size was known to match its counts.
SetTableCheck CheckSetTable(const uint8_t* table, uint32_t size,
                            uint64_t tableOffset, uint64_t fileSize,
                            FileSetView* view);

// Walks the paths in order: call Next() fileCount times.
class SetPathCursor {
 public:
  explicit SetPathCursor(const FileSetView& view) : view_(view) {}
  // The next file's path and its length; returns the file's index.
  uint32_t Next(const WideChar** path, uint32_t* length);

 private:
  const FileSetView& view_;
  uint32_t index_ = 0;
  uint64_t offset_ = 0;
};
