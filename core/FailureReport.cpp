// SPDX-License-Identifier: 0BSD
// Error boxes, shown only on a window station that someone can see.
#include "core/ErrorBox.h"

namespace {

const uint32_t kIconError = 0x10;  // MB_ICONERROR, single OK button

bool CanShowErrorBox() {
  bool visible = true;
  if (!PlatformQueryWindowStationVisible(&visible)) return true;
  return visible;
}

}  // namespace

void ShowErrorBox(const WideChar* text, const WideChar* caption) {
  if (!CanShowErrorBox()) return;
  PlatformShowMessage(text, caption, kIconError);
}
