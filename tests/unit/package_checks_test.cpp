// SPDX-License-Identifier: 0BSD
// The package checks of the main sequence and the fatal messages they end in.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/FatalErrors.h"
#include "core/StubCore.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

const std::u16string kDamaged = kPackageDamagedText;
const std::u16string kTruncated = kPackageTruncatedText;

class PackageChecks : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    packer::PackageOptions options;
    options.extraInsideCrc = Bytes(40, 0xC1);
    options.extraAfterCrc = Bytes(24, 0xA5);  // a signature block, say
    file_ = BuildLauncher(SetupImage(3000), options);
  }

  // The own file, opened the way RunLauncher opens it.
  PlatformHandle OpenOwnFile() {
    return PlatformOpenForReading(Fake().modulePath.c_str());
  }

  Bytes file_;
};

TEST_F(PackageChecks, IntactLauncherRunsToTheStart) {
  InstallLauncher(file_);
  EXPECT_EQ(ExitCodeOf(RunLauncher), std::nullopt);
  EXPECT_TRUE(Fake().boxes.empty());
  EXPECT_EQ(Fake().starts.size(), 1u);
}

struct BrokenFile {
  const char* name;
  std::function<void(Bytes&)> damage;
  bool truncated;  // else damaged
};

TEST_F(PackageChecks, BrokenFilesEndBeforeAnythingIsWritten) {
  const uint32_t packageOffset = LocatorOf(file_).packageOffset;
  const BrokenFile cases[] = {
      {"zero locator",
       [](Bytes& f) { std::fill(f.begin() + 128, f.begin() + 152, 0); }, false},
      {"151-byte file", [](Bytes& f) { f.resize(151); }, false},
      {"cut inside the package",
       [&](Bytes& f) { f.resize(packageOffset + 100); }, true},
      {"one byte short", [](Bytes& f) { f.pop_back(); }, true},
      {"byte flipped in the header",
       [&](Bytes& f) { f[packageOffset + 7] ^= 1; }, false},
      {"last byte of the CRC region flipped",
       [&](Bytes& f) { f[packageOffset + LocatorOf(f).crcLength - 1] ^= 0x80; },
       false},
      {"CRC region past the end of the file",
       [](Bytes& f) {
         PackageLocator l = LocatorOf(f);
         l.crcLength = (uint32_t)(f.size() - l.packageOffset + 1);
         StoreLocator(f, l);
       },
       false},
      {"crcLength of 2^31",
       [](Bytes& f) {
         PackageLocator l = LocatorOf(f);
         l.crcLength = 0x80000000u;
         StoreLocator(f, l);
       },
       false},
      {"crcLength 0 with a non-zero crcValue",
       [](Bytes& f) {
         PackageLocator l = LocatorOf(f);
         l.crcLength = 0;
         StoreLocator(f, l);
       },
       false},
      {"header 73 bytes before the end",
       [](Bytes& f) {
         PackageLocator l = LocatorOf(f);
         l.packageOffset = (uint32_t)f.size() - 73;
         l.crcLength = 0;
         l.crcValue = 0;
         StoreLocator(f, l);
       },
       false},
  };
  for (const BrokenFile& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherTest::SetUp();
    Bytes broken = file_;
    c.damage(broken);
    InstallLauncher(broken);
    EXPECT_EQ(ExitCodeOf(RunLauncher), c.truncated ? 1619u : 1620u);
    EXPECT_TRUE(EndedWithBox(c.truncated ? kTruncated : kDamaged));
    EXPECT_TRUE(Fake().createdFiles.empty());
    EXPECT_TRUE(Fake().starts.empty());
  }
}

TEST_F(PackageChecks, UnreadableOwnFileIsDamage) {
  const std::function<void()> setups[] = {
      [] { Fake().openForReadingFails = true; },
      [] { OwnFile().maxBytesPerRead = 16; },  // every read comes out short
      [] { Fake().files.clear(); },
  };
  for (const auto& setup : setups) {
    LauncherTest::SetUp();
    InstallLauncher(file_);
    setup();
    EXPECT_EQ(ExitCodeOf(RunLauncher), 1620u);
    EXPECT_TRUE(EndedWithBox(kDamaged));
    EXPECT_TRUE(Fake().createdFiles.empty());
  }
}

TEST_F(PackageChecks, ChangesOutsideTheCrcRegionGoUnnoticed) {
  const PackageLocator locator = LocatorOf(file_);
  const size_t positions[] = {
      500,                                             // the stub's own bytes
      locator.packageOffset + locator.crcLength,       // first byte after
      file_.size() - 1,                                // signature block
  };
  for (size_t at : positions) {
    SCOPED_TRACE(at);
    LauncherTest::SetUp();
    Bytes changed = file_;
    changed[at] ^= 0xFF;
    InstallLauncher(changed);
    EXPECT_EQ(ExitCodeOf(RunLauncher), std::nullopt);
    EXPECT_EQ(Fake().starts.size(), 1u);
  }
}

