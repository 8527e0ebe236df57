// SPDX-License-Identifier: 0BSD
// Starts a launcher under test, watches for its message boxes, presses OK on
// each, and prints what happened as one JSON object on stdout.
//
//   harness.exe [--tmp DIR] [--restricted] [--timeout-ms N] [--no-press]
//               [--burst] [--stagger-ms N] [--invisible-station]
//               [--kill-when FILE] [--start-hidden]
//               [--progress-class NAME] [--cancel-after-ms N]
//               [--cancel-by button|escape|enter|close]
//               [--shown-file FILE] [--watch-class NAME]
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
// then says "killed":true. --start-hidden passes SW_HIDE in STARTUPINFOW, as
// a tool that starts programs hidden does.
//
// The launcher's progress window: with --progress-class the top-level window
// of that class belonging to each launcher is watched (also on the invisible
// station's desktop): when it appeared and disappeared, its caption, text,
// button label, bar position, owner and icons, whether Wine's taskbar (a
// virtual desktop named "shell") gives it a button, and the longest its
// thread took to answer a message sent to it. --cancel-after-ms cancels it
// that long after it first became visible: --cancel-by button (the default)
// presses the button with BM_CLICK, escape and enter post the key to the
// focused button, close posts SC_CLOSE (the close box, Alt+F4).
// --shown-file creates FILE as soon as a progress window is visible (for a
// screenshot). --stagger-ms starts each launcher of a burst that long after
// the one before instead of all together. --watch-class reports when a
// visible top-level window of that class, of any process, first appeared
// (the setup program's own window).
//
// Output (exit status 0), ASCII with \uXXXX escapes:
//   {"exit_code":N,"timed_out":false,"killed":false,
//    "boxes":[{"caption":"...","text":"...","has_icon":true}],
//    "started_ms":0,"exit_ms":N,"progress":null,"elapsed_ms":N}
// "progress" (with --progress-class), null when no window of the class was
// seen, is
//   {"windows":1,"seen_ms":N,"shown_ms":N,"gone_ms":N,"caption":"...",
//    "text":"...","button":"...","first_position":N,"last_position":N,
//    "owned":true,"big_icon":true,"small_icon":true,"taskbar_button":false,
//    "client_left":N,"client_top":N,"client_width":N,"client_height":N,
//    "max_reply_ms":N,"cancel_ms":N}
// with null for what did not happen (shown_ms, gone_ms, cancel_ms) or cannot
// be known (taskbar_button without a taskbar; the icons where WM_GETICON
// gets no answer from another process, as under Wine 8). Times are milliseconds after
// the (first) launcher started. With --watch-class the object also has
// "watched":{"first_ms":N,"taskbar_button":true} (or null).
// Each message box (a top-level "#32770" window of the launcher's process) is
// recorded once, in order of appearance. With --burst the output is
//   {"runs":[{"exit_code":N,"timed_out":false,"boxes":[...]},...],"elapsed_ms":N}
// in the order the launchers were given. On a usage or start failure:
//   {"error":"..."} and exit status 2.
#include <windows.h>
#include <commctrl.h>

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
       L"[--burst] [--stagger-ms N] [--invisible-station] [--kill-when FILE] "
       L"[--start-hidden] [--progress-class NAME] [--cancel-after-ms N] "
       L"[--cancel-by button|escape|enter|close] "
       L"[--shown-file FILE] [--watch-class NAME] -- LAUNCHER.exe [ARGS...]");
}

// A new window station (never visible unless it is WinSta0) with a desktop,
// named as STARTUPINFOW.lpDesktop wants it; `desktop` receives its handle.
std::wstring MakeInvisibleDesktop(HDESK* desktop) {
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
  *desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  DWORD error = GetLastError();
  SetProcessWindowStation(own);
  if (!*desktop) Fail(L"CreateDesktopW failed", error);
  return station + L"\\Default";
}

