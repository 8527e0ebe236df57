// SPDX-License-Identifier: 0BSD
// Decimal digits of a number.
#include "core/Decimal.h"

uint32_t FormatDecimal(uint32_t value, WideChar* digits) {
  WideChar reversed[kDecimalCapacity];
  uint32_t count = 0;
  do {
    reversed[count++] = (WideChar)(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (uint32_t i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  digits[count] = 0;
  return count;
}
