// SPDX-License-Identifier: 0BSD
// Drives the launcher's progress window through the real platform functions,
// the way the launcher's main sequence does, without a package: a worker
// thread "unpacks" for a while, the main thread waits for it or for input,
// moves the bar and pumps. For developing and photographing the window, and
// for the end-to-end tests of the window itself.
//
//   progress_demo.exe [--caption TEXT] [--text TEXT] [--cancel TEXT]
//                     [--work-ms N] [--delay-ms N] [--event NAME]
//                     [--hand-over PROGRAM] [--hand-over-ms N]
//
// --delay-ms waits that long before opening the window (the launcher opens it
// only when unpacking takes a while). --event NAME plays the second start: if
// an event of that name exists, this process lets any process take the
// foreground, signals the event and ends with 1618; otherwise it creates the
// event and raises its window whenever the event is signalled (opening it at
// once if it is not open yet). --hand-over starts PROGRAM when the work is
// done and hands the window over to it (at most --hand-over-ms, default
// 10000), then waits for it.
//
// PROGRESS_DEMO_EVENT and PROGRESS_DEMO_DELAY_MS in the environment give
// --event and --delay-ms for runs that cannot pass arguments (the harness's
// burst).
//
// Output, one JSON line on stdout:
//   {"opened":true,"open_us":N,"icons":true,"raised":N,"cancelled":false,
//    "hand_over_ms":N,"exit_code":0}
// "icons" says whether the window answers WM_GETICON with both a big and a
// small icon; only its own process can ask that under Wine.
// Exit code 0, 1602 when the user cancelled, 1618 for a second start; 2 and
// {"error":"..."} on a usage error.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/Platform.h"

namespace {

const DWORD kCancelled = 1602;
const DWORD kAlreadyRunning = 1618;
// How often the bar moves while nothing else happens.
const uint32_t kStepMs = 50;

struct Options {
  std::wstring caption = L"Example Product Setup";
  std::wstring text = L"Preparing Example Product\u2026";
  std::wstring cancel = L"Cancel";
  std::wstring event;
  std::wstring handOver;
  uint32_t workMs = 5000;
  uint32_t delayMs = 0;
  uint32_t handOverMs = 10000;
};

struct Work {
  uint32_t milliseconds;
  std::atomic<bool> stop{false};
};

// Sleeps in small pieces, as decoding checks for a stop between blocks.
void DoWork(void* context) {
  Work* work = (Work*)context;
  const uint64_t start = PlatformTickCount();
  while (!work->stop && PlatformTickCount() - start < work->milliseconds) Sleep(10);
}

double MicrosecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return (double)(now.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart;
}

const WideChar* U(const std::wstring& text) { return (const WideChar*)text.c_str(); }

[[noreturn]] void Usage() {
  std::printf("{\"error\":\"usage: progress_demo.exe [--caption T] [--text T] [--cancel T] "
              "[--work-ms N] [--delay-ms N] [--event NAME] [--hand-over PROGRAM] "
              "[--hand-over-ms N]\"}\n");
  std::fflush(stdout);
  ExitProcess(2);
}

uint32_t Number(const wchar_t* text) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (!end || *end) Usage();
  return (uint32_t)value;
}

Options ReadOptions(int argc, wchar_t** argv) {
  Options options;
  wchar_t value[256];
  if (GetEnvironmentVariableW(L"PROGRESS_DEMO_EVENT", value, 256) - 1u < 255u)
    options.event = value;
  if (GetEnvironmentVariableW(L"PROGRESS_DEMO_DELAY_MS", value, 256) - 1u < 255u)
    options.delayMs = Number(value);
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (i + 1 >= argc) Usage();
    const wchar_t* value = argv[++i];
    if (name == L"--caption") options.caption = value;
    else if (name == L"--text") options.text = value;
    else if (name == L"--cancel") options.cancel = value;
    else if (name == L"--work-ms") options.workMs = Number(value);
    else if (name == L"--delay-ms") options.delayMs = Number(value);
    else if (name == L"--event") options.event = value;
    else if (name == L"--hand-over") options.handOver = value;
    else if (name == L"--hand-over-ms") options.handOverMs = Number(value);
    else Usage();
  }
  return options;
}

