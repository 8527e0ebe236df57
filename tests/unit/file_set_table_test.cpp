// SPDX-License-Identifier: 0BSD
// The set table's rules: a sound table, then one fault at a time, each
// refused for its own rule.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "extract/FileSetTable.h"

namespace {

struct TableFile {
  std::u16string path;
  uint64_t size;
};

const uint64_t kTableOffset = 50000;

// A table as stubpack lays it out: blocks right behind it, 100 packed
// bytes each, the package ending with the last.
struct Table {
  FileSetTableHeader header = {};
  std::vector<FileSetEntry> files;
  std::vector<FileSetBlock> blocks;
  std::u16string names;

  Table(const std::vector<TableFile>& list, uint32_t entry, uint64_t blockSize) {
    header.version = kFileSetVersion;
    header.fileCount = (uint32_t)list.size();
    header.entryIndex = entry;
    header.blockSize = blockSize;
    for (const TableFile& f : list) {
      files.push_back({f.size, (uint32_t)f.path.size()});
      names += f.path;
      header.totalSize += f.size;
    }
    header.nameUnits = (uint32_t)names.size();
    const uint64_t count = (header.totalSize + blockSize - 1) / blockSize;
    header.blockCount = (uint32_t)count;
    uint64_t at = kTableOffset + sizeof header +
                  files.size() * sizeof(FileSetEntry) +
                  count * sizeof(FileSetBlock) + names.size() * sizeof(WideChar);
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t left = header.totalSize - i * blockSize;
      blocks.push_back({at, 100, left < blockSize ? left : blockSize, 0});
      at += 100;
    }
    header.packageEnd = at;
  }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out(sizeof header);
    std::memcpy(out.data(), &header, sizeof header);
    auto append = [&](const void* data, size_t size) {
      const uint8_t* p = (const uint8_t*)data;
      out.insert(out.end(), p, p + size);
    };
    append(files.data(), files.size() * sizeof(FileSetEntry));
    append(blocks.data(), blocks.size() * sizeof(FileSetBlock));
    append(names.data(), names.size() * sizeof(WideChar));
    return out;
  }
};

SetTableCheck Check(const std::vector<uint8_t>& bytes, uint64_t fileSize) {
  FileSetView view;
  std::vector<uint16_t> aligned((bytes.size() + 1) / 2);
  std::memcpy(aligned.data(), bytes.data(), bytes.size());
  return CheckSetTable((const uint8_t*)aligned.data(), (uint32_t)bytes.size(),
                       kTableOffset, fileSize, &view);
}

Table Sound() {
  return Table({{u"Data\\a.cab", 5000},
                {u"Data\\b.cab", 0},
                {u"Data\\sub\\c.bin", 9000},
                {u"product.msi", 3000},
                {u"readme.txt", 200}},
               3, 4096);
}

struct Fault {
  const char* name;
  std::function<void(Table&)> make;
  SetTableRule rule;
};

