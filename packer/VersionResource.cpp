// SPDX-License-Identifier: 0BSD
// VS_VERSIONINFO: nested blocks of {wLength, wValueLength, wType, key,
// value, children}, each aligned to 4 bytes. A block's wLength ends with its
// last child, without that child's trailing padding.
#include "packer/VersionResource.h"

#include <algorithm>
#include <cstring>

#include "packer/LittleEndian.h"

namespace packer {

const char16_t kNeutralUnicodeKey[] = u"000004B0";

namespace {

const uint32_t kFixedSignature = 0xFEEF04BD;
const uint32_t kFixedSize = 52;
const uint32_t kFlagsMask = 0x3F;       // VS_FFI_FILEFLAGSMASK
const uint32_t kMaxBlock = 0xFFFF;


void Align4(std::vector<uint8_t>& out) {
  while (out.size() % 4) out.push_back(0);
}
void PutText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t unit : text) AppendLe16(out, unit);
  AppendLe16(out, 0);
}

// Starts a block; EndBlock fills in its length.
size_t BeginBlock(std::vector<uint8_t>& out, uint32_t valueLength, uint32_t type,
                  const std::u16string& key) {
  Align4(out);
  const size_t start = out.size();
  AppendLe16(out, 0);
  AppendLe16(out, valueLength);
  AppendLe16(out, type);
  PutText(out, key);
  Align4(out);
  return start;
}

bool EndBlock(std::vector<uint8_t>& out, size_t start) {
  const size_t length = out.size() - start;
  if (length > kMaxBlock) return false;
  out[start] = (uint8_t)length;
  out[start + 1] = (uint8_t)(length >> 8);
  return true;
}

uint32_t Pack(const VersionNumber& v, int high) {
  return (uint32_t)v.parts[high] << 16 | v.parts[high + 1];
}

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

struct Block {
  uint32_t length, valueLength, type;
  std::u16string key;
  size_t value;     // offset of the value
  size_t children;  // offset of the first child
  size_t end;
};

// Reads the block at `at` within [0, limit).
bool ReadBlock(const uint8_t* data, size_t at, size_t limit, Block* block) {
  if (at + 6 > limit) return false;
  block->length = LoadLe16(data + at);
  block->valueLength = LoadLe16(data + at + 2);
  block->type = LoadLe16(data + at + 4);
  if (block->length < 6 || at + block->length > limit) return false;
  block->end = at + block->length;
  block->key.clear();
  size_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > block->end) return false;
    const char16_t unit = (char16_t)LoadLe16(data + p);
    if (!unit) break;
    block->key += unit;
  }
  p = (p + 2 + 3) & ~(size_t)3;
  block->value = p;
  // Text values count UTF-16 units, binary ones bytes.
  const size_t valueBytes = block->type == 1 ? 2 * block->valueLength : block->valueLength;
  if (p + valueBytes > block->end) return false;
  block->children = (p + valueBytes + 3) & ~(size_t)3;
  return true;
}

}  // namespace

std::string VersionNumber::Text() const {
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]) + "." + std::to_string(parts[3]);
}

bool ParseVersionNumber(const std::string& text, VersionNumber* version,
                        std::string* error) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = i < 3 ? text.find('.', start) : text.size();
    std::string part = dot == std::string::npos ? "" : text.substr(start, dot - start);
    bool digits = !part.empty() && part.size() <= 5;
    for (char c : part) digits = digits && c >= '0' && c <= '9';
    if (!digits || std::stoul(part) > 0xFFFF)
      return Fail(error, "\"" + text +
                             "\" is not a version of four numbers of at most "
                             "65535 (A.B.C.D, for example 1.2.0.0)");
    version->parts[i] = (uint16_t)std::stoul(part);
    start = dot + 1;
  }
  return true;
}

