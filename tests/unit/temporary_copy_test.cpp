// SPDX-License-Identifier: 0BSD
// The temporary copy: which folder, which free name, and the writing.
#include <gtest/gtest.h>

#include "core/FatalErrors.h"
#include "extract/TemporaryCopy.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

const std::u16string kTemp = u"C:\\Users\\me\\AppData\\Local\\Temp\\";

class TemporaryCopy : public LauncherTest {
 protected:
  // Writes the copy of a launcher file carrying `payload`, as the main
  // sequence does once the package is checked.
  std::optional<uint32_t> Write(const Bytes& payload, std::u16string* path) {
    const Bytes file = BuildLauncher(payload);
    InstallLauncher(file);
    PlatformHandle own = PlatformOpenForReading(Fake().modulePath.c_str());
    std::optional<uint32_t> exit = ExitCodeOf([&] {
      WideText result = WriteTemporaryCopy(own, HeaderOf(file));
      *path = std::u16string(result.Data(), result.Length());
    });
    PlatformCloseHandle(own);
    return exit;
  }
};

struct FolderCase {
  const char16_t* arguments;
  std::u16string tempPath;
  std::u16string folder;
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
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(Narrow(c.arguments) + " | " + Narrow(c.tempPath));
    ResetFake();
    Fake().tempPath = c.tempPath;
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
      {u"C:\\Downloads\\setup.exe", {}, {}, kTemp + u"setup.exe"},
      {u"C:\\Downloads\\setup.exe",
       {kTemp + u"setup.exe", kTemp + u"setup2.exe"}, {},
       kTemp + u"setup3.exe"},
      {u"C:\\Downloads\\setup.exe", {}, {kTemp + u"setup.exe"},
       kTemp + u"setup2.exe"},
      {u"C:\\Downloads\\install", {kTemp + u"install"}, {},
       kTemp + u"ins2tall"},
      {u"C:\\Downloads\\setup.exe",
       {kTemp + u"setup.exe", kTemp + u"setup2.exe", kTemp + u"setup3.exe",
        kTemp + u"setup4.exe", kTemp + u"setup5.exe", kTemp + u"setup6.exe",
        kTemp + u"setup7.exe", kTemp + u"setup8.exe", kTemp + u"setup9.exe"},
       {}, kTemp + u"setup10.exe"},
      // Taken by another launcher after the existence test: never replaced,
      // the search goes on with the next number.
      {u"C:\\Downloads\\setup.exe", {}, {}, kTemp + u"setup2.exe",
       {kTemp + u"setup.exe"}},
      {u"C:\\Downloads\\setup.exe", {kTemp + u"setup.exe"}, {},
       kTemp + u"setup4.exe", {kTemp + u"setup2.exe", kTemp + u"setup3.exe"}},
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
            std::vector<std::u16string>{kTemp + u"setup.exe"});
  EXPECT_EQ(Fake().files.count(kTemp + u"setup.exe"), 0u);
  EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(TemporaryCopy, EmptyPayloadGivesAnEmptyFile) {
  std::u16string path;
  ASSERT_EQ(Write(Bytes(), &path), std::nullopt);
  EXPECT_EQ(path, kTemp + u"setup.exe");
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

}  // namespace
