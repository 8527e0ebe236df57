// SPDX-License-Identifier: 0BSD
// The rules for the relative paths of a file set: one module for the
// launcher, which never trusts the packer, and for stubpack, which refuses
// what the launcher would refuse before it writes anything.
//
// A path names a file inside the launcher's private folder, components
// separated by backslashes. Every rule keeps a stored name from reaching
// outside that folder or from meaning something else to Windows than it
// says: no absolute path, drive letter, UNC or \\?\ prefix, no "." or "..",
// no colon (streams), no device name, no trailing dot or space (Windows
// drops them, so "a.cmd." would open "a.cmd"), no 8.3 alias (which could
// name another file), no character Windows refuses in a name.
//
// The set table lists its paths in one order: strictly increasing by
// CompareSetPaths. Two neighbours then show every duplicate (equal after
// case folding), every file that is also a folder, and every folder spelt
// in two ways, without a sort or any memory of the launcher's own.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// Limits of a set; the table's own size limit is in FileSetTable.h.
enum : uint32_t {
  kMaxSetFiles = 32768,
  kMaxSetPathUnits = 259,       // MAX_PATH less the terminator
  kMaxSetComponentUnits = 255,  // NTFS's longest name
  kMaxSetDepth = 32,            // components of one path
};

enum class NameProblem : uint8_t {
  None,
  Empty,               // no units at all
  Absolute,            // starts with a backslash: absolute, UNC or \\?\ path
  EmptyComponent,      // two backslashes in a row, or one at the end
  DotComponent,        // "." or ".."
  Colon,               // drive letters and alternate data streams
  ControlCharacter,    // U+0000 to U+001F
  ReservedCharacter,   // < > " / | ? *, which Windows refuses in names
  UnpairedSurrogate,   // not a character in any encoding
  TrailingDotOrSpace,  // in any component
  DeviceName,          // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$
  ShortNameAlias,      // NAME~1.EXT
  TooLong,             // more than kMaxSetPathUnits
  ComponentTooLong,    // more than kMaxSetComponentUnits
  TooDeep,             // more than kMaxSetDepth components
  // Between neighbours in the table.
  Duplicate,           // equal to the one before, after case folding
  OutOfOrder,          // sorts before the one before
  FileIsFolder,        // the one before is a file of this one's folder path
  FolderSpelling,      // a folder both share is spelt differently
};

// What a path is on its own.
NameProblem CheckSetPath(const WideChar* path, uint32_t length);

// How `next` stands to `previous`, its neighbour before it in the table.
NameProblem CheckSetPathOrder(const WideChar* previous, uint32_t previousLength,
                              const WideChar* next, uint32_t nextLength);

// The table's order: unit by unit after case folding, with the backslash
// before every other unit, so a folder's contents follow it directly.
// Negative, 0 or positive as `a` sorts before, with or after `b`.
int CompareSetPaths(const WideChar* a, uint32_t aLength, const WideChar* b,
                    uint32_t bLength);

// Case folding of one unit: ASCII, Latin-1, Latin Extended-A, Greek,
// Cyrillic and full-width Latin letters to upper case. The file system's
// own folding may know more pairs; a name it finds taken all the same
// stops the launcher, since every file is created new.
WideChar FoldNameUnit(WideChar unit);

enum class EntryKind : uint8_t { None, Program, InstallerPackage };

// ".exe" (a program) or ".msi" (started through msiexec), any ASCII case.
EntryKind EntryKindOf(const WideChar* path, uint32_t length);
