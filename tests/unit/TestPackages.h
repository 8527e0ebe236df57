// SPDX-License-Identifier: 0BSD
// Launcher files for host tests: a fake stub with a real package behind it,
// installed as the fake system's own module file.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/StubTypes.h"
#include "extract/LzmaDecoder.h"
#include "packer/PackageWriter.h"
#include "tests/unit/FakePlatform.h"

namespace testpkg {

using packer::Bytes;

// 1024 bytes that pass for a PE image: "MZ", e_lfanew 256, a PE32+ header
// with an empty data directory. Bytes 128-151 are free for the locator.
Bytes FakeStub();

// Gives the PE32+ headers at byte 256 of `image` what Windows' loader
// demands: alignments, 1024 bytes of headers and one section (.text) whose
// raw data is the rest of the image.
void MakeLoadable(Bytes& image);

// Deterministic bytes that compress somewhat, like a real program would.
Bytes SetupImage(size_t size, uint32_t seed = 1);

// A complete launcher file; a failed build fails the calling test.
Bytes BuildLauncher(const Bytes& setup,
                    const packer::PackageOptions& options = {});

// A file of a set for BuildSetLauncher.
struct SetFileSpec {
  std::u16string path;
  Bytes bytes;
};

// A file-set launcher, laid out as stubpack lays it out, with the files in
// the order given (tests give them in the table's order, or break it on
// purpose); the table is not checked here.
Bytes BuildSetLauncher(const std::vector<SetFileSpec>& files, uint32_t entry,
                       uint64_t blockSize = 4096, uint16_t flags = 0);
// The set table's place in such a file.
uint64_t SetTableOffsetOf(const Bytes& file);

// The file's records, read back from its bytes.
PackageLocator LocatorOf(const Bytes& file);
PackageHeader HeaderOf(const Bytes& file);
void StoreLocator(Bytes& file, const PackageLocator& locator);
void StoreHeader(Bytes& file, const PackageHeader& header);

// Decodes `block` with the launcher's decoder, reading and handing on
// `pieceSize` bytes at a time (a small size crosses many piece boundaries);
// what the decoder handed on goes to `out`.
LzmaOutcome DecodeBlock(const LzmaProperties& properties, const Bytes& block,
                        int32_t size, Bytes* out = nullptr,
                        int32_t pieceSize = 1 << 20);

// Makes `file` the launcher's own file (Fake().files[Fake().modulePath]).
void InstallLauncher(const Bytes& file);
FakeFile& OwnFile();

// Runs `step`; the exit code when it ended the process, nothing otherwise.
template <typename Step>
std::optional<uint32_t> ExitCodeOf(Step step) {
  try {
    step();
  } catch (const FakeExit& exit) {
    return exit.exitCode;
  }
  return std::nullopt;
}

// Exactly one launcher error box with `text`, captioned with the own path,
// and the exit code of that message.
::testing::AssertionResult EndedWithBox(const std::u16string& text);

// The block entries of a file-set launcher's table.
std::vector<FileSetBlock> BlocksOf(const Bytes& file);

// Nothing is left below `folder` (ending in a backslash): no file and no
// folder, but `kept` and the folders it lies in; and no handle is open but
// the launcher's own file, which a fatal end leaves to the system.
::testing::AssertionResult NothingLeftIn(const std::u16string& folder,
                                         const std::u16string& kept = u"");

// Fresh fake and process-wide launcher state for every test.
class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Runs the whole launcher on `file` with `arguments`, as an
  // administrator (the direct start). The exit code when it ended the
  // process; otherwise none, and RunLauncher's result is in returned_.
  std::optional<uint32_t> RunWhole(const Bytes& file,
                                   const std::u16string& arguments = u"");
  uint32_t returned_ = 0;
};

}  // namespace testpkg
