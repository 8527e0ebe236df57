// SPDX-License-Identifier: 0BSD
// Little-endian loads and appends for the PE, icon and version-resource
// formats the packer reads and writes.
#pragma once

#include <cstdint>
#include <vector>

namespace packer {

inline uint32_t LoadLe16(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return LoadLe16(p) | LoadLe16(p + 2) << 16;
}
inline void AppendLe16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back((uint8_t)value);
  out.push_back((uint8_t)(value >> 8));
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  AppendLe16(out, value & 0xFFFF);
  AppendLe16(out, value >> 16);
}

}  // namespace packer
