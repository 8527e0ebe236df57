// SPDX-License-Identifier: 0BSD
// libFuzzer target: a file set's table, as the launcher judges it and as
// stubpack shows and writes it. The input is the table's file offset (8
// bytes), the launcher file's size (8 bytes), then the table's bytes.
//
// A table CheckSetTable accepts must hold everything its rules promise,
// walked with SetPathCursor: paths in strictly increasing order that each
// keep the path rules, names that end exactly at the table's end, sizes
// that add up, blocks that cover the files' bytes in order between the
// table and packageEnd, an .exe or .msi entry. stubpack's planner must
// take the same paths in the same order, and a set built from them must
// give a table that CheckSetTable accepts with those paths. A table
// refused for a path must be refused by the planner too (unless only its
// order was wrong, which the planner mends by sorting). inspect's lines
// and JSON must come out for every table, one-line faults and valid JSON.
// Anything else aborts.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "extract/FileSetNames.h"
#include "extract/FileSetTable.h"
#include "packer/FileSetInfo.h"
#include "packer/FileSetText.h"
#include "packer/FileSetWriter.h"
#include "packer/PackageWriter.h"
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/JsonChecker.h"

namespace {

using packer::Bytes;

// 1024 bytes a loader takes: "MZ", PE32+ headers at 256, one section.
Bytes SmallStub() {
  Bytes stub(1024, 0);
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(stub.data() + at, &v, 2); };
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(stub.data() + at, &v, 4); };
  stub[0] = 'M';
  stub[1] = 'Z';
  put32(60, 256);
  std::memcpy(stub.data() + 256, "PE\0\0", 4);
  put16(260, 0x8664);
  put16(262, 1);
  put16(276, 240);
  put16(280, 0x20B);
  put32(280 + 32, 0x1000);
  put32(280 + 36, 0x200);
  put32(280 + 56, 0x2000);
  put32(280 + 60, 1024);
  put32(280 + 108, 16);
  std::memcpy(stub.data() + 520, ".text", 5);
  put32(520 + 8, 0x1000);
  put32(520 + 12, 0x1000);
  return stub;
}

struct TablePaths {
  std::vector<std::u16string> paths;
  std::vector<uint64_t> sizes;
};

TablePaths PathsOf(const FileSetView& view) {
  TablePaths out;
  SetPathCursor cursor(view);
  for (uint32_t i = 0; i < view.header->fileCount; ++i) {
    const WideChar* path;
    uint32_t length;
    Require(cursor.Next(&path, &length) == i);
    const uint64_t size = view.files[i].size;  // packed: copied, never bound
    out.paths.emplace_back(path, length);
    out.sizes.push_back(size);
  }
  return out;
}

// What every accepted table promises, checked from its parts.
void CheckPromises(const FileSetView& view, const TablePaths& table, uint32_t size,
                   uint64_t tableOffset) {
  const FileSetTableHeader& header = *view.header;
  uint64_t units = 0, total = 0;
  for (size_t i = 0; i < table.paths.size(); ++i) {
    const std::u16string& path = table.paths[i];
    Require(CheckSetPath(path.data(), (uint32_t)path.size()) == NameProblem::None);
    if (i > 0) {
      const std::u16string& before = table.paths[i - 1];
      Require(CompareSetPaths(before.data(), (uint32_t)before.size(), path.data(),
                              (uint32_t)path.size()) < 0);
      Require(CheckSetPathOrder(before.data(), (uint32_t)before.size(), path.data(),
                                (uint32_t)path.size()) == NameProblem::None);
    }
    units += path.size();
    total += table.sizes[i];
  }
  const std::u16string& entry = table.paths[header.entryIndex];
  Require(EntryKindOf(entry.data(), (uint32_t)entry.size()) != EntryKind::None);
  Require(units == header.nameUnits && total == header.totalSize);
  // The names end the table.
  Require((const uint8_t*)(view.names + units) == (const uint8_t*)view.header + size);
  uint64_t covered = 0, placed = tableOffset + size;
  for (uint32_t i = 0; i < header.blockCount; ++i) {
    const FileSetBlock& block = view.blocks[i];
    Require(block.unpackedSize > 0 && block.unpackedSize <= header.blockSize);
    Require(i + 1 == header.blockCount || block.unpackedSize == header.blockSize);
    Require(block.packedOffset >= placed && block.packedSize <= kMaxSetPackedBlock);
    placed = block.packedOffset + block.packedSize;
    Require(placed <= header.packageEnd);
    covered += block.unpackedSize;
  }
  Require(covered == total);
}

