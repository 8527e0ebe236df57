// SPDX-License-Identifier: 0BSD
// TStream: a memory block with a size and a position, grown in 128 KiB steps.
#include "extract/NoRTLStream.h"

#include <string.h>

#include "core/Memory.h"

TStream::TStream()
    : Memory(nullptr), Size(0), Position(0), Capacity(0) {}

TStream::~TStream() { Clear(); }

void* TStream::operator new(size_t size) { return AllocateOrDie(size); }

void TStream::operator delete(void* block) { Release(block); }

int32_t TStream::Read(void* destination, int32_t count) {
  if (Position < 0 || count < 0) return 0;
  int32_t available = Size - Position;
  if (available <= 0) return 0;
  if (available > count) available = count;
  memcpy(destination, Memory + Position, (size_t)available);
  Position += available;
  return available;
}

int32_t TStream::Write(const void* source, int32_t count) {
  if (Position < 0 || count < 0) return 0;
  // Done in 64 bits: a position near 2^31 plus a count must not wrap into a
  // small end and write before the block.
  int64_t end = (int64_t)Position + count;
  if (end <= 0 || end > INT32_MAX) return 0;
  if (end > Size) {
    if (end > Capacity) SetCapacity((int32_t)end);
    Size = (int32_t)end;
  }
  memcpy(Memory + Position, source, (size_t)count);
  Position = (int32_t)end;
  return count;
}

int32_t TStream::Seek(int32_t offset, uint8_t origin) {
  switch (origin) {
    case FromBeginning: Position = offset; break;
    case FromCurrent: Position += offset; break;
    case FromEnd: Position = Size + offset; break;
    default: break;
  }
  return Position;
}

int32_t TStream::GetSize() {
  int32_t saved = Seek(0, FromCurrent);
  int32_t size = Seek(0, FromEnd);
  Seek(saved, FromBeginning);
  return size;
}

void TStream::SetSize(int32_t newSize) {
  // A negative size has no meaning; treating it as 0 keeps Size inside the
  // block, which is all that can be promised for it.
  if (newSize < 0) newSize = 0;
  int32_t oldPosition = Position;
  SetCapacity(newSize);
  Size = newSize;
  if (oldPosition > newSize) Position = Size;
}

void TStream::SetCapacity(int32_t requested) {
  // A negative capacity means nothing. Taking it as 0 would free the block
  // under a Size that still claims bytes, so the block is left as it is.
  if (requested < 0) return;
  SetPointer(Realloc(requested), Size);
  Capacity = requested;
}

void TStream::SetPointer(uint8_t* block, int32_t size) {
  Memory = block;
  Size = size;
}

void TStream::Clear() {
  SetCapacity(0);
  Size = 0;
  Position = 0;
}

namespace {

// Up to the step, but never past what a signed size can say.
int32_t RoundUpToStep(int32_t size) {
  int64_t rounded = ((int64_t)size + (TStream::CapacityStep - 1)) &
                    ~(int64_t)(TStream::CapacityStep - 1);
  return rounded > INT32_MAX ? INT32_MAX : (int32_t)rounded;
}

}  // namespace

uint8_t* TStream::Realloc(int32_t& requested) {
  if (requested > 0 && requested != Size) requested = RoundUpToStep(requested);
  if (requested == Capacity) return Memory;
  if (requested == 0) {
    Release(Memory);
    return nullptr;
  }
  if (Capacity == 0) return (uint8_t*)AllocateOrDie((size_t)requested);
  return (uint8_t*)ReallocateOrDie(Memory, (size_t)requested);
}
