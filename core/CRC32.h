// SPDX-License-Identifier: 0BSD
// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320), as zlib computes it.
#pragma once

#include <stdint.h>

// A count of 0 or less processes nothing and returns 0.
uint32_t ComputeCrc32(const uint8_t* data, int32_t count);

// Continues a running CRC (pass 0 to start); used by the packer for large
// inputs read in pieces. ComputeCrc32(d, n) == UpdateCrc32(0, d, n).
uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, uint64_t count);

// The plain table method, always; the reference the fast path must match.
uint32_t UpdateCrc32Bytewise(uint32_t crc, const uint8_t* data,
                             uint64_t count);
