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
  uint32_t inputRead;   // bytes of the block the decoder consumed
  uint32_t blockRead;   // bytes of the block read so far
  int32_t outputWritten;
  bool unreadable;      // a piece of the block could not be read
};

// One run over the block. The stream is reused between runs, so the second
// run gets the first one's dictionary back instead of allocating another.
// Pieces of input and output are only artificial stops: the loop goes on
// wherever liblzma stopped for want of input or output room that the block
// and the size still provide, so the verdict is the one it would give with
// the whole block and the whole output in memory.
DecodePass RunDecoder(lzma_stream* stream, const LzmaProperties& properties,
                      const LzmaBlock& block, TStream* input, TStream* output,
                      int32_t outputSize, bool allowEndMarker,
                      const LzmaOutput* sink) {
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
  DecodePass pass = {lzma_raw_decoder(stream, filters), 0, 0, 0, false};
  if (pass.result != LZMA_OK) return pass;

  stream->avail_in = 0;
  int32_t written = 0;
  int32_t filled = 0;  // of the output piece
  for (;;) {
    if (stream->avail_in == 0 && pass.blockRead < block.size) {
      uint32_t count = block.size - pass.blockRead;
      if (count > (uint32_t)input->Size) count = (uint32_t)input->Size;
      if (!block.read(block.context, pass.blockRead, input->Memory, count)) {
        pass.unreadable = true;
        break;
      }
      pass.blockRead += count;
      stream->next_in = input->Memory;
      stream->avail_in = count;
    }
    int32_t room = output->Size - filled;
    if (room > outputSize - written) room = outputSize - written;
    const size_t inputBefore = stream->avail_in;
    stream->next_out = output->Memory + filled;
    stream->avail_out = (size_t)room;
    pass.result = lzma_code(stream, LZMA_RUN);
    const int32_t produced = room - (int32_t)stream->avail_out;
    filled += produced;
    written += produced;
    if (filled == output->Size || (written == outputSize && filled > 0)) {
      if (sink) sink->write(sink->context, output->Memory, (uint32_t)filled);
      filled = 0;
    }
    if (pass.result != LZMA_OK) break;
    // liblzma stopped because the output piece is full, or for want of
    // input: at the size it may still look for an end marker. It stopped
    // for good when nothing moved, or when it wants input the block does
    // not have.
    const bool moved = produced > 0 || stream->avail_in != inputBefore;
    const bool inputLeft = stream->avail_in != 0 || pass.blockRead < block.size;
    if (!moved) break;
    if (written == outputSize && (stream->avail_in != 0 || !inputLeft)) break;
    if (stream->avail_out != 0 && !inputLeft) break;
  }
  pass.inputRead = pass.blockRead - (uint32_t)stream->avail_in;
  pass.outputWritten = written;
  return pass;
}

}  // namespace

LzmaOutcome DecodeLzmaExactly(const LzmaProperties& properties,
                              const LzmaBlock& block, TStream* input,
                              TStream* output, int32_t outputSize,
                              const LzmaOutput& sink) {
  if (outputSize == 0) return LzmaOutcome::Accepted;  // nothing to decode
  lzma_stream stream = LZMA_STREAM_INIT;
  stream.allocator = &kAllocator;
  DecodePass lenient = RunDecoder(&stream, properties, block, input, output,
                                  outputSize, true, &sink);
  LzmaOutcome outcome = LzmaOutcome::Refused;
  if (lenient.result == LZMA_MEM_ERROR) {
    outcome = LzmaOutcome::OutOfMemory;
  } else if (lenient.unreadable || lenient.outputWritten != outputSize) {
    // cut short, damaged or unreadable: refused
  } else if (lenient.result == LZMA_STREAM_END || lenient.result == LZMA_OK) {
    // STREAM_END: clean end or end marker right at the size. OK: the
    // boundary was reached and liblzma is waiting for input it does not
    // need.
    outcome = LzmaOutcome::Accepted;
  } else if (lenient.result == LZMA_DATA_ERROR) {
    // The second run reads the block again but hands nothing on: the sink
    // already has every byte.
    DecodePass strict = RunDecoder(&stream, properties, block, input, output,
                                   outputSize, false, nullptr);
    if (strict.result == LZMA_MEM_ERROR)
      outcome = LzmaOutcome::OutOfMemory;
    else if (!strict.unreadable && strict.outputWritten == outputSize &&
             lenient.inputRead > strict.inputRead)
      outcome = LzmaOutcome::Accepted;
  }
  lzma_end(&stream);
  return outcome;
}
