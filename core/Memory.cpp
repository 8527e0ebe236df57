// SPDX-License-Identifier: 0BSD
// Allocation that ends the process on failure.
#include "core/Memory.h"

#include "core/ErrorBox.h"
#include "platform/Platform.h"

namespace {

const uint32_t kOutOfMemoryExitCode = 203;

}  // namespace

void OutOfMemory() {
  ShowErrorBox(u"Runtime error 203: not enough memory.", u"Error");
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
