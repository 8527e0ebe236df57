// SPDX-License-Identifier: 0BSD
// The temporary copy: which folder, which free name, and the writing.
#include <gtest/gtest.h>

#include <functional>

#include "core/FatalErrors.h"
#include "core/StubCore.h"
#include "extract/TemporaryCopy.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

const std::u16string kTemp = u"C:\\Users\\me\\AppData\\Local\\Temp\\";
// The private folder of a run's first random draw, and a path inside it.
const std::u16string kPrivate = kTemp + FakePrivateFolderName(1);
std::u16string InPrivate(const std::u16string& name) {
  return kPrivate + u"\\" + name;
}

class TemporaryCopy : public LauncherTest {
 protected:
  // Writes the copy of a launcher file carrying `payload`, as the main
  // sequence does once the package is checked.
  std::optional<uint32_t> Write(const Bytes& payload, std::u16string* path) {
    const Bytes file = BuildLauncher(payload);
    InstallLauncher(file);
    PlatformHandle own = PlatformOpenForReading(Fake().modulePath.c_str());
    std::optional<uint32_t> exit = ExitCodeOf([&] {
      WrittenCopy copy = WriteTemporaryCopy(own, HeaderOf(file));
      *path = std::u16string(copy.location.file.Data(),
                             copy.location.file.Length());
      PlatformCloseHandle(copy.lock);
    });
    PlatformCloseHandle(own);
    return exit;
  }
};

struct FolderCase {
  const char16_t* arguments;
  std::u16string tempPath;
  std::u16string folder;
  std::optional<std::u16string> tempPath2 = std::nullopt;  // none: missing
};

TEST_F(TemporaryCopy, FolderChoice) {
  const std::u16string tooLong(256, u'x');  // no room for the terminator
  const std::u16string longest = std::u16string(254, u'y') + u"\\";
  const FolderCase cases[] = {
      {u"", kTemp, kTemp},
      {u"/temp", kTemp, u"C:\\Downloads\\"},
      {u"/TEMP D:\\Work", kTemp, u"D:\\Work\\"},
      {u"/tEmP D:\\Work", kTemp, u"D:\\Work\\"},
      {u"/temp D:\\A /temp", kTemp, u"C:\\Downloads\\"},
      {u"/temp D:\\A /temp E:\\B x", kTemp, u"E:\\B\\"},
      {u"/temp /silent", kTemp, u"/silent\\"},
      {u"/temp D:\\Work\\", kTemp, u"D:\\Work\\"},
      {u"/temp D:/Work/", kTemp, u"D:/Work/\\"},
      {u"/temp \"D:\\My Files\"", kTemp, u"D:\\My Files\\"},
      {u"/tmp D:\\Work", kTemp, kTemp},
      {u"x /temp", u"", u"C:\\Downloads\\"},
      {u"", u"", u"C:\\"},
      {u"", tooLong, u"C:\\"},
      {u"", longest, longest},
      {u"", u"D:\\Scratch", u"D:\\Scratch\\"},
      {u"/temp D:\\Work", u"", u"D:\\Work\\"},
      // GetTempPath2W, where kernel32 has it, answers instead.
      {u"", kTemp, u"C:\\Windows\\SystemTemp\\", u"C:\\Windows\\SystemTemp\\"},
      {u"", kTemp, u"C:\\", u""},
      {u"", kTemp, u"C:\\", tooLong},
      {u"/temp D:\\Work", kTemp, u"D:\\Work\\", u"C:\\Windows\\SystemTemp\\"},
      {u"x /temp", kTemp, u"C:\\Downloads\\", u"C:\\Windows\\SystemTemp\\"},
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(Narrow(c.arguments) + " | " + Narrow(c.tempPath));
    ResetFake();
    Fake().tempPath = c.tempPath;
    Fake().tempPath2 = c.tempPath2;
    Fake().SetArguments(c.arguments);
    WideText folder = ChooseTemporaryFolder();
    EXPECT_EQ(std::u16string(folder.Data(), folder.Length()), c.folder);
  }
}

