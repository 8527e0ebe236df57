// SPDX-License-Identifier: 0BSD
// Decodes every block of a checked file set into the set's files, on as
// many threads as the machine offers and the blocks allow.
//
// Blocks are independent, so each thread takes the next block not yet
// taken, decodes it with a decoder of its own and writes its bytes at their
// own offsets into the files, which exist before decoding starts. The first
// block refused (or a decoder that gets no memory) stops the others at
// their next piece; a write that fails only stops the writing, and decoding
// goes on to its verdict, so a damaged package is told from a full disk.
// With one thread the blocks are decoded in order on the calling thread.
#pragma once

#include <stdint.h>

#include "extract/FileSetTable.h"
#include "extract/LzmaDecoder.h"
#include "platform/Platform.h"

// The most threads a launcher decodes with.
const uint32_t kMaxDecodeThreads = 8;

// What one thread holds besides its decoder's dictionary: its two pieces
// and liblzma's own state, with room to spare.
const uint64_t kThreadOverheadBytes = 4u << 20;

// One thread per processor of the affinity mask, no more than there are
// blocks or kMaxDecodeThreads, and no more than `availableMemory` holds at
// `dictionary` + kThreadOverheadBytes each (0: unknown, no limit). At least
// one.
uint32_t ChooseDecodeThreads(uint32_t processors, uint32_t blocks,
                             uint64_t dictionary, uint64_t availableMemory);

// The dictionary a block of `view` needs at most: the properties' size, but
// never more than the largest block decodes to.
uint64_t SetDictionaryBytes(const FileSetView& view,
                            const LzmaProperties& properties);

// A thread's piece buffers, made before anything is on disk.
struct DecodePieces {
  TStream* input;
  TStream* output;
};

struct SetDecodeJob {
  PlatformHandle file;  // the launcher's own file
  const FileSetView* view;
  LzmaProperties properties;
  const PlatformHandle* outputs;  // the files' writing handles
  const uint64_t* fileStarts;     // each file's offset in the concatenation
  bool writable;                  // false: every file could not be made
  DecodePieces* pieces;           // one per thread
  uint32_t threads;
};

struct SetDecodeResult {
  LzmaOutcome outcome;  // of the first block that was not accepted
  bool writeFailed;
  bool cancelled;       // the user cancelled in the progress window
};

// Decodes every block; all threads have ended when it returns. The
// calling thread keeps the progress window going meanwhile.
SetDecodeResult DecodeSetBlocks(const SetDecodeJob& job);
