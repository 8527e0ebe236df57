// SPDX-License-Identifier: 0BSD
// The progress window through the whole launcher on the fake platform: when
// it opens, what it says, Cancel, failures after it opened, and a second
// start of the same package.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/StubCore.h"
#include "core/VersionStrings.h"
#include "packer/VersionResource.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

const std::u16string kTemp = u"C:\\Users\\me\\AppData\\Local\\Temp\\";

TEST(FeedbackDecision, OnlyASlowInteractiveLaunchOpensTheWindow) {
  const struct {
    bool silent, forbids, visible, asked;
    uint64_t elapsed;
    bool opens;
  } cases[] = {
      {false, false, true, false, 1001, true},
      {false, false, true, false, 1000, false},  // more than a second
      {false, false, true, true, 0, true},       // another start asks
      {true, false, true, false, 5000, false},   // /s or /silent
      {false, true, true, false, 5000, false},   // --no-progress
      {false, false, false, false, 5000, false}, // nobody could see it
      {true, false, true, true, 5000, false},
      {false, false, false, true, 5000, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ShouldOpenProgressWindow(
                  {c.silent, c.forbids, c.visible, c.asked, c.elapsed}),
              c.opens)
        << c.silent << c.forbids << c.visible << c.asked << " " << c.elapsed;
}

// Gives a launcher file new launch flags and a CRC-32 that matches again.
Bytes WithLaunchFlags(Bytes file, uint8_t flags) {
  PackageHeader header = HeaderOf(file);
  header.launchFlags = flags;
  StoreHeader(file, header);
  PackageLocator locator = LocatorOf(file);
  locator.crcValue = ComputeCrc32(file.data() + locator.packageOffset,
                                  (int32_t)locator.crcLength);
  StoreLocator(file, locator);
  return file;
}

// Three pieces of output or more, each a pump of the window. Built once.
Bytes OneProgram() {
  packer::PackageOptions fast;
  fast.lzma.preset = 0;
  static const Bytes file = BuildLauncher(SetupImage(3 << 20, 5), fast);
  return file;
}

Bytes ASet() {
  static const Bytes file =
      BuildSetLauncher({{u"data\\a.bin", SetupImage(90000, 6)},
                        {u"setup.exe", SetupImage(40000, 7)}},
                       1);
  return file;
}

class FeedbackRun : public LauncherTest {
 protected:
  std::optional<uint32_t> Run(const Bytes& file,
                              const std::u16string& arguments = u"") {
    return RunWhole(file, arguments);
  }

  bool Called(const std::u16string& call) const {
    return std::count(Fake().calls.begin(), Fake().calls.end(), call) > 0;
  }
};

TEST_F(FeedbackRun, ASlowLaunchShowsTheWindowUntilTheSetupProgramIsReady) {
  for (const auto& make : {OneProgram, ASet}) {
    SetUp();
    Fake().tickStep = 2000;  // every piece takes two seconds
    EXPECT_EQ(Run(make()), std::nullopt);
    ASSERT_TRUE(Fake().progressWindow.has_value());
    const FakeWindow& window = *Fake().progressWindow;
    EXPECT_EQ(window.caption, u"setup.exe");
    EXPECT_EQ(window.text, u"Preparing setup.exe\u2026");
    EXPECT_EQ(window.cancel, u"Cancel");
    EXPECT_FALSE(window.open);
    ASSERT_FALSE(window.positions.empty());
    EXPECT_TRUE(std::is_sorted(window.positions.begin(), window.positions.end()));
    EXPECT_GT(window.positions.back(), 9000u);
    EXPECT_LE(window.positions.back(), 10000u);
    // Handed over after the start, before the wait for the setup program.
    const auto& calls = Fake().calls;
    const auto start = std::find(calls.begin(), calls.end(), u"start");
    const auto handOver = std::find(calls.begin(), calls.end(), u"window hand over");
    const auto wait = std::find(calls.begin(), calls.end(), u"wait");
    EXPECT_LT(start, handOver);
    EXPECT_LT(handOver, wait);
  }
}

TEST_F(FeedbackRun, TheCaptionIsTheProductNameBrandingGave) {
  packer::VersionInfo info;
  info.tables.push_back({u"000004B0", {{u"CompanyName", u"Example Ltd."},
                                       {u"ProductName", u"MyApp 2"}}});
  info.translations = {0x04B00000};
  std::vector<uint8_t> resource;
  std::string error;
  ASSERT_TRUE(packer::EncodeVersionResource(info, &resource, &error)) << error;
  EXPECT_EQ(Narrow(std::u16string(FindVersionString(resource.data(),
                                                    (uint32_t)resource.size(),
                                                    u"ProductName")
                                      .Data())),
            "MyApp 2");
  Fake().resources[{16, 1}] = resource;
  Fake().tickStep = 2000;
  Run(OneProgram());
  ASSERT_TRUE(Fake().progressWindow.has_value());
  EXPECT_EQ(Fake().progressWindow->caption, u"MyApp 2");
  EXPECT_EQ(Fake().progressWindow->text, u"Preparing MyApp 2\u2026");
  // A malformed resource names nothing.
  for (size_t cut : {resource.size() - 1, (size_t)40, (size_t)6, (size_t)0})
    EXPECT_TRUE(FindVersionString(resource.data(), (uint32_t)cut, u"ProductName")
                    .IsEmpty())
        << cut;
}

TEST_F(FeedbackRun, NoWindowWhereItIsNotWanted) {
  const struct {
    const char* name;
    std::function<void()> arrange;
    std::u16string arguments;
    bool forbidden;
  } cases[] = {
      {"fast", [] { Fake().tickStep = 0; }, u"", false},
      {"/s", [] {}, u"/s", false},
      {"/SILENT", [] {}, u"/x /SILENT", false},
      {"invisible station", [] { Fake().windowStationVisible = false; }, u"", false},
      {"--no-progress", [] {}, u"", true},
  };
  for (const auto& c : cases) {
    for (const auto& make : {OneProgram, ASet}) {
      SCOPED_TRACE(c.name);
      SetUp();
      Fake().tickStep = 2000;
      c.arrange();
      const Bytes file = c.forbidden
                             ? WithLaunchFlags(make(), kLaunchWithoutProgressWindow)
                             : make();
      EXPECT_EQ(Run(file, c.arguments), std::nullopt);
      EXPECT_FALSE(Fake().progressWindow.has_value());
      EXPECT_EQ(Fake().starts.size(), 1u);
      // Unattended and forbidding launches take no part with other starts.
      if (c.arguments != u"" || c.forbidden) {
        EXPECT_TRUE(Fake().sessionEvents.empty());
      }
    }
  }
}

TEST_F(FeedbackRun, CancelRemovesEverythingAndEndsWith1602) {
  const struct {
    const char* name;
    std::function<Bytes()> make;
    uint32_t processors;
    int pump;
  } cases[] = {
      {"one program, while checking", OneProgram, 1, 1},
      {"one program, while decoding", OneProgram, 1, 3},
      {"set, one thread", ASet, 1, 3},
      {"set, two threads", ASet, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Fake().tickStep = 2000;
    Fake().processors = c.processors;
    Fake().cancelAtPump = c.pump;
    EXPECT_EQ(Run(c.make()), kExitUserCancelled);
    EXPECT_TRUE(Fake().boxes.empty());
    EXPECT_TRUE(Fake().events.empty());
    EXPECT_TRUE(Fake().starts.empty());
    EXPECT_FALSE(Fake().progressWindow->open);
    EXPECT_TRUE(NothingLeftIn(kTemp));
  }
}

TEST_F(FeedbackRun, AFailureBoxNeverSitsBehindTheWindow) {
  Bytes file = ASet();
  file[file.size() - 40] ^= 0x55;  // inside the last block
  Fake().tickStep = 2000;
  EXPECT_EQ(Run(file), 1620u);
  ASSERT_TRUE(Fake().progressWindow.has_value());
  EXPECT_EQ(Fake().boxes.size(), 1u);
  EXPECT_FALSE(Fake().boxOverWindow);
}

TEST_F(FeedbackRun, ASecondStartEndsWhenTheFirstShowsItsWindow) {
  const Bytes file = OneProgram();
  const PackageLocator locator = LocatorOf(file);
  // The package, then the file's identity (the fake's volume 0x1234).
  const std::u16string show = u"Local\\SetupLauncher-" +
                              U16(std::to_string(locator.crcValue)) + u"-0-" +
                              U16(std::to_string(locator.expectedFileSize)) +
                              u"-4660-0-0-show";
  Fake().otherStarts = {show};
  Fake().otherStartAnswers = true;
  EXPECT_EQ(Run(file), kExitAlreadyRunning);
  EXPECT_TRUE(Fake().boxes.empty());
  EXPECT_TRUE(Fake().createdFiles.empty());
  EXPECT_EQ(Fake().signalledEvents, std::vector<std::u16string>{show});
  EXPECT_TRUE(Called(u"allow foreground"));

  // Unanswered (the first cannot show a window), it unpacks by itself.
  SetUp();
  Fake().otherStarts = {show};
  EXPECT_EQ(Run(file), std::nullopt);
  EXPECT_EQ(Fake().starts.size(), 1u);

  // Unattended, it takes no part at all.
  const struct {
    std::u16string arguments;
    bool visible;
  } unattended[] = {{u"/s", true}, {u"", false}};
  for (const auto& c : unattended) {
    SetUp();
    Fake().otherStarts = {show};
    Fake().otherStartAnswers = true;
    Fake().windowStationVisible = c.visible;
    EXPECT_EQ(Run(file, c.arguments), std::nullopt);
    EXPECT_TRUE(Fake().signalledEvents.empty());
    EXPECT_EQ(Fake().starts.size(), 1u);
  }
}

TEST_F(FeedbackRun, TheFirstStartShowsItsWindowAtOnceWhenAsked) {
  for (uint32_t processors : {1u, 2u}) {
    SetUp();
    Fake().tickStep = 0;  // fast: no window of its own accord
    Fake().requestsFromOtherStarts = 1;
    Fake().processors = processors;
    EXPECT_EQ(Run(ASet()), std::nullopt);
    ASSERT_TRUE(Fake().progressWindow.has_value()) << processors;
    EXPECT_TRUE(Called(u"window raise"));
    ASSERT_EQ(Fake().signalledEvents.size(), 1u);
    EXPECT_EQ(Fake().signalledEvents[0].substr(Fake().signalledEvents[0].size() - 6),
              u"-shown");
  }
}

}  // namespace