struct NameCase {
  std::u16string modulePath;
  std::vector<std::u16string> files;
  std::vector<std::u16string> folders;
  std::u16string expected;
  std::vector<std::u16string> takenAtCreation = {};
};

TEST_F(TemporaryCopy, NameChoiceSkipsTakenNames) {
  const NameCase cases[] = {
      {u"C:\\Downloads\\setup.exe", {}, {}, InPrivate(u"setup.exe")},
      {u"C:\\Downloads\\setup.exe",
       {InPrivate(u"setup.exe"), InPrivate(u"setup2.exe")}, {},
       InPrivate(u"setup3.exe")},
      {u"C:\\Downloads\\setup.exe", {}, {InPrivate(u"setup.exe")},
       InPrivate(u"setup2.exe")},
      {u"C:\\Downloads\\install", {InPrivate(u"install")}, {},
       InPrivate(u"ins2tall")},
      {u"C:\\Downloads\\setup.exe",
       {InPrivate(u"setup.exe"), InPrivate(u"setup2.exe"), InPrivate(u"setup3.exe"),
        InPrivate(u"setup4.exe"), InPrivate(u"setup5.exe"), InPrivate(u"setup6.exe"),
        InPrivate(u"setup7.exe"), InPrivate(u"setup8.exe"), InPrivate(u"setup9.exe")},
       {}, InPrivate(u"setup10.exe")},
      // A fresh folder never needs a number, but the rule stays: taken names
      // are skipped, and one taken after the existence test is never
      // replaced.
      {u"C:\\Downloads\\setup.exe", {}, {}, InPrivate(u"setup2.exe"),
       {InPrivate(u"setup.exe")}},
      {u"C:\\Downloads\\setup.exe", {InPrivate(u"setup.exe")}, {},
       InPrivate(u"setup4.exe"), {InPrivate(u"setup2.exe"), InPrivate(u"setup3.exe")}},
  };
  const Bytes payload = SetupImage(777);
  for (const NameCase& c : cases) {
    SCOPED_TRACE(Narrow(c.expected));
    LauncherTest::SetUp();
    Fake().modulePath = c.modulePath;
    Fake().SetArguments(u"");
    for (const auto& f : c.files) Fake().files[f].bytes = {1};
    for (const auto& f : c.folders) Fake().folders.insert(f);
    Fake().takenAtCreation.insert(c.takenAtCreation.begin(), c.takenAtCreation.end());
    std::u16string path;
    ASSERT_EQ(Write(payload, &path), std::nullopt);
    EXPECT_EQ(path, c.expected);
    EXPECT_EQ(Fake().files[c.expected].bytes, payload);
    EXPECT_EQ(Fake().createdFiles, std::vector<std::u16string>{c.expected});
    for (const auto& other : c.takenAtCreation)
      EXPECT_EQ(Fake().files[other].bytes, (Bytes{0x4D, 0x5A}));
    EXPECT_EQ(Fake().openHandles, 0);
  }
}

TEST_F(TemporaryCopy, NumberGoesBeforeTheLastFourUnits) {
  const struct { const char16_t* path; int32_t number; const char16_t* expected; }
      cases[] = {{u"C:\\T\\setup.exe", 2, u"C:\\T\\setup2.exe"},
                 {u"C:\\T\\setup.exe", 2147483647, u"C:\\T\\setup2147483647.exe"},
                 {u"C:\\T\\a.msi", 10, u"C:\\T\\a10.msi"},
                 {u"C:\\T\\x", 3, u"C:3\\T\\x"}};
  for (const auto& c : cases) {
    WideText numbered = NumberedPath(WideText(c.path), c.number);
    EXPECT_EQ(std::u16string(numbered.Data(), numbered.Length()), c.expected);
  }
}

TEST_F(TemporaryCopy, UncreatableFileEndsWithTheTemporaryCopyMessage) {
  Fake().unwritableFolders.insert(kTemp);
  std::u16string path;
  EXPECT_EQ(Write(SetupImage(100), &path), 1632u);
  EXPECT_TRUE(EndedWithBox(kTempCopyFailedText));
  EXPECT_TRUE(Fake().createdFiles.empty());
  EXPECT_TRUE(Fake().deletedFiles.empty());
}

