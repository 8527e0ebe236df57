// SPDX-License-Identifier: 0BSD
// A bounded walk through VS_VERSIONINFO: root, StringFileInfo, string
// tables, strings. Every block is a length, a value length, a type, a
// terminated key and the value, each part 4-byte aligned from the start of
// the resource, then its children.
#include "core/VersionStrings.h"

namespace {

struct Block {
  const WideChar* key;
  uint32_t keyLength;
  const uint8_t* value;
  uint32_t valueBytes;
  uint32_t children;  // offset of the first child, from the resource start
  uint32_t end;       // offset just past the block
};

uint16_t Word(const uint8_t* at) { return (uint16_t)(at[0] | at[1] << 8); }

uint32_t Aligned(uint32_t offset) { return (offset + 3) & ~3u; }

// The block at `offset`, which must end by `limit`.
bool ReadBlock(const uint8_t* resource, uint32_t offset, uint32_t limit,
               Block* block) {
  if (offset + 6 > limit) return false;
  const uint32_t length = Word(resource + offset);
  const uint32_t valueLength = Word(resource + offset + 2);
  const bool text = Word(resource + offset + 4) == 1;
  if (length < 6 || length > limit - offset) return false;
  block->end = offset + length;
  block->key = (const WideChar*)(resource + offset + 6);
  block->keyLength = 0;
  uint32_t at = offset + 6;
  for (;; at += 2, ++block->keyLength) {
    if (at + 2 > block->end) return false;
    if (Word(resource + at) == 0) break;
  }
  at = Aligned(at + 2);
  block->value = resource + at;
  block->valueBytes = text ? valueLength * 2 : valueLength;
  if (at > block->end || block->valueBytes > block->end - at) return false;
  block->children = Aligned(at + block->valueBytes);
  return true;
}

bool KeyIs(const Block& block, const WideChar* key) {
  const uint32_t length = WideLength(key);
  if (block.keyLength != length) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (Word((const uint8_t*)(block.key + i)) != key[i]) return false;
  return true;
}

}  // namespace

WideText FindVersionString(const uint8_t* resource, uint32_t size,
                           const WideChar* key) {
  Block root;
  if (!ReadBlock(resource, 0, size, &root)) return WideText();
  Block info;
  for (uint32_t at = root.children; ReadBlock(resource, at, root.end, &info);
       at = Aligned(info.end)) {
    if (!KeyIs(info, u"StringFileInfo")) continue;
    Block table;
    for (uint32_t t = info.children; ReadBlock(resource, t, info.end, &table);
         t = Aligned(table.end)) {
      Block entry;
      for (uint32_t s = table.children; ReadBlock(resource, s, table.end, &entry);
           s = Aligned(entry.end)) {
        if (!KeyIs(entry, key)) continue;
        uint32_t units = entry.valueBytes / 2;
        const uint8_t* value = entry.value;
        while (units > 0 && Word(value + 2 * (units - 1)) == 0) --units;
        WideText text;
        for (uint32_t i = 0; i < units; ++i) text.Append(Word(value + 2 * i));
        return text;
      }
    }
  }
  return WideText();
}
