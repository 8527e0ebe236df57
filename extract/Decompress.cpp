// SPDX-License-Identifier: 0BSD
// The decompression driver: the header's payload fields, the property check,
// and an exact-size decode that reads the block from the launcher file as
// the decoder consumes it.
#include "extract/Decompress.h"

#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/OwnFile.h"

namespace {

struct BlockInFile {
  PlatformHandle file;
  uint32_t offset;
  uint32_t next;  // see ReadPiece
};

bool ReadBlockPiece(void* context, uint32_t offset, uint8_t* buffer,
                    uint32_t count) {
  BlockInFile* block = (BlockInFile*)context;
  if (FeedbackCancelled()) return false;  // the decoder stops here
  return ReadPiece(block->file, block->offset, offset, buffer, count,
                   &block->next);
}

int32_t PieceSize(int32_t total, int32_t piece) {
  return total < piece ? total : piece;
}

}  // namespace

PayloadStreams CreatePayloadStreams(PlatformHandle file,
                                    const PackageHeader& header) {
  const int32_t packedSize = (int32_t)header.payloadPackedSize;
  if (header.payloadOffset > 0x7FFFFFFFu || packedSize < 0)
    FatalPackageDamaged();
  if (header.payloadSize < 0) FatalPackageDamaged();
  if (!RegionFitsInFile(file, header.payloadOffset, header.payloadPackedSize))
    FatalPackageDamaged();
  PayloadStreams streams;
  if (!AcceptLzmaProperties(header.lzmaProperties, &streams.properties))
    FatalPackageDamaged();
  streams.input = new TStream();
  streams.output = new TStream();
  streams.input->SetSize(PieceSize(packedSize, kBlockPieceSize));
  streams.output->SetSize(PieceSize(header.payloadSize, kOutputPieceSize));
  return streams;
}

LzmaOutcome DecompressPayload(PlatformHandle file, const PackageHeader& header,
                              const PayloadStreams& streams,
                              const LzmaOutput& sink) {
  BlockInFile inFile = {file, header.payloadOffset, UINT32_MAX};
  LzmaBlock block = {ReadBlockPiece, &inFile, header.payloadPackedSize};
  return DecodeLzmaExactly(streams.properties, block, streams.input,
                           streams.output, header.payloadSize, sink);
}
