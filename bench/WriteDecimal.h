// SPDX-License-Identifier: 0BSD
// One unsigned number and a line break written to a file, for the benchmark
// programs that have no C runtime to format with.
#pragma once

#include <windows.h>

inline void WriteDecimal(HANDLE file, unsigned long long value) {
  char text[24];
  int i = sizeof(text);
  text[--i] = '\n';
  do {
    text[--i] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  DWORD written;
  WriteFile(file, text + i, sizeof(text) - i, &written, nullptr);
}
