// SPDX-License-Identifier: 0BSD
// A launcher file held in memory, served through the platform layer, and
// the files a file set is decoded into, held in memory or only counted.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/Platform.h"

struct MemoryFile {
  const uint8_t* data;
  size_t size;
  size_t position;
};

PlatformHandle MemoryFileHandle(MemoryFile* file);

// A file the set decoder writes at offsets: its bytes land in `data` when
// it is given (`size` bytes there), otherwise they are only counted. Writes
// come from every decoding thread at once: `written` changes atomically.
struct MemoryOutput {
  uint8_t* data;
  uint64_t size;
  uint64_t written;
};

PlatformHandle MemoryOutputHandle(MemoryOutput* output);
