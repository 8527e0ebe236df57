// SPDX-License-Identifier: 0BSD
// System modules loaded at run time by their full path (see Win32Modules.h).
#ifndef UNICODE
#define UNICODE
#endif
#include "platform/Win32Modules.h"

HMODULE LoadSystemModule(const WCHAR* fileName) {
  // The file names are short literals; the 16 spare units hold one.
  WCHAR path[MAX_PATH + 16];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  path[length++] = L'\\';
  for (UINT i = 0; i < 14 && fileName[i]; ++i) path[length++] = fileName[i];
  path[length] = L'\0';
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* FindSystemFunction(const WCHAR* fileName, const char* function) {
  HMODULE module = LoadSystemModule(fileName);
  if (!module) return nullptr;
  return (void*)GetProcAddress(module, function);
}

bool FindSystemFunctions(const WCHAR* fileName, const char* names, void** table,
                         unsigned count) {
  HMODULE module = LoadSystemModule(fileName);
  if (!module) return false;
  for (unsigned i = 0; i < count; ++i) {
    table[i] = (void*)GetProcAddress(module, names);
    if (!table[i]) return false;
    while (*names++) {
    }
  }
  return true;
}
