// SPDX-License-Identifier: 0BSD
// The five LZMA property bytes of a package and the launcher's rule for them.
#pragma once

#include <stdint.h>

struct LzmaProperties {
  uint32_t lc;
  uint32_t lp;
  uint32_t pb;
  uint32_t dictionarySize;
};

// Decodes byte 0 = (pb * 5 + lp) * 9 + lc and the little-endian dictionary
// size. Returns false for a first byte above 224 (pb above 4) and for a
// dictionary size of 2^31 or more; 0 is a valid dictionary size.
bool AcceptLzmaProperties(const uint8_t bytes[5], LzmaProperties* properties);
