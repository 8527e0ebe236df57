// The launcher's entry point: run the main sequence, then end with code 0.
#include <windows.h>

#include "core/Memory.h"
#include "core/StubCore.h"

// The launcher's few objects come from the process heap; a failed allocation
// ends the process like any other out-of-memory stop.
void* operator new(size_t size) { return AllocateOrDie(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RunLauncher();
  ExitProcess(0);
}
