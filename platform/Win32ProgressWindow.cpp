// SPDX-License-Identifier: 0BSD
// The progress window over the Windows API: a small window with one line of
// text, a standard progress bar and a Cancel button, the waits that keep it
// answering while the launcher works, and its hand-over to the setup program.
//
// Most launches never open it and must not pay for it: user32, gdi32 and
// comctl32 are loaded (by full path) only when a window is opened, all state
// here is zero-initialised storage, and nothing runs before that.
// PlatformAllowAnyForeground, which only a second start calls, loads user32
// the same way.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <commctrl.h>

#include <stddef.h>

#include "platform/Platform.h"
#include "platform/ProgressLayout.h"
#include "platform/Win32Modules.h"

namespace {

// Test helpers find the window by this class name.
const WCHAR kClassName[] = L"SetupLauncherProgress";
// PBM_SETRANGE32's upper end: positions arrive in ten-thousandths.
const LPARAM kPositionRange = 10000;
// Close box, no minimise or maximise box: the window lives only as long as
// the unpacking does.
const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
// How long one wait of the hand-over lasts before it looks again.
const DWORD kHandOverSliceMs = 20;

// The functions the window needs, loaded as one table per module; the lists
// give the member names and the exported names alike.
#define USER32_FUNCTIONS(X)                                                   \
  X(AdjustWindowRectEx) X(AllowSetForegroundWindow) X(CreateWindowExW)       \
  X(DefWindowProcW) X(DestroyIcon) X(DestroyWindow) X(DispatchMessageW)       \
  X(EnumWindows) X(GetDC) X(GetMonitorInfoW) X(GetSystemMetrics)              \
  X(GetWindowThreadProcessId) X(IsDialogMessageW) X(IsWindowVisible)          \
  X(LoadCursorW) X(LoadImageW) X(MonitorFromWindow)                           \
  X(MsgWaitForMultipleObjects) X(PeekMessageW) X(RegisterClassExW)            \
  X(ReleaseDC) X(SendMessageW) X(SetFocus) X(SetForegroundWindow)             \
  X(SetWindowPos) X(ShowWindow) X(SystemParametersInfoW) X(TranslateMessage)  \
  X(WaitForInputIdle)
#define GDI32_FUNCTIONS(X)                                                  \
  X(CreateFontIndirectW) X(DeleteObject) X(GetDeviceCaps)                   \
  X(GetTextExtentPoint32W) X(GetTextMetricsW) X(SelectObject)
#define COMCTL32_FUNCTIONS(X) X(InitCommonControlsEx)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
#define NAME_FUNCTION(name) #name "\0"
#define COUNT_FUNCTION(name) +1

struct User32 {
  USER32_FUNCTIONS(DECLARE_FUNCTION)
};
struct Gdi32 {
  GDI32_FUNCTIONS(DECLARE_FUNCTION)
};
struct Comctl32 {
  COMCTL32_FUNCTIONS(DECLARE_FUNCTION)
};

User32 user;
Gdi32 gdi;
Comctl32 comctl;

#define FUNCTION_COUNT(list) (0 list(COUNT_FUNCTION))
static_assert(sizeof(User32) == FUNCTION_COUNT(USER32_FUNCTIONS) * sizeof(void*) &&
                  sizeof(Gdi32) == FUNCTION_COUNT(GDI32_FUNCTIONS) * sizeof(void*) &&
                  sizeof(Comctl32) == FUNCTION_COUNT(COMCTL32_FUNCTIONS) * sizeof(void*),
              "tables of nothing but function pointers");

// Loads the three modules once; false (then and later) when any function
// is missing.
bool LoadWindowFunctions() {
  static int state;  // 0: not tried, 1: loaded, 2: cannot be had
  if (state == 0) {
    const bool loaded =
        FindSystemFunctions(L"user32.dll", USER32_FUNCTIONS(NAME_FUNCTION),
                            (void**)&user, FUNCTION_COUNT(USER32_FUNCTIONS)) &&
        FindSystemFunctions(L"gdi32.dll", GDI32_FUNCTIONS(NAME_FUNCTION),
                            (void**)&gdi, FUNCTION_COUNT(GDI32_FUNCTIONS)) &&
        FindSystemFunctions(L"comctl32.dll", COMCTL32_FUNCTIONS(NAME_FUNCTION),
                            (void**)&comctl, FUNCTION_COUNT(COMCTL32_FUNCTIONS));
    state = loaded ? 1 : 2;
  }
  return state == 1;
}

// The open window. Everything is null while none is open; `cancelled`
// stays set from the user's cancel until the next window is opened.
struct ProgressWindow {
  HWND owner;
  HWND window;
  HWND bar;
  HWND button;
  HFONT font;
  HICON icons[2];  // ICON_SMALL, ICON_BIG
  bool cancelled;
};

ProgressWindow progress;

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
  switch (message) {
  case WM_COMMAND:
    // The button and Esc send IDCANCEL. Enter sends IDOK: IsDialogMessageW
    // asks a window that is no dialog for its default button and gets none.
    if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)
      progress.cancelled = true;
    return 0;
  case WM_CLOSE:
    // The close box and Alt+F4 cancel too. The window stays until the
    // launcher has removed what it made and closes it.
    progress.cancelled = true;
    return 0;
  case WM_SETFOCUS:
    // As in a dialog, the keyboard focus rests on the button.
    if (progress.button) user.SetFocus(progress.button);
    return 0;
  }
  return user.DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass() {
  static bool registered;
  if (registered) return true;
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = user.LoadCursorW(nullptr, IDC_ARROW);
  // A system colour, so high-contrast themes reach the window too.
  windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  registered = user.RegisterClassExW(&windowClass) != 0;
  return registered;
}

