// SPDX-License-Identifier: 0BSD
// A file set written into a folder: descriptors, *at calls and pwrite on
// POSIX, held folder handles and positional WriteFile on Windows.
#include "packer/SetFolderOutput.h"

#include <cerrno>
#include <cstring>

#include "extract/FileSetNames.h"
#include "packer/PackageWriter.h"
#include "packer/PrintableText.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace packer {
namespace {

// The path's names, as this system spells them (UTF-8).
std::vector<std::string> SplitPath(const std::u16string& path) {
  std::vector<std::string> names;
  std::u16string name;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\') {
      names.push_back(Utf16ToUtf8(name));
      name.clear();
    } else {
      name += path[i];
    }
  }
  return names;
}

std::string Join(const std::vector<std::string>& names, size_t count, char separator) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i ? std::string(1, separator) : "") + names[i];
  return out;
}

size_t CommonPrefix(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  size_t same = 0;
  while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
  return same;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

std::string Reason(DWORD code) { return "Windows error " + std::to_string(code); }

// A folder held so that it can be neither renamed nor deleted: the path
// through it keeps naming it.
HANDLE HoldFolder(const std::string& path) {
  HANDLE folder = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(folder);
    return nullptr;
  }
  return folder;
}

bool FolderIsEmpty(const std::string& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(path + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") empty = false;
  } while (empty && FindNextFileW(search, &found));
  FindClose(search);
  return empty;
}

// The console handler runs on a thread of its own: the lock keeps it from
// removing the set while the main thread writes it.
CRITICAL_SECTION gLock;
SetFolderOutput* gWatched = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event);

class Guard {
 public:
  Guard() {
    static bool installed = false;
    if (!installed) {
      installed = true;
      InitializeCriticalSection(&gLock);
      SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
    EnterCriticalSection(&gLock);
  }
  ~Guard() { LeaveCriticalSection(&gLock); }
};

}  // namespace

struct SetFolderInterrupts {
  static BOOL OnEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
      return FALSE;
    // Never left: the default handler ends the process next.
    EnterCriticalSection(&gLock);
    if (gWatched) gWatched->Discard();
    return FALSE;
  }
};

namespace {
BOOL WINAPI OnConsoleEvent(DWORD event) { return SetFolderInterrupts::OnEvent(event); }
}  // namespace

#else


namespace {

const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Every file stays open until the end, so a large set needs more
// descriptors than the usual soft limit of 1024: after an open that failed
// for want of one, the limit is raised once, as far as the hard limit
// allows. True when the open is worth trying again; errno is kept.
bool MoreDescriptors() {
  static bool raised = false;
  const int code = errno;
  bool more = false;
  struct rlimit limit;
  if (code == EMFILE && !raised && getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur < limit.rlim_max) {
    raised = true;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? (rlim_t)1 << 20 : limit.rlim_max;
    more = setrlimit(RLIMIT_NOFILE, &limit) == 0;
  }
  errno = code;
  return more;
}

bool FolderIsEmpty(int folder) {
  const int copy = dup(folder);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (!listing) {
    if (copy >= 0) close(copy);
    return false;
  }
  bool empty = true;
  while (const struct dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") empty = false;
  }
  closedir(listing);
  return empty;
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
const size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

SetFolderOutput* volatile gWatched = nullptr;
struct sigaction gPrevious[kSignalCount];

void OnSignal(int signal);

// Holds the handled signals back while the record of what was made
// changes, so that the handler never reads it half changed.
class Guard {
 public:
  Guard() {
    static bool installed = false;
    if (!installed) {
      installed = true;
      for (size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], nullptr, &gPrevious[i]);
        if (gPrevious[i].sa_handler == SIG_IGN) continue;  // nohup and the like
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(kSignals[i], &action, nullptr);
      }
    }
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals) sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~Guard() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

}  // namespace

