// SPDX-License-Identifier: 0BSD
// Temporary-then-rename output files and file identity, on POSIX and on
// Windows (MinGW). The signal and console handlers remove the one open
// temporary file (and the one private file named by RemoveOnInterrupt); the
// rename and the removal are shielded from them, so a Ctrl-C either leaves
// the old output or the complete new one, never both or a stray temporary.
#ifdef _WIN32
#define _CRT_RAND_S  // rand_s: the system's cryptographic generator
#endif
#include "packer/OutputFile.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "packer/PackageWriter.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace packer {
namespace {

const size_t kIoChunk = 1u << 30;

std::string Lowercased(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  if (!message.empty()) message[0] = (char)std::tolower((unsigned char)message[0]);
  return message;
}

// 16 hex digits from the system's random source: nobody can foresee the
// temporary name and plant something under it.
bool RandomHex(std::string* hex) {
  uint32_t words[2];
#ifdef _WIN32
  unsigned int value;
  for (uint32_t& word : words) {
    if (rand_s(&value) != 0) return false;
    word = value;
  }
#else
  if (getrandom(words, sizeof words, 0) != (ssize_t)sizeof words) return false;
#endif
  static const char kDigits[] = "0123456789abcdef";
  hex->clear();
  for (uint32_t word : words)
    for (int shift = 28; shift >= 0; shift -= 4) *hex += kDigits[(word >> shift) & 15];
  return true;
}

#ifdef _WIN32

std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

std::string SystemReason(DWORD code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, (LPSTR)&text, 0, nullptr);
  std::string reason = text ? Lowercased(text) : "";
  LocalFree(text);
  return reason.empty() ? "Windows error " + std::to_string(code) : reason;
}

// The console handler runs on its own thread: the lock keeps it from
// removing the temporary while the main thread renames it.
CRITICAL_SECTION gLock;
HANDLE gHandle = INVALID_HANDLE_VALUE;
bool gActive = false;
std::wstring gKeptFile, gKeptFolder;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT)
    return FALSE;
  // Never released: the default handler ends the process next, and the
  // main thread must not rename a file that is about to vanish.
  EnterCriticalSection(&gLock);
  if (gActive) {
    FILE_DISPOSITION_INFO dispose = {TRUE};  // deleted when the process ends
    SetFileInformationByHandle(gHandle, FileDispositionInfo, &dispose,
                               sizeof dispose);
    gActive = false;
  }
  if (!gKeptFile.empty()) {
    DeleteFileW(gKeptFile.c_str());
    RemoveDirectoryW(gKeptFolder.c_str());
  }
  return FALSE;
}

void InstallHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  InitializeCriticalSection(&gLock);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

#else

std::string SystemReason(int code) { return Lowercased(std::strerror(code)); }

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

char gTemporary[4096];
volatile sig_atomic_t gActive = 0;
char gKeptFile[4096], gKeptFolder[4096];
volatile sig_atomic_t gKeptActive = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal) {
  if (gActive) unlink(gTemporary);
  gActive = 0;
  if (gKeptActive) {
    unlink(gKeptFile);
    rmdir(gKeptFolder);
  }
  gKeptActive = 0;
  // SA_RESETHAND restored the default action: the process now ends by the
  // same signal, as the caller expects.
  raise(signal);
}

void InstallHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal : kSignals) {
    struct sigaction previous;
    sigaction(signal, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;  // nohup and the like
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Holds the handled signals back for its lifetime.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals) sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

#endif

}  // namespace

#ifdef _WIN32

