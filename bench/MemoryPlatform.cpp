// SPDX-License-Identifier: 0BSD
// The platform layer for the host decode benchmark: the launcher file lives
// in memory, allocation is malloc, and anything the decode path should never
// reach ends the benchmark loudly.
#include "bench/MemoryPlatform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/Platform.h"

namespace {

[[noreturn]] void Unexpected(const char* what) {
  fprintf(stderr, "decode_bench: the decode path called %s\n", what);
  exit(2);
}

}  // namespace

PlatformHandle MemoryFileHandle(MemoryFile* file) { return file; }

void* PlatformAllocate(size_t size) { return malloc(size); }
void* PlatformReallocate(void* block, size_t size) { return realloc(block, size); }
void PlatformFree(void* block) { free(block); }

void PlatformExitProcess(uint32_t exitCode) {
  fprintf(stderr, "decode_bench: the launcher ended with code %u\n", exitCode);
  exit(2);
}

void PlatformShowMessage(const WideChar* text, const WideChar*, uint32_t) {
  fprintf(stderr, "decode_bench: the launcher showed a message: ");
  for (; *text; ++text) fputc(*text < 128 ? (char)*text : '?', stderr);
  fputc('\n', stderr);
}

PlatformHandle PlatformRegisterEventSource(const WideChar*) { Unexpected("RegisterEventSource"); }
bool PlatformReportErrorEvent(PlatformHandle, uint32_t, const WideChar* const*, uint16_t) {
  Unexpected("ReportErrorEvent");
}
void PlatformDeregisterEventSource(PlatformHandle) { Unexpected("DeregisterEventSource"); }

uint32_t PlatformGetModuleFileName(WideChar* buffer, uint32_t capacity) {
  static const WideChar kName[] = u"C:\\bench\\Stub64.exe";
  uint32_t length = sizeof(kName) / sizeof(kName[0]) - 1;
  if (length >= capacity) length = capacity - 1;
  memcpy(buffer, kName, length * sizeof(WideChar));
  buffer[length] = 0;
  return length;
}

const WideChar* PlatformGetCommandLine() { return u"Stub64.exe"; }
bool PlatformQueryWindowStationVisible(bool* visible) {
  *visible = true;
  return true;
}
uint32_t PlatformLastError() { Unexpected("LastError"); }

PlatformHandle PlatformOpenForReading(const WideChar*) { Unexpected("OpenForReading"); }
PlatformHandle PlatformCreateNewForWriting(const WideChar*) { Unexpected("CreateNewForWriting"); }

bool PlatformSeek(PlatformHandle handle, int32_t offset) {
  MemoryFile* file = (MemoryFile*)handle;
  if (offset < 0) return false;
  file->position = (size_t)offset;
  return true;
}

// The copy stands for ReadFile filling the launcher's buffer from the cache.
uint32_t PlatformRead(PlatformHandle handle, void* buffer, uint32_t count) {
  MemoryFile* file = (MemoryFile*)handle;
  size_t available = file->position < file->size ? file->size - file->position : 0;
  if (count > available) count = (uint32_t)available;
  memcpy(buffer, file->data + file->position, count);
  file->position += count;
  return count;
}

