// SPDX-License-Identifier: 0BSD
// Reads the compressed setup program from the launcher file and decodes it,
// a piece at a time.
#pragma once

#include "core/StubTypes.h"
#include "extract/LzmaDecoder.h"
#include "extract/NoRTLStream.h"
#include "platform/Platform.h"

// Bytes of the block read at a time, and of output decoded before each
// write: what the launcher holds besides liblzma's dictionary, whatever the
// size of the setup program.
const int32_t kBlockPieceSize = 1 << 20;
const int32_t kOutputPieceSize = 1 << 20;

struct PayloadStreams {
  TStream* input;   // one piece of the compressed block
  TStream* output;  // one piece of the decoded setup program
  LzmaProperties properties;
};

// Checks the header's payload fields and property bytes (the damaged-package
// message otherwise) and creates the two piece buffers, so that nothing
// later needs memory of the launcher's own. Reads nothing yet.
PayloadStreams CreatePayloadStreams(PlatformHandle file,
                                    const PackageHeader& header);

// Decodes the block at header.payloadOffset to exactly payloadSize bytes,
// handing them to `sink` a piece at a time; see DecodeLzmaExactly.
LzmaOutcome DecompressPayload(PlatformHandle file, const PackageHeader& header,
                              const PayloadStreams& streams,
                              const LzmaOutput& sink);
