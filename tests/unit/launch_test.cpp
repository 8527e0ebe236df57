// SPDX-License-Identifier: 0BSD
// Starting the setup program: direct or shell start, the elevation rule, the
// wait and clean-up, and the administrator test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/FatalErrors.h"
#include "core/StubTypes.h"
#include "extract/TemporaryCopy.h"
#include "handoff/Administrator.h"
#include "handoff/InstallerCommandLine.h"
#include "handoff/Launch.h"
#include "handoff/SetupCommandLine.h"
#include "tests/unit/FakePlatform.h"

namespace {

const std::u16string kFolder =
    u"C:\\Users\\me\\AppData\\Local\\Temp\\sl-0123456789abcdef.tmp";
const std::u16string kCopy = kFolder + u"\\setup.exe";
const char16_t kLauncherFolder[] = u"C:\\Downloads\\";

std::u16string Str(const WideText& text) {
  return std::u16string(text.Data(), text.Length());
}

class LaunchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLocator_ = gPackageLocator;
    savedHeader_ = gPackageHeader;
    Fresh();
  }
  void TearDown() override {
    gPackageLocator = savedLocator_;
    gPackageHeader = savedHeader_;
  }

  // A clean fake, an uncached administrator test, attached mode, adminMode 0
  // and a written temporary copy.
  void Fresh() {
    ResetFake();
    ResetAdministratorTestForTesting();
    gPackageLocator.detachedFileSize = 0;
    gPackageHeader.adminMode = 0;
    Fake().folders.insert(kFolder);
    Fake().files[kCopy] = FakeFile();
  }

  // Launches with the arguments set on the fake command line; returns the
  // argument string handed to LaunchSetup, and its exit code in `exitCode`.
  std::u16string Launch(const std::u16string& rawArguments, uint32_t major,
                        bool known = true, uint32_t* exitCode = nullptr) {
    Fake().SetArguments(rawArguments);
    WideText arguments = BuildSetupArguments();
    WindowsVersionRecord record = {known, {major, 0}};
    WrittenCopy copy = {{WideText(kFolder.c_str()), WideText(kCopy.c_str()), 0},
                        PlatformOpenForReading(kCopy.c_str())};
    uint32_t code = LaunchSetup(AsExtracted(copy), arguments, record);
    if (exitCode) *exitCode = code;
    return Str(arguments);
  }

  void ExpectDirectStart(const std::u16string& arguments) {
    ASSERT_EQ(Fake().starts.size(), 1u);
    const FakeStart& start = Fake().starts[0];
    EXPECT_FALSE(start.throughShell);
    EXPECT_EQ(start.commandLine,
              u"\"" + kCopy + u"\" " + arguments);
    EXPECT_EQ(start.currentDirectory, kLauncherFolder);
  }

 private:
  PackageLocator savedLocator_;
  PackageHeader savedHeader_;
};

using LaunchChoice = LaunchFixture;
using LaunchElevation = LaunchFixture;
using LaunchCleanUp = LaunchFixture;
using LaunchAdministratorTest = LaunchFixture;
using LaunchExitCode = LaunchFixture;

TEST_F(LaunchChoice, BeforeVistaAlwaysStartsDirectly) {
  for (uint32_t major : {0u, 4u, 5u}) {
    for (const char16_t* raw : {u"", u"/S", u"/x /silent"}) {
      for (uint8_t adminMode : {0, 1, 2}) {
        SCOPED_TRACE(testing::Message() << major << " " << Narrow(raw) << " "
                                        << (int)adminMode);
        Fresh();
        gPackageHeader.adminMode = adminMode;
        std::u16string arguments = Launch(raw, major);
        ExpectDirectStart(arguments);
        EXPECT_EQ(Fake().membershipLookups, 0);
        EXPECT_EQ(Fake().sidFrees, 0);
      }
    }
  }
}

TEST_F(LaunchChoice, AdministratorStartsDirectlyWithoutNoAdmin) {
  for (uint32_t major : {6u, 10u}) {
    SCOPED_TRACE(major);
    Fresh();
    Fake().isAdministrator = true;
    gPackageHeader.adminMode = 2;
    std::u16string arguments = Launch(u"", major);
    ExpectDirectStart(arguments);
    EXPECT_EQ(Fake().sidFrees, 1);
  }
}