struct SetFolderInterrupts {
  // Only calls a signal handler may make: what was made goes, then the
  // handler that was there before (an OutputFile's, or the default) runs.
  static void OnSignal(int signal) {
    SetFolderOutput* output = gWatched;
    gWatched = nullptr;
    // The files stay open: other threads may be writing them, and an
    // unlinked file takes no room once the process has ended.
    if (output) {
      for (auto it = output->created_.rbegin(); it != output->created_.rend(); ++it)
        output->RemoveCreated(*it);
      if (output->createdFolder_) rmdir(output->folder_.c_str());
    }
    for (size_t i = 0; i < kSignalCount; ++i)
      if (kSignals[i] == signal) sigaction(signal, &gPrevious[i], nullptr);
    raise(signal);
  }
};

namespace {
void OnSignal(int signal) { SetFolderInterrupts::OnSignal(signal); }
}  // namespace

#endif

SetFolderOutput::~SetFolderOutput() { Discard(); }

bool SetFolderOutput::Fail(const std::string& message) {
  error = message;
  return false;
}

bool SetFolderOutput::Create(const std::u16string& path, uint64_t size) {
  Guard guard;
  if (!open_) return Fail("the output folder is not open");
  const NameProblem problem =
      path.size() > kMaxSetPathUnits ? NameProblem::TooLong
                                     : CheckSetPath(path.data(), (uint32_t)path.size());
  if (problem != NameProblem::None)
    return Fail("the set's path " + TerminalText(Utf16ToUtf8(path)) +
                " breaks the path rules; nothing is written for it");
  std::vector<std::string> names = SplitPath(path);
  files_.emplace_back();
  OpenedFile& file = files_.back();
  file.path = folder_ + "/" + TerminalText(Join(names, names.size(), '/'));
  file.size = size;
  const std::string name = names.back();
  names.pop_back();
  if (!EnterFolders(names)) return false;
  names.push_back(name);
  return MakeFile(names, &file);
}

bool SetFolderOutput::EnterFolders(const std::vector<std::string>& names) {
  // The table lists each folder's files together: a folder left behind
  // never comes back, and one not yet entered does not exist yet.
  const size_t keep = CommonPrefix(current_, names);
#ifndef _WIN32
  while (current_.size() > keep) {
    close(folders_.back());
    folders_.pop_back();
    current_.pop_back();
  }
#else
  current_.resize(keep);
#endif
  for (size_t depth = keep; depth < names.size(); ++depth) {
    current_.push_back(names[depth]);
    if (!MakeFolder(current_)) return false;
  }
  return true;
}

bool SetFolderOutput::Commit() {
  Guard guard;
  Exclusive held(writes_);
  if (!open_) return Fail("the output folder is not open");
  for (const OpenedFile& file : files_)
    if (file.written != file.size)
      return Fail("cannot write " + file.path + ": it got " + std::to_string(file.written.load()) +
                  " of its " + std::to_string(file.size) + " bytes");
  if (!CloseFiles()) return false;
  gWatched = nullptr;
  CloseAll();
  created_.clear();
  files_.clear();
  open_ = false;
  return true;
}

#ifdef _WIN32

