// SPDX-License-Identifier: 0BSD
// Signing as the last step of `stubpack build`: the vendor's command signs
// the complete launcher file, and the result is checked before it becomes
// the output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// The command must name {in}; {out} too, except on Windows, where a
// signtool-style command may sign {in} in place.
bool CheckSignCommand(const std::string& command, std::string* error);

// Writes `unsignedFile` into a private folder beside `outPath`, runs
// `command` with {in} and {out} replaced by quoted paths there, and checks
// what it wrote with CheckSignedFile. The folder is removed either way.
// On failure, one line: the command's exit code and the last lines of its
// output.
bool RunSignCommand(const std::string& command, const std::vector<uint8_t>& unsignedFile,
                    const std::string& outPath, std::vector<uint8_t>* signedFile,
                    std::string* error);

// The signed file is the unsigned one with only its CheckSum and
// certificate-table entry changed, then the certificate table, ending the
// file; the launcher's own checks pass on it (run on the file at `path`).
bool CheckSignedFile(const std::vector<uint8_t>& unsignedFile,
                     const std::vector<uint8_t>& signedFile, const std::string& path,
                     std::string* error);

}  // namespace packer
