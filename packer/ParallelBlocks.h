// SPDX-License-Identifier: 0BSD
// verify and extract decode a file set's blocks on several threads, each
// block through the launcher's own DecodeSetBlock, so the verdict on every
// block is the launcher's. What they report must not depend on the number
// of threads: the verdict is the one decoding in order reaches, the lowest
// block refused. A refused block stops the blocks above it at their next
// piece and keeps any further block from starting, while the blocks below
// it, which decoding in order would have judged first, go on to their own
// verdict.
#pragma once

#include <cstdint>
#include <functional>

#include "extract/FileSetTable.h"
#include "extract/LzmaDecoder.h"
#include "platform/Platform.h"

namespace packer {

// A piece of a block's decoded bytes; `at` is where it lies in the files'
// concatenation.
struct DecodedPiece {
  uint32_t block;
  uint64_t at;
  const uint8_t* data;
  uint32_t count;
};

struct BlocksVerdict {
  LzmaOutcome outcome;  // of the lowest block not accepted; Accepted if none
  uint32_t block;       // that block; UINT32_MAX when every block passed
};

// The threads that decoding `blocks` blocks with `requested` uses: at most
// one per block, at least one.
uint32_t DecodeThreadsFor(uint32_t requested, uint32_t blocks);

// Decodes every block of the checked `view` from `file` on
// DecodeThreadsFor(threads, blockCount) threads, the calling one among
// them. Each thread holds its own decoder (one dictionary) and one input
// and one output piece of at most 1 MiB each; those pieces are allocated on
// the calling thread first, so running out of memory there ends as the
// launcher does. `take` gets every piece as it comes, a block's pieces in
// order and different blocks' at once from different threads.
BlocksVerdict DecodeBlocksOnThreads(PlatformHandle file, const FileSetView& view,
                                    const LzmaProperties& properties, uint32_t threads,
                                    const std::function<void(const DecodedPiece&)>& take);

}  // namespace packer