TEST_F(LaunchChoice, DirectStartRunsInTheLocalLauncherFolder) {
  Fake().isAdministrator = true;
  Fake().modulePath = u"Z:\\Setup\\pkg.exe";
  Fake().universalNames[u"Z:\\Setup\\pkg.exe"] = u"\\\\srv\\share\\Setup\\pkg.exe";
  Launch(u"/S", 10);
  ASSERT_EQ(Fake().starts.size(), 1u);
  EXPECT_EQ(Fake().starts[0].commandLine,
            u"\"" + kCopy +
                u"\" \"\\\\srv\\share\\Setup\\pkg.exe\" /S");
  EXPECT_EQ(Fake().starts[0].currentDirectory, u"Z:\\Setup\\");
}

TEST_F(LaunchChoice, UnknownVersionMakesTheAdministratorTest) {
  Launch(u"", 0, /*known=*/false);
  EXPECT_EQ(Fake().membershipLookups, 1);
  ASSERT_EQ(Fake().starts.size(), 1u);
  EXPECT_TRUE(Fake().starts[0].throughShell);

  Fresh();
  Fake().isAdministrator = true;
  std::u16string arguments = Launch(u"", 0, /*known=*/false);
  ExpectDirectStart(arguments);
}

struct ElevationCase {
  std::u16string raw;
  uint8_t adminMode;
  std::u16string verb;
  bool noAdmin;
};

TEST_F(LaunchElevation, ShellStartVerbAndParameters) {
  const ElevationCase cases[] = {
      {u"", 0, u"open", true},
      {u"", 1, u"open", true},
      {u"/x", 1, u"open", true},
      {u"/S", 0, u"open", false},
      {u"/S", 1, u"runas", false},
      {u"/S", 2, u"open", true},
      {u"/S", 3, u"open", false},
      {u"/S", 255, u"open", false},
      {u"/silent", 1, u"runas", false},
      {u"/SILENT", 1, u"runas", false},
      {u"/SiLeNt", 2, u"open", true},
      {u"/s /x", 1, u"runas", false},
      {u"/x /silent /y", 1, u"runas", false},
      {u"/x /y /s", 1, u"runas", false},
      {u"/s /silent", 0, u"open", false},
      {u"\"/s\"", 1, u"runas", false},  // quotes are gone by then
      {u"\"/s \"", 1, u"open", true},
      {u"/silent=1", 1, u"open", true},
      {u"-s", 1, u"open", true},
      {u"/sil", 1, u"open", true},
      {u"/temp \"D:\\My Temp\"", 1, u"open", true},
  };
  for (const ElevationCase& c : cases) {
    SCOPED_TRACE(Narrow(c.raw) + " mode " + std::to_string(c.adminMode));
    Fresh();
    gPackageHeader.adminMode = c.adminMode;
    std::u16string arguments = Launch(c.raw, 10);
    ASSERT_EQ(Fake().starts.size(), 1u);
    const FakeStart& start = Fake().starts[0];
    EXPECT_TRUE(start.throughShell);
    EXPECT_EQ(start.verb, c.verb);
    EXPECT_EQ(start.file, kCopy);
    EXPECT_EQ(start.parameters,
              arguments + (c.noAdmin ? u" /noadmin" : u""));
  }
}

TEST_F(LaunchCleanUp, AttachedModeWaitsThenDeletesTheCopy) {
  for (bool administrator : {true, false}) {
    SCOPED_TRACE(administrator ? "direct" : "shell");
    Fresh();
    Fake().isAdministrator = administrator;
    bool copyPresentDuringWait = false;
    Fake().onWait = [&] {
      copyPresentDuringWait =
          Fake().files.count(kCopy) == 1 && Fake().deletedFiles.empty();
    };
    Launch(u"", 10);
    EXPECT_EQ(Fake().waits, 1);
    EXPECT_TRUE(copyPresentDuringWait);
    EXPECT_EQ(Fake().deletedFiles, std::vector<std::u16string>{kCopy});
    EXPECT_EQ(Fake().files.count(kCopy), 0u);
    EXPECT_EQ(Fake().folders.count(kFolder), 0u);
  }
  // The lock and the shell start's process handle are closed after the wait.
  EXPECT_EQ(Fake().openHandles, 0);
}

TEST_F(LaunchCleanUp, DetachedModeNeitherWaitsNorDeletes) {
  for (bool administrator : {true, false}) {
    SCOPED_TRACE(administrator ? "direct" : "shell");
    Fresh();
    gPackageLocator.detachedFileSize = 4096;
    Fake().isAdministrator = administrator;
    Launch(u"", 10);
    ASSERT_EQ(Fake().starts.size(), 1u);
    EXPECT_EQ(Fake().waits, 0);
    EXPECT_TRUE(Fake().deletedFiles.empty());
    EXPECT_EQ(Fake().files.count(kCopy), 1u);
    EXPECT_EQ(Fake().folders.count(kFolder), 1u);
  }
}

