// SPDX-License-Identifier: 0BSD
// Where the packer writes what it makes: appended in order, a few fields
// patched afterwards, and read back once for the checksums. A file on disk
// (OutputFile) or memory (MemorySink, for tests and tools). And where
// extract writes the files of a set (SetSink; a folder, SetFolderOutput).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Append(const uint8_t* data, size_t size) = 0;
  virtual bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) = 0;
  virtual bool ReadAt(uint64_t offset, uint8_t* data, size_t size) = 0;
  // The bytes written so far, up to the furthest one.
  virtual uint64_t Size() const = 0;
  // One line, after a call returned false.
  std::string error;
};

class MemorySink : public ByteSink {
 public:
  bool Append(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) override {
    if (offset + size > bytes.size()) return Outside();
    std::copy(data, data + size, bytes.begin() + (ptrdiff_t)offset);
    return true;
  }
  bool ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    if (offset + size > bytes.size()) return Outside();
    std::copy(bytes.begin() + (ptrdiff_t)offset,
              bytes.begin() + (ptrdiff_t)(offset + size), data);
    return true;
  }
  uint64_t Size() const override { return bytes.size(); }
  std::vector<uint8_t> bytes;

 private:
  bool Outside() {
    error = "access outside the bytes written";
    return false;
  }
};

// Where extract writes a file set's files: every file created first, in
// the table's order, then the blocks' bytes written at their offsets as
// they are decoded, by several threads at once.
class SetSink {
 public:
  virtual ~SetSink() = default;
  // Creates the next file. `path` is the set's relative path, backslashes
  // between names. One line in `error` on failure.
  virtual bool Create(const std::u16string& path, uint64_t size) = 0;
  // Writes bytes of file `index` (counted from 0 in the order of Create) at
  // `offset`. Called from several threads at once, never twice for the
  // same byte. One line in `problem` on failure.
  virtual bool WriteAt(uint32_t index, uint64_t offset, const uint8_t* data, size_t size,
                       std::string* problem) = 0;
  // One line, after Create returned false.
  std::string error;
};

}  // namespace packer
