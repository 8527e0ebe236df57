// SPDX-License-Identifier: 0BSD
// A file set run through the whole main sequence on the fake platform:
// what is made on disk, in which order, what is started, and what is left
// after each way it can end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/StubCore.h"
#include "extract/FileSetTable.h"
#include "extract/SetDecoding.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

const std::u16string kTemp = u"C:\\Users\\me\\AppData\\Local\\Temp\\";
const std::u16string kPrivate = kTemp + FakePrivateFolderName(1);

std::vector<SetFileSpec> Folder() {
  return {{u"data\\a.cab", SetupImage(9000, 2)},
          {u"data\\empty.txt", {}},
          {u"data\\sub\\b.bin", SetupImage(5000, 3)},
          {u"setup.exe", SetupImage(6000, 4)},
          {u"z.txt", {'z'}}};
}

// Flips a bit in the middle of the set's last block.
void DamageLastBlock(Bytes& file) {
  const FileSetBlock block = BlocksOf(file).back();
  file[block.packedOffset + block.packedSize / 2] ^= 0x40;
}

class FileSetRun : public LauncherTest {
 protected:
  std::optional<uint32_t> Run(const Bytes& file,
                              const std::u16string& arguments = u"") {
    return RunWhole(file, arguments);
  }

  // Calls that made or wrote something on disk.
  bool MadeAnything() const {
    for (const std::u16string& call : Fake().calls)
      if (call.rfind(u"folder ", 0) == 0 || call.rfind(u"mkdir ", 0) == 0 ||
          call.rfind(u"create ", 0) == 0)
        return true;
    return false;
  }

  ::testing::AssertionResult NothingLeft(const std::u16string& kept = u"") const {
    return NothingLeftIn(kTemp, kept);
  }
};