TEST_F(LaunchCleanUp, FailedStartShowsNotExecutedAndKeepsTheCopy) {
  // The start's own error is the exit code, unless deployment tools would
  // read it as success or "retry later".
  const struct {
    uint32_t lastError;
    uint32_t exitCode;
  } cases[] = {
      {1223, 1223}, {5, 5},       {1260, 1260}, {2, 2},       {0, 1603},
      {1641, 1603}, {3010, 1603}, {1707, 1603}, {1618, 1603},
  };
  for (const auto& c : cases) {
    for (bool administrator : {true, false}) {
      SCOPED_TRACE(testing::Message() << (administrator ? "direct " : "shell ")
                                      << c.lastError);
      Fresh();
      Fake().isAdministrator = administrator;
      Fake().createProcessFails = true;
      Fake().shellExecuteFails = true;
      Fake().startError = c.lastError;
      gPackageHeader.adminMode = 1;  // the declined "runas"
      EXPECT_THROW(Launch(u"/S", 10), FakeExit);
      ASSERT_EQ(Fake().boxes.size(), 1u);
      EXPECT_EQ(Fake().boxes[0].text, kLaunchFailedText);
      EXPECT_EQ(Fake().boxes[0].caption, Fake().modulePath);
      EXPECT_EQ(Fake().boxes[0].style, 0x10u);
      EXPECT_EQ(Fake().exitCode, c.exitCode);
      EXPECT_EQ(Fake().waits, 0);
      EXPECT_TRUE(Fake().deletedFiles.empty());
      EXPECT_EQ(Fake().files.count(kCopy), 1u);
    }
  }
}

TEST_F(LaunchExitCode, AttachedModePassesTheSetupProgramsCodeOn) {
  const std::optional<uint32_t> setupCodes[] = {
      0u, 3010u, 1641u, 1618u, 1602u, 1603u, 0xC0000005u, 0xFFFFFFFFu,
      std::nullopt,  // unreadable
  };
  for (const std::optional<uint32_t>& setupCode : setupCodes) {
    for (bool administrator : {true, false}) {
      SCOPED_TRACE(testing::Message() << (administrator ? "direct " : "shell ")
                                      << setupCode.value_or(~0u));
      Fresh();
      Fake().isAdministrator = administrator;
      Fake().setupExitCode = setupCode;
      uint32_t exitCode = 1;
      Launch(u"", 10, true, &exitCode);
      EXPECT_EQ(exitCode, setupCode.value_or(1603u));
      EXPECT_EQ(Fake().exitCodeReadsAfterClose, 0);
      EXPECT_EQ(Fake().deletedFiles, std::vector<std::u16string>{kCopy});
      EXPECT_FALSE(Fake().exitCode.has_value());
    }
  }
}

TEST_F(LaunchExitCode, DetachedModeEndsWithZeroAfterTheStart) {
  for (bool administrator : {true, false}) {
    SCOPED_TRACE(administrator ? "direct" : "shell");
    Fresh();
    gPackageLocator.detachedFileSize = 4096;
    Fake().isAdministrator = administrator;
    Fake().setupExitCode = 1603;
    uint32_t exitCode = 1;
    Launch(u"", 10, true, &exitCode);
    EXPECT_EQ(exitCode, 0u);
  }
}

using LaunchInstallerPackage = LaunchFixture;

const std::u16string kPackage = kFolder + u"\\Disk 1\\product.msi";
const std::u16string kMsiexec = u"C:\\Windows\\system32\\msiexec.exe";

// msiexec's arguments for the launcher arguments `raw`.
std::u16string InstallerArguments(const std::u16string& raw) {
  Fake().SetArguments(raw);
  return Str(BuildInstallerArguments(WideText(kPackage.c_str())));
}