struct SizeCase {
  uint32_t detachedFileSize;
  int64_t expectedFileSize;
  uint64_t fileSize;
  bool truncated;
};

TEST_F(PackageChecks, FileSizeAgainstTheSelectedMinimum) {
  const uint64_t k4G = 1ull << 32;
  const SizeCase cases[] = {
      // Attached: the whole 64-bit size, signed.
      {0, 5000, 4999, true},
      {0, 5000, 5000, false},
      {0, 5000, 3 * k4G, false},
      {0, (int64_t)k4G + 10, k4G + 9, true},
      {0, 0, 0, false},
      {0, -1, 0, false},
      {0, INT64_MIN, 200, false},
      // Detached: the low 32 bits, unsigned; expectedFileSize plays no part.
      {5000, 1ll << 40, 5000, false},
      {5000, 0, 4999, true},
      {11, 0, k4G + 10, true},
      {10, 0, k4G + 10, false},
      {0xFFFFFFFFu, 0, 0xFFFFFFFFu, false},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.detachedFileSize << " / "
                                    << c.expectedFileSize << " / " << c.fileSize);
    LauncherTest::SetUp();
    InstallLauncher(file_);
    OwnFile().reportedSize = c.fileSize;
    gPackageLocator.detachedFileSize = c.detachedFileSize;
    gPackageLocator.expectedFileSize = c.expectedFileSize;
    PlatformHandle file = OpenOwnFile();
    if (c.truncated) {
      EXPECT_EQ(ExitCodeOf([&] { CheckPackageSize(file); }), 1619u);
      EXPECT_TRUE(EndedWithBox(kTruncated));
    } else {
      EXPECT_EQ(ExitCodeOf([&] { CheckPackageSize(file); }), std::nullopt);
      EXPECT_TRUE(Fake().boxes.empty());
    }
  }
}

TEST_F(PackageChecks, EmptyCrcRegionPassesOnlyWithZero) {
  for (uint32_t crcValue : {0u, 1u}) {
    LauncherTest::SetUp();
    InstallLauncher(file_);
    gPackageLocator = LocatorOf(file_);
    gPackageLocator.crcLength = 0;
    gPackageLocator.crcValue = crcValue;
    PlatformHandle file = OpenOwnFile();
    EXPECT_EQ(ExitCodeOf([&] { VerifyPackageChecksum(file); }),
              crcValue == 0 ? std::nullopt : std::optional<uint32_t>(1620));
  }
}

// --- FatalPackageText -------------------------------------------------------

struct TextCase {
  std::u16string stored;
  std::u16string releaseName;
  std::u16string shown;
};

class PackageText : public LauncherTest {
 protected:
  // Shows `stored` as the package's refusal text, with `ref` adjusted by
  // `adjust`; returns the exit code.
  std::optional<uint32_t> Show(const std::u16string& stored,
                               const std::u16string& releaseName,
                               const std::function<void(PackageTextRef&)>&
                                   adjust = nullptr) {
    packer::PackageOptions options;
    options.unsupportedText = stored;
    Bytes file = BuildLauncher(SetupImage(100), options);
    InstallLauncher(file);
    PackageTextRef ref = HeaderOf(file).unsupportedText;
    if (adjust) adjust(ref);
    PlatformHandle handle = PlatformOpenForReading(Fake().modulePath.c_str());
    WideText name(releaseName.data(), (uint32_t)releaseName.size());
    return ExitCodeOf([&] { FatalPackageText(handle, ref, name); });
  }
};

