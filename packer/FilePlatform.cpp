// SPDX-License-Identifier: 0BSD
// Platform.h over standard C++ files, for verify and extract. It needs no
// Windows API, so the same file serves the host and the Windows packer.
// verify decodes a file set's blocks on several threads: reads of the one
// file and the record of allocations are therefore locked.
#include "packer/FilePlatform.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unordered_set>

#include "packer/Threads.h"

namespace {

struct OpenFile {
  std::ifstream stream;
  uint64_t size = 0;
  packer::SharedLock lock;  // a seek and its read go together
};

std::u16string& ModulePath() {
  static std::u16string path;
  return path;
}

OpenFile* AsFile(PlatformHandle handle) { return (OpenFile*)handle; }

}  // namespace

void SetFilePlatformModulePath(const std::u16string& path) {
  ModulePath() = path;
}

std::vector<CapturedMessage>& CapturedMessages() {
  static std::vector<CapturedMessage> messages;
  return messages;
}

namespace {
size_t gAllocationLimit = SIZE_MAX;
packer::SharedLock gBlocksLock;
// Blocks the launcher's code holds: a process exit would return them.
std::unordered_set<void*>& LiveBlocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}
}  // namespace

void SetFilePlatformAllocationLimit(size_t bytes) { gAllocationLimit = bytes; }

void ReleaseFilePlatformAllocations() {
  packer::Exclusive locked(gBlocksLock);
  for (void* block : LiveBlocks()) std::free(block);
  LiveBlocks().clear();
}

void* PlatformAllocate(size_t size) {
  void* block = size > gAllocationLimit ? nullptr : std::malloc(size);
  packer::Exclusive locked(gBlocksLock);
  if (block) LiveBlocks().insert(block);
  return block;
}
void* PlatformReallocate(void* block, size_t size) {
  // Locked throughout: the old address may be handed out again at once.
  packer::Exclusive locked(gBlocksLock);
  void* resized = size > gAllocationLimit ? nullptr : std::realloc(block, size);
  if (resized) {
    LiveBlocks().erase(block);
    LiveBlocks().insert(resized);
  }
  return resized;
}
void PlatformFree(void* block) {
  {
    packer::Exclusive locked(gBlocksLock);
    LiveBlocks().erase(block);
  }
  std::free(block);
}
// Ordinary memory: its pages cost nothing on the host until they are touched.

void PlatformExitProcess(uint32_t exitCode) { throw PlatformExit{exitCode}; }

// Never called: the window station is invisible.
void PlatformShowMessage(const WideChar*, const WideChar*, uint32_t) {}

PlatformHandle PlatformRegisterEventSource(const WideChar*) {
  return (PlatformHandle)&CapturedMessages();
}

bool PlatformReportErrorEvent(PlatformHandle, uint32_t eventId,
                              const WideChar* const* strings, uint16_t) {
  CapturedMessages().push_back({strings[0], eventId});
  return true;
}

void PlatformDeregisterEventSource(PlatformHandle) {}

uint32_t PlatformGetModuleFileName(WideChar* buffer, uint32_t capacity) {
  // GetModuleFileNameW truncates to the capacity and then returns it.
  const std::u16string& path = ModulePath();
  if (capacity == 0) return 0;
  uint32_t count = (uint32_t)path.size();
  if (count >= capacity) count = capacity - 1;
  path.copy(buffer, count);
  buffer[count] = 0;
  return path.size() >= capacity ? capacity : count;
}

// Where nobody sees a box the launcher says the most: the box's text and
// the event's ID.
bool PlatformQueryWindowStationVisible(bool* visible) {
  *visible = false;
  return true;
}

uint32_t PlatformLastError() { return 0; }

const WideChar* PlatformGetCommandLine() { return u""; }

PlatformHandle PlatformOpenForReading(const WideChar* path) {
  OpenFile* file = new OpenFile;
  std::filesystem::path name{std::u16string(path)};
  std::error_code code;
  file->size = std::filesystem::file_size(name, code);
  file->stream.open(name, std::ios::binary);
  if (code || !file->stream) {
    delete file;
    return PLATFORM_INVALID_HANDLE;
  }
  return file;
}

// verify never writes, starts or asks the system anything: the calls below
// answer "failed" so that any use of them would show as a launcher failure
// instead of touching the machine.
PlatformHandle PlatformCreateNewForWriting(const WideChar*) {
  return PLATFORM_INVALID_HANDLE;
}

