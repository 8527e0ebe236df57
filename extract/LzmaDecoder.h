// Decodes a raw LZMA1 block to an exact size with liblzma, deciding whether
// the output ends on a symbol boundary.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "extract/LzmaProperties.h"

enum class LzmaOutcome {
  Accepted,        // exactly `outputSize` bytes, ending with a whole symbol
  Refused,         // damaged, cut short, overrun, or options liblzma refuses
  OutOfMemory,     // liblzma could not get memory
};

// Decodes `input` into `output`, which has room for exactly `outputSize`
// bytes. Everything the stream holds after the `outputSize`-th byte is
// ignored, except that it may be needed to tell whether a match straddles
// the end (see the .cpp).
LzmaOutcome DecodeLzmaExactly(const LzmaProperties& properties,
                              const uint8_t* input, size_t inputSize,
                              uint8_t* output, size_t outputSize);
