// SPDX-License-Identifier: 0BSD
// The few C runtime functions the launcher and liblzma need, on the process
// heap, so the executable carries no C runtime of its own.
//
// Compiled with -fno-builtin and without loop-to-library-call rewriting, so
// these loops cannot turn back into calls to themselves.
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  uint8_t* to = (uint8_t*)destination;
  const uint8_t* from = (const uint8_t*)source;
  // Whole words first: the decoded setup program passes through here.
  while (count >= sizeof(uint64_t)) {
    uint64_t word;
    __builtin_memcpy(&word, from, sizeof(word));
    __builtin_memcpy(to, &word, sizeof(word));
    to += sizeof(word);
    from += sizeof(word);
    count -= sizeof(word);
  }
  while (count--) *to++ = *from++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  uint8_t* to = (uint8_t*)destination;
  const uint8_t* from = (const uint8_t*)source;
  if (to <= from || to >= from + count) return memcpy(destination, source, count);
  while (count--) to[count] = from[count];
  return destination;
}

void* memset(void* destination, int value, size_t count) {
  uint8_t* to = (uint8_t*)destination;
  while (count--) *to++ = (uint8_t)value;
  return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
  const uint8_t* left = (const uint8_t*)a;
  const uint8_t* right = (const uint8_t*)b;
  for (size_t i = 0; i < count; ++i)
    if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
  return 0;
}

void* malloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void* calloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * size);
}

void free(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // extern "C"
