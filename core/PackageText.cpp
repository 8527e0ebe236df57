// SPDX-License-Identifier: 0BSD
// Placeholder replacement for the package's refusal message.
#include "core/PackageText.h"

namespace {

const uint32_t kPlaceholderLength = 6;

void ReplaceAll(WideText& text, const WideChar* placeholder,
                const WideText& replacement) {
  int64_t found = text.Find(placeholder, kPlaceholderLength, 0);
  while (found >= 0) {
    uint32_t at = (uint32_t)found;
    text.Erase(at, kPlaceholderLength);
    text.Insert(at, replacement.Data(), replacement.Length());
    found = text.Find(placeholder, kPlaceholderLength, at + replacement.Length());
  }
}

}  // namespace

void ReplaceReleasePlaceholders(WideText& text, const WideText& releaseName) {
  if (releaseName.IsEmpty()) return;
  ReplaceAll(text, u"%USER%", releaseName);
  ReplaceAll(text, u"%user%", releaseName);
}
