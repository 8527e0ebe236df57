// SPDX-License-Identifier: 0BSD
// The decompression driver: one read of the block, the property check, one
// exact-size decode straight into the output stream's memory, which is
// committed as the decoder fills it.
#include "extract/Decompress.h"

#include "core/Memory.h"
#include "core/FatalErrors.h"
#include "core/OwnFile.h"
#include "extract/LzmaDecoder.h"
#include "extract/LzmaProperties.h"

PayloadStreams DecompressPayload(PlatformHandle file,
                                 const PackageHeader& header) {
  const int32_t packedSize = (int32_t)header.payloadPackedSize;
  if (header.payloadOffset > 0x7FFFFFFFu || packedSize < 0)
    FatalPackageDamaged();
  if (header.payloadSize < 0) FatalPackageDamaged();
  if (!RegionFitsInFile(file, header.payloadOffset, header.payloadPackedSize))
    FatalPackageDamaged();

  PayloadStreams streams;
  streams.input = new TStream();
  streams.output = new TStream();

  streams.input->SetSize(packedSize);
  int32_t toRead = streams.input->GetSize();
  if (!ReadAt(file, header.payloadOffset, streams.input->Memory,
              (uint32_t)toRead))
    FatalPackageDamaged();

  LzmaProperties properties;
  if (!AcceptLzmaProperties(header.lzmaProperties, &properties))
    FatalPackageDamaged();

  const int32_t payloadSize = header.payloadSize;
  if (payloadSize == 0) return streams;  // nothing to decode, nothing to check

  // Address space for the whole program, memory only as it is decoded: a
  // forged size costs no more than what the block really holds.
  streams.output->Reserve(payloadSize);
  LzmaOutcome outcome = DecodeLzmaExactly(
      properties, streams.input->Memory, (size_t)streams.input->GetSize(),
      streams.output, payloadSize);
  if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
  if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
  streams.output->Seek(0, FromEnd);
  if (streams.output->GetSize() != payloadSize) FatalPackageDamaged();
  return streams;
}
