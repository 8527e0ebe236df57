// SPDX-License-Identifier: 0BSD
// The fake platform layer behind the host tests.
#include "tests/unit/FakePlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct OpenFile {
  std::u16string path;
  uint64_t position = 0;
  bool writable = false;
  bool deleteOnClose = false;
  bool deletable = false;  // opened for deletion only
};

// File identities: a file made or swapped in gets the next index.
std::map<std::u16string, uint32_t> gFileIndex;
uint32_t gNextFileIndex = 1;

FakeSystem* gFake = nullptr;
std::map<intptr_t, OpenFile> gHandles;
intptr_t gNextHandle = 0x100;
int gSidToken = 0;
int gEntryPointToken = 0;
// Blocks the code under test still holds, with their sizes; a process end
// hands them back to the system, so ResetFake frees them. Never destroyed,
// so the blocks stay reachable for a leak checker that runs after static
// destructors.
std::map<void*, size_t>& gLiveBlocks = *new std::map<void*, size_t>();

PlatformHandle NewHandle(OpenFile file) {
  intptr_t id = gNextHandle++;
  gHandles[id] = std::move(file);
  ++Fake().openHandles;
  return (PlatformHandle)id;
}

OpenFile* Lookup(PlatformHandle handle) {
  auto it = gHandles.find((intptr_t)handle);
  return it == gHandles.end() ? nullptr : &it->second;
}

std::u16string FolderOf(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? u"" : path.substr(0, slash + 1);
}

}  // namespace

FakeSystem& Fake() {
  if (!gFake) gFake = new FakeSystem();
  return *gFake;
}

void ResetFake() {
  for (const auto& block : gLiveBlocks) std::free(block.first);
  gLiveBlocks.clear();
  delete gFake;
  gFake = new FakeSystem();
  gHandles.clear();
  gFileIndex.clear();
}

std::u16string FakePrivateFolderName(int draw) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016x", draw & 0xFF);
  return u"sl-" + U16(hex) + u".tmp";
}

std::u16string U16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += unit < 128 ? (char)unit : '?';
  return out;
}

void FakeSystem::SetRegistryText(const std::u16string& name,
                                 const std::u16string& text) {
  std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  registry[name] = bytes;
}

void FakeSystem::SetArguments(const std::u16string& rawArguments) {
  commandLine = u"\"" + modulePath + u"\"";
  if (!rawArguments.empty()) commandLine += u" " + rawArguments;
}

void FakeSystem::SwapFile(const std::u16string& path) {
  gFileIndex[path] = gNextFileIndex++;
}

// --- Platform implementation ------------------------------------------------

static bool AllocationRefused(size_t size) {
  FakeSystem& fake = Fake();
  ++fake.allocations;
  if (fake.failAllocationNumber && *fake.failAllocationNumber == fake.allocations)
    return true;
  return fake.maxAllocationBytes && size > *fake.maxAllocationBytes;
}

static void TrackBlock(void* block, size_t size) {
  FakeSystem& fake = Fake();
  gLiveBlocks[block] = size;
  fake.allocatedBytes += size;
  fake.peakAllocatedBytes = std::max(fake.peakAllocatedBytes, fake.allocatedBytes);
}

static void ForgetBlock(void* block) {
  auto it = gLiveBlocks.find(block);
  if (it == gLiveBlocks.end()) return;
  Fake().allocatedBytes -= it->second;
  gLiveBlocks.erase(it);
}

void* PlatformAllocate(size_t size) {
  FakeSystem& fake = Fake();
  if (AllocationRefused(size)) return nullptr;
  ++fake.liveAllocations;
  void* block = std::malloc(size);
  TrackBlock(block, size);
  return block;
}

void* PlatformReallocate(void* block, size_t size) {
  if (AllocationRefused(size)) return nullptr;
  ForgetBlock(block);
  void* resized = std::realloc(block, size);
  TrackBlock(resized, size);
  return resized;
}

void PlatformFree(void* block) {
  --Fake().liveAllocations;
  ForgetBlock(block);
  std::free(block);
}

