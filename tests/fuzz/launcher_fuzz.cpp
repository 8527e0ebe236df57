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
#include "tests/unit/FakePlatform.h"

namespace {

// Plain unknown-size decode of the block, stopped at `size` bytes.
bool ReferenceDecode(const PackageHeader& header, const uint8_t* file,
                     size_t fileSize, std::vector<uint8_t>* out) {
  uint64_t end = (uint64_t)header.payloadOffset + header.payloadPackedSize;
  if (end > fileSize) return false;
  out->assign((size_t)header.payloadSize, 0);
  if (header.payloadSize == 0) return true;
  lzma_options_lzma options = {};
  const uint8_t first = header.lzmaProperties[0];
  options.lc = first % 9;
  options.lp = (first / 9) % 5;
  options.pb = first / 45;
  uint32_t dictionary;
  std::memcpy(&dictionary, header.lzmaProperties + 1, 4);
  options.dict_size = std::min<uint32_t>(dictionary, (uint32_t)header.payloadSize);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return false;
  stream.next_in = file + header.payloadOffset;
  stream.avail_in = header.payloadPackedSize;
  stream.next_out = out->data();
  stream.avail_out = out->size();
  lzma_ret result = lzma_code(&stream, LZMA_RUN);
  (void)result;  // only the amount decoded matters here
  bool complete = stream.avail_out == 0;
  lzma_end(&stream);
  return complete;
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
