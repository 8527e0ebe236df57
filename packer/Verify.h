// `stubpack verify` and `stubpack extract`: the launcher's own package
// checks and decoder, run on a launcher file through FilePlatform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct VerifyReport {
  bool ok = false;
  std::vector<std::string> lines;  // one per step, for stdout
  std::string failure;             // one line, when !ok
  std::vector<uint8_t> setup;      // the decoded setup program, when ok
};

// Runs the launcher's steps on `path` (UTF-8) in the launcher's order; the
// Windows release is not judged, only the package's support data reported.
VerifyReport VerifyLauncherFile(const std::string& path);

}  // namespace packer
