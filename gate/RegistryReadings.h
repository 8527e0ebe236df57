// SPDX-License-Identifier: 0BSD
// The two ways the gate reads a registry value from its shared buffer.
#pragma once

#include <stdint.h>

#include "core/WideText.h"

enum : uint32_t { kRegistryBufferBytes = 128 };

// Leading decimal digits among the first byteCount / 2 units, in 32-bit
// arithmetic that wraps; the caller compares the result as signed.
int32_t ReadRegistryNumber(const WideChar* buffer, uint32_t byteCount);

// Units up to the first NUL, at most 64; the byte count is not consulted.
WideText ReadRegistryText(const WideChar* buffer);
