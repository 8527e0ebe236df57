// SPDX-License-Identifier: 0BSD
// The checks the packer's fuzz targets share: a broken promise aborts, so
// libFuzzer records the input.
#pragma once

#include <cstdlib>
#include <string>

inline void Require(bool condition) {
  if (!condition) std::abort();
}

// What every refusal must be: one line, never empty.
inline bool OneLine(const std::string& text) {
  return !text.empty() && text.find('\n') == std::string::npos;
}
