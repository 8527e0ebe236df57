// SPDX-License-Identifier: 0BSD
// Launcher files for host tests.
#include "tests/unit/TestPackages.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/StubCore.h"

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

namespace {

void AppendBytes(Bytes& to, const void* data, size_t size) {
  const uint8_t* bytes = (const uint8_t*)data;
  to.insert(to.end(), bytes, bytes + size);
}

Bytes CompressSlice(const Bytes& slice, uint8_t properties[5]) {
  Bytes block;
  packer::MemorySource source(slice);
  packer::LzmaSettings settings;
  settings.dictionarySize = 1 << 16;
  std::string error;
  EXPECT_TRUE(packer::CompressPayload(
      source, settings,
      [&](const uint8_t* data, size_t size) {
        AppendBytes(block, data, size);
        return true;
      },
      properties, &error))
      << error;
  return block;
}

}  // namespace

Bytes BuildSetLauncher(const std::vector<SetFileSpec>& files, uint32_t entry,
                       uint64_t blockSize, uint16_t flags) {
  Bytes all;
  FileSetTableHeader table = {};
  table.version = kFileSetVersion;
  table.flags = flags;
  table.fileCount = (uint32_t)files.size();
  table.entryIndex = entry;
  table.blockSize = blockSize;
  std::u16string names;
  Bytes entries;
  for (const SetFileSpec& file : files) {
    AppendBytes(all, file.bytes.data(), file.bytes.size());
    const FileSetEntry record = {file.bytes.size(), (uint32_t)file.path.size()};
    AppendBytes(entries, &record, sizeof record);
    names += file.path;
  }
  table.totalSize = all.size();
  table.nameUnits = (uint32_t)names.size();
  table.blockCount = (uint32_t)((all.size() + blockSize - 1) / blockSize);

  Bytes out = FakeStub();
  const uint64_t packageOffset = out.size();
  PackageHeader header = {};
  header.supportFlags = 0x8000000000000F80ull;
  header.win10MaxCode = header.win11MaxCode = 9999;
  header.adminMode = 2;
  header.packageForm = kFileSetForm;
  header.payloadSize = -1;
  header.setTableOffset = packageOffset + sizeof header;
  header.setTableSize = sizeof table + entries.size() +
                        table.blockCount * sizeof(FileSetBlock) +
                        names.size() * sizeof(WideChar);
  const std::u16string text = u"Not on %USER%.";
  header.unsupportedText = {(uint32_t)(header.setTableOffset + header.setTableSize),
                            (uint16_t)text.size()};
  const uint64_t regionEnd =
      header.unsupportedText.textOffset + text.size() * sizeof(WideChar);
  std::vector<FileSetBlock> blocks;
  Bytes packed;
  for (uint64_t at = 0; at < all.size(); at += blockSize) {
    const Bytes slice(all.begin() + at,
                      all.begin() + std::min<uint64_t>(all.size(), at + blockSize));
    const Bytes block = CompressSlice(slice, header.lzmaProperties);
    blocks.push_back({regionEnd + packed.size(), block.size(), slice.size(),
                      ComputeCrc32(slice.data(), (int32_t)slice.size())});
    AppendBytes(packed, block.data(), block.size());
  }
  if (blocks.empty()) CompressSlice(Bytes(), header.lzmaProperties);
  table.packageEnd = regionEnd + packed.size();

  AppendBytes(out, &header, sizeof header);
  AppendBytes(out, &table, sizeof table);
  AppendBytes(out, entries.data(), entries.size());
  AppendBytes(out, blocks.data(), blocks.size() * sizeof(FileSetBlock));
  AppendBytes(out, names.data(), names.size() * sizeof(WideChar));
  AppendBytes(out, text.data(), text.size() * sizeof(WideChar));
  AppendBytes(out, packed.data(), packed.size());
  PackageLocator locator = {};
  locator.packageOffset = (uint32_t)packageOffset;
  locator.crcLength = (uint32_t)(regionEnd - packageOffset);
  locator.crcValue =
      ComputeCrc32(out.data() + packageOffset, (int32_t)locator.crcLength);
  locator.expectedFileSize = (int64_t)out.size();
  StoreLocator(out, locator);
  return out;
}

uint64_t SetTableOffsetOf(const Bytes& file) {
  return HeaderOf(file).setTableOffset;
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

std::vector<FileSetBlock> BlocksOf(const Bytes& file) {
  const PackageHeader header = HeaderOf(file);
  FileSetTableHeader table;
  std::memcpy(&table, &file[header.setTableOffset], sizeof table);
  std::vector<FileSetBlock> blocks(table.blockCount);
  std::memcpy(blocks.data(),
              &file[header.setTableOffset + sizeof table +
                    table.fileCount * sizeof(FileSetEntry)],
              blocks.size() * sizeof(FileSetBlock));
  return blocks;
}

::testing::AssertionResult NothingLeftIn(const std::u16string& folder,
                                         const std::u16string& kept) {
  for (const auto& file : Fake().files)
    if (file.first.rfind(folder, 0) == 0 && file.first != kept)
      return ::testing::AssertionFailure() << "left " << Narrow(file.first);
  for (const std::u16string& made : Fake().folders)
    if (made.rfind(folder, 0) == 0 && kept.rfind(made + u"\\", 0) != 0)
      return ::testing::AssertionFailure() << "left " << Narrow(made);
  if (Fake().openHandles > 1)
    return ::testing::AssertionFailure() << Fake().openHandles << " handles";
  return ::testing::AssertionSuccess();
}

std::optional<uint32_t> LauncherTest::RunWhole(const Bytes& file,
                                               const std::u16string& arguments) {
  InstallLauncher(file);
  Fake().SetArguments(arguments);
  Fake().isAdministrator = true;
  try {
    returned_ = RunLauncher();
  } catch (const FakeExit& exit) {
    return exit.exitCode;
  }
  return std::nullopt;
}

void LauncherTest::SetUp() {
  ResetFake();
  ResetAdministratorTestForTesting();
  gPackageLocator = PackageLocator();
  gPackageHeader = PackageHeader();
}

}  // namespace testpkg
