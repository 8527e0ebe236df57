// SPDX-License-Identifier: 0BSD
// The package records as exact byte images of the launcher file.
//
// All three are read from the file with one read each, straight into these
// structures, so their layout is the file format: no padding, little-endian.
#pragma once

#include <stdint.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The package records are little-endian byte images."
#endif

#pragma pack(push, 1)

// 24 bytes at file offset 128, inside the DOS stub area.
struct PackageLocator {
  uint32_t packageOffset;     // file offset of the PackageHeader; 0: no package
  uint32_t crcLength;         // bytes from packageOffset covered by crcValue
  uint32_t crcValue;          // CRC-32 of that region
  int64_t expectedFileSize;   // minimum file size in attached mode
  uint32_t detachedFileSize;  // 0: attached mode; else detached minimum size
};

struct PackageTextRef {
  uint32_t textOffset;  // file offset of UTF-16LE text, no terminator
  uint16_t textLength;  // in UTF-16 units
};

// 74 bytes at packageOffset. A package carries either one setup program
// (payload fields) or a file set (packageForm kFileSetForm, then the set
// table's place); the fields of the other form are not read.
struct PackageHeader {
  uint8_t lzmaProperties[5];  // lc/lp/pb byte, then the dictionary size
  uint64_t supportFlags;
  uint16_t win10MinCode;
  uint16_t win10MaxCode;
  uint16_t win11MinCode;
  uint16_t win11MaxCode;
  uint8_t adminMode;
  uint32_t packageForm;       // kFileSetForm, or anything else: one program
  uint8_t launchFlags;        // kLaunchWithoutProgressWindow, or 0
  uint8_t reserved1[7];
  uint32_t payloadOffset;
  uint32_t payloadPackedSize;
  int32_t payloadSize;
  uint64_t setTableOffset;    // file set: absolute offset of the set table
  uint64_t setTableSize;      // file set: its size in bytes
  uint8_t reserved2[6];
  PackageTextRef unsupportedText;
};

// The set table of a file set: this header, then one FileSetEntry per file,
// one FileSetBlock per block, then the files' relative paths as UTF-16LE
// units, one after the other in file order, without terminators.
struct FileSetTableHeader {
  uint16_t version;      // kFileSetVersion
  uint16_t flags;        // kSetEntryTakesLauncherName, or 0
  uint32_t fileCount;
  uint32_t blockCount;
  uint32_t entryIndex;   // the file that is started
  uint64_t blockSize;    // decoded size of every block but the last
  uint64_t totalSize;    // of all files, = of all blocks
  uint64_t packageEnd;   // where the package ends; the file is at least this
  uint32_t nameUnits;    // UTF-16 units of all paths together
  uint8_t reserved[20];
};

struct FileSetEntry {
  uint64_t size;
  uint32_t nameUnits;  // of this file's path
};

// An independent raw LZMA1 block (the header's lzmaProperties) that decodes
// to the files' concatenated bytes from block index * blockSize on.
struct FileSetBlock {
  uint64_t packedOffset;  // absolute file offset
  uint64_t packedSize;
  uint64_t unpackedSize;
  uint32_t crc32;         // of the decoded bytes
};

#pragma pack(pop)

static_assert(sizeof(PackageLocator) == 24, "PackageLocator is 24 bytes");
static_assert(sizeof(PackageTextRef) == 6, "PackageTextRef is 6 bytes");
static_assert(sizeof(PackageHeader) == 74, "PackageHeader is 74 bytes");
static_assert(sizeof(FileSetTableHeader) == 64, "FileSetTableHeader is 64 bytes");
static_assert(sizeof(FileSetEntry) == 12, "FileSetEntry is 12 bytes");
static_assert(sizeof(FileSetBlock) == 28, "FileSetBlock is 28 bytes");

enum : uint32_t {
  kPackageLocatorOffset = 128,
  kPackageLocatorEnd = kPackageLocatorOffset + sizeof(PackageLocator),
};

// packageForm of a file set: "FSET". Old launchers read the payload fields
// of such a package, which stubpack writes as an impossible size (-1) so
// that they refuse it as damaged instead of starting an empty program.
const uint32_t kFileSetForm = 0x54455346;
const uint16_t kFileSetVersion = 1;
// The set's one file is written under the launcher's own file name, as the
// single setup program is: a large program packed in blocks behaves exactly
// like a small one.
const uint16_t kSetEntryTakesLauncherName = 1;

// launchFlags: the launcher shows no progress window, however long it takes.
const uint8_t kLaunchWithoutProgressWindow = 1;

// supportFlags bits.
enum : uint64_t {
  kSupportsWindowsXp = 0x20,
  kSupportsWindowsVista = 0x40,
  kSupportsWindows7 = 0x80,
  kSupportsWindows8 = 0x100,
  kSupportsWindows81 = 0x200,
  kSupportsWindows10 = 0x400,
  kSupportsWindows11 = 0x800,
  kSupportsUnknownVersions = 0x8000000000000000ull,
};

// Filled once by the main sequence, read directly by every later step.
extern PackageLocator gPackageLocator;
extern PackageHeader gPackageHeader;
