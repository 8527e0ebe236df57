// SPDX-License-Identifier: 0BSD
// Launcher files for host tests.
#include "tests/unit/TestPackages.h"

#include <cstring>
#include <string>

#include "core/FatalErrors.h"

#include "handoff/Administrator.h"
#include "handoff/Launch.h"

namespace testpkg {

Bytes FakeStub() {
  Bytes stub(1024, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  stub[60] = 0x00;  // e_lfanew = 256
  stub[61] = 0x01;
  std::memcpy(stub.data() + 256, "PE\0\0", 4);
  stub[256 + 4 + 16] = 0xF0;  // SizeOfOptionalHeader: 240, PE32+
  stub[256 + 24] = 0x0B;      // optional header magic 0x20B
  stub[256 + 25] = 0x02;
  MakeLoadable(stub);
  return stub;
}

void MakeLoadable(Bytes& image) {
  const auto put32 = [&image](size_t at, uint32_t value) {
    std::memcpy(image.data() + at, &value, 4);
  };
  const size_t optional = 256 + 24, section = optional + 240;
  image[256 + 6] = 1;             // NumberOfSections
  put32(optional + 32, 0x1000);   // SectionAlignment
  put32(optional + 36, 0x200);    // FileAlignment
  put32(optional + 56, 0x2000);   // SizeOfImage
  put32(optional + 60, 1024);     // SizeOfHeaders
  put32(optional + 108, 16);      // NumberOfRvaAndSizes
  std::memcpy(image.data() + section, ".text", 5);
  put32(section + 8, 0x1000);     // VirtualSize
  put32(section + 12, 0x1000);    // VirtualAddress
  if (image.size() > 1024) {
    put32(section + 16, (uint32_t)image.size() - 1024);  // SizeOfRawData
    put32(section + 20, 1024);                           // PointerToRawData
  }
}

Bytes SetupImage(size_t size, uint32_t seed) {
  // Short runs of words from a small alphabet: enough structure for matches
  // of every length, enough noise for literals.
  Bytes image(size);
  uint32_t state = seed * 2654435761u + 12345;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345;
    uint32_t r = state >> 16;
    image[i] = (r % 5 == 0) ? (uint8_t)r : (uint8_t)("MZPE setup\0\x90"[r % 12]);
  }
  return image;
}

Bytes BuildLauncher(const Bytes& setup, const packer::PackageOptions& options) {
  packer::BuildResult result =
      packer::BuildLauncherFile(FakeStub(), setup, options);
  EXPECT_TRUE(result.ok) << result.error;
  return result.file;
}

PackageLocator LocatorOf(const Bytes& file) {
  PackageLocator locator;
  std::memcpy(&locator, file.data() + kPackageLocatorOffset, sizeof(locator));
  return locator;
}

PackageHeader HeaderOf(const Bytes& file) {
  PackageHeader header;
  std::memcpy(&header, file.data() + LocatorOf(file).packageOffset,
              sizeof(header));
  return header;
}

void StoreLocator(Bytes& file, const PackageLocator& locator) {
  std::memcpy(file.data() + kPackageLocatorOffset, &locator, sizeof(locator));
}

void StoreHeader(Bytes& file, const PackageHeader& header) {
  std::memcpy(file.data() + LocatorOf(file).packageOffset, &header,
              sizeof(header));
}

namespace {

bool ReadFromBytes(void* context, uint32_t offset, uint8_t* buffer,
                   uint32_t count) {
  const Bytes* block = (const Bytes*)context;
  if ((uint64_t)offset + count > block->size()) return false;
  std::memcpy(buffer, block->data() + offset, count);
  return true;
}

void AppendToBytes(void* context, const uint8_t* data, uint32_t count) {
  ((Bytes*)context)->insert(((Bytes*)context)->end(), data, data + count);
}

}  // namespace

LzmaOutcome DecodeBlock(const LzmaProperties& properties, const Bytes& block,
                        int32_t size, Bytes* out, int32_t pieceSize) {
  Bytes decoded;
  TStream input;
  TStream output;
  input.SetSize(pieceSize);
  output.SetSize(pieceSize);
  LzmaBlock source = {ReadFromBytes, (void*)&block, (uint32_t)block.size()};
  LzmaOutcome outcome = DecodeLzmaExactly(properties, source, &input, &output,
                                          size, {AppendToBytes, &decoded});
  if (out) *out = decoded;
  return outcome;
}

void InstallLauncher(const Bytes& file) { OwnFile().bytes = file; }

FakeFile& OwnFile() { return Fake().files[Fake().modulePath]; }

uint32_t ExitCodeOfMessage(const std::u16string& text) {
  if (text == kPackageDamagedText) return 1620;
  if (text == kPackageTruncatedText) return 1619;
  if (text == kTempCopyFailedText) return 1632;
  if (text == kLaunchFailedText) return 1603;  // the fake start leaves no error
  return 1654;                                 // the package's own refusal
}

::testing::AssertionResult EndedWithBox(const std::u16string& text) {
  const FakeSystem& fake = Fake();
  if (fake.boxes.size() != 1)
    return ::testing::AssertionFailure()
           << fake.boxes.size() << " boxes shown"
           << (fake.boxes.empty() ? "" : ", first: " +
                                              Narrow(fake.boxes[0].text));
  const FakeBox& box = fake.boxes[0];
  if (box.text != text)
    return ::testing::AssertionFailure() << "box text: " << Narrow(box.text);
  if (box.caption != fake.modulePath)
    return ::testing::AssertionFailure()
           << "box caption: " << Narrow(box.caption);
  if (box.style != 0x10)
    return ::testing::AssertionFailure() << "box style: " << box.style;
  if (fake.exitCode != ExitCodeOfMessage(text))
    return ::testing::AssertionFailure()
           << "exit code " << (fake.exitCode ? std::to_string(*fake.exitCode) : "none")
           << ", not " << ExitCodeOfMessage(text);
  return ::testing::AssertionSuccess();
}

void LauncherTest::SetUp() {
  ResetFake();
  ResetAdministratorTestForTesting();
  gPackageLocator = PackageLocator();
  gPackageHeader = PackageHeader();
}

}  // namespace testpkg
