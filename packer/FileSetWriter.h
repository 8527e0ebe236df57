// SPDX-License-Identifier: 0BSD
// Turns a launcher stub and a file set (a folder of files, one of which is
// started) into a launcher file.
//
// From packageOffset on: the header (form "FSET"), the set table, the
// refusal text, the vendor bytes inside the CRC region (where it ends), the
// blocks, the vendor bytes after it, and the padding. The files' bytes,
// concatenated in the table's order, are cut into blocks of blockSize
// decoded bytes, each an independent raw LZMA1 stream. The table's size
// follows from the counts alone, so its place is reserved before the first
// block is compressed and the table is written once the blocks are; the
// header, the locator and the PE checksum come last, as for one program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packer/ByteSink.h"
#include "packer/ByteSource.h"
#include "packer/PackageWriter.h"

namespace packer {

// Decoded bytes per block when none is asked for: large enough that cutting
// a program into blocks costs little (about 0.15% at preset 6, against
// 0.9% with 32 MiB blocks), small enough that a large program still gives
// every decoding thread of the launcher blocks of its own.
const uint64_t kDefaultSetBlockSize = 64u << 20;

// One file of a set.
struct SetFile {
  std::u16string path;  // relative, components separated by backslashes
  uint64_t size = 0;    // what the folder said; the bytes read must agree
  std::string name;     // how messages name the file (UTF-8)
  // Opens the file's bytes, to be read once in pieces; null with `*error`
  // set to one line when it cannot be opened.
  std::function<std::unique_ptr<ByteSource>(std::string* error)> open;
};

struct FileSet {
  std::vector<SetFile> files;  // in any order: the writer sorts them
  std::u16string entry;        // the path of the file started, as in `files`
  uint64_t blockSize = kDefaultSetBlockSize;
  // One program in blocks: the launcher names the set's one file, an .exe,
  // after itself, as it names one program's copy.
  bool entryTakesLauncherName = false;
};

// `program` (an .exe) as a set of its own, written in blocks of `blockSize`
// and copied under the launcher's own name.
FileSet ProgramInBlocks(SetFile program, uint64_t blockSize);

// Puts `set`'s files into the table's order and checks, before anything is
// written, what the launcher will check: every path rule, each path against
// its neighbour (no two paths one file or folder on Windows), the limits
// of files, blocks and table size, and that the entry is a non-empty .exe
// or .msi of the set. "" or one line naming the file and the rule.
std::string PlanFileSet(FileSet* set);

// The file at `set.entry` once PlanFileSet accepted the set.
const SetFile& EntryOf(const FileSet& set);
SetFile& EntryOf(FileSet& set);

// Writes the launcher file for `set` to `out`, as BuildLauncherFile does for
// one program: each file is read once, in order, a piece at a time, by this
// thread, and cut into blocks, which options.threads threads compress; each
// block goes to `out` in order as soon as it and those before it are done.
// At most threads + 1 blocks are held at once, so memory does not grow with
// the set, and the bytes never depend on the thread count. Every block has the same LZMA properties; an automatic
// dictionary is the preset's, shrunk to the block size or the set's total
// size (at least 4 KiB). `options.progress` gets (bytes read, total). The
// same inputs give the same bytes. "" or a one-line reason; a file that
// does not hold the bytes its size said, or changes while it is read, is
// refused, and so is a file that would reach MaxLauncherFileSize, as soon
// as a block takes it there.
std::string BuildFileSetLauncher(const Bytes& stub, FileSet& set, const PackageOptions& options,
                                 ByteSink& out);

}  // namespace packer
