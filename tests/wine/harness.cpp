// SPDX-License-Identifier: 0BSD
// Starts a launcher under test, watches for its message boxes, presses OK on
// each, and prints what happened as one JSON object on stdout.
//
//   harness.exe [--tmp DIR] [--restricted] [--timeout-ms N] [--no-press]
//               [--burst] [--invisible-station] [--kill-when FILE]
//               -- LAUNCHER.exe [ARGS...]
//
// ARGS are appended to the launcher's command line verbatim, separated by single
// spaces, so a test controls the exact raw command line (quotes included).
// --restricted starts the launcher with the Administrators group disabled in
// its token, so it does not count as an administrator. With --burst every
// argument after -- is a launcher of its own, started without arguments; all
// are created suspended and resumed together. --invisible-station starts the
// launcher on a desktop of a new window station without WSF_VISIBLE, as a
// service or a deployment tool running as SYSTEM would; its boxes cannot be
// seen or pressed from here, so a box there shows as a time-out.
// --kill-when ends the launcher with TerminateProcess as soon as FILE exists,
// the way Task Manager or a deployment tool's time limit would; the report
// then says "killed":true.
//
// Output (exit status 0), ASCII with \uXXXX escapes:
//   {"exit_code":N,"timed_out":false,"killed":false,
//    "boxes":[{"caption":"...","text":"...","has_icon":true}],"elapsed_ms":N}
// Each message box (a top-level "#32770" window of the launcher's process) is
// recorded once, in order of appearance. With --burst the output is
//   {"runs":[{"exit_code":N,"timed_out":false,"boxes":[...]},...],"elapsed_ms":N}
// in the order the launchers were given. On a usage or start failure:
//   {"error":"..."} and exit status 2.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Box {
  HWND hwnd;
  std::wstring caption;
  std::wstring text;
  bool hasIcon;
};

std::string JsonString(const std::wstring& s) {
  // Pure ASCII output: everything outside printable ASCII becomes \uXXXX
  // (UTF-16 units, so surrogate pairs survive as pairs).
  std::string out = "\"";
  for (wchar_t c : s) {
    unsigned u = static_cast<unsigned>(c) & 0xFFFF;
    if (u == '"') {
      out += "\\\"";
    } else if (u == '\\') {
      out += "\\\\";
    } else if (u >= 0x20 && u < 0x7F) {
      out += static_cast<char>(u);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    }
  }
  out += '"';
  return out;
}

void WriteStdout(const std::string& s) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  const char* p = s.data();
  size_t left = s.size();
  while (left > 0 && WriteFile(out, p, static_cast<DWORD>(left), &written, nullptr) && written > 0) {
    p += written;
    left -= written;
  }
}

[[noreturn]] void Fail(const std::wstring& message, DWORD error = 0) {
  std::wstring m = message;
  if (error != 0) m += L" (error " + std::to_wstring(error) + L")";
  WriteStdout("{\"error\":" + JsonString(m) + "}\n");
  ExitProcess(2);
}

std::wstring WindowText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::vector<wchar_t> buf(static_cast<size_t>(n > 0 ? n : 0) + 2, L'\0');
  int got = GetWindowTextW(hwnd, buf.data(), static_cast<int>(buf.size()));
  return std::wstring(buf.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

// Whether the box shows an icon. Which icon cannot be told from outside under
// Wine: icon handles are per process and GetIconInfo refuses a foreign one.
bool BoxHasIcon(HWND box) {
  // Wine's message box puts its icon in control 1088, Windows' in control 20.
  for (int id : {1088, 20}) {
    HWND item = GetDlgItem(box, id);
    if (item && SendMessageW(item, STM_GETICON, 0, 0) != 0) return true;
  }
  return false;
}

std::wstring BoxText(HWND box) {
  // The message text is the static control with id 0xFFFF.
  HWND item = GetDlgItem(box, 0xFFFF);
  if (!item) return std::wstring();
  int n = GetWindowTextLengthW(item);
  std::vector<wchar_t> buf(static_cast<size_t>(n > 0 ? n : 0) + 2, L'\0');
  UINT got = GetDlgItemTextW(box, 0xFFFF, buf.data(), static_cast<int>(buf.size()));
  return std::wstring(buf.data(), got);
}

struct EnumState {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND hwnd, LPARAM lp) {
  auto* st = reinterpret_cast<EnumState*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != st->pid) return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (lstrcmpW(cls, L"#32770") != 0) return TRUE;
  // A box becomes visible only after its text is in place.
  if (!IsWindowVisible(hwnd)) return TRUE;
  st->found.push_back(hwnd);
  return TRUE;
}