// How large the message font's text comes out at the system DPI.
struct TextMeasure {
  uint32_t dpi;
  int32_t lineHeight;
  int32_t labelWidth;
};

bool MeasureText(HFONT font, const WCHAR* label, TextMeasure* measure) {
  HDC screen = user.GetDC(nullptr);
  if (!screen) return false;
  HGDIOBJ previous = gdi.SelectObject(screen, font);
  TEXTMETRICW metrics = {};
  SIZE labelSize = {};
  const bool measured =
      gdi.GetTextMetricsW(screen, &metrics) &&
      gdi.GetTextExtentPoint32W(screen, label, lstrlenW(label), &labelSize);
  measure->dpi = (uint32_t)gdi.GetDeviceCaps(screen, LOGPIXELSY);
  measure->lineHeight = metrics.tmHeight;
  measure->labelWidth = labelSize.cx;
  gdi.SelectObject(screen, previous);
  user.ReleaseDC(nullptr, screen);
  return measured;
}

// The font message boxes use. The launcher is DPI-aware for the system
// DPI, so the font comes at that DPI's size.
HFONT CreateMessageFont() {
  NONCLIENTMETRICSW nonClient = {};
  // The size Windows XP knows; later releases accept it as well.
  nonClient.cbSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
  if (!user.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, nonClient.cbSize,
                                  &nonClient, 0))
    return nullptr;
  return gdi.CreateFontIndirectW(&nonClient.lfMessageFont);
}

HWND CreateChild(const WCHAR* className, const WCHAR* text, DWORD style,
                 const LayoutRect& place, int id) {
  return user.CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style,
                              place.x, place.y, place.width, place.height,
                              progress.window, (HMENU)(INT_PTR)id,
                              GetModuleHandleW(nullptr), nullptr);
}

