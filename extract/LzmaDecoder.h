// SPDX-License-Identifier: 0BSD
// Decodes a raw LZMA1 block to an exact size with liblzma, deciding whether
// the output ends on a symbol boundary. The block is read and the output
// handed on a piece at a time, so memory does not grow with either.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "extract/LzmaProperties.h"
#include "extract/NoRTLStream.h"

enum class LzmaOutcome {
  Accepted,        // exactly `outputSize` bytes, ending with a whole symbol
  Refused,         // damaged, cut short, overrun, unreadable, or options
                   // liblzma refuses
  OutOfMemory,     // liblzma could not get memory
};

// The compressed block.
struct LzmaBlock {
  // Reads `count` bytes at `offset` of the block into `buffer`; false when
  // they cannot all be read.
  bool (*read)(void* context, uint32_t offset, uint8_t* buffer,
               uint32_t count);
  void* context;
  uint32_t size;
};

// Where the decoded bytes go, in order, a piece at a time.
struct LzmaOutput {
  void (*write)(void* context, const uint8_t* data, uint32_t count);
  void* context;
};

// Decodes `block` to exactly `outputSize` bytes (none at all for 0). The
// block is read through `input` a piece of input->Size bytes at a time, and
// decoded into `output`, whose output->Size bytes are handed to `sink` each
// time they are full (and the rest at the end). The sink sees every byte
// once, in order, before the verdict; what it was given is the payload only
// when the verdict is Accepted. A piece of the block that cannot be read is
// damage; bytes the decoder never needs are not read.
LzmaOutcome DecodeLzmaExactly(const LzmaProperties& properties,
                              const LzmaBlock& block, TStream* input,
                              TStream* output, int32_t outputSize,
                              const LzmaOutput& sink);
