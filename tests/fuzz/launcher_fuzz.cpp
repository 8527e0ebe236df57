// SPDX-License-Identifier: 0BSD
// libFuzzer target: the launcher's whole path, from the locator to the
// temporary copy and the start, on arbitrary launcher-file contents.
//
// Every input must end in a defined outcome: one of the launcher's messages,
// the out-of-memory stop, or a started setup program whose temporary copy is
// exactly what an independent plain liblzma decode of the block gives.
// Anything else (a crash, a sanitizer report, a second box, a copy that
// differs) aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <vector>

#include "core/StubCore.h"
#include "handoff/Launch.h"
#include "tests/fuzz/ReferenceDecode.h"
#include "tests/unit/FakePlatform.h"

namespace {


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResetFake();
  ResetAdministratorTestForTesting();
  FakeSystem& fake = Fake();
  fake.files[fake.modulePath].bytes.assign(data, data + size);
  // A machine with 256 MiB to spare: larger requests take the out-of-memory
  // stop, like a real allocation that fails.
  fake.maxAllocationBytes = 256u << 20;
  std::memset(&gPackageLocator, 0, sizeof(gPackageLocator));
  std::memset(&gPackageHeader, 0, sizeof(gPackageHeader));

  try {
    RunLauncher();
  } catch (const FakeExit& exit) {
    if (fake.boxes.size() != 1) std::abort();
    if (exit.exitCode != 0 && exit.exitCode != 203) std::abort();
    return 0;
  }

  // The launcher went all the way: one start, no box, and (attached mode)
  // the copy deleted again after the wait. Check what it wrote.
  if (!fake.boxes.empty() || fake.starts.size() != 1) std::abort();
  if (fake.createdFiles.size() != 1) std::abort();
  std::vector<uint8_t> expected;
  if (!ReferenceDecode(gPackageHeader, data, size, &expected)) std::abort();
  if (fake.writtenCopy != expected) std::abort();
  return 0;
}
