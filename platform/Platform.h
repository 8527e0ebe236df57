// SPDX-License-Identifier: 0BSD
// The launcher's only door to the operating system.
//
// Every Windows call the launcher makes goes through one of these functions.
// The shipped executable links Win32Platform.cpp; the host tests link a
// scriptable fake. The launcher's own code never includes <windows.h>, so the
// same decisions run unchanged in both builds.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef char16_t WideChar;
typedef void* PlatformHandle;

// INVALID_HANDLE_VALUE: all bits set.
#define PLATFORM_INVALID_HANDLE ((PlatformHandle)(intptr_t)-1)

// Longest module path the launcher reads, terminator included.
enum { kModulePathCapacity = 261 };

// The part of OSVERSIONINFOW that the launcher reads.
struct OsVersion {
  uint32_t majorVersion;
  uint32_t minorVersion;
};

// --- Memory ---------------------------------------------------------------
// Both return null when the memory cannot be had; callers decide what that
// means (nearly always OutOfMemory()).
void* PlatformAllocate(size_t size);
void* PlatformReallocate(void* block, size_t size);
void PlatformFree(void* block);

// --- Process --------------------------------------------------------------
[[noreturn]] void PlatformExitProcess(uint32_t exitCode);
// MessageBoxW with no owner window; blocks until dismissed.
void PlatformShowMessage(const WideChar* text, const WideChar* caption,
                         uint32_t style);
// GetProcessWindowStation, then GetUserObjectInformationW(UOI_FLAGS). False
// when either call fails (or user32 cannot be had); otherwise `visible` says
// whether the window station has WSF_VISIBLE. Loads user32, so it is asked
// only when a box is about to be shown.
bool PlatformQueryWindowStationVisible(bool* visible);
// RegisterEventSourceW(NULL, source) for the Application log; null when it
// failed.
PlatformHandle PlatformRegisterEventSource(const WideChar* source);
// ReportEventW(source, EVENTLOG_ERROR_TYPE, category 0, eventId, no SID,
// `count` strings, no data). False when it failed.
bool PlatformReportErrorEvent(PlatformHandle source, uint32_t eventId,
                              const WideChar* const* strings, uint16_t count);
// DeregisterEventSource; the result is of no use.
void PlatformDeregisterEventSource(PlatformHandle source);
// GetLastError.
uint32_t PlatformLastError();
// GetModuleFileNameW(NULL, buffer, capacity): the count of units written.
uint32_t PlatformGetModuleFileName(WideChar* buffer, uint32_t capacity);
// GetCommandLineW.
const WideChar* PlatformGetCommandLine();

// --- Files ----------------------------------------------------------------
// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING).
PlatformHandle PlatformOpenForReading(const WideChar* path);
// CreateFileW(GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW,
// FILE_ATTRIBUTE_NORMAL): fails when anything of that name exists already, so
// a file another process created is never replaced. DELETE lets the writer
// remove it through this handle (PlatformSetDeleteOnClose).
PlatformHandle PlatformCreateNewForWriting(const WideChar* path);
// SetFilePointer(FILE_BEGIN) with a signed 32-bit distance and no high part.
// Returns false when the system refused the move.
bool PlatformSeek(PlatformHandle file, int32_t offset);
// One ReadFile / WriteFile call; the result is the count moved, whatever the
// call's own success flag said.
uint32_t PlatformRead(PlatformHandle file, void* buffer, uint32_t count);
uint32_t PlatformWrite(PlatformHandle file, const void* buffer, uint32_t count);
// One ReadFile / WriteFile at a 64-bit file offset (an OVERLAPPED offset on
// a synchronous handle), whatever the file position; the count moved. The
// blocks of a file set lie anywhere, past 4 GiB too.
uint32_t PlatformReadAt(PlatformHandle file, uint64_t offset, void* buffer,
                        uint32_t count);
uint32_t PlatformWriteAt(PlatformHandle file, uint64_t offset,
                         const void* buffer, uint32_t count);
