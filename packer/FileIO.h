// SPDX-License-Identifier: 0BSD
// Whole-file reads and all-or-nothing writes for the command line. Paths are
// UTF-8 on every system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

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
