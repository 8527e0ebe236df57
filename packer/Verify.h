// SPDX-License-Identifier: 0BSD
// `stubpack verify` and `stubpack extract`: the launcher's own package
// checks and decoder, run on a launcher file through FilePlatform.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packer/ByteSink.h"
#include "packer/VerifyReport.h"

namespace packer {

// Checks first what Windows' loader checks (a file it refuses never runs),
// then runs the launcher's steps on `path` (UTF-8) in the launcher's order;
// the Windows release is not judged, only the package's support data
// reported. The decoded setup program goes to `setup` (when given) as it is
// decoded, so memory stays the same whatever its size; what `setup`
// received is the program only when the report is ok. A file set's table
// and every block are checked likewise, and its files go to `files` (when
// given) as they are decoded; a file that carries the other form than the
// output given fails. `progress` gets (bytes decoded, total), from the
// decoding threads but never from two at once. A file set's blocks are
// decoded on `threads` threads (0: one per processor), at most one per
// block; the report is the same whatever their number.
VerifyReport VerifyLauncherFile(
    const std::string& path, ByteSink* setup = nullptr,
    const std::function<void(uint64_t, uint64_t)>& progress = nullptr,
    SetSink* files = nullptr, uint32_t threads = 0);

}  // namespace packer