// GetFileSize, low and high halves joined.
uint64_t PlatformGetFileSize(PlatformHandle file);
void PlatformCloseHandle(PlatformHandle handle);
void PlatformDeleteFile(const WideChar* path);
// SetFileInformationByHandle(FileDispositionInfo, DeleteFile): with true the
// file goes when its last handle is closed, however the process ends; false
// takes that back. The handle needs DELETE access. False when that cannot be
// done (also where the function is missing, before Vista).
bool PlatformSetDeleteOnClose(PlatformHandle file, bool deleteOnClose);
// CreateFileW(DELETE | FILE_READ_ATTRIBUTES, every share mode,
// OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT): a handle to remove a file
// through once it is known to be the right one; a link at the path itself
// is opened, not followed.
PlatformHandle PlatformOpenForDeletion(const WideChar* path);
// FindFirstFileW found something (file or folder); the search is closed.
bool PlatformPathExists(const WideChar* path);
// GetTempPathW(capacity, buffer); the return value is of no use to callers.
void PlatformGetTempPath(WideChar* buffer, uint32_t capacity);
// GetTempPath2W(capacity, buffer), looked up in kernel32 at run time. False
// where kernel32 lacks it (before the 2025 updates of Windows 10); the
// buffer is then untouched.
bool PlatformGetTempPath2(WideChar* buffer, uint32_t capacity);

// Which file it is, whatever name reached it.
struct FileIdentity {
  uint32_t volumeSerial;
  uint32_t indexHigh;
  uint32_t indexLow;
};
inline bool SameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.volumeSerial == b.volumeSerial && a.indexHigh == b.indexHigh &&
         a.indexLow == b.indexLow;
}
// GetFileInformationByHandle. False when the call failed.
bool PlatformGetFileIdentity(PlatformHandle file, FileIdentity* identity);
// The file's 64-bit index on its volume alone (NtQueryInformationFile,
// FileInternalInformation): the same number as the identity's, without the
// volume query, which costs ten times as much (under Wine 0.6 ms). Enough
// to tell the files of one folder on one volume apart. False when it cannot
// be read.
bool PlatformGetFileIndex(PlatformHandle file, uint64_t* index);

// --- Private folders --------------------------------------------------------
// Windows access masks, one per principal of a private folder's DACL.
struct FolderAccess {
  uint32_t localSystem;
  uint32_t administrators;
  uint32_t tokenUser;  // the user of the process's own token
};
// CreateDirectoryW with a protected DACL (nothing inherited from the parent)
// of three allow entries, inherited by everything created inside: SYSTEM,
// BUILTIN\Administrators and the process token's user. False when the folder
// was not created, also when an entry of that name exists already.
bool PlatformCreatePrivateFolder(const WideChar* path,
                                 const FolderAccess& access);
// CreateDirectoryW without a security descriptor, so the folder inherits
// the DACL of the one it is made in. False when it was not created, also
// when an entry of that name exists already.
bool PlatformCreateFolder(const WideChar* path);
// RemoveDirectoryW; it fails on a folder that is not empty, and the callers
// have nothing to do about that. A link in its place is removed itself,
// never what it leads to.
void PlatformRemoveFolder(const WideChar* path);
// RtlGenRandom (SystemFunction036 in advapi32): `count` bytes from the
// system's random source. False when it failed or cannot be had.
bool PlatformGenerateRandom(void* buffer, uint32_t count);

// --- Threads ----------------------------------------------------------------
// The processors in the process's affinity mask (GetProcessAffinityMask);
// 1 when it cannot be read.
uint32_t PlatformProcessorCount();
// Physical memory available now (GlobalMemoryStatusEx ullAvailPhys); 0 when
// it cannot be read.
uint64_t PlatformAvailableMemory();
// CreateThread running `run(context)`; null when no thread could be made.
PlatformHandle PlatformStartThread(void (*run)(void* context), void* context);
// Waits until the thread has ended, then closes its handle.
void PlatformJoinThread(PlatformHandle thread);
// MsgWaitForMultipleObjects: waits up to `milliseconds` until one of the
// `count` handles (threads, events) is signalled, or a message arrives for a
// window of this thread. Returns the index of a signalled handle, otherwise
// `count`.
uint32_t PlatformWaitForAnyOrInput(const PlatformHandle* handles, uint32_t count,
                                   uint32_t milliseconds);

// --- Progress window ----------------------------------------------------------
// Resource `id` of `type` in the launcher's own image (FindResourceW,
// LoadResource, LockResource, SizeofResource); null when there is none.
const uint8_t* PlatformOwnResource(uint32_t type, uint32_t id, uint32_t* size);
// GetTickCount64: milliseconds since the system started.
uint64_t PlatformTickCount();
// Shows the progress window: centred, without a taskbar button of its own
// (its owner is a window that is never shown), with the launcher's icon
// (icon group 1, at the sizes of the current DPI), `caption` as its title,
// `text` as its one line, a standard progress bar at 0 and a button
// labelled `cancel`, in the message font of the DPI the system gives it.
// user32, gdi32 and comctl32 are loaded from the system folder the first
// time. False when it cannot be shown; nothing is left open then.
bool PlatformOpenProgressWindow(const WideChar* caption, const WideChar* text,
                                const WideChar* cancel);
