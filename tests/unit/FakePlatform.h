// SPDX-License-Identifier: 0BSD
// A scriptable stand-in for Windows, for host tests of the launcher's code.
//
// Tests set up files, registry values, the version, the command line and
// failures on Fake(), run launcher code, and read back what it did: boxes
// shown, files written, processes started, the exit code. Ending the process
// throws FakeExit so a test can go on after a fatal path.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

struct FakeExit {
  uint32_t exitCode;
};

struct FakeBox {
  std::u16string text;
  std::u16string caption;
  uint32_t style;
};

struct FakeEvent {
  std::u16string source;
  uint32_t eventId;
  std::vector<std::u16string> strings;
};

struct FakeFile {
  std::vector<uint8_t> bytes;
  uint32_t maxBytesPerRead = UINT32_MAX;  // smaller values give short reads
  std::optional<uint64_t> reportedSize;   // GetFileSize override (huge files)
};

struct FakeStart {
  bool throughShell;
  std::u16string commandLine;       // direct start
  std::u16string currentDirectory;  // direct start
  std::u16string verb;              // shell start
  std::u16string file;              // shell start
  std::u16string parameters;        // shell start
};

struct FakeWindow {
  std::u16string caption;
  std::u16string text;
  std::u16string cancel;
  std::vector<uint32_t> positions;  // of the bar, in order
  bool open;
};

struct FakeSessionEvent {
  int pending = 0;  // signals not yet seen by a wait
};

struct FakeThread {
  void (*run)(void*);
  void* context;
  bool ran;
};

struct FakeSystem {
  // --- scripted inputs ---
  std::u16string modulePath = u"C:\\Downloads\\setup.exe";
  std::u16string commandLine = u"\"C:\\Downloads\\setup.exe\"";
  std::map<std::u16string, FakeFile> files;
  std::set<std::u16string> folders;
  std::set<std::u16string> unwritableFolders;  // creating files there fails
  // Files another process creates between the existence test and the
  // creation: absent until the launcher tries to create them.
  std::set<std::u16string> takenAtCreation;
  std::optional<uint32_t> maxBytesPerWrite;    // a full disk
  std::optional<uint64_t> failWriteAfter;      // a disk that fills up: bytes
                                               // written before writes fail
  bool deleteOnCloseFails = false;             // as before Vista
  bool clearingDeleteMarkFails = false;
  bool openForReadingFails = false;
  bool reopenFails = false;        // opening any file but the launcher's own
  bool fileIdentityFails = false;  // GetFileInformationByHandle
  // The copy is swapped for another file between its close and its reopen.
  bool copySwappedBeforeReopen = false;
  std::optional<std::u16string> tempPath2;     // none: kernel32 lacks it
  bool randomFails = false;
  bool seekFails = false;
  std::u16string tempPath = u"C:\\Users\\me\\AppData\\Local\\Temp\\";
  std::u16string systemFolder = u"C:\\Windows\\system32";
  std::optional<OsVersion> version = OsVersion{10, 0};
  bool registryKeyOpens = true;
  std::map<std::u16string, std::vector<uint8_t>> registry;
  std::map<std::u16string, std::u16string> universalNames;
  bool createProcessFails = false;
  bool shellExecuteFails = false;
  uint32_t startError = 0;                      // GetLastError after a failed start
  std::optional<uint32_t> setupExitCode = 0;    // none: GetExitCodeProcess fails
  std::optional<bool> windowStationVisible = true;  // none: the query fails
  bool registerEventSourceFails = false;  // the event log service is stopped
  bool reportEventFails = false;
  bool sidAllocationFails = false;
  std::vector<bool> checkTokenMembershipFound;  // per lookup; later lookups find it
  bool checkTokenMembershipCallFails = false;
  bool isAdministrator = false;
  std::optional<int> failAllocationNumber;  // 1-based count of allocations
  std::optional<size_t> maxAllocationBytes;  // larger requests fail
  std::function<void()> onWait;             // runs inside the wait
  uint32_t processors = 1;                  // in the affinity mask
  uint64_t availableMemory = 8ull << 30;    // physical, free
  int threadStartsLeft = -1;                // CreateThread fails after these
  uint64_t tickStep = 1;                    // ms each tick-count read adds
  bool progressWindowFails = false;
  std::optional<int> cancelAtPump;          // the user cancels at this pump
  std::set<std::u16string> otherStarts;     // session events already made
  bool sessionEventFails = false;
  int requestsFromOtherStarts = 0;          // later starts ask this often
  bool otherStartAnswers = false;           // the first start shows for us
  int inputBeforeThreads = 0;               // messages before a thread ends
  std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> resources;

  // --- recorded outputs ---
  std::vector<FakeBox> boxes;
  std::vector<FakeEvent> events;  // written to the Application log
  int eventSourcesOpen = 0;       // registered and not yet deregistered
  std::optional<uint32_t> exitCode;
  std::vector<FakeStart> starts;
  std::vector<std::u16string> deletedFiles;  // by name or on close
  std::vector<std::u16string> createdFiles;
  std::vector<uint8_t> writtenCopy;  // a written file's bytes when closed
  std::map<std::u16string, FolderAccess> privateFolders;  // created, by path
  int randomDraws = 0;
  // What happened to the copy and its folder, in order: "folder PATH",
  // "create PATH", "mark", "unmark", "close PATH", "open PATH", "start",
  // "wait", "delete PATH", "remove PATH", "mkdir PATH", "open-delete PATH".
  std::vector<std::u16string> calls;
  std::vector<std::u16string> queriedValues;
  int waits = 0;
  std::vector<FakeThread> threads;  // started, in order
  std::vector<uint64_t> readOffsets;  // of every read at an offset
  uint64_t tick = 0;
  std::optional<FakeWindow> progressWindow;
  int pumps = 0;
  int waitsForInput = 0;
  std::map<std::u16string, FakeSessionEvent> sessionEvents;  // made or opened
  std::vector<std::u16string> signalledEvents;        // by name, in order
  bool boxOverWindow = false;  // a box was shown while the window was open
  int exitCodeReadsAfterClose = 0;  // process handles read after closing
  int keyOpens = 0;
  int keyCloses = 0;
  int sidFrees = 0;
  int membershipLookups = 0;
  int universalNameCalls = 0;
  int allocations = 0;
  int liveAllocations = 0;
  size_t allocatedBytes = 0;      // held by the code under test, now
  size_t peakAllocatedBytes = 0;  // and at most
  int openHandles = 0;
  bool ownFileOpenAtStart = false;

  // Helpers.
  void SetRegistryText(const std::u16string& name, const std::u16string& text);
  void SetArguments(const std::u16string& rawArguments);
  // Another file takes `path`'s place: it gets a new identity.
  void SwapFile(const std::u16string& path);
};

FakeSystem& Fake();
void ResetFake();

// The private folder name the fake random source gives on its draw-th call
// (1-based): each draw is seven zero bytes and the draw's number.
std::u16string FakePrivateFolderName(int draw);

std::u16string U16(const std::string& ascii);
std::string Narrow(const std::u16string& text);
