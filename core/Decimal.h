// SPDX-License-Identifier: 0BSD
// Decimal digits of a number, without the C runtime and without allocating.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// Units a 32-bit number needs, terminator included.
const uint32_t kDecimalCapacity = 11;

// Writes `value` in decimal (no sign, no padding) and a terminator into
// `digits`; returns the count of digits.
uint32_t FormatDecimal(uint32_t value, WideChar* digits);
