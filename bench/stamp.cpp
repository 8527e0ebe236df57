// SPDX-License-Identifier: 0BSD
// The stand-in setup program of the start-to-hand-off benchmark, and (built
// with BENCH_IDLE) the memory baseline that loads the launcher's DLLs.
//
// On start it writes its QueryPerformanceCounter reading to the file named by
// BENCH_STAMP, so the driver can time the hand-off on one clock. Then, when
// BENCH_STAMPED / BENCH_RELEASE name events, it signals the first and waits
// for the second: the launcher that started it stays alive meanwhile, so the
// driver can read the launcher's memory counters before it exits.
// No C runtime: a C runtime start-up would be timed as part of the hand-off.
#include <windows.h>

#include "WriteDecimal.h"

namespace {

}  // namespace

#ifdef BENCH_IDLE
// Referenced so that the baseline imports what the launcher imports (it loads
// user32.dll and shell32.dll only for a message box or the shell start).
__attribute__((used)) void* volatile gKeepImports[] = {
    (void*)&AllocateAndInitializeSid};
#endif

extern "C" void __stdcall BenchEntry() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  WCHAR name[MAX_PATH];
  if (GetEnvironmentVariableW(L"BENCH_STAMP", name, MAX_PATH) - 1 < MAX_PATH - 1) {
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) ExitProcess(3);
    WriteDecimal(file, (unsigned long long)now.QuadPart);
    CloseHandle(file);
  }
  WCHAR stamped[MAX_PATH], release[MAX_PATH];
  if (GetEnvironmentVariableW(L"BENCH_STAMPED", stamped, MAX_PATH) - 1 < MAX_PATH - 1 &&
      GetEnvironmentVariableW(L"BENCH_RELEASE", release, MAX_PATH) - 1 < MAX_PATH - 1) {
    HANDLE stampedEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, stamped);
    HANDLE releaseEvent = OpenEventW(SYNCHRONIZE, FALSE, release);
    if (stampedEvent && releaseEvent) {
      SetEvent(stampedEvent);
      WaitForSingleObject(releaseEvent, 120000);
    }
  }
  ExitProcess(0);
}