// Moves the bar to `permyriad` / 10000.
void PlatformSetProgressPosition(uint32_t permyriad);
// Dispatches the window's pending messages (keyboard navigation included:
// Esc is Cancel). True once the user has cancelled: the button, Esc, or
// closing the window.
bool PlatformPumpProgressWindow();
// Brings the window to the front and gives it the focus.
void PlatformRaiseProgressWindow();
// Destroys the window, if there is one.
void PlatformCloseProgressWindow();
// Lets the started process take the foreground (AllowSetForegroundWindow),
// then keeps the window's messages flowing until that process is ready for
// input (WaitForInputIdle), shows a visible window of its own, or
// `milliseconds` have passed; then closes the progress window.
void PlatformHandOverProgressWindow(PlatformHandle process,
                                    uint32_t milliseconds);

// --- Another start of the same package ------------------------------------------
// CreateEventW (auto-reset, not signalled) named `name` in the session's
// namespace ("Local\\..."). `*existed` says whether another process had made
// it already. Null when it cannot be made.
PlatformHandle PlatformCreateSessionEvent(const WideChar* name, bool* existed);
// SetEvent.
void PlatformSignalEvent(PlatformHandle event);
// WaitForSingleObject(event, 0) found it signalled (which resets it).
bool PlatformEventSignalled(PlatformHandle event);
// AllowSetForegroundWindow(ASFW_ANY): the process that is told may come to
// the front.
void PlatformAllowAnyForeground();

// --- Windows version and registry -----------------------------------------
// GetVersionExW with dwOSVersionInfoSize 276. False when the call failed.
bool PlatformGetVersion(OsVersion* version);
// RegOpenKeyExW(HKLM, "Software\Microsoft\Windows NT\CurrentVersion",
// 0, KEY_READ). Null when it cannot be opened.
PlatformHandle PlatformOpenCurrentVersionKey();
// RegQueryValueExW into `buffer`; `size` is the in/out byte count. True only
// for ERROR_SUCCESS.
bool PlatformQueryValue(PlatformHandle key, const WideChar* name, void* buffer,
                        uint32_t* size);
void PlatformCloseKey(PlatformHandle key);

// --- Network path ---------------------------------------------------------
// WNetGetUniversalNameW at UNIVERSAL_NAME_INFO_LEVEL into a 2000-byte buffer.
// Returns the universal name inside `buffer`, or null when the call did not
// succeed (including when mpr.dll or the function cannot be had).
const WideChar* PlatformGetUniversalName(const WideChar* path, void* buffer,
                                         uint32_t* size);

// --- Starting the setup program -------------------------------------------
// GetSystemDirectoryW: the count of units written, 0 when it failed or did
// not fit.
uint32_t PlatformGetSystemFolder(WideChar* buffer, uint32_t capacity);
// CreateProcessW(NULL, commandLine, ..., currentDirectory, ...). The command
// line buffer is the caller's and may be written to. On success `process`
// receives the process handle.
bool PlatformCreateProcess(WideChar* commandLine,
                           const WideChar* currentDirectory,
                           PlatformHandle* process);
// ShellExecuteExW with SEE_MASK_NOCLOSEPROCESS, no owner, no directory,
// SW_SHOW.
bool PlatformShellExecute(const WideChar* verb, const WideChar* file,
                          const WideChar* parameters, PlatformHandle* process);
// WaitForSingleObject(process, INFINITE); the result is not needed.
void PlatformWaitForProcess(PlatformHandle process);
// GetExitCodeProcess. False when the code cannot be read.
bool PlatformGetExitCode(PlatformHandle process, uint32_t* exitCode);

// --- Administrator test ---------------------------------------------------
// AllocateAndInitializeSid for BUILTIN\Administrators. Null on failure.
void* PlatformAllocateAdministratorsSid();
void PlatformFreeSid(void* sid);
// GetModuleHandleW("advapi32.dll") then GetProcAddress for
// "CheckTokenMembership"; null when either is missing. Never loads a module.
void* PlatformFindCheckTokenMembership();
// Calls the entry point found above with a null token. False when the call
// failed; otherwise `isMember` holds the answer.
bool PlatformCallCheckTokenMembership(void* entryPoint, void* sid,
                                      bool* isMember);