bool EncodeVersionResource(const VersionInfo& info, std::vector<uint8_t>* out,
                           std::string* error) {
  std::vector<uint8_t>& b = *out;
  b.clear();
  const size_t root = BeginBlock(b, kFixedSize, 0, u"VS_VERSION_INFO");
  AppendLe32(b, kFixedSignature);
  AppendLe32(b, 0x00010000);
  AppendLe32(b, Pack(info.fileVersion, 0));
  AppendLe32(b, Pack(info.fileVersion, 2));
  AppendLe32(b, Pack(info.productVersion, 0));
  AppendLe32(b, Pack(info.productVersion, 2));
  AppendLe32(b, kFlagsMask);
  AppendLe32(b, info.fileFlags);
  AppendLe32(b, info.fileOs);
  AppendLe32(b, info.fileType);
  AppendLe32(b, 0);  // subtype
  AppendLe32(b, 0);  // date, high
  AppendLe32(b, 0);  // date, low

  const std::string tooLong =
      "the version texts are too long: the version resource holds at most "
      "65535 bytes";
  const size_t stringInfo = BeginBlock(b, 0, 1, u"StringFileInfo");
  for (const VersionStringTable& table : info.tables) {
    const size_t tableStart = BeginBlock(b, 0, 1, table.key);
    for (const auto& entry : table.strings) {
      const size_t string =
          BeginBlock(b, (uint32_t)std::min<size_t>(entry.second.size() + 1, kMaxBlock), 1,
                     entry.first);
      PutText(b, entry.second);
      if (!EndBlock(b, string)) return Fail(error, tooLong);
    }
    if (!EndBlock(b, tableStart)) return Fail(error, tooLong);
  }
  if (!EndBlock(b, stringInfo)) return Fail(error, tooLong);
  const size_t varInfo = BeginBlock(b, 0, 1, u"VarFileInfo");
  const size_t var = BeginBlock(b, 4 * (uint32_t)info.translations.size(), 0,
                                u"Translation");
  for (uint32_t translation : info.translations) AppendLe32(b, translation);
  EndBlock(b, var);
  EndBlock(b, varInfo);
  if (!EndBlock(b, root)) return Fail(error, tooLong);
  return true;
}

bool DecodeVersionResource(const uint8_t* data, size_t size, VersionInfo* info,
                           std::string* error) {
  *info = VersionInfo();
  Block root;
  if (!ReadBlock(data, 0, size, &root) || root.key != u"VS_VERSION_INFO")
    return Fail(error, "the version resource does not start with VS_VERSION_INFO");
  if (root.valueLength != kFixedSize || LoadLe32(data + root.value) != kFixedSignature)
    return Fail(error, "the version resource has no fixed version information");
  const uint8_t* fixed = data + root.value;
  for (int i = 0; i < 2; ++i) {
    VersionNumber& v = i == 0 ? info->fileVersion : info->productVersion;
    const uint32_t ms = LoadLe32(fixed + 8 + 8 * i), ls = LoadLe32(fixed + 12 + 8 * i);
    v.parts[0] = (uint16_t)(ms >> 16);
    v.parts[1] = (uint16_t)ms;
    v.parts[2] = (uint16_t)(ls >> 16);
    v.parts[3] = (uint16_t)ls;
  }
  info->fileFlags = LoadLe32(fixed + 28);
  info->fileOs = LoadLe32(fixed + 32);
  info->fileType = LoadLe32(fixed + 36);

  const std::string broken = "the version resource's blocks do not nest";
  for (size_t at = root.children; at < root.end;) {
    Block child;
    if (!ReadBlock(data, at, root.end, &child)) return Fail(error, broken);
    if (child.key == u"StringFileInfo") {
      for (size_t t = child.children; t < child.end;) {
        Block tableBlock;
        if (!ReadBlock(data, t, child.end, &tableBlock)) return Fail(error, broken);
        VersionStringTable table;
        table.key = tableBlock.key;
        for (size_t s = tableBlock.children; s < tableBlock.end;) {
          Block string;
          if (!ReadBlock(data, s, tableBlock.end, &string) || string.type != 1)
            return Fail(error, broken);
          std::u16string value;
          for (uint32_t i = 0; i < string.valueLength; ++i) {
            const char16_t unit = (char16_t)LoadLe16(data + string.value + 2 * i);
            if (!unit) break;
            value += unit;
          }
          table.strings.emplace_back(string.key, value);
          s = (string.end + 3) & ~(size_t)3;
        }
        info->tables.push_back(table);
        t = (tableBlock.end + 3) & ~(size_t)3;
      }
    } else if (child.key == u"VarFileInfo") {
      for (size_t v = child.children; v < child.end;) {
        Block var;
        if (!ReadBlock(data, v, child.end, &var)) return Fail(error, broken);
        if (var.key == u"Translation")
          for (uint32_t i = 0; i + 4 <= var.valueLength; i += 4)
            info->translations.push_back(LoadLe32(data + var.value + i));
        v = (var.end + 3) & ~(size_t)3;
      }
    }
    at = (child.end + 3) & ~(size_t)3;
  }
  return true;
}

}  // namespace packer