bool SetFolderOutput::Open(const std::string& folder) {
  folder_ = folder;
  while (folder_.size() > 1 && (folder_.back() == '\\' || folder_.back() == '/'))
    folder_.pop_back();
  if (CreateDirectoryW(Wide(folder_).c_str(), nullptr)) {
    createdFolder_ = true;
  } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
    return Fail("cannot create the folder " + folder_ + " (" + Reason(GetLastError()) + ")");
  }
  const DWORD attributes = GetFileAttributesW(Wide(folder_).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Fail("the output " + folder_ + " is not a folder; a file set is written into a "
                "new or empty folder");
  if (!createdFolder_ && !FolderIsEmpty(folder_))
    return Fail("the folder " + folder_ + " is not empty; a file set is written only into a "
                "new or empty folder, so that none of its files mixes with or replaces yours");
  root_ = CreateFileW(Wide(folder_).c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (root_ == INVALID_HANDLE_VALUE) {
    root_ = nullptr;
    return Fail("cannot open the folder " + folder_ + " (" + Reason(GetLastError()) + ")");
  }
  Guard guard;
  open_ = true;
  gWatched = this;
  return true;
}

bool SetFolderOutput::MakeFolder(const std::vector<std::string>& names) {
  const std::string path = folder_ + "\\" + Join(names, names.size(), '\\');
  if (!CreateDirectoryW(Wide(path).c_str(), nullptr))
    return Fail("cannot create the folder " + path + " (" + Reason(GetLastError()) + ")");
  created_.push_back({names, true});
  HANDLE held = HoldFolder(path);
  folders_.push_back(held);  // one per created folder, for Discard
  if (!held) return Fail("cannot open the folder " + path + " it just created");
  return true;
}

bool SetFolderOutput::MakeFile(const std::vector<std::string>& names, OpenedFile* file) {
  const std::string path = folder_ + "\\" + Join(names, names.size(), '\\');
  HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return Fail("cannot create " + file->path + " (" + Reason(GetLastError()) + ")");
  created_.push_back({names, false});
  file->handle = handle;
  return true;
}

bool SetFolderOutput::WriteAt(uint32_t index, uint64_t offset, const uint8_t* data, size_t size,
                              std::string* problem) {
  Shared held(writes_);
  if (!open_ || index >= files_.size() || !files_[index].handle) {
    *problem = "no such file of the set is open";
    return false;
  }
  OpenedFile& file = files_[index];
  while (size) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD written = 0;
    const DWORD piece = size < (1u << 30) ? (DWORD)size : (1u << 30);
    if (!WriteFile((HANDLE)file.handle, data, piece, &written, &at) || written == 0) {
      *problem = "cannot write " + file.path + " (" + Reason(GetLastError()) + ")";
      return false;
    }
    data += written;
    size -= written;
    offset += written;
    file.written += written;
  }
  return true;
}

// Late write errors (a full disk, a network share) arrive here.
bool SetFolderOutput::CloseFiles() {
  bool ok = true;
  for (OpenedFile& file : files_) {
    if (file.handle && !CloseHandle((HANDLE)file.handle) && ok)
      ok = Fail("cannot write " + file.path + " (" + Reason(GetLastError()) + ")");
    file.handle = nullptr;
  }
  return ok;
}

void SetFolderOutput::CloseAll() {
  for (OpenedFile& file : files_) {
    if (file.handle) CloseHandle((HANDLE)file.handle);
    file.handle = nullptr;
  }
  for (void* folder : folders_)
    if (folder) CloseHandle((HANDLE)folder);
  folders_.clear();
  if (root_) CloseHandle((HANDLE)root_);
  root_ = nullptr;
}

void SetFolderOutput::Discard() {
  Guard guard;
  Exclusive held(writes_);
  if (!open_) return;
  gWatched = nullptr;
  for (OpenedFile& file : files_) {
    if (file.handle) CloseHandle((HANDLE)file.handle);
    file.handle = nullptr;
  }
  // Files first, while every folder above them is still held; then each
  // folder, deepest first, once its own handle is closed.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it)
    if (!it->folder) RemoveCreated(*it);
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
    if (!it->folder) continue;
    if (folders_.back()) CloseHandle((HANDLE)folders_.back());
    folders_.pop_back();
    RemoveCreated(*it);
  }
  CloseAll();
  if (createdFolder_) RemoveDirectoryW(Wide(folder_).c_str());
  created_.clear();
  files_.clear();
  open_ = false;
}

void SetFolderOutput::RemoveCreated(const Created& created) {
  const std::string path =
      folder_ + "\\" + Join(created.names, created.names.size(), '\\');
  if (created.folder)
    RemoveDirectoryW(Wide(path).c_str());
  else
    DeleteFileW(Wide(path).c_str());
}

#else

bool SetFolderOutput::Open(const std::string& folder) {
  folder_ = folder;
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
  if (mkdir(folder_.c_str(), 0777) == 0)
    createdFolder_ = true;
  else if (errno != EEXIST)
    return Fail("cannot create the folder " + folder_ + ": " + std::strerror(errno));
  // The folder named may be a link to a folder; nothing below it is followed.
  root_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_ < 0) {
    const int code = errno;
    if (createdFolder_) rmdir(folder_.c_str());
    createdFolder_ = false;
    if (code == ENOTDIR)
      return Fail("the output " + folder_ +
                  " is not a folder; a file set is written into a new or empty folder");
    return Fail("cannot open the folder " + folder_ + ": " + std::strerror(code));
  }
  if (!createdFolder_ && !FolderIsEmpty(root_)) {
    close(root_);
    root_ = -1;
    return Fail("the folder " + folder_ + " is not empty; a file set is written only into a "
                "new or empty folder, so that none of its files mixes with or replaces yours");
  }
  Guard guard;
  open_ = true;
  gWatched = this;
  return true;
}

