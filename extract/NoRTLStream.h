// SPDX-License-Identifier: 0BSD
// TStream: the growable memory block that holds the compressed setup program
// and its decoded image.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : uint8_t { FromBeginning = 0, FromCurrent = 1, FromEnd = 2 };

class TStream {
 public:
  // Capacities are whole multiples of this, except after SetSize to the
  // current size, which asks for exactly that.
  static const int32_t CapacityStep = 131072;

  TStream();
  virtual ~TStream();

  // Streams live on the launcher's own heap, like every other block it
  // allocates, so a failed allocation takes the same out-of-memory stop.
  static void* operator new(size_t size);
  static void operator delete(void* block);

  int32_t Read(void* destination, int32_t count);
  int32_t Write(const void* source, int32_t count);
  int32_t Seek(int32_t offset, uint8_t origin);
  int32_t GetSize();
  void SetSize(int32_t newSize);
  void SetCapacity(int32_t requested);
  void SetPointer(uint8_t* block, int32_t size);
  void Clear();

  uint8_t* Memory;
  int32_t Size;
  int32_t Position;
  int32_t Capacity;

 private:
  uint8_t* Realloc(int32_t& requested);

  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
};
