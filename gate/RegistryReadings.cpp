// SPDX-License-Identifier: 0BSD
// Number and text readings of a registry value buffer.
#include "gate/RegistryReadings.h"

int32_t ReadRegistryNumber(const WideChar* buffer, uint32_t byteCount) {
  const uint32_t unitCount = byteCount / 2;
  uint32_t value = 0;
  for (uint32_t i = 0; i < unitCount; ++i) {
    const WideChar unit = buffer[i];
    if (unit < 0x30 || unit > 0x39) break;
    value = value * 10 + (uint32_t)(unit - 0x30);
  }
  return (int32_t)value;
}

WideText ReadRegistryText(const WideChar* buffer) {
  const uint32_t maxUnits = kRegistryBufferBytes / 2;
  uint32_t length = 0;
  while (length < maxUnits && buffer[length] != 0) ++length;
  return WideText(buffer, length);
}