TEST_F(PackageText, PlaceholdersAreReplacedInTwoPasses) {
  const TextCase cases[] = {
      {u"A %USER% B %USER% C %user%.", u"Windows 7", 
       u"A Windows 7 B Windows 7 C Windows 7."},
      {u"%User% %uSER% %USER %user %USER", u"Windows 7",
       u"%User% %uSER% %USER %user %USER"},
      {u"%USER% and %user%", u"", u"%USER% and %user%"},
      // The name's own "%USER%" stays; its "%user%" meets the second pass.
      {u"[%USER%|%USER%]", u"x%USER%y%user%z",
       u"[x%USER%yx%USER%y%user%zz|x%USER%yx%USER%y%user%zz]"},
      // The search goes on behind the inserted name, never inside it.
      {u"%USER%%", u"%USER", u"%USER%"},
      {u"%user%%", u"%user", u"%user%"},
      {u"", u"Windows 7", u""},
      {std::u16string(u"shown\0hidden %USER%", 19), u"Windows 7", u"shown"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(Narrow(c.stored) + " / " + Narrow(c.releaseName));
    LauncherTest::SetUp();
    EXPECT_EQ(Show(c.stored, c.releaseName), 1654u);
    EXPECT_TRUE(EndedWithBox(c.shown));
  }
}

TEST_F(PackageText, TextPastTheEndOfTheFileIsDamage) {
  EXPECT_EQ(Show(u"Not on %USER%.", u"Windows 7",
                 [](PackageTextRef& ref) { ref.textLength += 1000; }),
            1620u);
  EXPECT_TRUE(EndedWithBox(kDamaged));
}

// --- Memory exhaustion ------------------------------------------------------

TEST_F(PackageChecks, EveryFailedAllocationEndsWith203) {
  InstallLauncher(file_);
  ASSERT_EQ(ExitCodeOf(RunLauncher), std::nullopt);
  const int allocations = Fake().allocations;
  ASSERT_GT(allocations, 3);
  for (int failing = 1; failing <= allocations; ++failing) {
    SCOPED_TRACE(failing);
    LauncherTest::SetUp();
    InstallLauncher(file_);
    Fake().failAllocationNumber = failing;
    EXPECT_EQ(ExitCodeOf(RunLauncher), 203u);
    // A copy may stay only once it was written completely (the stop then
    // came while the command line was built).
    for (const std::u16string& created : Fake().createdFiles) {
      if (Fake().files.count(created)) {
        EXPECT_EQ(Fake().files[created].bytes, SetupImage(3000))
            << "a partly written copy stays";
      }
    }
    ASSERT_EQ(Fake().boxes.size(), 1u);
    EXPECT_EQ(Fake().boxes[0].caption, u"Error");
    for (const WideChar* text : {kPackageDamagedText, kPackageTruncatedText,
                                 kTempCopyFailedText, kLaunchFailedText})
      EXPECT_NE(Fake().boxes[0].text, text);
    EXPECT_TRUE(Fake().starts.empty());
  }
}

// --- Where nobody can see a box -------------------------------------------

// A service or a deployment tool running as SYSTEM has a window station that
// is not visible: a box there would block until the tool's time limit. Every
// stop then ends at once with its code and leaves its reason in the
// Application log instead; a question that cannot be answered shows the box
// as before. A log that cannot be written changes nothing else.
TEST_F(PackageChecks, WhereNobodyCanSeeABoxTheReasonGoesToTheEventLog) {
  const struct {
    const char* what;
    std::function<void()> setup;
    uint32_t exitCode;
    uint32_t eventId;
    std::vector<std::u16string> windowsError;  // the fourth string, if any
  } stops[] = {
      {"damaged", [] { Fake().openForReadingFails = true; }, 1620, 1, {}},
      {"truncated",
       [] { OwnFile().reportedSize = OwnFile().bytes.size() - 1; }, 1619, 2,
       {}},
      {"refused", [] { Fake().version = OsVersion{5, 1}; }, 1654, 4, {}},
      {"temporary copy",
       [] { Fake().unwritableFolders.insert(Fake().tempPath); }, 1632, 3, {}},
      {"start",
       [] {
         Fake().createProcessFails = Fake().shellExecuteFails = true;
         Fake().startError = 1641;  // reads as success: the code is 1603
       },
       1603, 5, {u"1641"}},
      {"memory", [] { Fake().failAllocationNumber = 1; }, 203, 6, {}},
  };
  enum Station { kVisible, kUnknown, kInvisible, kLogStopped, kReportFails };
  for (const auto& stop : stops) {
    std::u16string boxText;
    std::vector<std::u16string> visibleCalls;
    for (Station station : {kVisible, kUnknown, kInvisible, kLogStopped,
                            kReportFails}) {
      SCOPED_TRACE(testing::Message() << stop.what << ", station " << station);
      LauncherTest::SetUp();
      InstallLauncher(file_);
      Fake().windowStationVisible = station == kVisible ? std::optional<bool>(true)
                                    : station == kUnknown ? std::nullopt
                                                          : std::optional<bool>(false);
      Fake().registerEventSourceFails = station == kLogStopped;
      Fake().reportEventFails = station == kReportFails;
      stop.setup();
      EXPECT_EQ(ExitCodeOf(RunLauncher), stop.exitCode);
      EXPECT_EQ(Fake().eventSourcesOpen, 0);
      if (station == kVisible) {
        ASSERT_EQ(Fake().boxes.size(), 1u);
        boxText = Fake().boxes[0].text;
        visibleCalls = Fake().calls;
      }
      // Nothing but the report itself differs from the visible run.
      EXPECT_EQ(Fake().calls, visibleCalls);
      if (station == kVisible || station == kUnknown) {
        EXPECT_EQ(Fake().boxes.size(), 1u);
        EXPECT_TRUE(Fake().events.empty());
        continue;
      }
      EXPECT_TRUE(Fake().boxes.empty());
      if (station != kInvisible) {
        EXPECT_TRUE(Fake().events.empty());
        continue;
      }
      ASSERT_EQ(Fake().events.size(), 1u);
      const FakeEvent& event = Fake().events[0];
      EXPECT_EQ(event.source, u"setup.exe");
      EXPECT_EQ(event.eventId, stop.eventId);
      std::vector<std::u16string> strings = {
          boxText, Fake().modulePath, U16(std::to_string(stop.exitCode))};
      strings.insert(strings.end(), stop.windowsError.begin(),
                     stop.windowsError.end());
      EXPECT_EQ(event.strings, strings);
    }
  }
}

}  // namespace
