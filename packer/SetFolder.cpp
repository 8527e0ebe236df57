// SPDX-License-Identifier: 0BSD
// Reading a file set's folder: POSIX through directory descriptors and
// lstat-style calls that never follow a link, Windows through FindFirstFileW,
// which reports links and junctions as reparse points instead of entering
// them.
#include "packer/SetFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "extract/FileSetNames.h"
#include "packer/FileIO.h"
#include "packer/OutputFile.h"
#include "packer/PrintableText.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace packer {
namespace {

const char kOnlyFilesAndFolders[] = "; the set holds only regular files and folders";

// What the walk saw of a file; it must still be so when the file is read.
struct Seen {
  uint64_t size;
  uint64_t device, inode;  // POSIX; 0 on Windows
  int64_t modified;        // nanoseconds (POSIX) or FILETIME ticks
};

struct Walk {
  std::string root;
  std::vector<SetFile>* files;
  std::string error;

  bool Fail(const std::string& message) {
    error = message;
    return false;
  }
};

std::string Changed(const std::string& name) {
  return name + " changed since the folder was read; build again once it is complete";
}

// Opens the file found by the walk for reading, once it is known to be
// that file still; FileSource then notices changes while it is read.
std::unique_ptr<ByteSource> OpenSeen(const std::string& path, const std::string& name,
                                     const Seen& seen, bool (*stillSeen)(const std::string&,
                                                                         const Seen&),
                                     std::string* error) {
  if (!stillSeen(path, seen)) {
    *error = Changed(name);
    return nullptr;
  }
  auto source = std::make_unique<FileSource>();
  if (!source->Open(path, "set file")) {
    *error = source->error;
    return nullptr;
  }
  return source;
}

void AddFile(Walk& walk, const std::u16string& path, const std::string& fullPath,
             const std::string& name, const Seen& seen,
             bool (*stillSeen)(const std::string&, const Seen&)) {
  SetFile file;
  file.path = path;
  file.size = seen.size;
  file.name = name;
  file.open = [fullPath, name, seen, stillSeen](std::string* error) {
    return OpenSeen(fullPath, name, seen, stillSeen, error);
  };
  walk.files->push_back(std::move(file));
}

// A folder whose files would be more than kMaxSetDepth names deep.
std::string TooDeep(const std::string& shown) {
  return shown + ": a folder " + std::to_string(kMaxSetDepth) +
         " names deep; a set's paths have at most " + std::to_string(kMaxSetDepth) + " names";
}

bool TooMany(Walk& walk) {
  if (walk.files->size() < kMaxSetFiles) return false;
  walk.Fail(walk.root + " holds more than " + std::to_string(kMaxSetFiles) +
            " files; a set holds at most that many");
  return true;
}

#ifdef _WIN32

std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

int64_t Ticks(const FILETIME& time) {
  return (int64_t)((uint64_t)time.dwHighDateTime << 32 | time.dwLowDateTime);
}

bool StillSeen(const std::string& path, const Seen& seen) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  const uint64_t size = (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
  return !(data.dwFileAttributes &
           (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) &&
         size == seen.size && Ticks(data.ftLastWriteTime) == seen.modified;
}

bool WalkFolder(Walk& walk, const std::string& folder, const std::u16string& relative,
                uint32_t depth) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return walk.Fail("cannot read the folder " + folder + " (Windows error " +
                     std::to_string(GetLastError()) + ")");
  std::vector<WIN32_FIND_DATAW> entries;
  do {
    entries.push_back(found);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const WIN32_FIND_DATAW& entry : entries) {
    const std::u16string name((const char16_t*)entry.cFileName);
    if (name == u"." || name == u"..") continue;
    const std::u16string path = relative.empty() ? name : relative + u"\\" + name;
    const std::string full = folder + "\\" + Utf16ToUtf8(name);
    const std::string shown = TerminalText(full);
    const DWORD attributes = entry.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      return walk.Fail(shown + ": a link or junction (reparse point)" + kOnlyFilesAndFolders);
    if (attributes & FILE_ATTRIBUTE_DEVICE)
      return walk.Fail(shown + ": a device" + kOnlyFilesAndFolders);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth + 2 > kMaxSetDepth) return walk.Fail(TooDeep(shown));
      if (!WalkFolder(walk, full, path, depth + 1)) return false;
      continue;
    }
    if (TooMany(walk)) return false;
    const Seen seen = {(uint64_t)entry.nFileSizeHigh << 32 | entry.nFileSizeLow, 0, 0,
                       Ticks(entry.ftLastWriteTime)};
    AddFile(walk, path, full, shown, seen, StillSeen);
  }
  return true;
}

