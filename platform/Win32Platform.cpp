// SPDX-License-Identifier: 0BSD
// The platform layer over the real Windows API, for the shipped launcher.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <shellapi.h>
#include <winnetwk.h>

#include "platform/Platform.h"
#include "platform/Win32Modules.h"

static_assert(sizeof(WCHAR) == sizeof(WideChar), "UTF-16 units");

namespace {

LPCWSTR W(const WideChar* text) { return (LPCWSTR)text; }
LPWSTR W(WideChar* text) { return (LPWSTR)text; }

typedef DWORD(WINAPI* GetUniversalNameFn)(LPCWSTR, DWORD, LPVOID, LPDWORD);
typedef BOOL(WINAPI* CheckTokenMembershipFn)(HANDLE, PSID, PBOOL);
typedef int(WINAPI* MessageBoxWFn)(HWND, LPCWSTR, LPCWSTR, UINT);
typedef BOOL(WINAPI* ShellExecuteExWFn)(SHELLEXECUTEINFOW*);
typedef BOOL(WINAPI* SetFileInformationByHandleFn)(HANDLE, int, LPVOID, DWORD);
typedef DWORD(WINAPI* GetTempPath2WFn)(DWORD, LPWSTR);
typedef BOOLEAN(WINAPI* RtlGenRandomFn)(PVOID, ULONG);
typedef HWINSTA(WINAPI* GetProcessWindowStationFn)();
typedef BOOL(WINAPI* GetUserObjectInformationWFn)(HANDLE, int, PVOID, DWORD,
                                                  LPDWORD);

// A function kernel32 may lack on older releases.
void* FindKernel32Function(const char* function) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return kernel32 ? (void*)GetProcAddress(kernel32, function) : nullptr;
}

// The user of the process's own token, into `buffer` (a TOKEN_USER).
bool ReadTokenUser(BYTE* buffer, DWORD size) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD needed = 0;
  BOOL read = GetTokenInformation(token, TokenUser, buffer, size, &needed);
  CloseHandle(token);
  return read != FALSE;
}

bool MakeWellKnownSid(WELL_KNOWN_SID_TYPE type, BYTE* sid) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  return CreateWellKnownSid(type, nullptr, sid, &size) != FALSE;
}

}  // namespace