namespace {

bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileW(Wide(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

bool SameFile(const std::string& first, const std::string& second) {
  BY_HANDLE_FILE_INFORMATION a, b;
  return Identify(first, &a) && Identify(second, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

std::string RefuseSpecialOutput(const std::string& output) {
  HANDLE file = CreateFileW(Wide(output).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info;
  const bool folder = GetFileInformationByHandle(file, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  if (!folder && type == FILE_TYPE_DISK) return "";
  return "the output " + output + " is " + (folder ? "a folder" : "a device or a pipe") +
         "; stubpack writes only regular files, and never in place of anything else";
}

void RemoveOnInterrupt(const std::string& file, const std::string& folder) {
  InstallHandlers();
  EnterCriticalSection(&gLock);
  gKeptFile = Wide(file);
  gKeptFolder = Wide(folder);
  LeaveCriticalSection(&gLock);
}

bool OutputFile::Open(const std::string& path) {
  InstallHandlers();
  path_ = path;
  const std::string special = RefuseSpecialOutput(path);
  if (!special.empty()) {
    error = special;
    return false;
  }
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string suffix;
    if (!RandomHex(&suffix)) return Fail("no random temporary name");
    const std::string name = path + ".stubpack-" + suffix + ".tmp";
    EnterCriticalSection(&gLock);
    HANDLE file = CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = gHandle = file;
      gActive = open_ = true;
      temporary_ = name;
    }
    LeaveCriticalSection(&gLock);
    if (open_) return true;
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
      return Fail(SystemReason(code));
  }
  return Fail("no free temporary name beside it");
}

bool OutputFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  while (size) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD piece = (DWORD)(size < kIoChunk ? size : kIoChunk), written = 0;
    if (!WriteFile((HANDLE)handle_, data, piece, &written, &at) || written == 0)
      return Fail(SystemReason(GetLastError()));
    data += written;
    size -= written;
    offset += written;
    if (offset > size_) size_ = offset;
  }
  return true;
}

bool OutputFile::ReadAt(uint64_t offset, uint8_t* data, size_t size) {
  while (size) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD piece = (DWORD)(size < kIoChunk ? size : kIoChunk), read = 0;
    if (!ReadFile((HANDLE)handle_, data, piece, &read, &at) || read == 0)
      return Fail("it shrank while being written");
    data += read;
    size -= read;
    offset += read;
  }
  return true;
}

bool OutputFile::Commit() {
  if (!open_) return Fail("it is not open");
  EnterCriticalSection(&gLock);
  const bool closed = CloseHandle((HANDLE)handle_) != 0;
  handle_ = nullptr;
  DWORD code = closed ? 0 : GetLastError();
  if (closed && !MoveFileExW(Wide(temporary_).c_str(), Wide(path_).c_str(),
                             MOVEFILE_REPLACE_EXISTING))
    code = GetLastError();
  if (code) DeleteFileW(Wide(temporary_).c_str());
  gActive = open_ = false;
  temporary_.clear();
  LeaveCriticalSection(&gLock);
  return code ? Fail(SystemReason(code)) : true;
}

void OutputFile::Discard() {
  if (!open_) return;
  EnterCriticalSection(&gLock);
  CloseHandle((HANDLE)handle_);
  DeleteFileW(Wide(temporary_).c_str());
  handle_ = nullptr;
  gActive = open_ = false;
  temporary_.clear();
  LeaveCriticalSection(&gLock);
}

#else

bool SameFile(const std::string& first, const std::string& second) {
  struct stat a, b;
  return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string RefuseSpecialOutput(const std::string& output) {
  struct stat target, name;
  if (stat(output.c_str(), &target) != 0 || S_ISREG(target.st_mode)) return "";
  const mode_t type = target.st_mode & S_IFMT;
  const char* kind = type == S_IFDIR    ? "a folder"
                     : type == S_IFCHR  ? "a character device"
                     : type == S_IFBLK  ? "a block device"
                     : type == S_IFIFO  ? "a FIFO (pipe)"
                     : type == S_IFSOCK ? "a socket"
                                        : "not a regular file";
  const bool link = lstat(output.c_str(), &name) == 0 && S_ISLNK(name.st_mode);
  return "the output " + output + " is " + (link ? "a link to " : "") + kind +
         "; stubpack writes only regular files, and never in place of anything else";
}

void RemoveOnInterrupt(const std::string& file, const std::string& folder) {
  InstallHandlers();
  SignalsHeld held;
  gKeptActive = 0;
  // A path the handler's buffer cannot hold goes only with its owner.
  if (file.empty() || file.size() >= sizeof gKeptFile || folder.size() >= sizeof gKeptFolder)
    return;
  std::memcpy(gKeptFile, file.c_str(), file.size() + 1);
  std::memcpy(gKeptFolder, folder.c_str(), folder.size() + 1);
  gKeptActive = 1;
}

bool OutputFile::Open(const std::string& path) {
  InstallHandlers();
  path_ = path;
  const std::string special = RefuseSpecialOutput(path);
  if (!special.empty()) {
    error = special;
    return false;
  }
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string suffix;
    if (!RandomHex(&suffix)) return Fail("no random temporary name");
    const std::string name = path + ".stubpack-" + suffix + ".tmp";
    if (name.size() >= sizeof gTemporary) return Fail("the path is too long");
    SignalsHeld held;
    // O_EXCL: a name that exists, even as a dangling link, is never opened.
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      // /proc/self/fd and the like: the folder is there, but takes no files.
      if (errno == ENOENT && access(FolderOf(path).c_str(), F_OK) == 0)
        return Fail("its folder takes no new files");
      return Fail(SystemReason(errno));
    }
    fd_ = fd;
    open_ = true;
    temporary_ = name;
    std::memcpy(gTemporary, name.c_str(), name.size() + 1);
    gActive = 1;
    return true;
  }
  return Fail("no free temporary name beside it");
}

bool OutputFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  while (size) {
    ssize_t written = pwrite(fd_, data, size < kIoChunk ? size : kIoChunk,
                             (off_t)offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return Fail(SystemReason(written < 0 ? errno : ENOSPC));
    data += written;
    size -= (size_t)written;
    offset += (uint64_t)written;
    if (offset > size_) size_ = offset;
  }
  return true;
}

bool OutputFile::ReadAt(uint64_t offset, uint8_t* data, size_t size) {
  while (size) {
    ssize_t read = pread(fd_, data, size < kIoChunk ? size : kIoChunk, (off_t)offset);
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) return Fail("it shrank while being written");
    data += read;
    size -= (size_t)read;
    offset += (uint64_t)read;
  }
  return true;
}