TEST(FileSetTable, EachFaultIsRefusedForItsRule) {
  const Fault faults[] = {
      {"sound", [](Table&) {}, SetTableRule::None},
      {"version 2", [](Table& t) { t.header.version = 2; }, SetTableRule::Version},
      {"an unknown flag", [](Table& t) { t.header.flags = 2; }, SetTableRule::Version},
      {"the launcher's name for five files", [](Table& t) { t.header.flags = 1; },
       SetTableRule::Entry},
      {"reserved byte", [](Table& t) { t.header.reserved[19] = 1; },
       SetTableRule::Version},
      {"no files", [](Table& t) { t.header.fileCount = 0; }, SetTableRule::FileCount},
      {"too many files", [](Table& t) { t.header.fileCount = kMaxSetFiles + 1; },
       SetTableRule::FileCount},
      {"a file more than listed", [](Table& t) { t.header.fileCount = 4; },
       SetTableRule::Size},
      {"name units off by one", [](Table& t) { t.files[0].nameUnits++; t.files[1].nameUnits--; },
       SetTableRule::Name},
      {"pool larger than the names", [](Table& t) { t.files[0].nameUnits--; },
       SetTableRule::Size},
      {"entry past the files", [](Table& t) { t.header.entryIndex = 5; },
       SetTableRule::Entry},
      {"entry a text file", [](Table& t) { t.header.entryIndex = 4; },
       SetTableRule::Entry},
      {"sizes do not add up", [](Table& t) { t.files[4].size++; },
       SetTableRule::FileSizes},
      {"sizes wrap around", [](Table& t) { t.files[1].size = ~0ull - 4000; },
       SetTableRule::FileSizes},
      {"block size too small", [](Table& t) { t.header.blockSize = 4095; },
       SetTableRule::BlockSize},
      {"block size too large", [](Table& t) { t.header.blockSize = (1ull << 30) + 1; },
       SetTableRule::BlockSize},
      {"a block too few", [](Table& t) { t.header.blockSize = 8192; },
       SetTableRule::BlockCount},
      {"last block one byte long", [](Table& t) { t.blocks.back().unpackedSize++; },
       SetTableRule::BlockCoverage},
      {"first block short", [](Table& t) { t.blocks[0].unpackedSize--; },
       SetTableRule::BlockCoverage},
      {"block over the table", [](Table& t) { t.blocks[0].packedOffset -= 1; },
       SetTableRule::BlockPlace},
      {"blocks overlap", [](Table& t) { t.blocks[2].packedOffset -= 1; },
       SetTableRule::BlockPlace},
      {"block past the package", [](Table& t) { t.blocks.back().packedSize++; },
       SetTableRule::BlockPlace},
      {"block offset wraps", [](Table& t) { t.blocks.back().packedOffset = ~0ull - 50; },
       SetTableRule::BlockPlace},
      {"block of 2 GiB", [](Table& t) { t.blocks.back().packedSize = 1ull << 31; t.header.packageEnd = ~0ull; },
       SetTableRule::BlockPlace},
  };
  for (const Fault& fault : faults) {
    Table table = Sound();
    fault.make(table);
    EXPECT_EQ(Check(table.Bytes(), 1 << 20).rule, fault.rule) << fault.name;
  }
  // Refused before its paths are judged, so it names no file: verify once
  // read path 0 of such a table, past the table's end with a long one.
  Table alone = Sound();
  alone.header.flags = kSetEntryTakesLauncherName;
  EXPECT_GE(Check(alone.Bytes(), 1 << 20).index, alone.header.fileCount);
}

TEST(FileSetTable, NamesAreCheckedAsAPairWithTheirNeighbour) {
  Table table({{u"a.exe", 1}, {u"A.EXE", 1}}, 0, 4096);
  SetTableCheck check = Check(table.Bytes(), 1 << 20);
  EXPECT_EQ(check.rule, SetTableRule::Name);
  EXPECT_EQ(check.index, 1u);
  EXPECT_EQ(check.nameProblem, NameProblem::Duplicate);

  Table traversal({{u"..\\evil.exe", 1}}, 0, 4096);
  check = Check(traversal.Bytes(), 1 << 20);
  EXPECT_EQ(check.rule, SetTableRule::Name);
  EXPECT_EQ(check.nameProblem, NameProblem::DotComponent);
}

TEST(FileSetTable, AFileEndingBeforeThePackageIsTruncatedNotDamaged) {
  Table table = Sound();
  EXPECT_EQ(Check(table.Bytes(), table.header.packageEnd).rule, SetTableRule::None);
  EXPECT_EQ(Check(table.Bytes(), table.header.packageEnd - 1).rule,
            SetTableRule::Truncated);
  // Damage outranks: a broken table in a short file is damaged.
  table.header.version = 9;
  EXPECT_EQ(Check(table.Bytes(), 0).rule, SetTableRule::Version);
}

TEST(FileSetTable, EmptyFilesNeedNoBlock) {
  Table table({{u"empty.dat", 0}, {u"setup.exe", 0}}, 1, 1 << 20);
  EXPECT_EQ(table.header.blockCount, 0u);
  EXPECT_EQ(Check(table.Bytes(), 1 << 20).rule, SetTableRule::None);
}

TEST(FileSetTable, TheTableMustLieInsideTheCheckedRegion) {
  PackageLocator locator = {};
  locator.packageOffset = 1000;
  locator.crcLength = 5000;
  PackageHeader header = {};
  struct {
    uint64_t offset, size;
    bool sound;
  } cases[] = {
      {1074, 64, true},
      {1074, 4926, true},                  // up to the region's end
      {1074, 4927, false},                 // one byte past it
      {1073, 64, false},                   // over the header
      {5990, 64, false},
      {1074, 63, false},                   // smaller than its own header
      {~0ull - 10, 64, false},             // offset + size wraps
      {1074, ~0ull, false},
  };
  for (const auto& c : cases) {
    header.setTableOffset = c.offset;
    header.setTableSize = c.size;
    EXPECT_EQ(SetTablePlaceIsSound(header, locator), c.sound)
        << c.offset << " " << c.size;
  }
  locator.crcLength = 10u << 20;
  header.setTableOffset = 1074;
  header.setTableSize = kMaxSetTableBytes + 1;
  EXPECT_FALSE(SetTablePlaceIsSound(header, locator));
}

}  // namespace