struct Report {
  bool opened = false;
  double openUs = 0;
  bool icons = false;
  int raised = 0;
  bool cancelled = false;
  uint64_t handOverMs = 0;
};

[[noreturn]] void Finish(const Report& report, DWORD exitCode) {
  std::printf("{\"opened\":%s,\"open_us\":%.0f,\"icons\":%s,\"raised\":%d,"
              "\"cancelled\":%s,\"hand_over_ms\":%llu,\"exit_code\":%lu}\n",
              report.opened ? "true" : "false", report.openUs,
              report.icons ? "true" : "false", report.raised,
              report.cancelled ? "true" : "false",
              (unsigned long long)report.handOverMs, (unsigned long)exitCode);
  std::fflush(stdout);
  ExitProcess(exitCode);
}

BOOL CALLBACK FindOwnWindow(HWND window, LPARAM found) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (std::wstring(name) != L"SetupLauncherProgress") return TRUE;
  *(HWND*)found = window;
  return FALSE;
}

bool HasBothIcons() {
  HWND window = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindOwnWindow, (LPARAM)&window);
  return window && SendMessageW(window, WM_GETICON, ICON_BIG, 0) &&
         SendMessageW(window, WM_GETICON, ICON_SMALL, 0);
}

void OpenWindow(const Options& options, Report* report) {
  if (report->opened) return;
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  report->opened =
      PlatformOpenProgressWindow(U(options.caption), U(options.text), U(options.cancel));
  report->openUs = MicrosecondsSince(start);
  report->icons = report->opened && HasBothIcons();
}

void HandOver(const Options& options, Report* report) {
  std::wstring commandLine = L"\"" + options.handOver + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(options.handOver.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &process)) {
    PlatformCloseProgressWindow();
    return;
  }
  const uint64_t start = PlatformTickCount();
  PlatformHandOverProgressWindow(process.hProcess, options.handOverMs);
  report->handOverMs = PlatformTickCount() - start;
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = ReadOptions(argc, argv);
  Report report;

  PlatformHandle event = nullptr;
  if (!options.event.empty()) {
    bool existed = false;
    event = PlatformCreateSessionEvent(U(options.event), &existed);
    if (event && existed) {
      PlatformAllowAnyForeground();
      PlatformSignalEvent(event);
      Finish(report, kAlreadyRunning);
    }
  }

  Work work;
  work.milliseconds = options.workMs;
  PlatformHandle worker = PlatformStartThread(DoWork, &work);
  if (!worker) Finish(report, 1);
  const PlatformHandle waits[2] = {worker, event};
  const uint32_t waitCount = event ? 2 : 1;

  const uint64_t start = PlatformTickCount();
  for (;;) {
    const uint32_t woken = PlatformWaitForAnyOrInput(waits, waitCount, kStepMs);
    if (woken == 0) break;
    const uint64_t elapsed = PlatformTickCount() - start;
    if (event && woken == 1) {
      // Another start asked for the window: show it now and bring it up.
      OpenWindow(options, &report);
      PlatformRaiseProgressWindow();
      ++report.raised;
    }
    if (elapsed >= options.delayMs) OpenWindow(options, &report);
    PlatformSetProgressPosition(
        (uint32_t)(elapsed >= options.workMs ? 10000 : elapsed * 10000 / options.workMs));
    if (PlatformPumpProgressWindow()) {
      report.cancelled = true;
      work.stop = true;
      break;
    }
  }
  PlatformJoinThread(worker);
  if (report.cancelled) {
    PlatformCloseProgressWindow();
    Finish(report, kCancelled);
  }
  PlatformSetProgressPosition(10000);
  if (!options.handOver.empty()) HandOver(options, &report);
  PlatformCloseProgressWindow();
  Finish(report, 0);
}