void PlatformExitProcess(uint32_t exitCode) {
  Fake().exitCode = exitCode;
  throw FakeExit{exitCode};
}

void PlatformShowMessage(const WideChar* text, const WideChar* caption,
                         uint32_t style) {
  Fake().boxes.push_back({text, caption, style});
  if (Fake().progressWindow && Fake().progressWindow->open)
    Fake().boxOverWindow = true;
}

bool PlatformQueryWindowStationVisible(bool* visible) {
  if (!Fake().windowStationVisible) return false;
  *visible = *Fake().windowStationVisible;
  return true;
}

PlatformHandle PlatformRegisterEventSource(const WideChar* source) {
  FakeSystem& fake = Fake();
  if (fake.registerEventSourceFails) return nullptr;
  ++fake.eventSourcesOpen;
  fake.events.push_back({source, 0, {}});  // completed by the report
  return (PlatformHandle)&fake.events;
}

bool PlatformReportErrorEvent(PlatformHandle source, uint32_t eventId,
                              const WideChar* const* strings, uint16_t count) {
  FakeSystem& fake = Fake();
  if (source != (PlatformHandle)&fake.events || fake.events.empty()) return false;
  FakeEvent& event = fake.events.back();
  if (fake.reportEventFails) {
    fake.events.pop_back();
    return false;
  }
  event.eventId = eventId;
  for (uint16_t i = 0; i < count; ++i) event.strings.push_back(strings[i]);
  return true;
}

void PlatformDeregisterEventSource(PlatformHandle) {
  --Fake().eventSourcesOpen;
}

uint32_t PlatformLastError() { return Fake().startError; }

uint32_t PlatformGetModuleFileName(WideChar* buffer, uint32_t capacity) {
  const std::u16string& path = Fake().modulePath;
  uint32_t length = (uint32_t)std::min<size_t>(path.size(), capacity - 1);
  std::memcpy(buffer, path.data(), length * 2);
  buffer[length] = 0;
  return length;
}

const WideChar* PlatformGetCommandLine() { return Fake().commandLine.c_str(); }

PlatformHandle PlatformOpenForReading(const WideChar* path) {
  FakeSystem& fake = Fake();
  const bool ownFile = path == fake.modulePath;
  if (!ownFile) {
    fake.calls.push_back(u"open " + std::u16string(path));
    if (fake.copySwappedBeforeReopen) gFileIndex[path] = gNextFileIndex++;
  }
  if (fake.openForReadingFails || (!ownFile && fake.reopenFails) ||
      !fake.files.count(path))
    return PLATFORM_INVALID_HANDLE;
  return NewHandle({path, 0, false});
}

PlatformHandle PlatformCreateNewForWriting(const WideChar* path) {
  FakeSystem& fake = Fake();
  std::u16string folder = FolderOf(path);
  if (fake.takenAtCreation.erase(path)) fake.files[path].bytes = {0x4D, 0x5A};
  if (fake.unwritableFolders.count(folder) || fake.folders.count(path) ||
      fake.files.count(path))
    return PLATFORM_INVALID_HANDLE;
  fake.files[path] = FakeFile();
  fake.createdFiles.push_back(path);
  fake.calls.push_back(u"create " + std::u16string(path));
  gFileIndex[path] = gNextFileIndex++;
  return NewHandle({path, 0, true});
}

bool PlatformSeek(PlatformHandle file, int32_t offset) {
  OpenFile* open = Lookup(file);
  if (!open || Fake().seekFails || offset < 0) return false;
  open->position = (uint64_t)offset;
  return true;
}

uint32_t PlatformRead(PlatformHandle file, void* buffer, uint32_t count) {
  OpenFile* open = Lookup(file);
  if (!open) return 0;
  FakeFile& data = Fake().files[open->path];
  if (open->position >= data.bytes.size()) return 0;
  uint64_t available = data.bytes.size() - open->position;
  uint32_t n = (uint32_t)std::min<uint64_t>({available, count, data.maxBytesPerRead});
  if (n) std::memcpy(buffer, data.bytes.data() + open->position, n);
  open->position += n;
  return n;
}