bool OutputFile::Commit() {
  if (!open_) return Fail("it is not open");
  // The replaced file's permission bits, or what a new file would get.
  struct stat existing;
  mode_t mode;
  if (stat(path_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    mode = existing.st_mode & 0777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  int code = 0;
  if (fchmod(fd_, mode) != 0) code = errno;
  if (close(fd_) != 0 && !code) code = errno;  // NFS reports late write errors here
  fd_ = -1;
  SignalsHeld held;
  if (!code && rename(temporary_.c_str(), path_.c_str()) != 0) code = errno;
  if (code) unlink(temporary_.c_str());
  gActive = 0;
  open_ = false;
  temporary_.clear();
  return code ? Fail(SystemReason(code)) : true;
}

void OutputFile::Discard() {
  if (!open_) return;
  SignalsHeld held;
  close(fd_);
  unlink(temporary_.c_str());
  fd_ = -1;
  gActive = 0;
  open_ = false;
  temporary_.clear();
}

#endif

std::string RefuseOutputOverInput(const std::string& output,
                                  const std::vector<NamedInput>& inputs) {
  for (const NamedInput& input : inputs)
    if (SameFile(output, input.path))
      return "the output " + output + " is the same file as " + input.name +
             " " + input.path + "; writing it would destroy that input";
  return "";
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Append(const uint8_t* data, size_t size) {
  return WriteAt(size_, data, size);
}

bool OutputFile::Fail(const std::string& what) {
  error = "cannot write " + path_ + ": " + what;
  return false;
}

}  // namespace packer
