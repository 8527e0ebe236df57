// SPDX-License-Identifier: 0BSD
// The launcher's entry point: run the main sequence, then end with the exit
// code it returns.
//
// There is no C runtime start-up: the launcher has no globals that need
// constructing, reads its command line through the platform layer, and ends
// the process itself.
#include <windows.h>

#include "core/Memory.h"
#include "core/StubCore.h"

// The launcher's few objects come from the process heap; a failed allocation
// ends the process like any other out-of-memory stop.
void* operator new(size_t size) { return AllocateOrDie(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

// A launcher usually sits in a Downloads folder beside whatever else was
// downloaded. Every module loaded later on its behalf (the shell start pulls
// in many) must come from the system folder, not from there.
void RestrictDllSearchToSystemFolder() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  SetDefaultDllDirectoriesFn setDefaultDllDirectories =
      kernel32 ? (SetDefaultDllDirectoriesFn)(void*)GetProcAddress(
                     kernel32, "SetDefaultDllDirectories")
               : nullptr;
  if (setDefaultDllDirectories)
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");  // drops the current folder where the above is absent
}

}  // namespace

extern "C" void __stdcall StubEntry() {
  RestrictDllSearchToSystemFolder();
  ExitProcess(RunLauncher());
}
