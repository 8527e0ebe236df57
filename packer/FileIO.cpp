// SPDX-License-Identifier: 0BSD
// File reading over std::filesystem (POSIX and MinGW); writing goes through
// OutputFile.
#include "packer/FileIO.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "packer/OutputFile.h"


namespace fs = std::filesystem;

namespace packer {
namespace {

fs::path FromUtf8(const std::string& path) {
  // u8path keeps non-ASCII names intact on Windows, where narrow strings
  // would go through the ANSI code page.
  return fs::u8path(path);
}

std::string Reason(const std::error_code& code) {
  std::string message = code.message();
  if (!message.empty()) message[0] = (char)std::tolower((unsigned char)message[0]);
  return message;
}

}  // namespace

bool CheckRegularFile(const std::string& path, const std::string& what,
                      std::string* error) {
  std::error_code code;
  fs::file_status status = fs::status(FromUtf8(path), code);
  if (!fs::exists(status)) {
    *error = "cannot read " + what + " " + path + ": no such file";
    return false;
  }
  if (code) {
    *error = "cannot read " + what + " " + path + ": " + Reason(code);
    return false;
  }
  if (!fs::is_regular_file(status)) {
    *error = "cannot read " + what + " " + path + ": not a regular file";
    return false;
  }
  return true;
}

bool FileSource::Fail(const std::string& message) {
  error = message;
  return false;
}

bool FileSource::Changed() {
  return Fail("cannot read " + what_ + " " + path_ + ": the file changed while it was read");
}

bool FileSource::Open(const std::string& path, const std::string& what, uint64_t limit,
                      const std::string& limitReason) {
  path_ = path;
  what_ = what;
  if (!CheckRegularFile(path, what, &error)) return false;
  const fs::path file = FromUtf8(path);
  std::error_code code;
  size_ = fs::file_size(file, code);
  if (!code) modified_ = fs::last_write_time(file, code);
  if (code) return Fail("cannot read " + what + " " + path + ": " + Reason(code));
  if (size_ > limit)
    return Fail(what + " " + path + " is " + std::to_string(size_) + " bytes; " + limitReason);
  in_.open(file, std::ios::binary);
  if (!in_) return Fail("cannot open " + what + " " + path + ": " + std::strerror(errno));
  return true;
}

bool FileSource::Next(const uint8_t** data, size_t* size) {
  *data = piece_.data();
  *size = 0;
  if (finished_) return true;
  if (read_ == size_) {
    // The end the size promised must be the file's end, and the file the
    // one whose size and time were taken at the start.
    if (in_.peek() != EOF) return Changed();
    std::error_code code;
    const fs::path file = FromUtf8(path_);
    if (fs::file_size(file, code) != size_ || code ||
        fs::last_write_time(file, code) != modified_ || code)
      return Changed();
    finished_ = true;
    return true;
  }
  const size_t want = (size_t)std::min<uint64_t>(kSourcePiece, size_ - read_);
  piece_.resize(std::max(piece_.size(), want));
  in_.read((char*)piece_.data(), (std::streamsize)want);
  if ((size_t)in_.gcount() != want) return Changed();
  read_ += want;
  *data = piece_.data();
  *size = want;
  return true;
}

bool ReadWholeFile(const std::string& path, const std::string& what,
                   std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t limit, const std::string& limitReason) {
  FileSource source;
  bool ok = source.Open(path, what, limit, limitReason);
  if (ok) bytes->resize((size_t)source.Size());
  const uint8_t* piece;
  size_t size = 1;
  for (size_t at = 0; ok && size; at += size) {
    ok = source.Next(&piece, &size);
    if (ok) std::copy(piece, piece + size, bytes->data() + at);
  }
  if (!ok) *error = source.error;
  return ok;
}

bool WriteFileAtomically(const std::string& path,
                         const std::vector<uint8_t>& bytes, std::string* error) {
  OutputFile out;
  if (out.Open(path) && out.Append(bytes.data(), bytes.size()) && out.Commit())
    return true;
  *error = out.error;
  return false;
}

}  // namespace packer
