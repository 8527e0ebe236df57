// SPDX-License-Identifier: 0BSD
// Allocation for the launcher: memory that cannot be had ends the process.
//
// The launcher has no way to go on without the memory it asks for, so every
// allocation either succeeds or ends the process with exit code 203 after a
// generic box captioned "Error" (none where nobody can see it). None of the
// launcher's own messages is shown for it.
#pragma once

#include <stddef.h>

[[noreturn]] void OutOfMemory();

void* AllocateOrDie(size_t size);
// Resizes `block` (which may be null); keeps the contents up to the smaller
// size.
void* ReallocateOrDie(void* block, size_t size);
void Release(void* block);