void* PlatformAllocate(size_t size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void* PlatformReallocate(void* block, size_t size) {
  return HeapReAlloc(GetProcessHeap(), 0, block, size);
}

void PlatformFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

void PlatformExitProcess(uint32_t exitCode) { ExitProcess(exitCode); }

void PlatformShowMessage(const WideChar* text, const WideChar* caption,
                         uint32_t style) {
  static MessageBoxWFn messageBox =
      (MessageBoxWFn)FindSystemFunction(L"user32.dll", "MessageBoxW");
  if (messageBox) messageBox(nullptr, W(text), W(caption), style);
}

bool PlatformQueryWindowStationVisible(bool* visible) {
  GetProcessWindowStationFn getStation = (GetProcessWindowStationFn)
      FindSystemFunction(L"user32.dll", "GetProcessWindowStation");
  GetUserObjectInformationWFn getInformation = (GetUserObjectInformationWFn)
      FindSystemFunction(L"user32.dll", "GetUserObjectInformationW");
  if (!getStation || !getInformation) return false;
  HWINSTA station = getStation();
  if (!station) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!getInformation(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
    return false;
  *visible = (flags.dwFlags & WSF_VISIBLE) != 0;
  return true;
}

PlatformHandle PlatformRegisterEventSource(const WideChar* source) {
  return RegisterEventSourceW(nullptr, W(source));
}

bool PlatformReportErrorEvent(PlatformHandle source, uint32_t eventId,
                              const WideChar* const* strings, uint16_t count) {
  return ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, count,
                      0, (LPCWSTR*)strings, nullptr) != FALSE;
}

void PlatformDeregisterEventSource(PlatformHandle source) {
  DeregisterEventSource(source);
}

uint32_t PlatformLastError() { return GetLastError(); }

uint32_t PlatformGetModuleFileName(WideChar* buffer, uint32_t capacity) {
  return GetModuleFileNameW(nullptr, W(buffer), capacity);
}

const WideChar* PlatformGetCommandLine() {
  return (const WideChar*)GetCommandLineW();
}

PlatformHandle PlatformOpenForReading(const WideChar* path) {
  return CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

PlatformHandle PlatformCreateNewForWriting(const WideChar* path) {
  return CreateFileW(W(path), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool PlatformSeek(PlatformHandle file, int32_t offset) {
  return SetFilePointer(file, offset, nullptr, FILE_BEGIN) !=
         INVALID_SET_FILE_POINTER;
}

uint32_t PlatformRead(PlatformHandle file, void* buffer, uint32_t count) {
  DWORD read = 0;
  ReadFile(file, buffer, count, &read, nullptr);
  return read;
}

uint32_t PlatformWrite(PlatformHandle file, const void* buffer,
                       uint32_t count) {
  DWORD written = 0;
  WriteFile(file, buffer, count, &written, nullptr);
  return written;
}

namespace {

// On a synchronous handle an OVERLAPPED only names the offset; the call
// still returns when the transfer is done.
OVERLAPPED AtOffset(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = (DWORD)offset;
  at.OffsetHigh = (DWORD)(offset >> 32);
  return at;
}

}  // namespace

uint32_t PlatformReadAt(PlatformHandle file, uint64_t offset, void* buffer,
                        uint32_t count) {
  OVERLAPPED at = AtOffset(offset);
  DWORD read = 0;
  ReadFile(file, buffer, count, &read, &at);
  return read;
}

uint32_t PlatformWriteAt(PlatformHandle file, uint64_t offset,
                         const void* buffer, uint32_t count) {
  OVERLAPPED at = AtOffset(offset);
  DWORD written = 0;
  WriteFile(file, buffer, count, &written, &at);
  return written;
}

uint64_t PlatformGetFileSize(PlatformHandle file) {
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  return ((uint64_t)high << 32) | low;
}

void PlatformCloseHandle(PlatformHandle handle) { CloseHandle(handle); }

void PlatformDeleteFile(const WideChar* path) { DeleteFileW(W(path)); }

bool PlatformSetDeleteOnClose(PlatformHandle file, bool deleteOnClose) {
  // Looked up at run time: Windows XP has no SetFileInformationByHandle.
  SetFileInformationByHandleFn setInformation =
      (SetFileInformationByHandleFn)FindKernel32Function(
          "SetFileInformationByHandle");
  if (!setInformation) return false;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = deleteOnClose ? TRUE : FALSE;
  return setInformation(file, FileDispositionInfo, &disposition,
                        sizeof(disposition)) != FALSE;
}

bool PlatformGetFileIdentity(PlatformHandle file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity->volumeSerial = info.dwVolumeSerialNumber;
  identity->indexHigh = info.nFileIndexHigh;
  identity->indexLow = info.nFileIndexLow;
  return true;
}

PlatformHandle PlatformOpenForDeletion(const WideChar* path) {
  return CreateFileW(W(path), DELETE | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

typedef LONG(WINAPI* NtQueryInformationFileFn)(HANDLE, void*, void*, ULONG,
                                                ULONG);

bool PlatformGetFileIndex(PlatformHandle file, uint64_t* index) {
  // ntdll is in every process; FileInternalInformation is class 6 and
  // returns the index as one 64-bit number.
  static NtQueryInformationFileFn query = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? (NtQueryInformationFileFn)(void*)GetProcAddress(
                       ntdll, "NtQueryInformationFile")
                 : nullptr;
  }();
  if (!query) return false;
  ULONG_PTR status[2] = {};  // IO_STATUS_BLOCK
  LARGE_INTEGER found = {};
  if (query(file, status, &found, sizeof(found), 6) < 0) return false;
  *index = (uint64_t)found.QuadPart;
  return true;
}

bool PlatformPathExists(const WideChar* path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(W(path), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void PlatformGetTempPath(WideChar* buffer, uint32_t capacity) {
  GetTempPathW(capacity, W(buffer));
}

bool PlatformGetTempPath2(WideChar* buffer, uint32_t capacity) {
  GetTempPath2WFn getTempPath2 =
      (GetTempPath2WFn)FindKernel32Function("GetTempPath2W");
  if (!getTempPath2) return false;
  getTempPath2(capacity, W(buffer));
  return true;
}

bool PlatformCreatePrivateFolder(const WideChar* path,
                                 const FolderAccess& access) {
  // Everything on the stack: the launcher allocates nothing once it has
  // begun to make things on disk.
  BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  BYTE systemSid[SECURITY_MAX_SID_SIZE];
  BYTE administratorsSid[SECURITY_MAX_SID_SIZE];
  if (!ReadTokenUser(userBuffer, sizeof(userBuffer)) ||
      !MakeWellKnownSid(WinLocalSystemSid, systemSid) ||
      !MakeWellKnownSid(WinBuiltinAdministratorsSid, administratorsSid))
    return false;
  // Three entries with the largest SIDs fit easily.
  alignas(DWORD) BYTE aclBuffer[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) +
                                                   SECURITY_MAX_SID_SIZE)];
  PACL acl = (PACL)aclBuffer;
  const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (!InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, access.localSystem,
                             systemSid) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited,
                             access.administrators, administratorsSid) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, access.tokenUser,
                             ((TOKEN_USER*)userBuffer)->User.Sid))
    return false;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor,
                                    SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED,
                                    SE_DACL_PROTECTED))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  return CreateDirectoryW(W(path), &attributes) != FALSE;
}

