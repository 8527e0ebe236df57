// SPDX-License-Identifier: 0BSD
// An independent decode of a launcher file's block for the fuzz targets: plain
// unknown-size liblzma, stopped at the payload size, none of the launcher's
// exact-size rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/StubTypes.h"

// True when the block lies inside the file and decodes to at least
// payloadSize bytes; `out` then holds the first payloadSize of them.
bool ReferenceDecode(const PackageHeader& header, const uint8_t* file,
                     size_t fileSize, std::vector<uint8_t>* out);
