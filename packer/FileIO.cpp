// SPDX-License-Identifier: 0BSD
// File reading over std::filesystem (POSIX and MinGW); writing goes through
// OutputFile.
#include "packer/FileIO.h"

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

bool ReadWholeFile(const std::string& path, const std::string& what,
                   std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t limit, const std::string& limitReason) {
  if (!CheckRegularFile(path, what, error)) return false;
  const fs::path file = FromUtf8(path);
  std::error_code code;
  const uintmax_t size = fs::file_size(file, code);
  if (code) {
    *error = "cannot read " + what + " " + path + ": " + Reason(code);
    return false;
  }
  if (size > limit) {
    *error = what + " " + path + " is " + std::to_string(size) + " bytes; " +
             limitReason;
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot open " + what + " " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->resize((size_t)size);
  in.read((char*)bytes->data(), (std::streamsize)size);
  if ((uintmax_t)in.gcount() != size || in.peek() != EOF) {
    *error = "cannot read " + what + " " + path +
             ": the file changed while it was read";
    return false;
  }
  return true;
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
