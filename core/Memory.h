// SPDX-License-Identifier: 0BSD
// Allocation for the launcher: memory that cannot be had ends the process.
//
// The launcher has no way to go on without the memory it asks for, so every
// allocation either succeeds or ends the process with exit code 203 after a
// generic box captioned "Error" (none where nobody can see it). None of the
// launcher's own messages is shown for it.
#pragma once

#include <stddef.h>

#include <new>

[[noreturn]] void OutOfMemory();

void* AllocateOrDie(size_t size);
// Resizes `block` (which may be null); keeps the contents up to the smaller
// size.
void* ReallocateOrDie(void* block, size_t size);
void Release(void* block);

// A copy of `value` on the launcher's heap, for records that live until the
// process ends: the system takes them back then, and the host tests' fake
// platform at each reset.
template <typename T>
T* KeepUntilExit(const T& value) {
  return new (AllocateOrDie(sizeof(T))) T(value);
}
