// SPDX-License-Identifier: 0BSD
// Decodes a raw LZMA1 block to an exact size with liblzma, deciding whether
// the output ends on a symbol boundary.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "extract/LzmaProperties.h"
#include "extract/NoRTLStream.h"

enum class LzmaOutcome {
  Accepted,        // exactly `outputSize` bytes, ending with a whole symbol
  Refused,         // damaged, cut short, overrun, or options liblzma refuses
  OutOfMemory,     // liblzma could not get memory
};

// How far the output stream grows ahead of the decoder: the memory a forged
// size can cost beyond what the block really decodes to.
const int32_t kLzmaGrowthStep = 1 << 20;

// Decodes `input` into the empty stream `output`, growing it by at most
// `growthStep` bytes ahead of what the decoder has produced, up to
// `outputSize` bytes. Everything the stream holds after the `outputSize`-th
// byte is ignored, except that it may be needed to tell whether a match
// straddles the end (see the .cpp).
LzmaOutcome DecodeLzmaExactly(const LzmaProperties& properties,
                              const uint8_t* input, size_t inputSize,
                              TStream* output, int32_t outputSize,
                              int32_t growthStep = kLzmaGrowthStep);
