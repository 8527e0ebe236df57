// SPDX-License-Identifier: 0BSD
/* The control for the planted-DLL test: a program that imports mpr.dll the
   ordinary way, so Windows (and Wine) search its own folder first. */
#include <windows.h>
#include <winnetwk.h>

int main(void) {
  char buffer[2000];
  DWORD size = sizeof buffer;
  return (int)WNetGetUniversalNameW(L"C:\\x", UNIVERSAL_NAME_INFO_LEVEL, buffer, &size) == 0;
}
