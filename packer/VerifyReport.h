// SPDX-License-Identifier: 0BSD
// What verify found, step by step: the lines it prints, the one-line
// failure, and the setup program's (or a file set's entry's) signature
// read on the way.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "packer/SetupSignature.h"

namespace packer {

struct VerifyReport {
  bool ok = false;
  std::vector<std::string> lines;  // one per step, for stdout
  std::string failure;             // one line, when !ok
  // Read from the decoded setup program (a file set's entry, when it is a
  // program), once it decoded.
  std::optional<SetupSignature> setupSignature;
};

}  // namespace packer
