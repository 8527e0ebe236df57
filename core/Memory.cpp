// SPDX-License-Identifier: 0BSD
// Allocation that ends the process on failure.
#include "core/Memory.h"

#include "platform/Platform.h"

namespace {

const uint32_t kOutOfMemoryExitCode = 203;
const uint32_t kIconError = 0x10;

}  // namespace

void OutOfMemory() {
  PlatformShowMessage(u"Runtime error 203: not enough memory.", u"Error",
                      kIconError);
  PlatformExitProcess(kOutOfMemoryExitCode);
}

void* AllocateOrDie(size_t size) {
  void* block = PlatformAllocate(size == 0 ? 1 : size);
  if (!block) OutOfMemory();
  return block;
}

void* ReallocateOrDie(void* block, size_t size) {
  if (!block) return AllocateOrDie(size);
  void* resized = PlatformReallocate(block, size == 0 ? 1 : size);
  if (!resized) OutOfMemory();
  return resized;
}

void Release(void* block) {
  if (block) PlatformFree(block);
}

void* ReserveOrDie(size_t size) {
  void* block = PlatformReserve(size == 0 ? 1 : size);
  if (!block) OutOfMemory();
  return block;
}

void CommitOrDie(void* block, size_t size) {
  if (!PlatformCommit(block, size)) OutOfMemory();
}

void ReleaseReserved(void* block) {
  if (block) PlatformReleaseReserved(block);
}