TEST_F(FileSetRun, EveryFileArrivesAndTheEntryRunsThenAllIsRemoved) {
  const std::vector<SetFileSpec> files = Folder();
  std::map<std::u16string, Bytes> seen;
  int locks = 0;
  Fake().onWait = [&] {
    for (const SetFileSpec& file : files)
      seen[file.path] = Fake().files[kPrivate + u"\\" + file.path].bytes;
    locks = Fake().openHandles;
  };
  Fake().setupExitCode = 3010;
  EXPECT_EQ(Run(BuildSetLauncher(files, 3), u"/x \"a b\""), std::nullopt);
  EXPECT_EQ(returned_, 3010u);
  for (const SetFileSpec& file : files)
    EXPECT_EQ(seen[file.path], file.bytes) << Narrow(file.path);
  EXPECT_EQ(locks, (int)files.size() + 1);  // every file, and the process
  ASSERT_EQ(Fake().starts.size(), 1u);
  const std::u16string entry = kPrivate + u"\\setup.exe";
  EXPECT_EQ(Fake().starts[0].commandLine,
            u"\"" + entry + u"\" \"C:\\Downloads\\setup.exe\" /x \"a b\"");
  EXPECT_EQ(Fake().starts[0].currentDirectory, u"C:\\Downloads\\");
  EXPECT_TRUE(NothingLeft());
  EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(FileSetRun, ASetOfOneProgramCanTakeTheLaunchersName) {
  // As the single copy is named: a large program packed in blocks runs
  // exactly like a small one.
  Fake().modulePath = u"C:\\Downloads\\MyApp-Setup.exe";
  Fake().processors = 2;
  const Bytes program = SetupImage(20000, 9);
  Bytes seen;
  const std::u16string copy = kPrivate + u"\\MyApp-Setup.exe";
  Fake().onWait = [&] { seen = Fake().files[copy].bytes; };
  EXPECT_EQ(Run(BuildSetLauncher({{u"stored.exe", program}}, 0, 4096,
                                 kSetEntryTakesLauncherName)),
            std::nullopt);
  EXPECT_EQ(seen, program);
  ASSERT_EQ(Fake().starts.size(), 1u);
  EXPECT_EQ(Fake().starts[0].commandLine,
            u"\"" + copy + u"\" \"C:\\Downloads\\MyApp-Setup.exe\"");
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FileSetRun, FoldersComeBeforeTheirFilesAndGoAfterThem) {
  Run(BuildSetLauncher(Folder(), 3));
  std::vector<std::u16string> made;
  for (const std::u16string& call : Fake().calls)
    if (call.rfind(u"mkdir ", 0) == 0 || call.rfind(u"create ", 0) == 0 ||
        call.rfind(u"remove ", 0) == 0 || call == u"start")
      made.push_back(call.substr(0, call.find(u' ')) +
                     (call == u"start" ? u"" : u" " + call.substr(call.find(kPrivate) + kPrivate.size())));
  const std::vector<std::u16string> expected = {
      u"mkdir \\data",           u"create \\data\\a.cab",
      u"create \\data\\empty.txt", u"mkdir \\data\\sub",
      u"create \\data\\sub\\b.bin", u"create \\setup.exe",
      u"create \\z.txt",         u"start",
      u"remove \\data\\sub",     u"remove \\data",
      u"remove ",
  };
  EXPECT_EQ(made, expected);
}

TEST_F(FileSetRun, DetachedModeLeavesTheSetUnlocked) {
  Bytes file = BuildSetLauncher(Folder(), 3);
  PackageLocator locator = LocatorOf(file);
  locator.detachedFileSize = (uint32_t)file.size();
  StoreLocator(file, locator);
  EXPECT_EQ(Run(file), std::nullopt);
  EXPECT_EQ(returned_, 0u);
  EXPECT_EQ(Fake().files.count(kPrivate + u"\\data\\sub\\b.bin"), 1u);
  EXPECT_EQ(Fake().openHandles, 1);  // the process handle only
}

struct Refusal {
  const char* name;
  std::function<Bytes()> make;
  uint32_t exitCode;
  bool madeFirst;  // the refusal comes only after the set was made
};

TEST_F(FileSetRun, RefusalsEndWithTheirMessageAndLeaveNothing) {
  auto corrupt = [](std::function<void(Bytes&, uint64_t table)> change) {
    return [change] {
      Bytes file = BuildSetLauncher(Folder(), 3);
      change(file, SetTableOffsetOf(file));
      // Recompute the CRC-32 so that only the table's own rules can refuse.
      PackageLocator locator = LocatorOf(file);
      locator.crcValue = ComputeCrc32(file.data() + locator.packageOffset,
                                      (int32_t)locator.crcLength);
      StoreLocator(file, locator);
      return file;
    };
  };
  const Refusal cases[] = {
      {"traversal", [] { return BuildSetLauncher({{u"..\\evil.exe", {1}}}, 0); },
       1620, false},
      {"stream", [] { return BuildSetLauncher({{u"a.exe:x", {1}}}, 0); }, 1620,
       false},
      {"device", [] { return BuildSetLauncher({{u"nul.txt", {1}}, {u"s.exe", {1}}}, 1); },
       1620, false},
      {"case-folded duplicate",
       [] { return BuildSetLauncher({{u"A.exe", {1}}, {u"a.EXE", {2}}}, 0); }, 1620,
       false},
      {"file and folder",
       [] { return BuildSetLauncher({{u"bin", {1}}, {u"bin\\s.exe", {2}}}, 1); },
       1620, false},
      {"entry not a program",
       [] { return BuildSetLauncher({{u"a.cmd", {1}}}, 0); }, 1620, false},
      {"sizes do not add up",
       corrupt([](Bytes& f, uint64_t t) { f[t + 64] ^= 1; }), 1620, false},
      {"table larger than its limit",
       corrupt([](Bytes& f, uint64_t) {
         PackageHeader h = HeaderOf(f);
         h.setTableSize = kMaxSetTableBytes + 2;
         StoreHeader(f, h);
       }),
       1620, false},
      {"block past the end",
       corrupt([](Bytes& f, uint64_t t) {
         FileSetBlock block;
         const uint64_t at = t + 64 + 5 * sizeof(FileSetEntry);
         std::memcpy(&block, &f[at], sizeof block);
         block.packedSize += 1 << 20;
         std::memcpy(&f[at], &block, sizeof block);
       }),
       1620, false},
      {"cut after the table",
       [] {
         Bytes f = BuildSetLauncher(Folder(), 3);
         PackageLocator l = LocatorOf(f);
         f.resize(f.size() - 10);
         l.expectedFileSize = (int64_t)f.size();
         StoreLocator(f, l);
         return f;
       },
       1619, false},
      {"byte changed in the last block",
       [] {
         Bytes f = BuildSetLauncher(Folder(), 3);
         DamageLastBlock(f);
         return f;
       },
       1620, true},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    EXPECT_EQ(Run(c.make()), c.exitCode);
    EXPECT_EQ(Fake().boxes.size(), 1u);
    EXPECT_EQ(MadeAnything(), c.madeFirst);
    EXPECT_TRUE(Fake().starts.empty());
    EXPECT_TRUE(NothingLeft());
  }
}

TEST_F(FileSetRun, APathTooLongForWindowsCreatesNothing) {
  // The private folder adds "\sl-" + 16 digits + ".tmp" and a backslash.
  // A file's path of 260 units and more is refused; 259 is taken.
  for (uint32_t length : {259u, 260u}) {
    SCOPED_TRACE(length);
    SetUp();
    const std::u16string folder = u"D:\\" + std::u16string(200, u't');
    const uint32_t fixed = (uint32_t)folder.size() + 1 + 23 + 1;
    const std::u16string entry = std::u16string(length - fixed - 4, u'e') + u".exe";
    Fake().folders.insert(folder);
    EXPECT_EQ(Run(BuildSetLauncher({{entry, {1, 2}}}, 0), u"/temp " + folder),
              length > 259 ? std::optional<uint32_t>(1632) : std::nullopt);
    EXPECT_EQ(MadeAnything(), length <= 259);
  }
  // A folder's path is held to 247 units.
  for (uint32_t length : {247u, 248u}) {
    SCOPED_TRACE(length);
    SetUp();
    const std::u16string folder = u"D:\\" + std::u16string(200, u't');
    const uint32_t fixed = (uint32_t)folder.size() + 1 + 23 + 1;
    const std::u16string sub = std::u16string(length - fixed, u'd');
    Fake().folders.insert(folder);
    EXPECT_EQ(Run(BuildSetLauncher({{sub + u"\\a.exe", {1}}}, 0), u"/temp " + folder),
              length > 247 ? std::optional<uint32_t>(1632) : std::nullopt);
  }
}

TEST_F(FileSetRun, DamageOutranksADiskThatFillsUp) {
  // The disk fills up in the second file; the set goes, whatever the verdict.
  Fake().failWriteAfter = 100;
  EXPECT_EQ(Run(BuildSetLauncher(Folder(), 3)), 1632u);
  EXPECT_TRUE(NothingLeft());
  SetUp();
  Fake().failWriteAfter = 100;
  Bytes damaged = BuildSetLauncher(Folder(), 3);
  DamageLastBlock(damaged);
  EXPECT_EQ(Run(damaged), 1620u);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FileSetRun, ASetThatCannotBeKeptAndLockedGoesWhole) {
  const struct {
    const char* name;
    std::function<void()> fault;
    bool firstFileStays;  // it is no longer the file written
  } cases[] = {
      {"mark not cleared", [] { Fake().clearingDeleteMarkFails = true; }, false},
      {"reopen fails", [] { Fake().reopenFails = true; }, false},
      {"swapped before the reopen", [] { Fake().copySwappedBeforeReopen = true; },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.fault();
    EXPECT_EQ(Run(BuildSetLauncher(Folder(), 3)), 1632u);
    EXPECT_TRUE(Fake().starts.empty());
    const std::u16string first = kPrivate + u"\\data\\a.cab";
    EXPECT_EQ(Fake().files.count(first), c.firstFileStays ? 1u : 0u);
    EXPECT_TRUE(NothingLeft(first));
  }
}

TEST_F(FileSetRun, AFileSwappedDuringTheRunIsNotDeleted) {
  // Whatever took a file's place is left alone; the rest goes.
  const std::u16string swapped = kPrivate + u"\\data\\sub\\b.bin";
  Fake().onWait = [&] { Fake().SwapFile(swapped); };
  Run(BuildSetLauncher(Folder(), 3));
  EXPECT_EQ(Fake().files.count(swapped), 1u);
  EXPECT_EQ(Fake().files.count(kPrivate + u"\\data\\a.cab"), 0u);
  EXPECT_EQ(Fake().folders.count(kPrivate + u"\\data\\sub"), 1u);
  EXPECT_EQ(Fake().folders.count(kPrivate + u"\\data"), 1u);
}

TEST(FileSetThreads, OnePerProcessorWithinBlocksCapAndMemory) {
  const uint64_t GiB = 1ull << 30, MiB = 1ull << 20;
  const struct {
    uint32_t processors, blocks;
    uint64_t dictionary, memory;
    uint32_t threads;
  } cases[] = {
      {1, 10, 8 * MiB, 8 * GiB, 1},
      {2, 10, 8 * MiB, 8 * GiB, 2},
      {16, 10, 8 * MiB, 8 * GiB, 8},   // at most eight
      {4, 3, 8 * MiB, 8 * GiB, 3},     // no more than the blocks
      {4, 0, 8 * MiB, 8 * GiB, 1},     // an empty set still has its one
      {4, 10, 64 * MiB, 150 * MiB, 2}, // what the memory holds
      {4, 10, 64 * MiB, 10 * MiB, 1},  // never fewer than one
      {4, 10, 64 * MiB, 0, 4},         // unknown memory: no limit
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseDecodeThreads(c.processors, c.blocks, c.dictionary, c.memory),
              c.threads)
        << c.processors << " " << c.blocks << " " << c.memory;
}

TEST_F(FileSetRun, TwoThreadsDecodeEveryBlockIntoPlace) {
  // 4 KiB blocks: twenty of them, and files that span several.
  const std::vector<SetFileSpec> files = Folder();
  std::map<std::u16string, Bytes> seen;
  Fake().onWait = [&] {
    for (const SetFileSpec& file : files)
      seen[file.path] = Fake().files[kPrivate + u"\\" + file.path].bytes;
  };
  Fake().processors = 2;
  EXPECT_EQ(Run(BuildSetLauncher(files, 3)), std::nullopt);
  EXPECT_EQ(std::count(Fake().calls.begin(), Fake().calls.end(), u"thread"), 2);
  for (const SetFileSpec& file : files)
    EXPECT_EQ(seen[file.path], file.bytes) << Narrow(file.path);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FileSetRun, TheFirstRefusedBlockStopsTheOtherThreads) {
  // The fake runs its threads one after the other: the first takes the
  // blocks in order until the damaged one, and no thread reads a block past
  // it.
  Bytes file = BuildSetLauncher(Folder(), 3);
  const std::vector<FileSetBlock> blocks = BlocksOf(file);
  ASSERT_GE(blocks.size(), 4u);
  file[blocks[1].packedOffset + blocks[1].packedSize / 2] ^= 0x40;
  Fake().processors = 2;
  EXPECT_EQ(Run(file), 1620u);
  for (uint64_t offset : Fake().readOffsets)
    EXPECT_LT(offset, blocks[1].packedOffset + blocks[1].packedSize);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FileSetRun, WithoutThreadsTheLauncherDecodesItself) {
  Fake().processors = 4;
  Fake().threadStartsLeft = 0;
  EXPECT_EQ(Run(BuildSetLauncher(Folder(), 3)), std::nullopt);
  EXPECT_EQ(Fake().starts.size(), 1u);
  EXPECT_TRUE(NothingLeft());
}

}  // namespace
