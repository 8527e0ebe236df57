// SPDX-License-Identifier: 0BSD
// Exact-size raw LZMA1 decoding through liblzma.
//
// The block must yield `outputSize` bytes that end on a symbol boundary;
// whatever follows that boundary (an end marker, more symbols, garbage) is
// not the launcher's concern. liblzma, told the size, reports a data error
// both for a match that runs past the size and for a boundary that is
// followed by anything but an end marker, so its verdict alone cannot tell
// the two apart. Two runs can:
//
//  - with end markers allowed after the size, liblzma goes on at a boundary
//    and decodes the next symbol, hoping for the marker;
//  - with end markers forbidden, it stops right at the boundary.
//
// At a boundary the first run therefore reads at least as far as the second,
// and further whenever that next symbol needed a new input byte. A straddling
// match stops both runs at the same place. So "the first run read further"
// proves a boundary. When the following symbol happens to need no new input
// byte the two runs read equally far and the stream is refused: that corner
// cannot be told from a straddling match through liblzma's interface, and
// refusing it is the safe side.
#include "extract/LzmaDecoder.h"

#ifndef LZMA_API_STATIC
#define LZMA_API_STATIC
#endif
#include <lzma.h>

#include "platform/Platform.h"

namespace {

void* LzmaAllocate(void*, size_t count, size_t size) {
  // liblzma turns a null result into LZMA_MEM_ERROR, which the caller maps
  // to the out-of-memory stop.
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return PlatformAllocate(count * size == 0 ? 1 : count * size);
}

void LzmaFree(void*, void* block) {
  if (block) PlatformFree(block);
}

const lzma_allocator kAllocator = {LzmaAllocate, LzmaFree, nullptr};

struct DecodePass {
  lzma_ret result;
  size_t inputRead;
  size_t outputWritten;
};

DecodePass RunDecoder(const LzmaProperties& properties, const uint8_t* input,
                      size_t inputSize, TStream* output, int32_t outputSize,
                      int32_t growthStep, bool allowEndMarker) {
  lzma_options_lzma options = {};
  options.lc = properties.lc;
  options.lp = properties.lp;
  options.pb = properties.pb;
  // No match can reach further back than the output is long, so a larger
  // dictionary would only cost memory without changing any verdict.
  size_t dictionary = properties.dictionarySize;
  size_t longestUseful = outputSize < 4096 ? 4096 : (size_t)outputSize;
  if (dictionary > longestUseful) dictionary = longestUseful;
  options.dict_size = (uint32_t)dictionary;
  options.ext_flags = allowEndMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_set_ext_size(options, (uint64_t)outputSize);

  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  stream.allocator = &kAllocator;

  DecodePass pass = {lzma_raw_decoder(&stream, filters), 0, 0};
  if (pass.result != LZMA_OK) {
    lzma_end(&stream);
    return pass;
  }
  stream.next_in = input;
  stream.avail_in = inputSize;
  // The output grows a step at a time: a size the block cannot fill costs
  // only one step of memory more than the block really decodes to. liblzma
  // keeps no pointer into the output between calls, so the stream's block
  // may move as it grows.
  int32_t written = 0;
  int32_t room = 0;
  do {
    room = outputSize - written < growthStep ? outputSize
                                                     : written + growthStep;
    if (output->Size < room) output->SetSize(room);
    stream.next_out = output->Memory + written;
    stream.avail_out = (size_t)(room - written);
    pass.result = lzma_code(&stream, LZMA_RUN);
    written = room - (int32_t)stream.avail_out;
    // A call that left room unused has run out of input or stopped.
  } while (pass.result == LZMA_OK && written == room && written < outputSize);
  output->SetSize(written);
  pass.inputRead = inputSize - stream.avail_in;
  pass.outputWritten = (size_t)written;
  lzma_end(&stream);
  return pass;
}

}  // namespace

LzmaOutcome DecodeLzmaExactly(const LzmaProperties& properties,
                              const uint8_t* input, size_t inputSize,
                              TStream* output, int32_t outputSize,
                              int32_t growthStep) {
  DecodePass lenient = RunDecoder(properties, input, inputSize, output,
                                  outputSize, growthStep, true);
  if (lenient.result == LZMA_MEM_ERROR) return LzmaOutcome::OutOfMemory;
  if (lenient.outputWritten != (size_t)outputSize) return LzmaOutcome::Refused;
  // STREAM_END: clean end or end marker right at the size. OK: the boundary
  // was reached and liblzma is waiting for input it does not need.
  if (lenient.result == LZMA_STREAM_END || lenient.result == LZMA_OK)
    return LzmaOutcome::Accepted;
  if (lenient.result != LZMA_DATA_ERROR) return LzmaOutcome::Refused;

  // The second run decodes the same bytes again into the memory the first
  // one already holds.
  DecodePass strict = RunDecoder(properties, input, inputSize, output,
                                 outputSize, growthStep, false);
  if (strict.result == LZMA_MEM_ERROR) return LzmaOutcome::OutOfMemory;
  if (strict.outputWritten != (size_t)outputSize) return LzmaOutcome::Refused;
  return lenient.inputRead > strict.inputRead ? LzmaOutcome::Accepted
                                              : LzmaOutcome::Refused;
}
