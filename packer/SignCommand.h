// SPDX-License-Identifier: 0BSD
// Signing as the last step of `stubpack build`: the vendor's command signs
// the complete launcher file, and the result is checked before it becomes
// the output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/ByteSink.h"
#include "packer/PeImage.h"

namespace packer {

const uint32_t kDefaultSignTimeout = 600;  // seconds

// The command must name {in}; {out} too, except on Windows, where a
// signtool-style command may sign {in} in place. Placeholders must stand
// bare: stubpack quotes them itself.
bool CheckSignCommand(const std::string& command, std::string* error);

// The command line the shell gets: {in} and {out} become quoted references
// to the environment variables STUBPACK_IN and STUBPACK_OUT ("$STUBPACK_IN"
// for /bin/sh, "%STUBPACK_IN%" for cmd.exe), so a path never becomes
// command text. False, with one line, for a placeholder inside quotes or
// after an escape character, where that quoting would break.
bool ExpandSignCommand(const std::string& command, std::string* line, std::string* error);

// A file as its size and a way to read pieces of it.
struct FileView {
  uint64_t size;
  FileReader read;
};
// A view of bytes in memory, which must outlive it.
FileView ViewOf(const std::vector<uint8_t>& bytes);

// Signs `file`, the complete unsigned launcher file: copies it into a
// private folder beside `outPath`, runs `command` there through the shell,
// with the paths in the environment, and checks what it wrote with
// CheckSignedFile; then `file` becomes the signed file. The command, and
// everything it started, is ended after `timeoutSeconds`, on Ctrl-C,
// SIGTERM and SIGHUP (its process group on POSIX, its job object on
// Windows). The folder is removed whatever it holds. On failure, one line:
// the command's exit code and the last lines of its output, or why it was
// ended; `file` may then hold anything.
bool RunSignCommand(const std::string& command, uint32_t timeoutSeconds, ByteSink& file,
                    const std::string& outPath, std::string* error);

// The signed file is the unsigned one with only its CheckSum and
// certificate-table entry changed, then a well-formed certificate table,
// ending the file. `what` names the file in messages ("setup program").
// Both are read a piece at a time.
bool CheckSignatureAdded(const FileView& unsignedFile, const FileView& signedFile,
                         const std::string& what, std::string* error);

// CheckSignatureAdded, and the launcher's own checks pass on the signed
// file (run on the file at `path`).
bool CheckSignedFile(const FileView& unsignedFile, const FileView& signedFile,
                     const std::string& path, std::string* error);

// A signed file kept on disk for a later step to read, alone in the private
// folder it was signed in. The folder goes when this does, and when stubpack
// is ended by Ctrl-C, SIGTERM or SIGHUP (a console event on Windows) before.
class SignedCopy {
 public:
  SignedCopy() = default;
  SignedCopy(const SignedCopy&) = delete;
  SignedCopy& operator=(const SignedCopy&) = delete;
  ~SignedCopy();

  const std::string& Path() const { return path_; }
  void Keep(const std::string& folder, const std::string& path);

 private:
  std::string folder_;
  std::string path_;
};

// RunSignCommand for a file that is no launcher file (`what`, "setup
// program"): the result must pass CheckSignatureAdded, and stays on disk as
// `copy` instead of being returned.
bool SignCopy(const std::string& command, uint32_t timeoutSeconds,
              const FileView& unsignedFile, const std::string& what,
              const std::string& outPath, SignedCopy* copy, std::string* error);

}  // namespace packer
