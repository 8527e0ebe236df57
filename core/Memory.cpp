// SPDX-License-Identifier: 0BSD
// Allocation that ends the process on failure.
#include "core/Memory.h"

#include "core/FailureReport.h"
#include "platform/Platform.h"

namespace {

const uint32_t kOutOfMemoryExitCode = 203;

}  // namespace

void OutOfMemory() {
  // Nothing here may allocate: the event, where no box can be shown, is
  // written from the stack.
  ReportFailure({u"Runtime error 203: not enough memory.", kOutOfMemoryExitCode,
                 kEventOutOfMemory, false, 0},
                u"Error");
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