// Icon group 1 of the launcher itself (the branded icon of a launcher file),
// at the sizes of the system DPI. A missing icon is no reason to fail.
void SetIcons() {
  static const int kMetrics[2][2] = {{SM_CXSMICON, SM_CYSMICON},
                                     {SM_CXICON, SM_CYICON}};
  for (int kind = ICON_SMALL; kind <= ICON_BIG; ++kind) {
    progress.icons[kind] = (HICON)user.LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
        user.GetSystemMetrics(kMetrics[kind][0]),
        user.GetSystemMetrics(kMetrics[kind][1]), 0);
    if (progress.icons[kind])
      user.SendMessageW(progress.window, WM_SETICON, kind,
                        (LPARAM)progress.icons[kind]);
  }
}

// Centres the window on the work area of the monitor Windows placed it on.
void CentreOnMonitor(int32_t width, int32_t height) {
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  HMONITOR on = user.MonitorFromWindow(progress.window, MONITOR_DEFAULTTOPRIMARY);
  if (!user.GetMonitorInfoW(on, &monitor)) return;
  const RECT& work = monitor.rcWork;
  int32_t x;
  int32_t y;
  CentreInArea({work.left, work.top, work.right - work.left,
                work.bottom - work.top},
               width, height, &x, &y);
  user.SetWindowPos(progress.window, nullptr, x, y, 0, 0,
                    SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CreateProgressWindow(const WCHAR* caption, const WCHAR* text,
                          const WCHAR* cancel) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  if (!comctl.InitCommonControlsEx(&controls)) return false;
  progress.font = CreateMessageFont();
  TextMeasure measure;
  if (!progress.font || !MeasureText(progress.font, cancel, &measure))
    return false;
  const ProgressLayout layout =
      LayOutProgressWindow(measure.dpi, measure.lineHeight, measure.labelWidth);
  RECT frame = {0, 0, layout.clientWidth, layout.clientHeight};
  if (!user.AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0)) return false;
  const int32_t width = frame.right - frame.left;
  const int32_t height = frame.bottom - frame.top;

  HINSTANCE instance = GetModuleHandleW(nullptr);
  // Never shown: a window with an owner gets no taskbar button of its own.
  // A system class, so the launcher's own class names the one window.
  progress.owner = user.CreateWindowExW(0, L"STATIC", nullptr, WS_POPUP, 0, 0,
                                        0, 0, nullptr, nullptr, instance,
                                        nullptr);
  if (!progress.owner) return false;
  // CW_USEDEFAULT: Windows puts it on the monitor its starter asked for.
  progress.window = user.CreateWindowExW(
      0, kClassName, caption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, width,
      height, progress.owner, nullptr, instance, nullptr);
  if (!progress.window) return false;
  // The text comes before the bar, so screen readers name the bar by it.
  HWND line = CreateChild(L"STATIC", text,
                          SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS | SS_NOPREFIX,
                          layout.text, 0);
  progress.bar = CreateChild(PROGRESS_CLASSW, nullptr, 0, layout.bar, 0);
  progress.button = CreateChild(L"BUTTON", cancel, WS_TABSTOP | BS_DEFPUSHBUTTON,
                                layout.button, IDCANCEL);
  if (!line || !progress.bar || !progress.button) return false;
  user.SendMessageW(line, WM_SETFONT, (WPARAM)progress.font, FALSE);
  user.SendMessageW(progress.button, WM_SETFONT, (WPARAM)progress.font, FALSE);
  user.SendMessageW(progress.bar, PBM_SETRANGE32, 0, kPositionRange);
  SetIcons();
  CentreOnMonitor(width, height);
  // As its starter's STARTUPINFO says: a launcher started hidden keeps the
  // window hidden until it is raised.
  user.ShowWindow(progress.window, SW_SHOWDEFAULT);
  user.SetFocus(progress.button);
  return true;
}

void DestroyProgressWindow() {
  // The window's controls go with it.
  if (progress.window) user.DestroyWindow(progress.window);
  if (progress.owner) user.DestroyWindow(progress.owner);
  if (progress.font) gdi.DeleteObject(progress.font);
  for (HICON icon : progress.icons)
    if (icon) user.DestroyIcon(icon);
  const bool cancelled = progress.cancelled;
  progress = ProgressWindow();
  progress.cancelled = cancelled;
}

