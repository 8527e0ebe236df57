// SPDX-License-Identifier: 0BSD
// Stand-in setup program carried in test packages. It reports how it was
// started, then exits with a chosen code. No message box, and no window
// unless asked for one.
//
// Environment:
//   PROBE_REPORT          file to write the JSON report to (overwritten)
//   PROBE_REPORT_DIR      used when PROBE_REPORT is unset: DIR\report-<pid>.json
//   PROBE_OPEN_LAUNCHER   "1": try to open the first argument (the launcher's
//                         path) for writing and report whether that worked
//   PROBE_SLEEP_MS        wait this long before finishing (default 0)
//   PROBE_WINDOW          "1": show a top-level window of class
//                         "ProbeSetupWindow" at once and answer its messages
//                         while waiting, as a setup program's first window
//   PROBE_EXIT_CODE       exit code (default 0)
//
// Besides the command line, module path and size and current directory, and
// the tick counts at start and end, the report says
// GetTempPathW ("temp_path"), whether the process counts as an
// administrator ("is_admin") and the processors of its affinity mask
// ("processors").
// The report is written twice, each time atomically: once at start with
// "finished": false and once before exiting with "finished": true.
//
// Plain Win32 only, so the image stays small and needs nothing beyond system DLLs.
#include <windows.h>

namespace {

// A growable ASCII buffer on the process heap.
struct Buffer {
  char* data = nullptr;
  DWORD size = 0;
  DWORD capacity = 0;

  void Append(const char* s, DWORD n) {
    if (size + n + 1 > capacity) {
      DWORD cap = capacity ? capacity * 2 : 1024;
      while (cap < size + n + 1) cap *= 2;
      char* p = static_cast<char*>(data ? HeapReAlloc(GetProcessHeap(), 0, data, cap)
                                        : HeapAlloc(GetProcessHeap(), 0, cap));
      if (!p) ExitProcess(3);
      data = p;
      capacity = cap;
    }
    for (DWORD i = 0; i < n; ++i) data[size + i] = s[i];
    size += n;
    data[size] = '\0';
  }
  void Append(const char* s) { Append(s, static_cast<DWORD>(lstrlenA(s))); }
  void AppendUnsigned(unsigned long long v) {
    char tmp[24];
    int i = 0;
    do {
      tmp[i++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (i > 0) Append(&tmp[--i], 1);
  }
  // A JSON string; everything outside printable ASCII as \uXXXX.
  void AppendJson(const wchar_t* s, size_t n) {
    static const char hex[] = "0123456789abcdef";
    Append("\"");
    for (size_t i = 0; i < n; ++i) {
      unsigned u = static_cast<unsigned>(s[i]) & 0xFFFF;
      if (u == '"') {
        Append("\\\"");
      } else if (u == '\\') {
        Append("\\\\");
      } else if (u >= 0x20 && u < 0x7F) {
        char c = static_cast<char>(u);
        Append(&c, 1);
      } else {
        char e[6] = {'\\', 'u', hex[(u >> 12) & 15], hex[(u >> 8) & 15], hex[(u >> 4) & 15],
                     hex[u & 15]};
        Append(e, 6);
      }
    }
    Append("\"");
  }
  void AppendJson(const wchar_t* s) { AppendJson(s, static_cast<size_t>(lstrlenW(s))); }
};

// Returns a heap copy of an environment variable, or null when unset.
wchar_t* Env(const wchar_t* name) {
  DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return nullptr;
  auto* v = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, n * sizeof(wchar_t)));
  if (!v) ExitProcess(3);
  if (GetEnvironmentVariableW(name, v, n) >= n) v[0] = L'\0';
  return v;
}

// Parses an optionally signed decimal number; returns fallback for anything else.
long long EnvNumber(const wchar_t* name, long long fallback) {
  wchar_t* v = Env(name);
  if (!v) return fallback;
  const wchar_t* p = v;
  bool negative = false;
  if (*p == L'-') {
    negative = true;
    ++p;
  }
  if (*p == L'\0') return fallback;
  long long n = 0;
  for (; *p; ++p) {
    if (*p < L'0' || *p > L'9') return fallback;
    n = n * 10 + (*p - L'0');
  }
  return negative ? -n : n;
}

// The first argument after the program token, quotes removed (a quoted
// argument runs to its closing quote, an unquoted one to whitespace).
bool FirstArgument(const wchar_t* cmd, wchar_t* out, size_t capacity) {
  const wchar_t* p = cmd;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  if (!*p) return false;
  wchar_t end = L' ';
  if (*p == L'"') {
    end = L'"';
    ++p;
  }
  size_t n = 0;
  while (*p && *p != end && !(end == L' ' && *p == L'\t')) {
    if (n + 1 >= capacity) return false;
    out[n++] = *p++;
  }
  out[n] = L'\0';
  return n > 0;
}

// CheckTokenMembership against BUILTIN\Administrators: 1, 0, or -1 when unknown.
int IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, &admins)) {
    return -1;
  }
  BOOL member = FALSE;
  int result = CheckTokenMembership(nullptr, admins, &member) ? (member ? 1 : 0) : -1;
  FreeSid(admins);
  return result;
}

// A plain visible window, its messages answered until `ms` have passed.
void ShowWindowAndWait(DWORD ms) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"ProbeSetupWindow";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, L"ProbeSetupWindow", L"Probe setup", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (window) ShowWindow(window, SW_SHOWNORMAL);
  const ULONGLONG end = GetTickCount64() + ms;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  if (window) DestroyWindow(window);
}

