// SPDX-License-Identifier: 0BSD
// The platform layer for the host decode benchmarks: the launcher file lives
// in memory, allocation is malloc, threads are POSIX threads, and anything
// the decode path should never reach ends the benchmark loudly.
#include "bench/MemoryPlatform.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform/Platform.h"

namespace {

[[noreturn]] void Unexpected(const char* what) {
  fprintf(stderr, "decode_bench: the decode path called %s\n", what);
  exit(2);
}

// A decoding thread. `ended` is set under gThreadLock, which the main
// thread's wait for any ended thread sleeps on.
struct MemoryThread {
  pthread_t thread;
  void (*run)(void*);
  void* context;
  bool ended;
};

pthread_mutex_t gThreadLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gThreadEnded = PTHREAD_COND_INITIALIZER;

void* RunThread(void* parameter) {
  MemoryThread* thread = (MemoryThread*)parameter;
  thread->run(thread->context);
  pthread_mutex_lock(&gThreadLock);
  thread->ended = true;
  pthread_cond_broadcast(&gThreadEnded);
  pthread_mutex_unlock(&gThreadLock);
  return nullptr;
}

timespec DeadlineAfter(uint32_t milliseconds) {
  timespec at;
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += milliseconds / 1000;
  at.tv_nsec += (long)(milliseconds % 1000) * 1000000;
  if (at.tv_nsec >= 1000000000) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000;
  }
  return at;
}

// The index of the first ended thread among `handles`, else `count`.
// Called with gThreadLock held.
uint32_t FirstEnded(const PlatformHandle* handles, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (((const MemoryThread*)handles[i])->ended) return i;
  return count;
}

}  // namespace

PlatformHandle MemoryFileHandle(MemoryFile* file) { return file; }
PlatformHandle MemoryOutputHandle(MemoryOutput* output) { return output; }

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
// Decoded bytes cost a copy only where they are kept: the launcher's own
// write would hand them to the system's cache, which is not timed here.
uint32_t PlatformWriteAt(PlatformHandle handle, uint64_t offset, const void* buffer,
                         uint32_t count) {
  MemoryOutput* output = (MemoryOutput*)handle;
  if (offset > output->size || count > output->size - offset) return 0;
  if (output->data) memcpy(output->data + offset, buffer, count);
  __atomic_fetch_add(&output->written, count, __ATOMIC_RELAXED);
  return count;
}
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
PlatformHandle PlatformStartThread(void (*run)(void*), void* context) {
  MemoryThread* thread = (MemoryThread*)malloc(sizeof(MemoryThread));
  if (!thread) return nullptr;
  *thread = {pthread_t(), run, context, false};
  if (pthread_create(&thread->thread, nullptr, RunThread, thread) != 0) {
    free(thread);
    return nullptr;
  }
  return thread;
}

void PlatformJoinThread(PlatformHandle handle) {
  MemoryThread* thread = (MemoryThread*)handle;
  pthread_join(thread->thread, nullptr);
  free(thread);
}

// Only decoding threads are waited for here: without BeginFeedback there
// is no event of another start among the handles.
uint32_t PlatformWaitForAnyOrInput(const PlatformHandle* handles, uint32_t count,
                                   uint32_t milliseconds) {
  const timespec deadline = DeadlineAfter(milliseconds);
  pthread_mutex_lock(&gThreadLock);
  uint32_t ended = FirstEnded(handles, count);
  while (ended == count &&
         pthread_cond_timedwait(&gThreadEnded, &gThreadLock, &deadline) != ETIMEDOUT)
    ended = FirstEnded(handles, count);
  if (ended == count) ended = FirstEnded(handles, count);
  pthread_mutex_unlock(&gThreadLock);
  return ended;
}

// A clock that stands still: the progress window never becomes due, so the
// decode path runs as in a launch that shows none.
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