uint32_t PlatformWrite(PlatformHandle file, const void* buffer,
                       uint32_t count) {
  OpenFile* open = Lookup(file);
  if (!open || !open->writable) return 0;
  FakeFile& data = Fake().files[open->path];
  uint32_t n = count;
  if (Fake().maxBytesPerWrite) n = std::min(n, *Fake().maxBytesPerWrite);
  if (Fake().failWriteAfter) {
    uint64_t left = *Fake().failWriteAfter > open->position
                        ? *Fake().failWriteAfter - open->position
                        : 0;
    n = (uint32_t)std::min<uint64_t>(n, left);
  }
  if (data.bytes.size() < open->position + n) data.bytes.resize(open->position + n);
  if (n) std::memcpy(data.bytes.data() + open->position, buffer, n);
  open->position += n;
  return n;
}

uint32_t PlatformReadAt(PlatformHandle file, uint64_t offset, void* buffer,
                        uint32_t count) {
  OpenFile* open = Lookup(file);
  if (!open) return 0;
  Fake().readOffsets.push_back(offset);
  open->position = offset;
  return PlatformRead(file, buffer, count);
}

uint32_t PlatformWriteAt(PlatformHandle file, uint64_t offset,
                         const void* buffer, uint32_t count) {
  OpenFile* open = Lookup(file);
  if (!open) return 0;
  open->position = offset;
  return PlatformWrite(file, buffer, count);
}

uint64_t PlatformGetFileSize(PlatformHandle file) {
  OpenFile* open = Lookup(file);
  if (!open) return UINT32_MAX;
  FakeFile& data = Fake().files[open->path];
  return data.reportedSize ? *data.reportedSize : data.bytes.size();
}

void PlatformCloseHandle(PlatformHandle handle) {
  OpenFile* open = Lookup(handle);
  if (open && open->path != Fake().modulePath)
    Fake().calls.push_back(u"close " + open->path);
  if (open && open->writable) Fake().writtenCopy = Fake().files[open->path].bytes;
  if (open && open->deleteOnClose) {
    Fake().deletedFiles.push_back(open->path);
    Fake().files.erase(open->path);
  }
  if (gHandles.erase((intptr_t)handle)) --Fake().openHandles;
}

void PlatformDeleteFile(const WideChar* path) {
  Fake().calls.push_back(u"delete " + std::u16string(path));
  Fake().deletedFiles.push_back(path);
  Fake().files.erase(path);
}

PlatformHandle PlatformOpenForDeletion(const WideChar* path) {
  FakeSystem& fake = Fake();
  fake.calls.push_back(u"open-delete " + std::u16string(path));
  if (!fake.files.count(path)) return PLATFORM_INVALID_HANDLE;
  OpenFile file = {path, 0, false};
  file.deletable = true;
  return NewHandle(file);
}

bool PlatformSetDeleteOnClose(PlatformHandle file, bool deleteOnClose) {
  FakeSystem& fake = Fake();
  OpenFile* open = Lookup(file);
  if (!open || !(open->writable || open->deletable) || fake.deleteOnCloseFails)
    return false;
  if (!deleteOnClose && fake.clearingDeleteMarkFails) return false;
  fake.calls.push_back(deleteOnClose ? u"mark" : u"unmark");
  open->deleteOnClose = deleteOnClose;
  return true;
}

bool PlatformGetFileIndex(PlatformHandle file, uint64_t* index) {
  OpenFile* open = Lookup(file);
  if (!open || Fake().fileIdentityFails) return false;
  *index = gFileIndex[open->path];
  return true;
}

bool PlatformGetFileIdentity(PlatformHandle file, FileIdentity* identity) {
  OpenFile* open = Lookup(file);
  if (!open || Fake().fileIdentityFails) return false;
  *identity = {0x1234, 0, gFileIndex[open->path]};
  return true;
}

