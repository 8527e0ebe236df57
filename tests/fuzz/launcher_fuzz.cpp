// SPDX-License-Identifier: 0BSD
// libFuzzer target: the launcher's whole path, from the locator to the
// temporary copy and the start, on arbitrary launcher-file contents.
//
// Every input must end in a defined outcome: one of the launcher's messages
// with its exit code and nothing left on disk, the out-of-memory stop, or a
// started setup program whose temporary copy is exactly what an independent
// plain liblzma decode of the block gives. Anything else (a crash, a
// sanitizer report, a second box, a copy or its folder that differs or
// stays behind) aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <vector>

#include "core/StubCore.h"
#include "handoff/Administrator.h"
#include "tests/fuzz/ReferenceDecode.h"
#include "tests/unit/FakePlatform.h"

namespace {

// The codes of the launcher's own stops: damaged, truncated, temporary
// copy, refused release, out of memory.
bool IsStopCode(uint32_t code) {
  return code == 1620 || code == 1619 || code == 1632 || code == 1654 ||
         code == 203;
}

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
    if (!IsStopCode(exit.exitCode)) std::abort();
    for (const std::u16string& created : fake.createdFiles)
      if (fake.files.count(created)) std::abort();
    for (const auto& folder : fake.privateFolders)
      if (fake.folders.count(folder.first)) std::abort();
    return 0;
  }

  // The launcher went all the way: one start, no box, and (attached mode)
  // the copy deleted again after the wait. Check what it wrote.
  if (!fake.boxes.empty() || fake.starts.size() != 1) std::abort();
  if (gPackageHeader.packageForm == kFileSetForm) {
    // Every block matched its CRC-32; in attached mode every file is gone.
    if (gPackageLocator.detachedFileSize == 0)
      for (const std::u16string& created : fake.createdFiles)
        if (fake.files.count(created)) std::abort();
    return 0;
  }
  if (fake.createdFiles.size() != 1) std::abort();
  std::vector<uint8_t> expected;
  if (!ReferenceDecode(gPackageHeader, data, size, &expected)) std::abort();
  if (fake.writtenCopy != expected) std::abort();
  return 0;
}
