// SPDX-License-Identifier: 0BSD
// `stubpack verify` and `stubpack extract`: the launcher's own package
// checks and decoder, run on a launcher file through FilePlatform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "packer/ByteSink.h"

namespace packer {

struct VerifyReport {
  bool ok = false;
  std::vector<std::string> lines;  // one per step, for stdout
  std::string failure;             // one line, when !ok
};

// Checks first what Windows' loader checks (a file it refuses never runs),
// then runs the launcher's steps on `path` (UTF-8) in the launcher's order;
// the Windows release is not judged, only the package's support data
// reported. The decoded setup program goes to `setup` (when given) as it is
// decoded, so memory stays the same whatever its size; what `setup`
// received is the program only when the report is ok.
VerifyReport VerifyLauncherFile(const std::string& path,
                                ByteSink* setup = nullptr);

}  // namespace packer
