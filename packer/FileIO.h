// SPDX-License-Identifier: 0BSD
// File reads, whole or a piece at a time, and all-or-nothing writes for the
// command line. Paths are UTF-8 on every system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "packer/ByteSource.h"

namespace packer {

// A file read once, in pieces, through one handle. Its size is taken when
// it is opened; a file that does not end where that size said, or whose
// size or modification time differ after the last piece, is refused as
// changed: what was read may then be no version of the file at all.
class FileSource : public ByteSource {
 public:
  // `what` names the file in errors ("setup program"). Files larger than
  // `limit` bytes are refused before anything is read, with `limitReason`
  // completing the sentence.
  bool Open(const std::string& path, const std::string& what,
            uint64_t limit = UINT64_MAX, const std::string& limitReason = "");
  uint64_t Size() const override { return size_; }
  bool Next(const uint8_t** data, size_t* size) override;

 private:
  bool Changed();
  bool Fail(const std::string& message);

  std::string path_;
  std::string what_;
  std::ifstream in_;
  std::vector<uint8_t> piece_;
  uint64_t size_ = 0;
  uint64_t read_ = 0;
  std::filesystem::file_time_type modified_;
  bool finished_ = false;
};

// Reads the whole file. `what` names it in the error ("setup program").
// Files larger than `limit` bytes are refused before anything is read, with
// `limitReason` completing the sentence.
bool ReadWholeFile(const std::string& path, const std::string& what,
                   std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t limit = UINT64_MAX,
                   const std::string& limitReason = "");

// True when `path` names an existing regular file; else a one-line reason.
bool CheckRegularFile(const std::string& path, const std::string& what,
                      std::string* error);

// Writes through an OutputFile: `path` is either left as it was or holds
// all of `bytes`.
bool WriteFileAtomically(const std::string& path,
                         const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace packer
