// SPDX-License-Identifier: 0BSD
// Decodes one block of a checked file set: its compressed bytes read at
// their 64-bit offset, the exact-size rule of LzmaDecoder, and the block's
// CRC-32 over what it decoded to. The launcher and stubpack's verify and
// extract decode blocks through this alone.
#pragma once

#include "extract/FileSetTable.h"
#include "extract/LzmaDecoder.h"
#include "platform/Platform.h"

// Decodes block `index` of `view` from `file`, handing its bytes to `sink`
// in order; `input` and `output` are the piece buffers, as for one
// program. Accepted only when the block decoded to exactly its
// unpackedSize and the CRC-32 of those bytes is the table's; the sink has
// then seen the block's slice of the files and nothing else. Once `*stop`
// (when given) is not 0 the block reads no further piece and is refused:
// another thread has found the set damaged.
LzmaOutcome DecodeSetBlock(PlatformHandle file, const FileSetView& view,
                           const LzmaProperties& properties, uint32_t index,
                           TStream* input, TStream* output,
                           const LzmaOutput& sink,
                           const uint32_t* stop = nullptr);