HANDLE RestrictedToken() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                        &token)) {
    Fail(L"OpenProcessToken failed", GetLastError());
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &admins)) {
    Fail(L"AllocateAndInitializeSid failed", GetLastError());
  }
  SID_AND_ATTRIBUTES deny = {admins, 0};
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(token, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted)) {
    Fail(L"CreateRestrictedToken failed", GetLastError());
  }
  FreeSid(admins);
  CloseHandle(token);
  return restricted;
}

void Usage() {
  Fail(L"usage: harness.exe [--tmp DIR] [--restricted] [--timeout-ms N] [--no-press] "
       L"[--burst] [--invisible-station] [--kill-when FILE] -- LAUNCHER.exe [ARGS...]");
}

// A new window station (never visible unless it is WinSta0) with a desktop,
// named as STARTUPINFOW.lpDesktop wants it.
std::wstring MakeInvisibleDesktop() {
  const std::wstring station = L"HarnessInvisible" + std::to_wstring(GetCurrentProcessId());
  HWINSTA own = GetProcessWindowStation();
  HWINSTA created = CreateWindowStationW(station.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
  if (!created) Fail(L"CreateWindowStationW failed", GetLastError());
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(created, UOI_FLAGS, &flags, sizeof flags, &needed))
    Fail(L"GetUserObjectInformationW failed", GetLastError());
  if (flags.dwFlags & WSF_VISIBLE) Fail(L"the new window station is visible");
  if (!SetProcessWindowStation(created)) Fail(L"SetProcessWindowStation failed", GetLastError());
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  DWORD error = GetLastError();
  SetProcessWindowStation(own);
  if (!desktop) Fail(L"CreateDesktopW failed", error);
  return station + L"\\Default";
}

// One launcher process and the boxes it showed.
struct Run {
  PROCESS_INFORMATION process;
  std::vector<Box> boxes;
  std::vector<size_t> open;  // indexes into boxes of boxes still on screen
  bool exited = false;
  bool timedOut = false;
  bool killed = false;
  DWORD exitCode = 0;
};

Run Start(const std::wstring& launcher, const std::wstring& commandLine, bool restricted,
          bool suspended, std::wstring desktop) {
  std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(L'\0');
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  if (!desktop.empty()) si.lpDesktop = &desktop[0];
  Run run = {};
  DWORD flags = suspended ? CREATE_SUSPENDED : 0;
  BOOL ok;
  if (restricted) {
    HANDLE token = RestrictedToken();
    ok = CreateProcessAsUserW(token, launcher.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                              flags, nullptr, nullptr, &si, &run.process);
    CloseHandle(token);
  } else {
    ok = CreateProcessW(launcher.c_str(), cmd.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        nullptr, &si, &run.process);
  }
  if (!ok) Fail(L"cannot start " + launcher, GetLastError());
  return run;
}

void RecordBoxes(Run& run, bool press) {
  // Forget boxes that are gone, so a later box that reuses a handle counts.
  for (size_t k = run.open.size(); k-- > 0;) {
    if (!IsWindow(run.boxes[run.open[k]].hwnd))
      run.open.erase(run.open.begin() + static_cast<long>(k));
  }
  EnumState st{run.process.dwProcessId, {}};
  EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&st));
  for (HWND hwnd : st.found) {
    // A box is known by its handle for as long as that handle lives. A box
    // being dismissed is still listed for a moment with its text already
    // gone; reading it again would report a second, empty box.
    bool seen = false;
    for (size_t k : run.open) seen = seen || run.boxes[k].hwnd == hwnd;
    if (!seen) {
      run.boxes.push_back(Box{hwnd, WindowText(hwnd), BoxText(hwnd), BoxHasIcon(hwnd)});
      run.open.push_back(run.boxes.size() - 1);
    }
    if (press) PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
  }
}

void Terminate(Run& run) {
  TerminateProcess(run.process.hProcess, 1);
  WaitForSingleObject(run.process.hProcess, 5000);
  run.exited = true;
}

