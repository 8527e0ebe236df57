// SPDX-License-Identifier: 0BSD
// Windows driver of the start-to-hand-off benchmark. For each round it starts
// every variant once (order reversed every other round), reads QueryPerformanceCounter just
// before CreateProcessW, and takes the end time from the stamp file the
// started program writes (stamp.exe at its start, reference.exe at its end):
// one clock for everything. While the variant's started program holds, it
// reads the direct child's memory counters.
//
// Usage: timer.exe --rounds N --work DIR [--hold-ms MS] [--settle-ms MS] --variant NAME EXE [--variant ...]
//   --hold-ms keeps each started program waiting that long after the counters
//   were read, so an outside observer (/proc) sees the same moment.
//   NAME "launcher": EXE is a launcher file, started as it is.
//   NAME "reference": EXE is reference.exe; BENCH_LAUNCHER must be set.
//   Any other name: EXE is started as it is.
// Prints one line per run:
//   run NAME ROUND handoff_ms exit_ms exit_code peak_ws ws peak_pagefile pagefile
//       counters_read cpu_ms (GetProcessTimes user + kernel, read with the counters)
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

struct Variant {
  std::wstring name;
  std::wstring exe;
};

LARGE_INTEGER gFrequency;
DWORD gHoldMs = 0;

double ToMs(LONGLONG ticks) { return ticks * 1000.0 / (double)gFrequency.QuadPart; }

bool ReadStamp(const std::wstring& path, LONGLONG* value) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  long long v = 0;
  bool ok = fscanf(f, "%lld", &v) == 1;
  fclose(f);
  *value = v;
  return ok;
}

// One start of one variant; false on any failure of the harness itself.
bool RunOnce(const Variant& variant, int round, const std::wstring& work) {
  static int serial = 0;
  ++serial;
  DWORD pid = GetCurrentProcessId();
  wchar_t stamped[64], release[64];
  swprintf(stamped, 64, L"BenchStamped-%lu-%d", (unsigned long)pid, serial);
  swprintf(release, 64, L"BenchRelease-%lu-%d", (unsigned long)pid, serial);
  std::wstring stampPath = work + L"\\stamp-" + std::to_wstring(serial) + L".txt";
  DeleteFileW(stampPath.c_str());
  HANDLE stampedEvent = CreateEventW(nullptr, TRUE, FALSE, stamped);
  HANDLE releaseEvent = CreateEventW(nullptr, TRUE, FALSE, release);
  SetEnvironmentVariableW(L"BENCH_STAMP", stampPath.c_str());
  SetEnvironmentVariableW(L"BENCH_STAMPED", stamped);
  SetEnvironmentVariableW(L"BENCH_RELEASE", release);

  std::wstring commandLine = L"\"" + variant.exe + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER start, exited;
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    fwprintf(stderr, L"timer: cannot start %ls (error %lu)\n", variant.exe.c_str(),
             GetLastError());
    return false;
  }
  HANDLE waitFor[2] = {stampedEvent, process.hProcess};
  DWORD woke = WaitForMultipleObjects(2, waitFor, FALSE, 300000);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  bool haveCounters = false;
  double cpuMs = -1;
  if (woke == WAIT_OBJECT_0) {
    haveCounters = GetProcessMemoryInfo(process.hProcess, &counters, sizeof(counters)) != 0;
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(process.hProcess, &created, &ended, &kernel, &user)) {
      ULARGE_INTEGER k, u;
      k.LowPart = kernel.dwLowDateTime;
      k.HighPart = kernel.dwHighDateTime;
      u.LowPart = user.dwLowDateTime;
      u.HighPart = user.dwHighDateTime;
      cpuMs = (k.QuadPart + u.QuadPart) / 10000.0;
    }
  }
  if (woke == WAIT_OBJECT_0 && gHoldMs) Sleep(gHoldMs);
  SetEvent(releaseEvent);
  if (WaitForSingleObject(process.hProcess, 300000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    fwprintf(stderr, L"timer: %ls did not end\n", variant.name.c_str());
    return false;
  }
  QueryPerformanceCounter(&exited);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(stampedEvent);
  CloseHandle(releaseEvent);

  LONGLONG stamp = 0;
  if (woke != WAIT_OBJECT_0 || !ReadStamp(stampPath, &stamp)) {
    fwprintf(stderr, L"timer: %ls ended (code %lu) without a stamp\n",
             variant.name.c_str(), exitCode);
    return false;
  }
  DeleteFileW(stampPath.c_str());
  printf("run %ls %d %.3f %.3f %lu %llu %llu %llu %llu %d %.1f\n", variant.name.c_str(), round,
         ToMs(stamp - start.QuadPart), ToMs(exited.QuadPart - start.QuadPart),
         exitCode, (unsigned long long)counters.PeakWorkingSetSize,
         (unsigned long long)counters.WorkingSetSize,
         (unsigned long long)counters.PeakPagefileUsage,
         (unsigned long long)counters.PagefileUsage, haveCounters ? 1 : 0, cpuMs);
  fflush(stdout);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rounds = 7;
  // A pause before each run lets the system finish with the previous run's
  // 64 MiB copy (written, then deleted); without it the next run's write
  // sometimes takes five times as long, whichever variant that is.
  DWORD settleMs = 0;
  std::wstring work = L".";
  std::vector<Variant> variants;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--rounds" && i + 1 < argc) {
      rounds = _wtoi(argv[++i]);
    } else if (arg == L"--hold-ms" && i + 1 < argc) {
      gHoldMs = (DWORD)_wtoi(argv[++i]);
    } else if (arg == L"--settle-ms" && i + 1 < argc) {
      settleMs = (DWORD)_wtoi(argv[++i]);
    } else if (arg == L"--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == L"--variant" && i + 2 < argc) {
      variants.push_back({argv[i + 1], argv[i + 2]});
      i += 2;
    } else {
      fwprintf(stderr, L"timer: unknown argument %ls\n", argv[i]);
      return 2;
    }
  }
  if (variants.empty() || rounds < 1) return 2;
  QueryPerformanceFrequency(&gFrequency);
  printf("frequency %lld\n", (long long)gFrequency.QuadPart);
  for (int round = 1; round <= rounds; ++round) {
    // Every other round runs the variants backwards, so each pair swaps
    // places and drifting background load falls on both alike.
    for (size_t k = 0; k < variants.size(); ++k) {
      const Variant& v = variants[round % 2 ? k : variants.size() - 1 - k];
      if (settleMs) Sleep(settleMs);
      if (!RunOnce(v, round, work)) return 1;
    }
  }
  return 0;
}