TEST_F(LaunchInstallerPackage, TheLaunchersOwnSwitchesNeverReachMsiexec) {
  const std::u16string head = u"/i \"" + kPackage +
                              u"\" LAUNCHERPATH=\"C:\\Downloads\\setup.exe\"";
  const struct {
    std::u16string raw;
    std::u16string expected;  // after the head
  } cases[] = {
      {u"", u""},
      {u"/s", u" /qn"},
      {u"/SILENT", u" /qn"},
      {u"/s /silent /S", u" /qn"},
      {u"A=1 /silent B=2", u" A=1 /qn B=2"},
      {u"/temp D:\\T /noadmin", u""},
      {u"/TEMP \"D:\\My Temp\" /l*v log.txt", u" /l*v log.txt"},
      {u"/temp", u""},  // the launcher's own folder: nothing follows
      {u"/NoAdmin TRANSFORMS=de.mst", u" TRANSFORMS=de.mst"},
      {u"\"INSTALLDIR=C:\\My Apps\" /qb", u" INSTALLDIR=\"C:\\My Apps\" /qb"},
      {u"INSTALLDIR=\"C:\\My Apps\"", u" INSTALLDIR=\"C:\\My Apps\""},
      {u"\"A B=c d\" \"/l*v\" \"C:\\My Logs\\x.log\"",
       u" \"A B=c d\" /l*v \"C:\\My Logs\\x.log\""},
      {u"\"=x y\" E=", u" \"=x y\" E="},
      {u"/x /s-", u" /x /s-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.raw));
    Fresh();
    EXPECT_EQ(InstallerArguments(c.raw), head + c.expected);
  }
  // The launcher path in its universal form, as a program gets it.
  Fresh();
  Fake().modulePath = u"Z:\\Setup\\pkg.exe";
  Fake().universalNames[u"Z:\\Setup\\pkg.exe"] = u"\\\\srv\\share\\Setup\\pkg.exe";
  EXPECT_EQ(InstallerArguments(u""),
            u"/i \"" + kPackage + u"\" LAUNCHERPATH=\"\\\\srv\\share\\Setup\\pkg.exe\"");
}

TEST_F(LaunchInstallerPackage, MsiexecStartsByItsFullPathUnderTheElevationRule) {
  const struct {
    bool administrator;
    std::u16string raw;
    uint8_t adminMode;
    std::u16string verb;  // empty: the direct start
  } cases[] = {
      {true, u"", 2, u""},
      {false, u"", 2, u"open"},
      {false, u"/s", 1, u"runas"},
      {false, u"/s", 2, u"open"},
      {false, u"/silent", 0, u"open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.raw) + " mode " + std::to_string(c.adminMode));
    Fresh();
    Fake().files[kPackage] = FakeFile();
    Fake().isAdministrator = c.administrator;
    gPackageHeader.adminMode = c.adminMode;
    const std::u16string arguments = InstallerArguments(c.raw);
    ExtractedSetup setup = {WideText(kPackage.c_str()),
                            EntryKind::InstallerPackage,
                            [](void*) {}, [](void*) {}, nullptr};
    LaunchSetup(setup, BuildArgumentsFor(setup), {true, {10, 0}});
    ASSERT_EQ(Fake().starts.size(), 1u);
    const FakeStart& start = Fake().starts[0];
    EXPECT_EQ(start.throughShell, !c.verb.empty());
    if (c.verb.empty()) {
      EXPECT_EQ(start.commandLine, u"\"" + kMsiexec + u"\" " + arguments);
      EXPECT_EQ(start.currentDirectory, kLauncherFolder);
    } else {
      EXPECT_EQ(start.verb, c.verb);
      EXPECT_EQ(start.file, kMsiexec);
      EXPECT_EQ(start.parameters, arguments);  // never " /noadmin"
    }
  }
}

TEST_F(LaunchAdministratorTest, OnlyAConfirmedMembershipAnswersYes) {
  const struct {
    const char* what;
    bool sidFails;
    bool found;
    bool callFails;
    bool member;
    bool expected;
    int sidFrees;
  } cases[] = {
      {"member", false, true, false, true, true, 1},
      {"not a member", false, true, false, false, false, 1},
      {"SID not built", true, true, false, true, false, 0},
      {"no entry point", false, false, false, true, false, 1},
      {"call fails", false, true, true, true, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Fake().sidAllocationFails = c.sidFails;
    Fake().checkTokenMembershipFound = {c.found};
    Fake().checkTokenMembershipCallFails = c.callFails;
    Fake().isAdministrator = c.member;
    EXPECT_EQ(IsUserAdministrator(), c.expected);
    EXPECT_EQ(Fake().sidFrees, c.sidFrees);
  }
}

TEST_F(LaunchAdministratorTest, EntryPointKeptOnceFound) {
  Fake().checkTokenMembershipFound = {false, true};
  Fake().isAdministrator = true;
  EXPECT_FALSE(IsUserAdministrator());
  EXPECT_EQ(Fake().membershipLookups, 1);
  EXPECT_TRUE(IsUserAdministrator());
  EXPECT_EQ(Fake().membershipLookups, 2);
  EXPECT_TRUE(IsUserAdministrator());
  EXPECT_EQ(Fake().membershipLookups, 2);
  EXPECT_EQ(Fake().sidFrees, 3);
}

}  // namespace
