// SPDX-License-Identifier: 0BSD
// The vendor's branding of a launcher file: icon and version information put
// into the stub's resources before the package is appended, and read back
// for inspect and verify.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packer/IconFile.h"
#include "packer/VersionResource.h"

namespace packer {

struct BrandingOptions {
  std::optional<std::vector<IconImage>> icon;  // replaces the icon group
  std::optional<VersionNumber> fileVersion, productVersion;
  std::optional<std::u16string> company, product, description, copyright,
      originalFilename;
  // OriginalFilename when none is given: the output file's name.
  std::u16string outputName;

  bool Any() const {
    return icon || fileVersion || productVersion || company || product ||
           description || copyright || originalFilename;
  }
};

// The version information `options` stand for, defaults filled in: each
// version defaults to the other, both to 1.0.0.0; the description to
// "PRODUCT Setup" or "Setup"; the original file name to the output's name.
// Company, product and copyright are left out unless given.
VersionInfo BrandedVersionInfo(const BrandingOptions& options);

// Rewrites the stub image's resources: with an icon, every icon and icon
// group goes and the .ico's images come in; with any option, the version
// resource is replaced by BrandedVersionInfo. Everything else (the manifest
// first of all) is kept byte for byte. False, with a one-line reason, when
// the stub cannot be branded or a text does not fit.
bool ApplyBranding(std::vector<uint8_t>& image, const BrandingOptions& options,
                   std::string* error);

struct IconSummary {
  uint32_t width = 0, height = 0, bitCount = 0, bytes = 0;
  bool png = false;
};

// What a launcher file shows Explorer.
struct BrandingInfo {
  bool readable = false;  // the resource section parsed
  std::string problem;    // why not, or what inside it is broken
  size_t resourceCount = 0;
  bool hasIcon = false;
  std::vector<IconSummary> icons;  // the first icon group's images
  bool hasVersion = false;
  VersionInfo version;
  bool hasManifest = false;
};

// Reads the resources of `image`. `problem` is empty when the section, the
// first icon group with the icons it names and the version resource are all
// well formed.
BrandingInfo ReadBranding(const std::vector<uint8_t>& image);

}  // namespace packer
