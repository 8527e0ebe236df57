// SPDX-License-Identifier: 0BSD
// The files stubpack writes, made so that nothing the user did not name as
// output is ever touched: the output is written as it is made under a fresh
// temporary name beside it (created exclusively, never through an existing
// name or link), removed on failure, Ctrl-C or termination, and renamed over
// the output only when complete. Also tells whether two paths name the same
// file, so that an output can never replace one of the inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/ByteSink.h"

namespace packer {

// True when both paths name one existing file, however they are spelt
// (links, "dir/../dir/./name", case on Windows): same device and inode on
// POSIX, same volume serial number and file index on Windows.
bool SameFile(const std::string& first, const std::string& second);

struct NamedInput {
  std::string name;  // "--setup", "the launcher file"
  std::string path;
};
// "" when `output` is none of `inputs`; else one line naming the input it
// would replace.
std::string RefuseOutputOverInput(const std::string& output,
                                  const std::vector<NamedInput>& inputs);

// "" when `output` is missing, a regular file or a link to one (the link
// is replaced, not written through); else one line: a folder, a device, a
// FIFO or a socket there (a link to one too, as /dev/stdout) is never
// replaced by a file.
std::string RefuseSpecialOutput(const std::string& output);

// A private file stubpack reads while it writes its output (a signed copy of
// the setup program): while it is named here, Ctrl-C, SIGTERM and SIGHUP (a
// console event on Windows) remove it, and then its `folder` if that is
// empty, before stubpack ends. One at a time; an empty `file` forgets it.
void RemoveOnInterrupt(const std::string& file, const std::string& folder);

class OutputFile : public ByteSink {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless Commit succeeded.
  ~OutputFile() override;

  // Creates the temporary file for `path` (UTF-8), after RefuseSpecialOutput.
  // Only one OutputFile may be open at a time: the signal handlers know
  // just one temporary.
  bool Open(const std::string& path);

  bool Append(const uint8_t* data, size_t size) override;
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) override;
  bool ReadAt(uint64_t offset, uint8_t* data, size_t size) override;
  uint64_t Size() const override { return size_; }

  // Flushes and closes the temporary file and renames it over the output.
  // A file it replaces passes on its permission bits (POSIX).
  bool Commit();

  // The temporary's path while open, for tests.
  const std::string& TemporaryPath() const { return temporary_; }

 private:
  bool Fail(const std::string& what);
  void Discard();

  std::string path_;
  std::string temporary_;
  uint64_t size_ = 0;
  bool open_ = false;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace packer
