// SPDX-License-Identifier: 0BSD
// One block of a file set, decoded and checked.
#include "extract/SetBlockDecoder.h"

#include "core/CRC32.h"

namespace {

struct BlockAt {
  PlatformHandle file;
  uint64_t offset;
  const uint32_t* stop;
};

bool ReadBlockAt(void* context, uint32_t offset, uint8_t* buffer,
                 uint32_t count) {
  const BlockAt* block = (const BlockAt*)context;
  if (block->stop && __atomic_load_n(block->stop, __ATOMIC_ACQUIRE)) return false;
  return PlatformReadAt(block->file, block->offset + offset, buffer, count) ==
         count;
}

// Passes the bytes on and keeps their CRC-32.
struct CheckedSink {
  const LzmaOutput* sink;
  uint32_t crc;
};

void TakeChecked(void* context, const uint8_t* data, uint32_t count) {
  CheckedSink* checked = (CheckedSink*)context;
  checked->crc = UpdateCrc32(checked->crc, data, count);
  checked->sink->write(checked->sink->context, data, count);
}

}  // namespace

LzmaOutcome DecodeSetBlock(PlatformHandle file, const FileSetView& view,
                           const LzmaProperties& properties, uint32_t index,
                           TStream* input, TStream* output,
                           const LzmaOutput& sink, const uint32_t* stop) {
  const FileSetBlock& entry = view.blocks[index];
  BlockAt at = {file, entry.packedOffset, stop};
  // The table's checks bound both sizes: a block decodes to at most 1 GiB
  // and is stored in fewer than 2^31 bytes.
  const LzmaBlock block = {ReadBlockAt, &at, (uint32_t)entry.packedSize};
  CheckedSink checked = {&sink, 0};
  const LzmaOutcome outcome =
      DecodeLzmaExactly(properties, block, input, output,
                        (int32_t)entry.unpackedSize,
                        LzmaOutput{TakeChecked, &checked});
  if (outcome == LzmaOutcome::Accepted && checked.crc != entry.crc32)
    return LzmaOutcome::Refused;
  return outcome;
}