struct WindowSearch {
  DWORD processId;
  bool found;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM context) {
  WindowSearch* search = (WindowSearch*)context;
  DWORD processId = 0;
  user.GetWindowThreadProcessId(window, &processId);
  if (processId != search->processId || !user.IsWindowVisible(window))
    return TRUE;
  search->found = true;
  return FALSE;
}

// The started process has ended, waits for input, or shows a window. The
// input-idle test fails for console programs and for elevated ones whose
// handle lacks query access; the other two still answer then.
bool ProcessTookOver(HANDLE process) {
  if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
  if (user.WaitForInputIdle(process, 0) == 0) return true;
  WindowSearch search = {GetProcessId(process), false};
  user.EnumWindows(FindVisibleWindow, (LPARAM)&search);
  return search.found;
}

}  // namespace

bool PlatformOpenProgressWindow(const WideChar* caption, const WideChar* text,
                                const WideChar* cancel) {
  if (progress.window) return true;
  if (!LoadWindowFunctions() || !RegisterWindowClass()) return false;
  progress.cancelled = false;
  if (CreateProgressWindow((LPCWSTR)caption, (LPCWSTR)text, (LPCWSTR)cancel))
    return true;
  DestroyProgressWindow();
  return false;
}

void PlatformSetProgressPosition(uint32_t permyriad) {
  if (progress.bar) user.SendMessageW(progress.bar, PBM_SETPOS, permyriad, 0);
}

bool PlatformPumpProgressWindow() {
  if (!progress.window) return progress.cancelled;
  MSG message;
  while (user.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    // Tab, Esc and Enter, as in a dialog.
    if (user.IsDialogMessageW(progress.window, &message)) continue;
    user.TranslateMessage(&message);
    user.DispatchMessageW(&message);
  }
  return progress.cancelled;
}

void PlatformRaiseProgressWindow() {
  if (!progress.window) return;
  // Shows a window its starter had hidden, brings back a minimised one.
  user.ShowWindow(progress.window, SW_RESTORE);
  user.SetForegroundWindow(progress.window);
}

void PlatformCloseProgressWindow() {
  if (progress.window) DestroyProgressWindow();
}

void PlatformHandOverProgressWindow(PlatformHandle process,
                                    uint32_t milliseconds) {
  if (!progress.window) return;
  if (process) {
    user.AllowSetForegroundWindow(GetProcessId(process));
    const uint64_t start = PlatformTickCount();
    while (!ProcessTookOver(process) &&
           PlatformTickCount() - start < milliseconds) {
      user.MsgWaitForMultipleObjects(1, (const HANDLE*)&process, FALSE,
                                     kHandOverSliceMs, QS_ALLINPUT);
      PlatformPumpProgressWindow();
    }
  }
  DestroyProgressWindow();
}

void PlatformAllowAnyForeground() {
  typedef BOOL(WINAPI * AllowSetForegroundWindowFn)(DWORD);
  AllowSetForegroundWindowFn allow = (AllowSetForegroundWindowFn)
      FindSystemFunction(L"user32.dll", "AllowSetForegroundWindow");
  if (allow) allow(ASFW_ANY);
}

uint32_t PlatformWaitForAnyOrInput(const PlatformHandle* handles, uint32_t count,
                                   uint32_t milliseconds) {
  const HANDLE* list = (const HANDLE*)handles;
  // Without a window there is no input to wake for, and user32 may well not
  // be loaded at all.
  const DWORD result =
      progress.window
          ? user.MsgWaitForMultipleObjects(count, list, FALSE, milliseconds,
                                           QS_ALLINPUT)
          : WaitForMultipleObjects(count, list, FALSE, milliseconds);
  return result < WAIT_OBJECT_0 + count ? result - WAIT_OBJECT_0 : count;
}