TEST_F(TemporaryCopy, ShortWriteRemovesTheFileFirst) {
  Fake().maxBytesPerWrite = 99;
  std::u16string path;
  EXPECT_EQ(Write(SetupImage(100), &path), 1632u);
  EXPECT_TRUE(EndedWithBox(kTempCopyFailedText));
  EXPECT_EQ(Fake().deletedFiles,
            std::vector<std::u16string>{InPrivate(u"setup.exe")});
  EXPECT_EQ(Fake().files.count(InPrivate(u"setup.exe")), 0u);
  EXPECT_EQ(Fake().folders.count(kPrivate), 0u);
  EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(TemporaryCopy, EmptyPayloadGivesAnEmptyFile) {
  std::u16string path;
  ASSERT_EQ(Write(Bytes(), &path), std::nullopt);
  EXPECT_EQ(path, InPrivate(u"setup.exe"));
  ASSERT_EQ(Fake().files.count(path), 1u);
  EXPECT_TRUE(Fake().files[path].bytes.empty());
}

TEST_F(TemporaryCopy, BothStreamsAreReleased) {
  const int live = Fake().liveAllocations;
  {
    std::u16string path;
    ASSERT_EQ(Write(SetupImage(300000), &path), std::nullopt);
  }
  EXPECT_EQ(Fake().liveAllocations, live);
}

// --- The private folder and the lock -----------------------------------------

TEST_F(TemporaryCopy, PrivateFolderAdmitsOnlySystemAdministratorsAndTheUser) {
  for (bool elevated : {false, true}) {
    SCOPED_TRACE(elevated ? "elevated" : "not elevated");
    LauncherTest::SetUp();
    Fake().isAdministrator = elevated;
    std::u16string path;
    ASSERT_EQ(Write(SetupImage(500), &path), std::nullopt);
    EXPECT_EQ(path, InPrivate(u"setup.exe"));
    ASSERT_EQ(Fake().privateFolders.size(), 1u);
    const FolderAccess& access = Fake().privateFolders[kPrivate];
    EXPECT_EQ(access.localSystem, 0x1F01FFu);     // full control
    EXPECT_EQ(access.administrators, 0x1F01FFu);  // full control
    EXPECT_EQ(access.tokenUser, elevated ? 0x1200A9u : 0x1F01FFu);
  }
}

struct FolderNameCase {
  const char* what;
  std::vector<int> takenDraws;  // draws whose names exist already
  bool takenByFile;
  bool randomFails;
  bool parentUnwritable;
  int expectedDraws;
  int usedDraw;  // 0: the temporary-copy message
};

TEST_F(TemporaryCopy, TakenFolderNameIsNeverUsed) {
  const FolderNameCase cases[] = {
      {"fresh", {}, false, false, false, 1, 1},
      {"two folders taken", {1, 2}, false, false, false, 3, 3},
      {"a file takes the name", {1}, true, false, false, 2, 2},
      {"every attempt taken", {1, 2, 3, 4, 5, 6, 7, 8}, false, false, false, 8, 0},
      {"no random source", {}, false, true, false, 0, 0},
      {"parent unwritable: one attempt", {}, false, false, true, 1, 0},
  };
  for (const FolderNameCase& c : cases) {
    SCOPED_TRACE(c.what);
    LauncherTest::SetUp();
    Fake().randomFails = c.randomFails;
    if (c.parentUnwritable) Fake().unwritableFolders.insert(kTemp);
    for (int draw : c.takenDraws) {
      const std::u16string taken = kTemp + FakePrivateFolderName(draw);
      if (c.takenByFile)
        Fake().files[taken].bytes = {7};
      else
        Fake().folders.insert(taken);
    }
    std::u16string path;
    const std::optional<uint32_t> exit = Write(SetupImage(500), &path);
    EXPECT_EQ(Fake().randomDraws, c.expectedDraws);
    if (c.usedDraw == 0) {
      EXPECT_EQ(exit, 1632u);
      EXPECT_TRUE(EndedWithBox(kTempCopyFailedText));
      EXPECT_TRUE(Fake().createdFiles.empty());
      EXPECT_TRUE(Fake().privateFolders.empty());
      continue;
    }
    ASSERT_EQ(exit, std::nullopt);
    const std::u16string used = kTemp + FakePrivateFolderName(c.usedDraw);
    EXPECT_EQ(path, used + u"\\setup.exe");
    // Nothing is created in, or permissions set on, a name that was taken.
    EXPECT_EQ(Fake().createdFiles, std::vector<std::u16string>{path});
    ASSERT_EQ(Fake().privateFolders.size(), 1u);
    EXPECT_EQ(Fake().privateFolders.count(used), 1u);
  }
}

struct LockFailureCase {
  const char* what;
  std::function<void()> arrange;
};

TEST_F(TemporaryCopy, CopyThatCannotBeKeptAndLockedIsRemovedWithItsFolder) {
  const LockFailureCase cases[] = {
      {"the deletion mark cannot be cleared",
       [] { Fake().clearingDeleteMarkFails = true; }},
      {"the written file cannot be identified",
       [] { Fake().fileIdentityFails = true; }},
      {"the reopen fails", [] { Fake().reopenFails = true; }},
      {"another file sits there at the reopen",
       [] { Fake().copySwappedBeforeReopen = true; }},
      {"another file, before Vista", [] {
         Fake().copySwappedBeforeReopen = true;
         Fake().deleteOnCloseFails = true;
       }},
  };
  for (const LockFailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    LauncherTest::SetUp();
    c.arrange();
    std::u16string path;
    EXPECT_EQ(Write(SetupImage(500), &path), 1632u);
    EXPECT_TRUE(EndedWithBox(kTempCopyFailedText));
    EXPECT_EQ(Fake().files.count(InPrivate(u"setup.exe")), 0u);
    EXPECT_EQ(Fake().folders.count(kPrivate), 0u);
    EXPECT_EQ(Fake().calls.back(), u"remove " + kPrivate);
    EXPECT_EQ(Fake().openHandles, 0);
  }
}

struct RunCase {
  const char* what;
  bool detached;
  bool startFails;
  bool beforeVista;  // no deletion mark
  std::vector<std::u16string> calls;
};

// The whole run against the fake: what happens to the copy, its folder and
// its lock, in order.
TEST_F(TemporaryCopy, OrderOfOperations) {
  const std::u16string copy = InPrivate(u"setup.exe");
  const std::vector<std::u16string> written = {
      u"folder " + kPrivate, u"create " + copy, u"mark", u"unmark",
      u"close " + copy,      u"open " + copy};
  auto then = [&](std::vector<std::u16string> head,
                  const std::vector<std::u16string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const RunCase cases[] = {
      {"attached", false, false, false,
       then(written, {u"start", u"wait", u"close <process>", u"close " + copy,
                      u"delete " + copy, u"remove " + kPrivate})},
      {"detached: the lock is held until the start returned", true, false,
       false, then(written, {u"start", u"close " + copy})},
      {"failed start: the copy stays, locked until the end", false, true,
       false, written},
      {"attached, before Vista", false, false, true,
       {u"folder " + kPrivate, u"create " + copy, u"close " + copy,
        u"open " + copy, u"start", u"wait", u"close <process>",
        u"close " + copy, u"delete " + copy, u"remove " + kPrivate}},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.what);
    LauncherTest::SetUp();
    Fake().isAdministrator = true;
    Fake().createProcessFails = c.startFails;
    Fake().deleteOnCloseFails = c.beforeVista;
    packer::PackageOptions options;
    options.detached = c.detached;
    InstallLauncher(BuildLauncher(SetupImage(5000), options));
    const std::optional<uint32_t> exit = ExitCodeOf(RunLauncher);
    EXPECT_EQ(exit.has_value(), c.startFails);
    EXPECT_EQ(Fake().calls, c.calls);
    const bool copyStays = c.detached || c.startFails;
    EXPECT_EQ(Fake().files.count(copy), copyStays ? 1u : 0u);
    EXPECT_EQ(Fake().folders.count(kPrivate), copyStays ? 1u : 0u);
  }
}

}  // namespace
