// SPDX-License-Identifier: 0BSD
// The progress window over the Windows API. Not built yet: no window is
// ever shown, and waits never wake for messages.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include "platform/Platform.h"

bool PlatformOpenProgressWindow(const WideChar*, const WideChar*, const WideChar*) {
  return false;
}
void PlatformSetProgressPosition(uint32_t) {}
bool PlatformPumpProgressWindow() { return false; }
void PlatformRaiseProgressWindow() {}
void PlatformCloseProgressWindow() {}
void PlatformHandOverProgressWindow(PlatformHandle, uint32_t) {}
void PlatformAllowAnyForeground() {}

uint32_t PlatformWaitForAnyOrInput(const PlatformHandle* handles, uint32_t count,
                                   uint32_t milliseconds) {
  const DWORD result =
      WaitForMultipleObjects(count, (const HANDLE*)handles, FALSE, milliseconds);
  return result < WAIT_OBJECT_0 + count ? result - WAIT_OBJECT_0 : count;
}