bool PlatformCreateFolder(const WideChar* path) {
  return CreateDirectoryW(W(path), nullptr) != FALSE;
}

void PlatformRemoveFolder(const WideChar* path) { RemoveDirectoryW(W(path)); }

bool PlatformGenerateRandom(void* buffer, uint32_t count) {
  // RtlGenRandom's exported name; advapi32 is imported, so it is loaded.
  HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  RtlGenRandomFn generate =
      advapi ? (RtlGenRandomFn)(void*)GetProcAddress(advapi, "SystemFunction036")
             : nullptr;
  return generate && generate(buffer, count);
}

uint32_t PlatformProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    return 1;
  uint32_t count = 0;
  for (DWORD_PTR mask = process; mask; mask &= mask - 1) ++count;
  return count ? count : 1;
}

uint64_t PlatformAvailableMemory() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullAvailPhys;
}

namespace {

struct ThreadStart {
  void (*run)(void*);
  void* context;
};

DWORD WINAPI RunThread(LPVOID parameter) {
  const ThreadStart start = *(ThreadStart*)parameter;
  HeapFree(GetProcessHeap(), 0, parameter);
  start.run(start.context);
  return 0;
}

}  // namespace

PlatformHandle PlatformStartThread(void (*run)(void* context), void* context) {
  ThreadStart* start =
      (ThreadStart*)HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart));
  if (!start) return nullptr;
  *start = {run, context};
  HANDLE thread = CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
  if (!thread) HeapFree(GetProcessHeap(), 0, start);
  return thread;
}

void PlatformJoinThread(PlatformHandle thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

typedef ULONGLONG(WINAPI* GetTickCount64Fn)();

uint64_t PlatformTickCount() {
  // Windows XP has only the 32-bit count, which wraps after 49 days; a
  // launch that spans the wrap shows its window a little early.
  static GetTickCount64Fn getTickCount64 =
      (GetTickCount64Fn)FindKernel32Function("GetTickCount64");
  return getTickCount64 ? getTickCount64() : GetTickCount();
}

const uint8_t* PlatformOwnResource(uint32_t type, uint32_t id, uint32_t* size) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (!loaded) return nullptr;
  *size = SizeofResource(nullptr, found);
  return (const uint8_t*)LockResource(loaded);
}