// The packer must take these paths as the launcher did, in that order, and
// a set built from them must read back the same.
void CheckPackerAgrees(const FileSetView& view, const TablePaths& table) {
  const FileSetTableHeader& header = *view.header;
  // Contents stand in for the files: a few bytes each, the entry never empty.
  std::vector<Bytes> contents;
  for (size_t i = 0; i < table.paths.size(); ++i)
    contents.emplace_back(std::min<uint64_t>(table.sizes[i], 16) + (i == header.entryIndex),
                          (uint8_t)i);
  packer::FileSet set;
  set.entry = table.paths[header.entryIndex];
  set.blockSize = 4096;
  for (size_t i = 0; i < table.paths.size(); ++i) {
    packer::SetFile file;
    file.path = table.paths[i];
    file.size = contents[i].size();
    file.name = "file " + std::to_string(i);
    const Bytes* bytes = &contents[i];
    file.open = [bytes](std::string*) { return std::make_unique<packer::MemorySource>(*bytes); };
    set.files.push_back(file);
  }
  packer::FileSet planned = set;
  Require(packer::PlanFileSet(&planned) == "");
  for (size_t i = 0; i < table.paths.size(); ++i) Require(planned.files[i].path == table.paths[i]);
  if (table.paths.size() > 64) return;  // building is the slow part

  packer::PackageOptions options;
  options.lzma.preset = 0;
  packer::MemorySink sink;
  Require(packer::BuildFileSetLauncher(SmallStub(), set, options, sink) == "");
  PackageHeader built;
  std::memcpy(&built, sink.bytes.data() + 1024, sizeof built);
  std::vector<uint16_t> words((size_t)(built.setTableSize + 1) / 2);
  std::memcpy(words.data(), sink.bytes.data() + built.setTableOffset, built.setTableSize);
  FileSetView again = {};
  Require(CheckSetTable((const uint8_t*)words.data(), (uint32_t)built.setTableSize,
                        built.setTableOffset, sink.bytes.size(), &again)
              .rule == SetTableRule::None);
  Require(PathsOf(again).paths == table.paths);
  Require(again.header->entryIndex == header.entryIndex);
}

// A table refused for a path: the packer refuses those paths too, unless
// their order alone was wrong.
void CheckPackerRefuses(const FileSetView& view, const SetTableCheck& check) {
  const bool names = check.rule == SetTableRule::Name && check.nameProblem != NameProblem::OutOfOrder;
  const bool entry = check.rule == SetTableRule::Entry && view.header &&
                     check.index < view.header->fileCount;
  if (!names && !entry) return;
  const TablePaths table = PathsOf(view);
  packer::FileSet set;
  set.entry = table.paths[view.header->entryIndex < table.paths.size() ? view.header->entryIndex
                                                                       : 0];
  set.blockSize = 4096;
  for (size_t i = 0; i < table.paths.size(); ++i) {
    packer::SetFile file;
    file.path = table.paths[i];
    file.size = 1;
    file.name = "file " + std::to_string(i);
    set.files.push_back(file);
  }
  // Refused for a path, named by its file, not for a limit.
  const std::string refusal = packer::PlanFileSet(&set);
  Require(OneLine(refusal) && refusal.find("file ") != std::string::npos);
}

// inspect's view of the table, behind a header that places it soundly.
void CheckInspect(const uint8_t* table, uint32_t size, uint64_t tableOffset, uint64_t fileSize) {
  PackageHeader header = {};
  header.packageForm = kFileSetForm;
  header.setTableOffset = tableOffset;
  header.setTableSize = size;
  PackageLocator locator = {};
  locator.packageOffset = (uint32_t)std::min<uint64_t>(tableOffset - sizeof header, 0x7FFFFFFF);
  locator.crcLength = (uint32_t)std::min<uint64_t>(size + sizeof header, 0xFFFFFFFF);
  const packer::FileReader read = [&](uint64_t offset, uint8_t* into, size_t count) {
    if (offset < tableOffset || offset - tableOffset > size || count > size - (offset - tableOffset))
      return false;
    std::memcpy(into, table + (offset - tableOffset), count);
    return true;
  };
  const packer::FileSetInfo info = packer::ReadFileSetInfo(header, locator, fileSize, read);
  const std::string text = packer::FormatFileSetTable(header, info, fileSize);
  // Paths from the table reach the terminal escaped.
  Require(!text.empty() && text.back() == '\n' && text.find('\x1b') == std::string::npos);
  const std::string json = "{\n" + packer::FileSetJson(header, info) + "  \"end\": null\n}\n";
  Require(JsonChecker(json).Document());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16 || size - 16 > kMaxSetTableBytes) return 0;
  uint64_t tableOffset, fileSize;
  std::memcpy(&tableOffset, data, 8);
  std::memcpy(&fileSize, data + 8, 8);
  // The table sits behind a stub and a header in a real file; offsets of
  // real tables stay as they are, sums stay in range.
  tableOffset = std::max<uint64_t>(tableOffset % (1ull << 40), sizeof(PackageHeader) + 1024);
  const uint32_t tableSize = (uint32_t)(size - 16);
  // An exact-size copy, aligned for its UTF-16 names: reads past its end
  // are caught.
  std::vector<uint16_t> words((tableSize + 1) / 2);
  if (tableSize) std::memcpy(words.data(), data + 16, tableSize);
  const uint8_t* table = (const uint8_t*)words.data();

  FileSetView view = {};
  const SetTableCheck check = CheckSetTable(table, tableSize, tableOffset, fileSize, &view);
  Require(OneLine(packer::DescribeSetTableCheck(check, "x")));
  if (check.rule == SetTableRule::None || check.rule == SetTableRule::Truncated) {
    Require((check.rule == SetTableRule::Truncated) == (view.header->packageEnd > fileSize));
    const TablePaths paths = PathsOf(view);
    CheckPromises(view, paths, tableSize, tableOffset);
    CheckPackerAgrees(view, paths);
  } else {
    CheckPackerRefuses(view, check);
  }
  CheckInspect(table, tableSize, tableOffset, fileSize);
  return 0;
}