uint32_t PlatformWrite(PlatformHandle, const void*, uint32_t) { Unexpected("Write"); }
uint32_t PlatformReadAt(PlatformHandle handle, uint64_t offset, void* buffer,
                        uint32_t count) {
  MemoryFile* file = (MemoryFile*)handle;
  size_t available = offset < file->size ? file->size - (size_t)offset : 0;
  if (count > available) count = (uint32_t)available;
  memcpy(buffer, file->data + offset, count);
  return count;
}
uint32_t PlatformWriteAt(PlatformHandle, uint64_t, const void*, uint32_t) { Unexpected("WriteAt"); }
PlatformHandle PlatformOpenForDeletion(const WideChar*) { Unexpected("OpenForDeletion"); }
bool PlatformCreateFolder(const WideChar*) { Unexpected("CreateFolder"); }
uint32_t PlatformGetSystemFolder(WideChar*, uint32_t) { Unexpected("GetSystemFolder"); }
uint64_t PlatformGetFileSize(PlatformHandle handle) { return ((MemoryFile*)handle)->size; }
void PlatformCloseHandle(PlatformHandle) {}
void PlatformDeleteFile(const WideChar*) { Unexpected("DeleteFile"); }
bool PlatformSetDeleteOnClose(PlatformHandle, bool) { Unexpected("SetDeleteOnClose"); }
bool PlatformPathExists(const WideChar*) { Unexpected("PathExists"); }
void PlatformGetTempPath(WideChar*, uint32_t) { Unexpected("GetTempPath"); }
bool PlatformGetTempPath2(WideChar*, uint32_t) { Unexpected("GetTempPath2"); }
bool PlatformGetFileIdentity(PlatformHandle, FileIdentity*) { Unexpected("GetFileIdentity"); }
bool PlatformGetFileIndex(PlatformHandle, uint64_t*) { Unexpected("GetFileIndex"); }
bool PlatformCreatePrivateFolder(const WideChar*, const FolderAccess&) { Unexpected("CreatePrivateFolder"); }
void PlatformRemoveFolder(const WideChar*) { Unexpected("RemoveFolder"); }
bool PlatformGenerateRandom(void*, uint32_t) { Unexpected("GenerateRandom"); }
uint32_t PlatformProcessorCount() { return 1; }
uint64_t PlatformAvailableMemory() { return 0; }
PlatformHandle PlatformStartThread(void (*)(void*), void*) { Unexpected("StartThread"); }
void PlatformJoinThread(PlatformHandle) { Unexpected("JoinThread"); }
uint32_t PlatformWaitForAnyOrInput(const PlatformHandle*, uint32_t, uint32_t) {
  Unexpected("WaitForAnyOrInput");
}
uint64_t PlatformTickCount() { return 0; }
const uint8_t* PlatformOwnResource(uint32_t, uint32_t, uint32_t*) { return nullptr; }
bool PlatformOpenProgressWindow(const WideChar*, const WideChar*, const WideChar*) {
  Unexpected("OpenProgressWindow");
}
void PlatformSetProgressPosition(uint32_t) {}
bool PlatformPumpProgressWindow() { return false; }
void PlatformRaiseProgressWindow() {}
void PlatformCloseProgressWindow() {}
void PlatformHandOverProgressWindow(PlatformHandle, uint32_t) {}
PlatformHandle PlatformCreateSessionEvent(const WideChar*, bool*) { return nullptr; }
void PlatformSignalEvent(PlatformHandle) {}
bool PlatformEventSignalled(PlatformHandle) { return false; }
void PlatformAllowAnyForeground() {}
bool PlatformGetVersion(OsVersion*) { Unexpected("GetVersion"); }
PlatformHandle PlatformOpenCurrentVersionKey() { Unexpected("OpenCurrentVersionKey"); }
bool PlatformQueryValue(PlatformHandle, const WideChar*, void*, uint32_t*) { Unexpected("QueryValue"); }
void PlatformCloseKey(PlatformHandle) { Unexpected("CloseKey"); }
const WideChar* PlatformGetUniversalName(const WideChar*, void*, uint32_t*) { Unexpected("GetUniversalName"); }
bool PlatformCreateProcess(WideChar*, const WideChar*, PlatformHandle*) { Unexpected("CreateProcess"); }
bool PlatformShellExecute(const WideChar*, const WideChar*, const WideChar*, PlatformHandle*) { Unexpected("ShellExecute"); }
void PlatformWaitForProcess(PlatformHandle) { Unexpected("WaitForProcess"); }
bool PlatformGetExitCode(PlatformHandle, uint32_t*) { Unexpected("GetExitCode"); }
void* PlatformAllocateAdministratorsSid() { Unexpected("AllocateAdministratorsSid"); }
void PlatformFreeSid(void*) { Unexpected("FreeSid"); }
void* PlatformFindCheckTokenMembership() { Unexpected("FindCheckTokenMembership"); }
bool PlatformCallCheckTokenMembership(void*, void*, bool*) { Unexpected("CallCheckTokenMembership"); }
