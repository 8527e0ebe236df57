// SPDX-License-Identifier: 0BSD
// Acceptance rule for the package's LZMA property bytes.
#include "extract/LzmaProperties.h"

bool AcceptLzmaProperties(const uint8_t bytes[5], LzmaProperties* properties) {
  const uint8_t first = bytes[0];
  if (first > 224) return false;
  const uint32_t dictionarySize = (uint32_t)bytes[1] | (uint32_t)bytes[2] << 8 |
                                  (uint32_t)bytes[3] << 16 |
                                  (uint32_t)bytes[4] << 24;
  if ((int32_t)dictionarySize < 0) return false;
  properties->lc = first % 9;
  properties->lp = (first / 9) % 5;
  properties->pb = first / 45;
  properties->dictionarySize = dictionarySize;
  return true;
}
