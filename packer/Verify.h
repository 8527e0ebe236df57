// SPDX-License-Identifier: 0BSD
// `stubpack verify` and `stubpack extract`: the launcher's own package
// checks and decoder, run on a launcher file through FilePlatform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "extract/NoRTLStream.h"

namespace packer {

struct VerifyReport {
  bool ok = false;
  std::vector<std::string> lines;  // one per step, for stdout
  std::string failure;             // one line, when !ok
  // The decoded setup program, when ok: the decoder's own output, not a
  // copy (a setup program may be near 2 GiB).
  std::unique_ptr<TStream> setup;
};

// Checks first what Windows' loader checks (a file it refuses never runs),
// then runs the launcher's steps on `path` (UTF-8) in the launcher's order;
// the Windows release is not judged, only the package's support data
// reported.
VerifyReport VerifyLauncherFile(const std::string& path);

}  // namespace packer
