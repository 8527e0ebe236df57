// SPDX-License-Identifier: 0BSD
// Reads of the launcher's own file and its module path.
#include "core/OwnFile.h"

namespace {

const uint32_t kOffsetLimit = 0x7FFFFFFF;

}  // namespace

bool ReadAt(PlatformHandle file, uint32_t offset, void* buffer,
            uint32_t count) {
  if (offset > kOffsetLimit) return false;
  if (!PlatformSeek(file, (int32_t)offset)) return false;
  return PlatformRead(file, buffer, count) == count;
}

bool ReadPiece(PlatformHandle file, uint32_t start, uint32_t offset,
               void* buffer, uint32_t count, uint32_t* next) {
  bool read = offset == *next ? PlatformRead(file, buffer, count) == count
                              : offset == 0 && ReadAt(file, start, buffer, count);
  *next = read ? offset + count : UINT32_MAX;
  return read;
}

bool RegionFitsInFile(PlatformHandle file, uint32_t offset, uint32_t count) {
  return (uint64_t)offset + count <= PlatformGetFileSize(file);
}

WideText ReadOwnPath() {
  WideChar buffer[kModulePathCapacity];
  uint32_t length = PlatformGetModuleFileName(buffer, kModulePathCapacity);
  if (length > kModulePathCapacity - 1) length = kModulePathCapacity - 1;
  return WideText(buffer, length);
}
