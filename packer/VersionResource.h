// SPDX-License-Identifier: 0BSD
// The version resource (RT_VERSION, VS_VERSIONINFO): the fixed version
// numbers and the string table Explorer shows under "Details", written and
// read back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace packer {

struct VersionNumber {
  uint16_t parts[4] = {0, 0, 0, 0};
  std::string Text() const;  // "A.B.C.D"
};

// "A.B.C.D": exactly four decimal numbers of at most 65535.
bool ParseVersionNumber(const std::string& text, VersionNumber* version,
                        std::string* error);

struct VersionStringTable {
  std::u16string key;  // language and code page, "000004B0"
  std::vector<std::pair<std::u16string, std::u16string>> strings;
};

struct VersionInfo {
  VersionNumber fileVersion, productVersion;
  uint32_t fileFlags = 0, fileOs = 0, fileType = 0;
  std::vector<VersionStringTable> tables;
  std::vector<uint32_t> translations;  // language | code page << 16
};

// The neutral-language, Unicode block: what Explorer finds first through the
// translation entry 0000/04B0.
extern const char16_t kNeutralUnicodeKey[];
const uint32_t kNeutralUnicodeTranslation = 0x04B00000;

// Serialises `info` (one table, one translation entry per table). False
// when it does not fit the format's 16-bit lengths.
bool EncodeVersionResource(const VersionInfo& info, std::vector<uint8_t>* out,
                           std::string* error);

// Reads a VS_VERSIONINFO; false, with a reason, when a length or a key is
// out of place.
bool DecodeVersionResource(const uint8_t* data, size_t size, VersionInfo* info,
                           std::string* error);

}  // namespace packer
