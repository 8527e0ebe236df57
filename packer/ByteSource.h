// SPDX-License-Identifier: 0BSD
// Where the packer reads the setup program from: its size first (the
// dictionary default and the size checks need it before any byte), then its
// bytes once, in order, a piece at a time, so that memory stays the same
// whatever the program's size. A file on disk (FileSource, FileIO.h) or
// memory (MemorySource, for tests and tools).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// The most one piece holds.
const size_t kSourcePiece = 1u << 20;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // What the bytes must add up to.
  virtual uint64_t Size() const = 0;
  // The next piece (at most kSourcePiece bytes), valid until the next call;
  // `*size` 0 once all Size() bytes were given and they are known to be the
  // whole input. False, with `error` set to one line, when the input cannot
  // be read or changed while it was read.
  virtual bool Next(const uint8_t** data, size_t* size) = 0;
  std::string error;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool Next(const uint8_t** data, size_t* size) override {
    *size = bytes_.size() - at_ < kSourcePiece ? bytes_.size() - at_ : kSourcePiece;
    *data = bytes_.data() + at_;
    at_ += *size;
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t at_ = 0;
};

}  // namespace packer
