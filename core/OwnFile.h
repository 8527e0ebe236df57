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

// Reads a region in pieces: `count` bytes at `start` + `offset`, where
// `offset` is the region's own. Only the region's start is moved to; the
// pieces are read one after the other from there, so a region may run past
// 2^31 exactly as far as one read of it would. `*next` tracks the offset
// the file is at (start it at UINT32_MAX). A read at any other offset than
// 0 or `*next` counts as a short one.
bool ReadPiece(PlatformHandle file, uint32_t start, uint32_t offset,
               void* buffer, uint32_t count, uint32_t* next);

// True when `count` bytes at `offset` lie inside the file. A region that does
// not could only be read short; asking first keeps a forged length from
// costing an allocation of its size.
bool RegionFitsInFile(PlatformHandle file, uint32_t offset, uint32_t count);

// The launcher's own module path, read afresh on each call.
WideText ReadOwnPath();