bool SetFolderOutput::MakeFolder(const std::vector<std::string>& names) {
  const int parent = folders_.empty() ? root_ : folders_.back();
  const std::string path = folder_ + "/" + TerminalText(Join(names, names.size(), '/'));
  if (mkdirat(parent, names.back().c_str(), 0777) != 0)
    return Fail("cannot create the folder " + path + ": " + std::strerror(errno));
  created_.push_back({names, true});
  int folder = openat(parent, names.back().c_str(), kFolderFlags);
  if (folder < 0 && MoreDescriptors()) folder = openat(parent, names.back().c_str(), kFolderFlags);
  if (folder < 0) return Fail("cannot open the folder " + path + ": " + std::strerror(errno));
  folders_.push_back(folder);
  return true;
}

bool SetFolderOutput::MakeFile(const std::vector<std::string>& names, OpenedFile* file) {
  const int parent = folders_.empty() ? root_ : folders_.back();
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int descriptor = openat(parent, names.back().c_str(), flags, 0666);
  if (descriptor < 0 && MoreDescriptors())
    descriptor = openat(parent, names.back().c_str(), flags, 0666);
  if (descriptor < 0) return Fail("cannot create " + file->path + ": " + std::strerror(errno));
  created_.push_back({names, false});
  file->descriptor = descriptor;
  return true;
}

bool SetFolderOutput::WriteAt(uint32_t index, uint64_t offset, const uint8_t* data, size_t size,
                              std::string* problem) {
  Shared held(writes_);
  if (!open_ || index >= files_.size() || files_[index].descriptor < 0) {
    *problem = "no such file of the set is open";
    return false;
  }
  OpenedFile& file = files_[index];
  while (size) {
    const ssize_t written =
        pwrite(file.descriptor, data, size < (1u << 30) ? size : (1u << 30), (off_t)offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *problem = "cannot write " + file.path + ": " + std::strerror(written < 0 ? errno : ENOSPC);
      return false;
    }
    data += written;
    size -= (size_t)written;
    offset += (uint64_t)written;
    file.written += (uint64_t)written;
  }
  return true;
}

// Late write errors (NFS, a full disk) arrive here.
bool SetFolderOutput::CloseFiles() {
  bool ok = true;
  for (OpenedFile& file : files_) {
    if (file.descriptor >= 0 && close(file.descriptor) != 0 && ok)
      ok = Fail("cannot write " + file.path + ": " + std::strerror(errno));
    file.descriptor = -1;
  }
  return ok;
}

void SetFolderOutput::CloseAll() {
  for (OpenedFile& file : files_) {
    if (file.descriptor >= 0) close(file.descriptor);
    file.descriptor = -1;
  }
  for (int folder : folders_) close(folder);
  folders_.clear();
  current_.clear();
  if (root_ >= 0) close(root_);
  root_ = -1;
}

void SetFolderOutput::Discard() {
  Guard guard;
  Exclusive held(writes_);
  if (!open_) return;
  gWatched = nullptr;
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) RemoveCreated(*it);
  CloseAll();
  if (createdFolder_) rmdir(folder_.c_str());
  created_.clear();
  files_.clear();
  open_ = false;
}

// Reached again from the root without following links, so a folder
// swapped for a link meanwhile leads nowhere instead of outside.
void SetFolderOutput::RemoveCreated(const Created& created) {
  int parent = dup(root_);
  for (size_t i = 0; parent >= 0 && i + 1 < created.names.size(); ++i) {
    const int inner = openat(parent, created.names[i].c_str(), kFolderFlags);
    close(parent);
    parent = inner;
  }
  if (parent < 0) return;
  unlinkat(parent, created.names.back().c_str(), created.folder ? AT_REMOVEDIR : 0);
  close(parent);
}

#endif

}  // namespace packer
