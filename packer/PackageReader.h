// SPDX-License-Identifier: 0BSD
// Reading a finished launcher file back: every locator and header field,
// decoded, and what lies around the package. No check here ends anything;
// `stubpack verify` runs the launcher's own checks instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/StubTypes.h"
#include "packer/Branding.h"
#include "packer/FileSetInfo.h"
#include "packer/PeImage.h"
#include "packer/PrintableText.h"
#include "packer/SetupSignature.h"

namespace packer {

struct PackageInfo {
  uint64_t fileSize = 0;
  PackageLocator locator = {};
  PackageHeader header = {};
  bool detached = false;
  uint64_t minimumFileSize = 0;  // what the size check of the mode demands
  bool sizeSufficient = false;
  bool crcRegionInFile = false;
  bool crcMatches = false;
  uint32_t crcComputed = 0;
  bool payloadInFile = false;
  bool textInFile = false;
  std::u16string text;  // when textInFile
  // LZMA properties, decoded; lzmaValid is false for a first byte above 224.
  bool lzmaValid = false;
  uint32_t lc = 0, lp = 0, pb = 0, dictionarySize = 0;
  // The certificate table of a signed file (PE data directory 4).
  bool peValid = false;
  bool signed_ = false;
  uint32_t signatureOffset = 0;
  uint32_t signatureSize = 0;
  bool signatureInFile = false;        // offset + size within the file
  bool signatureAfterPackage = false;  // starts at or after the package end
  Signer signer;                       // of the table's first entry, when in the file
  // The setup program's own signature: only once the caller has decoded it
  // (DecodeSetupSignature), which takes as long as verify.
  std::optional<SetupSignature> setupSignature;
  // Icon and version information, from the image before the package.
  BrandingInfo branding;
  // A file set's table (the header's packageForm says "FSET").
  std::optional<FileSetInfo> fileSet;
};

// Fails, with a one-line reason, only when the file carries no readable
// package at all: no PE image, shorter than the locator, an empty locator,
// or a header outside the file.
bool ReadPackageInfo(const std::vector<uint8_t>& file, PackageInfo* info,
                     std::string* error);
// The same from a file of `fileSize` bytes read through `read`, whose
// start `head` holds at least the image, the header and the CRC region
// where the file has them.
bool ReadPackageInfo(const std::vector<uint8_t>& head, uint64_t fileSize, const FileReader& read,
                     PackageInfo* info, std::string* error);
// The same for the file at `path`: a file set is read at its image, its
// CRC region and its table only, whatever its size; any other file whole.
// The one line says either why the file cannot be read or "PATH is not a
// launcher file: ...".
bool ReadPackageInfoOfFile(const std::string& path, PackageInfo* info, std::string* error);

// True when the file at `path` has a locator and a package header that
// says "file set": only those bytes are read.
bool CarriesFileSet(const std::string& path);

// Renders for people (aligned "name: value" lines) and for scripts (one
// JSON object). `path` is shown as given.
std::string FormatPackageInfo(const std::string& path, const PackageInfo& info);
std::string FormatPackageInfoJson(const std::string& path,
                                  const PackageInfo& info);

}  // namespace packer
