// SPDX-License-Identifier: 0BSD
// Reads of the launcher's own file and its module path.
//
// Every step that looks at the package reads through these, so the one rule
// for offsets outside the format lives in one place.
#pragma once

#include <stdint.h>

#include "core/WideText.h"
#include "platform/Platform.h"

// Reads `count` bytes at absolute `offset`. Offsets of 2^31 or more lie
// outside the format; they, and a move the system refuses, count as a short
// read so that nothing is read from a stale position. Returns true only when
// every byte arrived.
bool ReadAt(PlatformHandle file, uint32_t offset, void* buffer, uint32_t count);

// True when `count` bytes at `offset` lie inside the file. A region that does
// not could only be read short; asking first keeps a forged length from
// costing an allocation of its size.
bool RegionFitsInFile(PlatformHandle file, uint32_t offset, uint32_t count);

// The launcher's own module path, read afresh on each call.
WideText ReadOwnPath();