PlatformHandle PlatformCreateSessionEvent(const WideChar* name, bool* existed) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, W(name));
  *existed = event && GetLastError() == ERROR_ALREADY_EXISTS;
  return event;
}

void PlatformSignalEvent(PlatformHandle event) { SetEvent(event); }

bool PlatformEventSignalled(PlatformHandle event) {
  return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool PlatformGetVersion(OsVersion* version) {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  static_assert(sizeof(OSVERSIONINFOW) == 276, "version record size");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
  version->majorVersion = info.dwMajorVersion;
  version->minorVersion = info.dwMinorVersion;
  return true;
}

PlatformHandle PlatformOpenCurrentVersionKey() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

bool PlatformQueryValue(PlatformHandle key, const WideChar* name, void* buffer,
                        uint32_t* size) {
  DWORD type = 0;
  DWORD byteCount = *size;
  LONG result = RegQueryValueExW((HKEY)key, W(name), nullptr, &type,
                                 (LPBYTE)buffer, &byteCount);
  *size = byteCount;
  return result == ERROR_SUCCESS;
}

void PlatformCloseKey(PlatformHandle key) { RegCloseKey((HKEY)key); }

const WideChar* PlatformGetUniversalName(const WideChar* path, void* buffer,
                                         uint32_t* size) {
  static GetUniversalNameFn getUniversalName = (GetUniversalNameFn)FindSystemFunction(
      L"mpr.dll", "WNetGetUniversalNameW");
  if (!getUniversalName) return nullptr;
  DWORD byteCount = *size;
  DWORD result = getUniversalName(W(path), UNIVERSAL_NAME_INFO_LEVEL, buffer,
                                  &byteCount);
  *size = byteCount;
  if (result != NO_ERROR) return nullptr;
  return (const WideChar*)((UNIVERSAL_NAME_INFOW*)buffer)->lpUniversalName;
}

uint32_t PlatformGetSystemFolder(WideChar* buffer, uint32_t capacity) {
  const UINT length = GetSystemDirectoryW(W(buffer), capacity);
  return length < capacity ? length : 0;
}

bool PlatformCreateProcess(WideChar* commandLine,
                           const WideChar* currentDirectory,
                           PlatformHandle* process) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, W(commandLine), nullptr, nullptr, FALSE, 0,
                      nullptr, W(currentDirectory), &startup, &info))
    return false;
  *process = info.hProcess;
  return true;
}

bool PlatformShellExecute(const WideChar* verb, const WideChar* file,
                          const WideChar* parameters,
                          PlatformHandle* process) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = W(verb);
  info.lpFile = W(file);
  info.lpParameters = W(parameters);
  info.nShow = SW_SHOW;
  static ShellExecuteExWFn shellExecute =
      (ShellExecuteExWFn)FindSystemFunction(L"shell32.dll", "ShellExecuteExW");
  if (!shellExecute || !shellExecute(&info)) return false;
  *process = info.hProcess;
  return true;
}

void PlatformWaitForProcess(PlatformHandle process) {
  WaitForSingleObject(process, INFINITE);
}

bool PlatformGetExitCode(PlatformHandle process, uint32_t* exitCode) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return false;
  *exitCode = code;
  return true;
}

void* PlatformAllocateAdministratorsSid() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &sid))
    return nullptr;
  return sid;
}

void PlatformFreeSid(void* sid) { FreeSid(sid); }

void* PlatformFindCheckTokenMembership() {
  HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  if (!advapi) return nullptr;
  return (void*)GetProcAddress(advapi, "CheckTokenMembership");
}

bool PlatformCallCheckTokenMembership(void* entryPoint, void* sid,
                                      bool* isMember) {
  BOOL member = FALSE;
  if (!((CheckTokenMembershipFn)entryPoint)(nullptr, sid, &member))
    return false;
  *isMember = member != FALSE;
  return true;
}