bool PlatformCreatePrivateFolder(const WideChar* path,
                                 const FolderAccess& access) {
  FakeSystem& fake = Fake();
  fake.calls.push_back(u"folder " + std::u16string(path));
  if (fake.unwritableFolders.count(FolderOf(path)) || fake.folders.count(path) ||
      fake.files.count(path))
    return false;
  fake.folders.insert(path);
  fake.privateFolders[path] = access;
  return true;
}

bool PlatformCreateFolder(const WideChar* path) {
  FakeSystem& fake = Fake();
  fake.calls.push_back(u"mkdir " + std::u16string(path));
  if (fake.unwritableFolders.count(FolderOf(path)) || fake.folders.count(path) ||
      fake.files.count(path))
    return false;
  fake.folders.insert(path);
  return true;
}

void PlatformRemoveFolder(const WideChar* path) {
  FakeSystem& fake = Fake();
  fake.calls.push_back(u"remove " + std::u16string(path));
  const std::u16string inside = std::u16string(path) + u"\\";
  for (const auto& file : fake.files)
    if (file.first.compare(0, inside.size(), inside) == 0) return;
  fake.folders.erase(path);
}

bool PlatformGenerateRandom(void* buffer, uint32_t count) {
  FakeSystem& fake = Fake();
  if (fake.randomFails) return false;
  uint8_t* bytes = (uint8_t*)buffer;
  std::memset(bytes, 0, count);
  if (count) bytes[count - 1] = (uint8_t)++fake.randomDraws;
  return true;
}

bool PlatformPathExists(const WideChar* path) {
  return Fake().files.count(path) || Fake().folders.count(path);
}

static void CopyTempPath(const std::u16string& path, WideChar* buffer,
                         uint32_t capacity) {
  if (path.size() + 1 > capacity) return;  // Windows leaves it untouched
  std::memcpy(buffer, path.c_str(), (path.size() + 1) * 2);
}

void PlatformGetTempPath(WideChar* buffer, uint32_t capacity) {
  CopyTempPath(Fake().tempPath, buffer, capacity);
}

bool PlatformGetTempPath2(WideChar* buffer, uint32_t capacity) {
  if (!Fake().tempPath2) return false;
  CopyTempPath(*Fake().tempPath2, buffer, capacity);
  return true;
}

uint32_t PlatformProcessorCount() { return Fake().processors; }
uint64_t PlatformAvailableMemory() { return Fake().availableMemory; }

// Threads run one after the other, each when it is joined: the runs are
// deterministic, and what one thread's failure does to the others shows.
PlatformHandle PlatformStartThread(void (*run)(void*), void* context) {
  FakeSystem& fake = Fake();
  if (fake.threadStartsLeft == 0) return nullptr;
  if (fake.threadStartsLeft > 0) --fake.threadStartsLeft;
  fake.threads.push_back({run, context, false});
  fake.calls.push_back(u"thread");
  return NewHandle({u"<thread>", fake.threads.size() - 1, false});
}

namespace {

// Runs a started thread that has not run yet; true when `handle` is one.
bool RunThreadOf(PlatformHandle handle) {
  OpenFile* open = Lookup(handle);
  if (!open || open->path != u"<thread>") return false;
  FakeThread started = Fake().threads[open->position];
  if (!started.ran) {
    Fake().threads[open->position].ran = true;
    started.run(started.context);
  }
  return true;
}

}  // namespace

void PlatformJoinThread(PlatformHandle thread) {
  if (!RunThreadOf(thread)) return;
  PlatformCloseHandle(thread);
}

namespace {

// The fake event behind a handle, or null for any other handle.
FakeSessionEvent* EventOf(PlatformHandle handle) {
  for (auto& event : Fake().sessionEvents)
    if ((PlatformHandle)&event.second == handle) return &event.second;
  return nullptr;
}

}  // namespace

