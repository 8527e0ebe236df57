// SPDX-License-Identifier: 0BSD
/* A stand-in mpr.dll to plant beside a launcher: when any process loads it,
   it creates the file named by PLANTED_MARKER, so a test can tell whether a
   program took its DLLs from its own folder. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    WCHAR path[MAX_PATH];
    if (GetEnvironmentVariableW(L"PLANTED_MARKER", path, MAX_PATH)) {
      HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  return TRUE;
}

__declspec(dllexport) DWORD WINAPI WNetGetUniversalNameW(LPCWSTR path, DWORD level,
                                                         LPVOID buffer, LPDWORD size) {
  (void)path;
  (void)level;
  (void)buffer;
  (void)size;
  return ERROR_NOT_CONNECTED;
}
