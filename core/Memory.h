// SPDX-License-Identifier: 0BSD
// Allocation for the launcher: memory that cannot be had ends the process.
//
// The launcher has no way to go on without the memory it asks for, so every
// allocation either succeeds or ends the process with exit code 203 after a
// generic box captioned "Error". None of the launcher's own messages is shown
// for it.
#pragma once

#include <stddef.h>

[[noreturn]] void OutOfMemory();

void* AllocateOrDie(size_t size);
// Resizes `block` (which may be null); keeps the contents up to the smaller
// size.
void* ReallocateOrDie(void* block, size_t size);
void Release(void* block);

// A block that grows in place: ReserveOrDie sets aside address space only,
// CommitOrDie makes the first `size` bytes usable (memory that cannot be had
// is the same stop as above), ReleaseReserved gives the whole block back.
void* ReserveOrDie(size_t size);
void CommitOrDie(void* block, size_t size);
void ReleaseReserved(void* block);