// An event that is signalled wakes the wait (and is reset); otherwise the
// first thread ends (it runs now). A message arrives when nothing else does.
uint32_t PlatformWaitForAnyOrInput(const PlatformHandle* handles, uint32_t count,
                                   uint32_t) {
  FakeSystem& fake = Fake();
  ++fake.waitsForInput;
  for (uint32_t i = 0; i < count; ++i) {
    FakeSessionEvent* event = EventOf(handles[i]);
    if (event && event->pending > 0) {
      --event->pending;
      return i;
    }
  }
  if (fake.inputBeforeThreads > 0) {
    --fake.inputBeforeThreads;
    return count;
  }
  for (uint32_t i = 0; i < count; ++i)
    if (RunThreadOf(handles[i])) return i;
  return count;
}

const uint8_t* PlatformOwnResource(uint32_t type, uint32_t id, uint32_t* size) {
  auto found = Fake().resources.find({type, id});
  if (found == Fake().resources.end()) return nullptr;
  *size = (uint32_t)found->second.size();
  return found->second.data();
}

uint64_t PlatformTickCount() {
  FakeSystem& fake = Fake();
  fake.tick += fake.tickStep;
  return fake.tick;
}

bool PlatformOpenProgressWindow(const WideChar* caption, const WideChar* text,
                                const WideChar* cancel) {
  FakeSystem& fake = Fake();
  fake.calls.push_back(u"window open");
  if (fake.progressWindowFails) return false;
  fake.progressWindow = FakeWindow{caption, text, cancel, {}, true};
  return true;
}

void PlatformSetProgressPosition(uint32_t permyriad) {
  if (Fake().progressWindow) Fake().progressWindow->positions.push_back(permyriad);
}

bool PlatformPumpProgressWindow() {
  FakeSystem& fake = Fake();
  ++fake.pumps;
  if (fake.cancelAtPump && fake.pumps >= *fake.cancelAtPump) return true;
  return false;
}

void PlatformRaiseProgressWindow() { Fake().calls.push_back(u"window raise"); }

void PlatformCloseProgressWindow() {
  FakeSystem& fake = Fake();
  if (fake.progressWindow && fake.progressWindow->open) {
    fake.progressWindow->open = false;
    fake.calls.push_back(u"window close");
  }
}

void PlatformHandOverProgressWindow(PlatformHandle, uint32_t) {
  Fake().calls.push_back(u"window hand over");
  PlatformCloseProgressWindow();
}

PlatformHandle PlatformCreateSessionEvent(const WideChar* name, bool* existed) {
  FakeSystem& fake = Fake();
  if (fake.sessionEventFails) return nullptr;
  *existed = fake.otherStarts.count(name) != 0;
  FakeSessionEvent& event = fake.sessionEvents[name];
  const std::u16string text = name;
  if (!*existed && text.size() > 5 && text.compare(text.size() - 5, 5, u"-show") == 0)
    event.pending = fake.requestsFromOtherStarts;
  return (PlatformHandle)&event;
}

// The other start, asked to show its window, answers when the test says so.
void PlatformSignalEvent(PlatformHandle handle) {
  FakeSystem& fake = Fake();
  for (auto& event : fake.sessionEvents) {
    if ((PlatformHandle)&event.second != handle) continue;
    fake.signalledEvents.push_back(event.first);
    const std::u16string& name = event.first;
    if (fake.otherStartAnswers && name.size() > 5 &&
        name.compare(name.size() - 5, 5, u"-show") == 0)
      fake.sessionEvents[name + u"n"].pending++;
  }
}

bool PlatformEventSignalled(PlatformHandle handle) {
  FakeSessionEvent* event = EventOf(handle);
  if (!event || event->pending == 0) return false;
  --event->pending;
  return true;
}

void PlatformAllowAnyForeground() { Fake().calls.push_back(u"allow foreground"); }

bool PlatformGetVersion(OsVersion* version) {
  if (!Fake().version) return false;
  *version = *Fake().version;
  return true;
}

PlatformHandle PlatformOpenCurrentVersionKey() {
  if (!Fake().registryKeyOpens) return nullptr;
  ++Fake().keyOpens;
  return (PlatformHandle)0x4B4559;
}