// Presses OK on every box until every process has ended or the time is up.
void Watch(std::vector<Run>& runs, ULONGLONG start, unsigned long timeoutMs, bool press,
           const std::wstring& killWhen) {
  for (;;) {
    bool running = false;
    for (Run& run : runs) {
      if (run.exited) continue;
      if (WaitForSingleObject(run.process.hProcess, 0) == WAIT_OBJECT_0) {
        run.exited = true;
        continue;
      }
      running = true;
      if (!killWhen.empty() && GetFileAttributesW(killWhen.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Terminate(run);
        run.killed = true;
        continue;
      }
      if (GetTickCount64() - start >= timeoutMs) {
        Terminate(run);
        run.timedOut = true;
        continue;
      }
      RecordBoxes(run, press);
    }
    if (!running) return;
    Sleep(10);
  }
}

std::string RunJson(Run& run) {
  GetExitCodeProcess(run.process.hProcess, &run.exitCode);
  CloseHandle(run.process.hProcess);
  std::string json = "{\"exit_code\":" + std::to_string(run.exitCode) +
                     ",\"timed_out\":" + (run.timedOut ? "true" : "false") +
                     ",\"killed\":" + (run.killed ? "true" : "false") + ",\"boxes\":[";
  for (size_t k = 0; k < run.boxes.size(); ++k) {
    if (k) json += ",";
    json += "{\"caption\":" + JsonString(run.boxes[k].caption) +
            ",\"text\":" + JsonString(run.boxes[k].text) +
            ",\"has_icon\":" + (run.boxes[k].hasIcon ? "true" : "false") + "}";
  }
  return json + "]";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring tmp;
  bool restricted = false;
  bool press = true;
  bool burst = false;
  bool invisibleStation = false;
  std::wstring killWhen;
  unsigned long timeoutMs = 60000;
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--") {
      ++i;
      break;
    } else if (a == L"--tmp" && i + 1 < argc) {
      tmp = argv[++i];
    } else if (a == L"--restricted") {
      restricted = true;
    } else if (a == L"--no-press") {
      press = false;
    } else if (a == L"--burst") {
      burst = true;
    } else if (a == L"--invisible-station") {
      invisibleStation = true;
    } else if (a == L"--kill-when" && i + 1 < argc) {
      killWhen = argv[++i];
    } else if (a == L"--timeout-ms" && i + 1 < argc) {
      wchar_t* end = nullptr;
      timeoutMs = std::wcstoul(argv[++i], &end, 10);
      if (!end || *end != L'\0') Usage();
    } else {
      Usage();
    }
  }
  if (i >= argc) Usage();

  if (!tmp.empty()) {
    SetEnvironmentVariableW(L"TMP", tmp.c_str());
    SetEnvironmentVariableW(L"TEMP", tmp.c_str());
  }

  const std::wstring desktop = invisibleStation ? MakeInvisibleDesktop() : L"";
  std::vector<Run> runs;
  if (burst) {
    // Every launcher is created suspended and all are resumed together, so
    // they reach their temporary copies at the same moment.
    for (; i < argc; ++i)
      runs.push_back(
          Start(argv[i], L"\"" + std::wstring(argv[i]) + L"\"", restricted, true, desktop));
  } else {
    std::wstring launcher = argv[i];
    std::wstring commandLine = L"\"" + launcher + L"\"";
    for (++i; i < argc; ++i) {
      commandLine += L" ";
      commandLine += argv[i];
    }
    runs.push_back(Start(launcher, commandLine, restricted, false, desktop));
  }
  ULONGLONG start = GetTickCount64();
  for (Run& run : runs) {
    if (burst) ResumeThread(run.process.hThread);
    CloseHandle(run.process.hThread);
  }
  Watch(runs, start, timeoutMs, press, killWhen);
  std::string elapsed = std::to_string(GetTickCount64() - start);

  std::string json;
  if (burst) {
    json = "{\"runs\":[";
    for (size_t k = 0; k < runs.size(); ++k) json += (k ? "," : "") + RunJson(runs[k]) + "}";
    json += "],\"elapsed_ms\":" + elapsed + "}\n";
  } else {
    json = RunJson(runs[0]) + ",\"elapsed_ms\":" + elapsed + "}\n";
  }
  WriteStdout(json);
  return 0;
}
