// SPDX-License-Identifier: 0BSD
// A launcher file held in memory, served through the platform layer.
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