bool PlatformQueryValue(PlatformHandle, const WideChar* name, void* buffer,
                        uint32_t* size) {
  FakeSystem& fake = Fake();
  fake.queriedValues.push_back(name);
  auto it = fake.registry.find(name);
  if (it == fake.registry.end()) return false;
  if (it->second.size() > *size) {
    *size = (uint32_t)it->second.size();
    return false;  // ERROR_MORE_DATA
  }
  std::memcpy(buffer, it->second.data(), it->second.size());
  *size = (uint32_t)it->second.size();
  return true;
}

void PlatformCloseKey(PlatformHandle) { ++Fake().keyCloses; }

const WideChar* PlatformGetUniversalName(const WideChar* path, void* buffer,
                                         uint32_t* size) {
  FakeSystem& fake = Fake();
  ++fake.universalNameCalls;
  auto it = fake.universalNames.find(path);
  if (it == fake.universalNames.end()) return nullptr;
  // Laid out like UNIVERSAL_NAME_INFOW: a pointer, then the text it names.
  size_t needed = sizeof(void*) + (it->second.size() + 1) * 2;
  if (needed > *size) return nullptr;
  WideChar* text = (WideChar*)((char*)buffer + sizeof(void*));
  std::memcpy(text, it->second.c_str(), (it->second.size() + 1) * 2);
  *(WideChar**)buffer = text;
  return text;
}

uint32_t PlatformGetSystemFolder(WideChar* buffer, uint32_t capacity) {
  const std::u16string& folder = Fake().systemFolder;
  if (folder.size() >= capacity) return 0;
  std::memcpy(buffer, folder.c_str(), (folder.size() + 1) * sizeof(WideChar));
  return (uint32_t)folder.size();
}

bool PlatformCreateProcess(WideChar* commandLine,
                           const WideChar* currentDirectory,
                           PlatformHandle* process) {
  FakeSystem& fake = Fake();
  if (fake.createProcessFails) return false;
  FakeStart start{};
  start.throughShell = false;
  start.commandLine = commandLine;
  start.currentDirectory = currentDirectory;
  fake.starts.push_back(start);
  fake.calls.push_back(u"start");
  *process = NewHandle({u"<process>", 0, false});
  return true;
}

bool PlatformShellExecute(const WideChar* verb, const WideChar* file,
                          const WideChar* parameters, PlatformHandle* process) {
  FakeSystem& fake = Fake();
  if (fake.shellExecuteFails) return false;
  FakeStart start{};
  start.throughShell = true;
  start.verb = verb;
  start.file = file;
  start.parameters = parameters;
  fake.starts.push_back(start);
  fake.calls.push_back(u"start");
  *process = NewHandle({u"<process>", 0, false});
  return true;
}

void PlatformWaitForProcess(PlatformHandle) {
  ++Fake().waits;
  Fake().calls.push_back(u"wait");
  if (Fake().onWait) Fake().onWait();
}

bool PlatformGetExitCode(PlatformHandle process, uint32_t* exitCode) {
  if (!Lookup(process)) ++Fake().exitCodeReadsAfterClose;
  if (!Fake().setupExitCode) return false;
  *exitCode = *Fake().setupExitCode;
  return true;
}

void* PlatformAllocateAdministratorsSid() {
  if (Fake().sidAllocationFails) return nullptr;
  return &gSidToken;
}

void PlatformFreeSid(void*) { ++Fake().sidFrees; }

void* PlatformFindCheckTokenMembership() {
  FakeSystem& fake = Fake();
  int lookup = fake.membershipLookups++;
  bool found = lookup < (int)fake.checkTokenMembershipFound.size()
                   ? fake.checkTokenMembershipFound[lookup]
                   : true;
  return found ? &gEntryPointToken : nullptr;
}

bool PlatformCallCheckTokenMembership(void* entryPoint, void*, bool* isMember) {
  if (entryPoint != &gEntryPointToken) return false;
  if (Fake().checkTokenMembershipCallFails) return false;
  *isMember = Fake().isAdministrator;
  return true;
}