bool PlatformSeek(PlatformHandle handle, int32_t offset) {
  if (offset < 0) return false;
  OpenFile* file = AsFile(handle);
  packer::Exclusive locked(file->lock);
  file->stream.clear();
  file->stream.seekg(offset, std::ios::beg);
  return (bool)file->stream;
}

namespace {
uint32_t ReadHere(OpenFile* file, void* buffer, uint32_t count) {
  file->stream.read((char*)buffer, (std::streamsize)count);
  uint32_t read = (uint32_t)file->stream.gcount();
  file->stream.clear();
  return read;
}
}  // namespace

uint32_t PlatformRead(PlatformHandle handle, void* buffer, uint32_t count) {
  OpenFile* file = AsFile(handle);
  packer::Exclusive locked(file->lock);
  return ReadHere(file, buffer, count);
}

uint32_t PlatformWrite(PlatformHandle, const void*, uint32_t) { return 0; }

uint32_t PlatformReadAt(PlatformHandle handle, uint64_t offset, void* buffer,
                        uint32_t count) {
  OpenFile* file = AsFile(handle);
  packer::Exclusive locked(file->lock);
  file->stream.clear();
  file->stream.seekg((std::streamoff)offset, std::ios::beg);
  if (!file->stream) return 0;
  return ReadHere(file, buffer, count);
}

uint32_t PlatformWriteAt(PlatformHandle, uint64_t, const void*, uint32_t) {
  return 0;
}
PlatformHandle PlatformOpenForDeletion(const WideChar*) {
  return PLATFORM_INVALID_HANDLE;
}
bool PlatformCreateFolder(const WideChar*) { return false; }
uint32_t PlatformGetSystemFolder(WideChar*, uint32_t) { return 0; }

uint64_t PlatformGetFileSize(PlatformHandle handle) {
  return AsFile(handle)->size;
}

void PlatformCloseHandle(PlatformHandle handle) {
  if (handle && handle != PLATFORM_INVALID_HANDLE) delete AsFile(handle);
}

void PlatformDeleteFile(const WideChar*) {}
bool PlatformSetDeleteOnClose(PlatformHandle, bool) { return false; }
bool PlatformPathExists(const WideChar*) { return false; }
void PlatformGetTempPath(WideChar* buffer, uint32_t capacity) {
  if (capacity) buffer[0] = 0;
}
bool PlatformGetTempPath2(WideChar*, uint32_t) { return false; }
bool PlatformGetFileIdentity(PlatformHandle, FileIdentity*) { return false; }
bool PlatformGetFileIndex(PlatformHandle, uint64_t*) { return false; }
bool PlatformCreatePrivateFolder(const WideChar*, const FolderAccess&) {
  return false;
}
void PlatformRemoveFolder(const WideChar*) {}
bool PlatformGenerateRandom(void*, uint32_t) { return false; }

// One processor: the launcher's code then decodes on the calling thread.
uint32_t PlatformProcessorCount() { return 1; }
uint64_t PlatformAvailableMemory() { return 0; }
PlatformHandle PlatformStartThread(void (*)(void*), void*) { return nullptr; }
void PlatformJoinThread(PlatformHandle) {}
uint32_t PlatformWaitForAnyOrInput(const PlatformHandle*, uint32_t count, uint32_t) {
  return count;
}

// No window: verify's window station is invisible.
uint64_t PlatformTickCount() { return 0; }
const uint8_t* PlatformOwnResource(uint32_t, uint32_t, uint32_t*) { return nullptr; }
bool PlatformOpenProgressWindow(const WideChar*, const WideChar*, const WideChar*) {
  return false;
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

bool PlatformGetVersion(OsVersion*) { return false; }
PlatformHandle PlatformOpenCurrentVersionKey() { return nullptr; }
bool PlatformQueryValue(PlatformHandle, const WideChar*, void*, uint32_t*) {
  return false;
}
void PlatformCloseKey(PlatformHandle) {}

const WideChar* PlatformGetUniversalName(const WideChar*, void*, uint32_t*) {
  return nullptr;
}

bool PlatformCreateProcess(WideChar*, const WideChar*, PlatformHandle*) {
  return false;
}
bool PlatformShellExecute(const WideChar*, const WideChar*, const WideChar*,
                          PlatformHandle*) {
  return false;
}
void PlatformWaitForProcess(PlatformHandle) {}
bool PlatformGetExitCode(PlatformHandle, uint32_t*) { return false; }

void* PlatformAllocateAdministratorsSid() { return nullptr; }
void PlatformFreeSid(void*) {}
void* PlatformFindCheckTokenMembership() { return nullptr; }
bool PlatformCallCheckTokenMembership(void*, void*, bool*) { return false; }