bool OpenRoot(Walk& walk, const std::string& folder) {
  const DWORD attributes = GetFileAttributesW(Wide(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return walk.Fail("cannot read --setup-dir " + folder + ": no such folder");
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return walk.Fail("--setup-dir " + folder + " is not a folder");
  return WalkFolder(walk, folder, u"", 0);
}

#else

int64_t Nanoseconds(const struct stat& status) {
  return (int64_t)status.st_mtim.tv_sec * 1000000000 + status.st_mtim.tv_nsec;
}

bool StillSeen(const std::string& path, const Seen& seen) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         (uint64_t)status.st_dev == seen.device && (uint64_t)status.st_ino == seen.inode &&
         (uint64_t)status.st_size == seen.size && Nanoseconds(status) == seen.modified;
}

const char* KindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a FIFO (named pipe)";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "neither a regular file nor a folder";
  }
}

// A name as it may be printed: bytes that are not UTF-8 as \xNN.
std::string Printable(const std::string& bytes) {
  std::u16string unused;
  if (Utf8ToUtf16(bytes, &unused)) return TerminalText(bytes);
  std::string out;
  char escaped[8];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += (char)c;
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::vector<std::string> Names(int folder) {
  std::vector<std::string> names;
  const int copy = dup(folder);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (!listing) {
    if (copy >= 0) close(copy);
    return names;
  }
  while (const struct dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  // Reported in one order whatever the file system's is.
  std::sort(names.begin(), names.end());
  return names;
}

bool WalkFolder(Walk& walk, int folder, const std::string& shownFolder,
                const std::string& fullFolder, const std::u16string& relative, uint32_t depth) {
  for (const std::string& name : Names(folder)) {
    const std::string full = fullFolder + "/" + name;
    const std::string shown = shownFolder + "/" + Printable(name);
    std::u16string wideName;
    if (!Utf8ToUtf16(name, &wideName))
      return walk.Fail(shown + ": the name is not UTF-8; the set's paths are Unicode");
    if (name.find('\\') != std::string::npos)
      return walk.Fail(shown + ": a backslash in a name, which Windows reads as a folder "
                               "separator");
    struct stat status;
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
      return walk.Fail("cannot read " + shown + ": " + std::strerror(errno));
    const std::u16string path = relative.empty() ? wideName : relative + u"\\" + wideName;
    if (S_ISDIR(status.st_mode)) {
      if (depth + 2 > kMaxSetDepth) return walk.Fail(TooDeep(shown));
      const int inner =
          openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner < 0) return walk.Fail("cannot read " + shown + ": " + std::strerror(errno));
      const bool ok = WalkFolder(walk, inner, shown, full, path, depth + 1);
      close(inner);
      if (!ok) return false;
      continue;
    }
    if (!S_ISREG(status.st_mode))
      return walk.Fail(shown + ": " + KindOf(status.st_mode) + kOnlyFilesAndFolders);
    if (TooMany(walk)) return false;
    const Seen seen = {(uint64_t)status.st_size, (uint64_t)status.st_dev,
                       (uint64_t)status.st_ino, Nanoseconds(status)};
    AddFile(walk, path, full, shown, seen, StillSeen);
  }
  return true;
}

bool OpenRoot(Walk& walk, const std::string& folder) {
  // The folder named may be a link; nothing below it may.
  const int root = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    if (errno == ENOTDIR) return walk.Fail("--setup-dir " + folder + " is not a folder");
    return walk.Fail("cannot read --setup-dir " + folder + ": " +
                     (errno == ENOENT ? std::string("no such folder") : std::strerror(errno)));
  }
  std::string trimmed = folder;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const bool ok = WalkFolder(walk, root, Printable(trimmed), trimmed, u"", 0);
  close(root);
  return ok;
}

#endif

}  // namespace

bool ReadSetFolder(const std::string& folder, std::vector<SetFile>* files, std::string* error) {
  files->clear();
  Walk walk = {folder, files, ""};
  if (OpenRoot(walk, folder)) return true;
  *error = walk.error;
  files->clear();
  return false;
}

bool PathIsInside(const std::string& path, const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code code;
  fs::path at = fs::weakly_canonical(fs::absolute(fs::u8path(path), code), code);
  if (code) return false;
  for (at = at.parent_path(); !at.empty(); at = at.parent_path()) {
    if (SameFile(at.u8string(), folder)) return true;
    if (at == at.root_path()) break;
  }
  return false;
}

}  // namespace packer
