// SPDX-License-Identifier: 0BSD
// Reads the compressed setup program from the launcher file and decodes it.
#pragma once

#include "core/StubTypes.h"
#include "extract/NoRTLStream.h"
#include "platform/Platform.h"

struct PayloadStreams {
  TStream* input;   // the compressed block
  TStream* output;  // the decoded setup program, exactly payloadSize bytes
};

// Returns only on success; every failure is the damaged-package message.
PayloadStreams DecompressPayload(PlatformHandle file,
                                 const PackageHeader& header);