struct Report {
  wchar_t modulePath[32768];
  wchar_t currentDirectory[32768];
  wchar_t launcherPath[32768];
  wchar_t tempPath[MAX_PATH + 2];
  const wchar_t* commandLine;
  ULONGLONG moduleSize;  // of the module file: tells test products apart
  ULONGLONG startTick;   // GetTickCount64 at start and at the end, so a test
  ULONGLONG endTick;     // can tell which runs overlapped
  int launcherWritable;  // 1, 0, or -1 when not asked
  int isAdmin;
  DWORD launcherError;
};

Report g_report;

void WriteReport(const wchar_t* path, bool finished) {
  Buffer b;
  b.Append("{\"pid\":");
  b.AppendUnsigned(GetCurrentProcessId());
  b.Append(",\"command_line\":");
  b.AppendJson(g_report.commandLine);
  b.Append(",\"module_path\":");
  b.AppendJson(g_report.modulePath);
  b.Append(",\"module_size\":");
  b.AppendUnsigned(g_report.moduleSize);
  b.Append(",\"start_tick\":");
  b.AppendUnsigned(g_report.startTick);
  if (finished) {
    b.Append(",\"end_tick\":");
    b.AppendUnsigned(g_report.endTick);
  }
  b.Append(",\"current_directory\":");
  b.AppendJson(g_report.currentDirectory);
  b.Append(",\"temp_path\":");
  b.AppendJson(g_report.tempPath);
  b.Append(",\"is_admin\":");
  b.Append(g_report.isAdmin < 0 ? "null" : (g_report.isAdmin ? "true" : "false"));
  // The processors of the affinity mask, as the launcher counts them too.
  DWORD_PTR processMask = 0, systemMask = 0;
  unsigned processors = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
    for (; processMask; processMask &= processMask - 1) ++processors;
  b.Append(",\"processors\":");
  b.AppendUnsigned(processors);
  b.Append(",\"launcher_writable\":");
  if (g_report.launcherWritable < 0) {
    b.Append("null");
  } else {
    b.Append(g_report.launcherWritable ? "true" : "false");
    b.Append(",\"launcher_path\":");
    b.AppendJson(g_report.launcherPath);
    b.Append(",\"launcher_error\":");
    b.AppendUnsigned(g_report.launcherError);
  }
  b.Append(",\"finished\":");
  b.Append(finished ? "true" : "false");
  b.Append("}\n");

  // Temp file beside the report, then an atomic replace, so a reader never
  // sees a half-written report.
  static wchar_t tmp[32800];
  lstrcpynW(tmp, path, 32760);
  wchar_t suffix[24];
  wsprintfW(suffix, L".%lu.tmp", GetCurrentProcessId());
  lstrcatW(tmp, suffix);
  HANDLE h = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) ExitProcess(4);
  DWORD written = 0;
  BOOL ok = WriteFile(h, b.data, b.size, &written, nullptr) && written == b.size;
  CloseHandle(h);
  if (!ok || !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ExitProcess(4);
  }
  HeapFree(GetProcessHeap(), 0, b.data);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Report& r = g_report;
  r.startTick = GetTickCount64();
  r.commandLine = GetCommandLineW();
  DWORD n = GetModuleFileNameW(nullptr, r.modulePath, 32768);
  if (n >= 32768) n = 32767;
  r.modulePath[n] = L'\0';
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (GetFileAttributesExW(r.modulePath, GetFileExInfoStandard, &attributes))
    r.moduleSize = (static_cast<ULONGLONG>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  n = GetCurrentDirectoryW(32768, r.currentDirectory);
  if (n >= 32768) r.currentDirectory[0] = L'\0';
  r.launcherWritable = -1;
  r.isAdmin = IsAdministrator();
  n = GetTempPathW(MAX_PATH + 1, r.tempPath);
  if (n > MAX_PATH) r.tempPath[0] = L'\0';

  wchar_t* open = Env(L"PROBE_OPEN_LAUNCHER");
  if (open && lstrcmpW(open, L"1") == 0) {
    r.launcherWritable = 0;
    if (FirstArgument(r.commandLine, r.launcherPath, 32768)) {
      HANDLE h = CreateFileW(r.launcherPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        r.launcherWritable = 1;
        CloseHandle(h);
      } else {
        r.launcherError = GetLastError();
      }
    }
  }

  // Pick the report path: PROBE_REPORT wins over PROBE_REPORT_DIR.
  wchar_t* path = Env(L"PROBE_REPORT");
  if (path && !*path) path = nullptr;
  if (!path) {
    wchar_t* dir = Env(L"PROBE_REPORT_DIR");
    if (dir && *dir) {
      static wchar_t built[32800];
      lstrcpynW(built, dir, 32700);
      size_t len = static_cast<size_t>(lstrlenW(built));
      if (len && built[len - 1] != L'\\' && built[len - 1] != L'/') lstrcatW(built, L"\\");
      wchar_t name[40];
      wsprintfW(name, L"report-%lu.json", GetCurrentProcessId());
      lstrcatW(built, name);
      path = built;
    }
  }

  if (path) WriteReport(path, false);
  long long sleepMs = EnvNumber(L"PROBE_SLEEP_MS", 0);
  if (EnvNumber(L"PROBE_WINDOW", 0) == 1) {
    ShowWindowAndWait(static_cast<DWORD>(sleepMs > 0 ? sleepMs : 0));
  } else if (sleepMs > 0) {
    Sleep(static_cast<DWORD>(sleepMs));
  }
  r.endTick = GetTickCount64();
  if (path) WriteReport(path, true);
  return static_cast<int>(EnvNumber(L"PROBE_EXIT_CODE", 0));
}
