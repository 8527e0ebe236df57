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

// 74 bytes at packageOffset.
struct PackageHeader {
  uint8_t lzmaProperties[5];  // lc/lp/pb byte, then the dictionary size
  uint64_t supportFlags;
  uint16_t win10MinCode;
  uint16_t win10MaxCode;
  uint16_t win11MinCode;
  uint16_t win11MaxCode;
  uint8_t adminMode;
  uint8_t reserved1[12];
  uint32_t payloadOffset;
  uint32_t payloadPackedSize;
  int32_t payloadSize;
  uint8_t reserved2[22];
  PackageTextRef unsupportedText;
};

#pragma pack(pop)

static_assert(sizeof(PackageLocator) == 24, "PackageLocator is 24 bytes");
static_assert(sizeof(PackageTextRef) == 6, "PackageTextRef is 6 bytes");
static_assert(sizeof(PackageHeader) == 74, "PackageHeader is 74 bytes");

enum : uint32_t {
  kPackageLocatorOffset = 128,
  kPackageLocatorEnd = kPackageLocatorOffset + sizeof(PackageLocator),
};

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