// Milliseconds, with the resolution of the performance counter.
double NowMs() {
  static LARGE_INTEGER frequency;
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// What was seen of one launcher's progress window. Times are milliseconds
// after the start; -1 for what did not happen.
struct Progress {
  HWND hwnd = nullptr;
  int windows = 0;
  long long seenMs = -1;
  long long shownMs = -1;
  long long goneMs = -1;
  long long cancelMs = -1;
  std::wstring caption;
  std::wstring text;
  std::wstring button;
  long long firstPosition = -1;
  long long lastPosition = -1;
  bool owned = false;
  int bigIcon = -1;  // -1: the window did not say (Wine answers WM_GETICON
  int smallIcon = -1;  // only within the process)
  int taskbarButton = -1;  // -1: no taskbar to ask
  double maxReplyMs = 0;
  RECT client = {};
  POINT clientOrigin = {};  // on the screen
};

// One launcher process and the boxes it showed.
struct Run {
  PROCESS_INFORMATION process;
  std::vector<Box> boxes;
  std::vector<size_t> open;  // indexes into boxes of boxes still on screen
  bool started = false;
  bool exited = false;
  bool timedOut = false;
  bool killed = false;
  DWORD exitCode = 0;
  long long startedMs = 0;
  long long exitMs = -1;
  Progress progress;
};

// What the watch loop does besides pressing OK.
struct Watching {
  unsigned long timeoutMs = 60000;
  bool press = true;
  std::wstring killWhen;
  std::wstring progressClass;
  long long cancelAfterMs = -1;
  std::wstring cancelBy = L"button";
  std::wstring shownFile;
  std::wstring watchClass;
  long long staggerMs = 0;
  HDESK desktop = nullptr;  // the invisible station's, or null for our own
  long long watchedMs = -1;
  int watchedTaskbarButton = -1;
};

Run Start(const std::wstring& launcher, const std::wstring& commandLine, bool restricted,
          bool suspended, bool hidden, std::wstring desktop) {
  std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(L'\0');
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  if (!desktop.empty()) si.lpDesktop = &desktop[0];
  if (hidden) {
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
  }
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

// --- the progress window ------------------------------------------------------

struct ClassSearch {
  const std::wstring* className;
  DWORD pid;  // 0: any process
  HWND found;
};

BOOL CALLBACK FindClassWindow(HWND hwnd, LPARAM lp) {
  auto* search = reinterpret_cast<ClassSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (search->pid && pid != search->pid) return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (*search->className != cls) return TRUE;
  if (!search->pid && !IsWindowVisible(hwnd)) return TRUE;
  search->found = hwnd;
  return FALSE;
}

HWND FindTopLevel(const std::wstring& className, DWORD pid, HDESK desktop) {
  ClassSearch search{&className, pid, nullptr};
  if (desktop)
    EnumDesktopWindows(desktop, FindClassWindow, reinterpret_cast<LPARAM>(&search));
  else
    EnumWindows(FindClassWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Sends a message the way a screen reader or a test tool would and notes
// how long the window's thread took to answer. False when it did not answer
// within 5 s.
bool Ask(HWND hwnd, UINT message, WPARAM wp, LPARAM lp, DWORD_PTR* result, Progress* progress) {
  const double start = NowMs();
  const LRESULT answered = SendMessageTimeoutW(hwnd, message, wp, lp, SMTO_NORMAL, 5000, result);
  const double took = NowMs() - start;
  if (took > progress->maxReplyMs) progress->maxReplyMs = took;
  return answered != 0;
}

std::wstring AskText(HWND hwnd, Progress* progress) {
  wchar_t buf[512] = {};
  DWORD_PTR got = 0;
  if (!hwnd || !Ask(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf), &got, progress))
    return std::wstring();
  return std::wstring(buf, got < 512 ? got : 511);
}

// Whether Wine's taskbar shows a button for HWND: its buttons are children
// of the tray window whose control ID is the handle of the window they
// stand for, shown while that window is visible and has no owner. -1 when
// there is no taskbar.
int TaskbarButton(HWND hwnd) {
  HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr);
  if (!tray || !IsWindowVisible(tray)) return -1;
  HWND button = GetDlgItem(tray, static_cast<int>(reinterpret_cast<LONG_PTR>(hwnd)));
  return button && IsWindowVisible(button) ? 1 : 0;
}

// Reads what does not change once: caption, text, label, owner, icons.
void ReadProgressWindow(HWND hwnd, Progress& p) {
  p.caption = AskText(hwnd, &p);
  p.text = AskText(FindWindowExW(hwnd, nullptr, L"Static", nullptr), &p);
  p.button = AskText(FindWindowExW(hwnd, nullptr, L"Button", nullptr), &p);
  p.owned = GetWindow(hwnd, GW_OWNER) != nullptr;
  GetClientRect(hwnd, &p.client);
  ClientToScreen(hwnd, &p.clientOrigin);
  DWORD_PTR icon = 0;
  if (Ask(hwnd, WM_GETICON, ICON_BIG, 0, &icon, &p)) p.bigIcon = icon != 0;
  icon = 0;
  if (Ask(hwnd, WM_GETICON, ICON_SMALL, 0, &icon, &p)) p.smallIcon = icon != 0;
}

void TouchFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Cancels the way a user would: the button, a key, or the window's close.
bool Cancel(HWND window, const std::wstring& by) {
  HWND button = FindWindowExW(window, nullptr, L"Button", nullptr);
  if (by == L"close") return PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0;
  if (!button) return false;
  if (by == L"escape") return PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001) != 0;
  if (by == L"enter") return PostMessageW(button, WM_KEYDOWN, VK_RETURN, 0x001C0001) != 0;
  return PostMessageW(button, BM_CLICK, 0, 0) != 0;
}

void WatchProgress(Run& run, Watching& w, long long now) {
  Progress& p = run.progress;
  if (p.hwnd && !IsWindow(p.hwnd)) {
    p.goneMs = now;
    p.hwnd = nullptr;
  }
  if (!p.hwnd) {
    HWND found = FindTopLevel(w.progressClass, run.process.dwProcessId, w.desktop);
    if (!found) return;
    p.hwnd = found;
    p.goneMs = -1;
    ++p.windows;
    if (p.seenMs < 0) p.seenMs = now;
  }
  if (!IsWindowVisible(p.hwnd)) return;
  if (p.shownMs < 0) {
    p.shownMs = now;
    ReadProgressWindow(p.hwnd, p);
    if (!w.shownFile.empty()) TouchFile(w.shownFile);
  }
  HWND bar = FindWindowExW(p.hwnd, nullptr, PROGRESS_CLASSW, nullptr);
  DWORD_PTR position = 0;
  if (bar && Ask(bar, PBM_GETPOS, 0, 0, &position, &p)) {
    if (p.firstPosition < 0) p.firstPosition = static_cast<long long>(position);
    p.lastPosition = static_cast<long long>(position);
  }
  const int button = TaskbarButton(p.hwnd);
  if (button > p.taskbarButton) p.taskbarButton = button;
  if (w.cancelAfterMs >= 0 && p.cancelMs < 0 && now - p.shownMs >= w.cancelAfterMs) {
    if (Cancel(p.hwnd, w.cancelBy)) p.cancelMs = now;
  }
}

void WatchClass(Watching& w, long long now) {
  if (w.watchClass.empty() || w.watchedTaskbarButton > 0) return;
  HWND found = FindTopLevel(w.watchClass, 0, nullptr);
  if (!found) return;
  if (w.watchedMs < 0) w.watchedMs = now;
  const int button = TaskbarButton(found);
  if (button > w.watchedTaskbarButton) w.watchedTaskbarButton = button;
}

void Terminate(Run& run) {
  TerminateProcess(run.process.hProcess, 1);
  WaitForSingleObject(run.process.hProcess, 5000);
  run.exited = true;
}

// Presses OK on every box until every process has ended or the time is up.
void Watch(std::vector<Run>& runs, double start, Watching& w) {
  for (;;) {
    bool running = false;
    const long long now = static_cast<long long>(NowMs() - start);
    for (size_t k = 0; k < runs.size(); ++k) {
      Run& run = runs[k];
      if (!run.started) {
        running = true;
        if (now < static_cast<long long>(k) * w.staggerMs) continue;
        ResumeThread(run.process.hThread);
        run.started = true;
        run.startedMs = now;
      }
      if (run.exited) continue;
      if (WaitForSingleObject(run.process.hProcess, 0) == WAIT_OBJECT_0) {
        run.exited = true;
        run.exitMs = now;
        if (run.progress.hwnd && run.progress.goneMs < 0) run.progress.goneMs = now;
        run.progress.hwnd = nullptr;
        continue;
      }
      running = true;
      if (!w.killWhen.empty() &&
          GetFileAttributesW(w.killWhen.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Terminate(run);
        run.killed = true;
        continue;
      }
      if (now >= static_cast<long long>(w.timeoutMs)) {
        Terminate(run);
        run.timedOut = true;
        continue;
      }
      RecordBoxes(run, w.press);
      if (!w.progressClass.empty()) WatchProgress(run, w, now);
    }
    WatchClass(w, now);
    if (!running) return;
    Sleep(10);
  }
}

std::string Ms(long long ms) { return ms < 0 ? "null" : std::to_string(ms); }

std::string Flag(int value) { return value < 0 ? "null" : value ? "true" : "false"; }

std::string ProgressJson(const Progress& p) {
  if (!p.windows) return "null";
  return "{\"windows\":" + std::to_string(p.windows) + ",\"seen_ms\":" + Ms(p.seenMs) +
         ",\"shown_ms\":" + Ms(p.shownMs) + ",\"gone_ms\":" + Ms(p.goneMs) +
         ",\"caption\":" + JsonString(p.caption) + ",\"text\":" + JsonString(p.text) +
         ",\"button\":" + JsonString(p.button) +
         ",\"first_position\":" + Ms(p.firstPosition) +
         ",\"last_position\":" + Ms(p.lastPosition) + ",\"owned\":" + Flag(p.owned) +
         ",\"big_icon\":" + Flag(p.bigIcon) + ",\"small_icon\":" + Flag(p.smallIcon) +
         ",\"taskbar_button\":" + Flag(p.taskbarButton) +
         ",\"client_left\":" + std::to_string(p.clientOrigin.x) +
         ",\"client_top\":" + std::to_string(p.clientOrigin.y) +
         ",\"client_width\":" + std::to_string(p.client.right) +
         ",\"client_height\":" + std::to_string(p.client.bottom) +
         ",\"max_reply_ms\":" + std::to_string(static_cast<long long>(p.maxReplyMs + 0.5)) +
         ",\"cancel_ms\":" + Ms(p.cancelMs) + "}";
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
  return json + "],\"started_ms\":" + Ms(run.startedMs) + ",\"exit_ms\":" + Ms(run.exitMs) +
         ",\"progress\":" + ProgressJson(run.progress);
}

long long ReadNumber(const wchar_t* text) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (!end || *end != L'\0') Usage();
  return static_cast<long long>(value);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring tmp;
  bool restricted = false;
  bool burst = false;
  bool invisibleStation = false;
  bool hidden = false;
  Watching w;
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == L"--") {
      ++i;
      break;
    } else if (a == L"--tmp" && hasValue) {
      tmp = argv[++i];
    } else if (a == L"--restricted") {
      restricted = true;
    } else if (a == L"--no-press") {
      w.press = false;
    } else if (a == L"--burst") {
      burst = true;
    } else if (a == L"--stagger-ms" && hasValue) {
      w.staggerMs = ReadNumber(argv[++i]);
    } else if (a == L"--invisible-station") {
      invisibleStation = true;
    } else if (a == L"--start-hidden") {
      hidden = true;
    } else if (a == L"--kill-when" && hasValue) {
      w.killWhen = argv[++i];
    } else if (a == L"--timeout-ms" && hasValue) {
      w.timeoutMs = static_cast<unsigned long>(ReadNumber(argv[++i]));
    } else if (a == L"--progress-class" && hasValue) {
      w.progressClass = argv[++i];
    } else if (a == L"--cancel-after-ms" && hasValue) {
      w.cancelAfterMs = ReadNumber(argv[++i]);
    } else if (a == L"--cancel-by" && hasValue) {
      w.cancelBy = argv[++i];
      if (w.cancelBy != L"button" && w.cancelBy != L"escape" && w.cancelBy != L"enter" &&
          w.cancelBy != L"close")
        Usage();
    } else if (a == L"--shown-file" && hasValue) {
      w.shownFile = argv[++i];
    } else if (a == L"--watch-class" && hasValue) {
      w.watchClass = argv[++i];
    } else {
      Usage();
    }
  }
  if (i >= argc) Usage();

  if (!tmp.empty()) {
    SetEnvironmentVariableW(L"TMP", tmp.c_str());
    SetEnvironmentVariableW(L"TEMP", tmp.c_str());
  }

  const std::wstring desktop = invisibleStation ? MakeInvisibleDesktop(&w.desktop) : L"";
  std::vector<Run> runs;
  if (burst) {
    // Every launcher is created suspended and all are resumed together (or
    // one after the other with --stagger-ms), so they reach their
    // temporary copies at the same moment.
    for (; i < argc; ++i)
      runs.push_back(Start(argv[i], L"\"" + std::wstring(argv[i]) + L"\"", restricted, true,
                           hidden, desktop));
  } else {
    std::wstring launcher = argv[i];
    std::wstring commandLine = L"\"" + launcher + L"\"";
    for (++i; i < argc; ++i) {
      commandLine += L" ";
      commandLine += argv[i];
    }
    runs.push_back(Start(launcher, commandLine, restricted, false, hidden, desktop));
    runs[0].started = true;
  }
  const double start = NowMs();
  Watch(runs, start, w);
  for (Run& run : runs) CloseHandle(run.process.hThread);
  std::string elapsed = std::to_string(static_cast<long long>(NowMs() - start));
  std::string watched;
  if (!w.watchClass.empty())
    watched = ",\"watched\":" + (w.watchedMs < 0 ? std::string("null")
                                                 : "{\"first_ms\":" + Ms(w.watchedMs) +
                                                       ",\"taskbar_button\":" +
                                                       Flag(w.watchedTaskbarButton) + "}");

  std::string json;
  if (burst) {
    json = "{\"runs\":[";
    for (size_t k = 0; k < runs.size(); ++k) json += (k ? "," : "") + RunJson(runs[k]) + "}";
    json += "]" + watched + ",\"elapsed_ms\":" + elapsed + "}\n";
  } else {
    json = RunJson(runs[0]) + watched + ",\"elapsed_ms\":" + elapsed + "}\n";
  }
  WriteStdout(json);
  return 0;
}
