// SPDX-License-Identifier: 0BSD
// The compatibility gate: version dispatch, the Windows 10 and 11 tables, the
// registry readings, failing open, and the refusal message end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gate/RegistryReadings.h"
#include "gate/WindowsCompatibility.h"
#include "tests/unit/FakePlatform.h"

namespace {

const uint64_t kBit63 = kSupportsUnknownVersions;
const uint64_t kWindows10And11 = kSupportsWindows10 | kSupportsWindows11;

std::u16string Str(const WideText& text) {
  return std::u16string(text.Data(), text.Length());
}

PackageHeader Header(uint64_t flags, uint16_t win10Min = 1507,
                     uint16_t win10Max = 9999, uint16_t win11Min = 2110,
                     uint16_t win11Max = 9999) {
  PackageHeader header = {};
  header.supportFlags = flags;
  header.win10MinCode = win10Min;
  header.win10MaxCode = win10Max;
  header.win11MinCode = win11Min;
  header.win11MaxCode = win11Max;
  return header;
}

struct Outcome {
  bool supported;
  std::u16string name;
};

Outcome Judge(uint32_t major, uint32_t minor, const PackageHeader& header) {
  ReleaseVerdict verdict = JudgeWindowsRelease(OsVersion{major, minor}, header);
  return {verdict.supported, Str(verdict.releaseName)};
}

Outcome Judge10(const PackageHeader& header) { return Judge(10, 0, header); }

// A value stored as exactly `byteCount` bytes of `units` (zero padded), so
// that odd counts, missing terminators and oversized values can be scripted.
void SetRegistryRaw(const std::u16string& name, const std::u16string& units,
                    size_t byteCount) {
  std::vector<uint8_t> bytes(byteCount, 0);
  std::memcpy(bytes.data(), units.data(),
              std::min(byteCount, units.size() * 2));
  Fake().registry[name] = bytes;
}

void SetBuild(const std::u16string& build, const char16_t* displayVersion) {
  Fake().SetRegistryText(u"CurrentBuild", build);
  if (displayVersion) Fake().SetRegistryText(u"DisplayVersion", displayVersion);
}

// Every gate path that returns must have closed the key it opened; checked
// whenever a test starts over and at its end.
class GateFixture : public ::testing::Test {
 protected:
  void SetUp() override { ResetFake(); }
  void TearDown() override { Fresh(); }
  void Fresh() {
    EXPECT_EQ(Fake().keyOpens, Fake().keyCloses) << "registry key left open";
    ResetFake();
  }
};

using GateDispatch = GateFixture;
using GateWindows11 = GateFixture;
using GateWindows10 = GateFixture;
using GateReleaseId = GateFixture;
using GateFailOpen = GateFixture;
using GateReadings = GateFixture;
using GateEndToEnd = GateFixture;

// --- Version dispatch --------------------------------------------------------

struct DispatchCase {
  uint32_t major;
  uint32_t minor;
  uint64_t flag;  // the one bit that admits it; 0 when nothing does
  std::u16string name;
};

TEST_F(GateDispatch, EachVersionHasItsOwnBitAndName) {
  const DispatchCase cases[] = {
      {5, 0, kSupportsWindowsXp, u"Windows XP"},
      {5, 1, kSupportsWindowsXp, u"Windows XP"},
      {5, 2, kSupportsWindowsXp, u"Windows XP"},
      {5, 99, kSupportsWindowsXp, u"Windows XP"},
      {6, 0, kSupportsWindowsVista, u"Windows Vista"},
      {6, 1, kSupportsWindows7, u"Windows 7"},
      {6, 2, kSupportsWindows8, u"Windows 8"},
      {6, 3, kSupportsWindows81, u"Windows 8.1"},
      {6, 4, 0, u"Windows 6.4"},
      {6, 9, 0, u"Windows 6.9"},
      {6, 10, 0, u"Windows 6.:"},  // 48 + 10
      {10, 1, kBit63, u"Windows 10.1"},
      {11, 1, kBit63, u"Windows 10.1"},  // named 10.x even for major 11
      {11, 7, kBit63, u"Windows 10.7"},
      {10, 12, kBit63, u"Windows 10.<"},
      {0, 0, kBit63, u"Windows 00.0"},
      {4, 0, kBit63, u"Windows 04.0"},
      {7, 0, kBit63, u"Windows 07.0"},
      {9, 3, kBit63, u"Windows 09.3"},
      {12, 0, kBit63, u"Windows 12.0"},
      {123, 0, kBit63, u"Windows <3.0"},
      {12, 65537, kBit63, u"Windows 12.1"},  // digit kept to 16 bits
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
    if (c.flag) {
      Outcome alone = Judge(c.major, c.minor, Header(c.flag));
      EXPECT_TRUE(alone.supported);
    }
    Outcome others = Judge(c.major, c.minor, Header(~c.flag));
    EXPECT_FALSE(others.supported);
    EXPECT_EQ(others.name, c.name);
  }
  EXPECT_EQ(Fake().keyOpens, 0);
  EXPECT_TRUE(Fake().queriedValues.empty());
}

// --- Windows 11 ----------------------------------------------------------------

struct NamedCode {
  uint16_t code;
  std::u16string name;
};

const NamedCode kWindows11Rows[] = {
    {2110, u"Windows 11 21H2 (Original Release)"},
    {2209, u"Windows 11 22H2 (2022 Update)"},
    {2310, u"Windows 11 23H2 (2023 Update)"},
    {2410, u"Windows 11 24H2 (2024 Update)"},
    {2510, u"Windows 11 25H2 (2025 Update)"},
};

struct Windows11Case {
  const char16_t* build;
  const char16_t* displayVersion;  // null: value missing
  int row;                         // index into kWindows11Rows; -1: none
};

TEST_F(GateWindows11, RowsByDisplayVersionAndBuildInOrder) {
  const Windows11Case cases[] = {
      {u"22000", nullptr, 0},  {u"22448", nullptr, 0},
      {u"22449", nullptr, 1},  {u"22621", nullptr, 1},
      {u"22622", nullptr, 2},  {u"22631", nullptr, 2},
      {u"22632", nullptr, 3},  {u"26100", nullptr, 3},
      {u"26101", nullptr, 4},  {u"26200", nullptr, 4},
      {u"26201", nullptr, -1}, {u"26300", u"", -1},
      {u"30000", u"21H2", 0},  {u"30000", u"22H2", 1},
      {u"30000", u"23H2", 2},  {u"30000", u"24H2", 3},
      {u"30000", u"25H2", 4},
      {u"22448", u"22H2", 0},  // the build already satisfies row 1
      {u"22449", u"22H2", 1},
      {u"26100", u"21H2", 0},  // rows are tried in order
      {u"27000", u"24H2", 3},  // matching text wins over the build
      {u"26300", u"26H1", -1},
      {u"26300", u"24h2", -1},   // exact comparison, case included
      {u"26300", u"24H2 ", -1},  // same length required
  };
  for (const Windows11Case& c : cases) {
    SCOPED_TRACE(Narrow(c.build) + " / " +
                 (c.displayVersion ? Narrow(c.displayVersion) : "(missing)"));
    Fresh();
    SetBuild(c.build, c.displayVersion);
    if (c.row >= 0) {
      const NamedCode& row = kWindows11Rows[c.row];
      EXPECT_TRUE(Judge10(Header(kSupportsWindows11, 0, 0, row.code, row.code))
                      .supported);
      Outcome aboveMin =
          Judge10(Header(kSupportsWindows11, 0, 0, row.code + 1, 9999));
      EXPECT_FALSE(aboveMin.supported);
      EXPECT_EQ(aboveMin.name, row.name);
      Outcome belowMax =
          Judge10(Header(kSupportsWindows11, 0, 0, 0, row.code - 1));
      EXPECT_FALSE(belowMax.supported);
      EXPECT_EQ(belowMax.name, row.name);
    } else {
      // Beyond the table only the open upper bound admits; the lower bound
      // plays no part.
      EXPECT_TRUE(Judge10(Header(kSupportsWindows11, 0, 0, 9999, 9999))
                      .supported);
      EXPECT_TRUE(Judge10(Header(kSupportsWindows11, 0, 0, 0xFFFF, 0xFFFF))
                      .supported);
      Outcome closed = Judge10(Header(kSupportsWindows11, 0, 0, 0, 9998));
      EXPECT_FALSE(closed.supported);
      EXPECT_EQ(closed.name, std::u16string(u"Windows 11 ") +
                                 (c.displayVersion ? c.displayVersion : u""));
    }
  }
}

TEST_F(GateWindows11, BoundsFromTheHeader) {
  SetBuild(u"22000", nullptr);
  Outcome outcome = Judge10(Header(kSupportsWindows11, 0, 0, 2209, 9999));
  EXPECT_FALSE(outcome.supported);
  EXPECT_EQ(outcome.name, u"Windows 11 21H2 (Original Release)");

  Fresh();
  SetBuild(u"26300", nullptr);
  outcome = Judge10(Header(kSupportsWindows11, 0, 0, 2110, 2510));
  EXPECT_FALSE(outcome.supported);
  EXPECT_EQ(outcome.name, u"Windows 11 ");
  EXPECT_TRUE(Judge10(Header(kSupportsWindows11, 0, 0, 2110, 9999)).supported);
}

TEST_F(GateWindows11, BitClearRefusesWithoutReadingDisplayVersion) {
  SetBuild(u"22631", u"23H2");
  Outcome outcome = Judge10(Header(~kSupportsWindows11));
  EXPECT_FALSE(outcome.supported);
  EXPECT_EQ(outcome.name, u"Windows 11");
  EXPECT_EQ(Fake().queriedValues, std::vector<std::u16string>{u"CurrentBuild"});
}

// --- Windows 10 ----------------------------------------------------------------

TEST_F(GateWindows10, BuildTableIgnoresReleaseIdAndDisplayVersion) {
  const struct {
    const char16_t* build;
    NamedCode row;
  } cases[] = {
      {u"19042", {2009, u"Windows 10 20H2 (October 2020 Update)"}},
      {u"19043", {2105, u"Windows 10 21H1 (May 2021 Update)"}},
      {u"19044", {2111, u"Windows 10 21H2 (November 2021 Update)"}},
      {u"19045", {2210, u"Windows 10 22H2 (2022 Update)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.build));
    Fresh();
    SetBuild(c.build, u"21H2");
    Fake().SetRegistryText(u"ReleaseId", u"1507");
    const uint16_t code = c.row.code;
    EXPECT_TRUE(Judge10(Header(kSupportsWindows10, code, code)).supported);
    Outcome aboveMin = Judge10(Header(kSupportsWindows10, code + 1, 9999));
    EXPECT_FALSE(aboveMin.supported);
    EXPECT_EQ(aboveMin.name, c.row.name);
    Outcome belowMax = Judge10(Header(kSupportsWindows10, 0, code - 1));
    EXPECT_FALSE(belowMax.supported);
    EXPECT_EQ(belowMax.name, c.row.name);
    for (const std::u16string& value : Fake().queriedValues)
      EXPECT_NE(value, u"ReleaseId");
  }
}

TEST_F(GateWindows10, UnknownBuildsNeedTheOpenUpperBound) {
  const struct {
    const char16_t* build;
    const char16_t* displayVersion;
    std::u16string name;
  } cases[] = {
      {u"19046", u"22H2", u"Windows 10 22H2"},
      {u"21999", u"Custom %USER%", u"Windows 10 Custom %USER%"},
      {u"21999", nullptr, u"Windows 10 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.build));
    Fresh();
    SetBuild(c.build, c.displayVersion);
    Outcome closed = Judge10(Header(kSupportsWindows10, 0, 2210));
    EXPECT_FALSE(closed.supported);
    EXPECT_EQ(closed.name, c.name);
    EXPECT_TRUE(Judge10(Header(kSupportsWindows10, 9999, 9999)).supported);
    EXPECT_TRUE(Judge10(Header(kSupportsWindows10, 0, 10000)).supported);
  }
}

TEST_F(GateWindows10, BitClearRefusesAnyBuildBelow22000) {
  for (const char16_t* build : {u"0", u"19041", u"19045", u"21999"}) {
    SCOPED_TRACE(Narrow(build));
    Fresh();
    SetBuild(build, u"22H2");
    Fake().SetRegistryText(u"ReleaseId", u"2004");
    Outcome outcome = Judge10(Header(~kSupportsWindows10));
    EXPECT_FALSE(outcome.supported);
    EXPECT_EQ(outcome.name, u"Windows 10");
    EXPECT_EQ(Fake().queriedValues,
              std::vector<std::u16string>{u"CurrentBuild"});
  }
}

// --- ReleaseId (builds below 19042) ------------------------------------------

TEST_F(GateReleaseId, EveryNamedReleaseIsRefusedByItsName) {
  const struct {
    const char16_t* releaseId;
    uint16_t value;
    std::u16string name;
  } cases[] = {
      {u"1507", 1507, u"Windows 10 1507 (Original Release)"},
      {u"1511", 1511, u"Windows 10 1511 (November Update)"},
      {u"1607", 1607, u"Windows 10 1607 (Anniversary Update)"},
      {u"1703", 1703, u"Windows 10 1703 (Creators Update)"},
      {u"1709", 1709, u"Windows 10 1709 (Fall Creators Update)"},
      {u"1803", 1803, u"Windows 10 1803 (April 2018 Update)"},
      {u"1809", 1809, u"Windows 10 1809 (October 2018 Update)"},
      {u"1903", 1903, u"Windows 10 1903 (May 2019 Update)"},
      {u"1909", 1909, u"Windows 10 1909 (November 2019 Update)"},
      {u"2004", 2004, u"Windows 10 2004 (May 2020 Update)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.releaseId));
    Fresh();
    SetBuild(u"19041", u"2004");
    Fake().SetRegistryText(u"ReleaseId", c.releaseId);
    EXPECT_TRUE(
        Judge10(Header(kSupportsWindows10, c.value, c.value)).supported);
    Outcome outcome = Judge10(Header(kSupportsWindows10, c.value + 1, 9999));
    EXPECT_FALSE(outcome.supported);
    EXPECT_EQ(outcome.name, c.name);
  }
}

struct ReleaseIdCase {
  const char16_t* releaseId;
  uint16_t min;
  uint16_t max;
  bool supported;
  std::u16string name;
};

TEST_F(GateReleaseId, RangeFirstThenNameByFullValue) {
  const ReleaseIdCase cases[] = {
      {u"2009", 1507, 2004, false, u"Windows 10 2009"},
      {u"1600", 1507, 9999, true, u""},  // in range though unnamed
      {u"1803", 1809, 9999, false, u"Windows 10 1803 (April 2018 Update)"},
      {u"1809", 1809, 9999, true, u""},
      {u"1803xyz", 1809, 9999, false, u"Windows 10 1803 (April 2018 Update)"},
      {u"20H2", 1507, 9999, false, u"Windows 10 20H2"},  // reads as 20
      // The range sees R mod 65536, the name table the full R.
      {u"67345", 1809, 1809, true, u""},
      {u"67339", 1809, 9999, false, u"Windows 10 67339"},
  };
  for (const ReleaseIdCase& c : cases) {
    SCOPED_TRACE(Narrow(c.releaseId));
    Fresh();
    SetBuild(u"19041", nullptr);
    Fake().SetRegistryText(u"ReleaseId", c.releaseId);
    Outcome outcome = Judge10(Header(kSupportsWindows10, c.min, c.max));
    EXPECT_EQ(outcome.supported, c.supported);
    EXPECT_EQ(outcome.name, c.name);
  }
}

// --- Failing open -------------------------------------------------------------

TEST_F(GateFailOpen, UnreadableInputsLetTheLauncherGoOn) {
  // Nothing in this header admits a release: any verdict reached by reading
  // would be a refusal.
  const PackageHeader nothing = Header(0, 9999, 9999, 9999, 9999);

  Fake().registryKeyOpens = false;
  EXPECT_TRUE(Judge10(nothing).supported);
  EXPECT_EQ(Fake().keyOpens, 0);
  EXPECT_TRUE(Fake().queriedValues.empty());

  Fresh();  // CurrentBuild missing
  EXPECT_TRUE(Judge10(nothing).supported);
  EXPECT_EQ(Fake().keyCloses, 1);

  Fresh();  // CurrentBuild too long for the 128-byte buffer
  SetRegistryRaw(u"CurrentBuild", u"21999", 130);
  EXPECT_TRUE(Judge10(nothing).supported);
  EXPECT_EQ(Fake().keyCloses, 1);

  Fresh();  // exactly 128 bytes still fits
  SetRegistryRaw(u"CurrentBuild", u"21999", 128);
  EXPECT_FALSE(Judge10(nothing).supported);

  Fresh();  // ReleaseId missing below build 19042
  SetBuild(u"19041", u"22H2");
  EXPECT_TRUE(Judge10(Header(kSupportsWindows10, 9999, 9999)).supported);
  EXPECT_EQ(Fake().keyCloses, 1);
}

TEST_F(GateFailOpen, FailedVersionQuerySkipsTheRegistry) {
  Fake().version.reset();
  Fake().SetRegistryText(u"CurrentBuild", u"22631");
  WindowsVersionRecord record =
      CheckWindowsCompatibility(nullptr, Header(0, 9999, 9999, 9999, 9999));
  EXPECT_FALSE(record.known);
  EXPECT_EQ(Fake().keyOpens, 0);
  EXPECT_TRUE(Fake().queriedValues.empty());
  EXPECT_TRUE(Fake().boxes.empty());
}

// --- Number and text readings -------------------------------------------------

TEST_F(GateReadings, NumberReading) {
  const struct {
    std::u16string units;
    uint32_t byteCount;
    int32_t expected;
  } cases[] = {
      {u"22631abc", 18, 22631},
      {u"abc", 8, 0},
      {u"9:", 6, 9},  // 0x3A is no digit
      {u"\uFF11\u0663", 6, 0},  // only ASCII digits count
      {u"12345", 0, 0},
      {u"12345", 5, 12},  // only byteCount / 2 units are looked at
      {u"2147483648", 22, INT32_MIN},
      {u"4294967295", 22, -1},
      {u"4294967296", 22, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.units) + " / " + std::to_string(c.byteCount));
    WideChar buffer[kRegistryBufferBytes / 2] = {};
    std::memcpy(buffer, c.units.data(), c.units.size() * 2);
    EXPECT_EQ(ReadRegistryNumber(buffer, c.byteCount), c.expected);
  }
}

TEST_F(GateReadings, BuildNumberDecidesTheBranch) {
  const struct {
    std::u16string units;
    uint32_t byteCount;
    bool windows11;
  } cases[] = {
      {u"22631abc", 18, true},
      {u"abc", 8, false},  // 0: Windows 10, then ReleaseId
      {u"4294989296", 22, true},   // wraps to 22000
      {u"4294967295", 22, false},  // -1
      {u"2147483648", 22, false},  // negative when compared signed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.units));
    Fresh();
    SetRegistryRaw(u"CurrentBuild", c.units, c.byteCount);
    Outcome outcome = Judge10(Header(0));
    EXPECT_FALSE(outcome.supported);
    EXPECT_EQ(outcome.name, c.windows11 ? u"Windows 11" : u"Windows 10");
  }
}

TEST_F(GateReadings, SharedBufferAndDisplayVersionText) {
  const struct {
    std::u16string displayUnits;
    size_t byteCount;  // 0: value missing
    std::u16string name;
  } cases[] = {
      // A failed query gives an empty text, not what CurrentBuild left behind.
      {u"", 0, u"Windows 11 "},
      {std::u16string(65, u'V'), 132, u"Windows 11 "},
      {std::u16string(64, u'V'), 128, u"Windows 11 " + std::u16string(64, u'V')},
      {std::u16string(u"26H1\0junk", 9), 20, u"Windows 11 26H1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.byteCount);
    Fresh();
    Fake().SetRegistryText(u"CurrentBuild", u"26300");
    if (c.byteCount) SetRegistryRaw(u"DisplayVersion", c.displayUnits, c.byteCount);
    Outcome outcome = Judge10(Header(kSupportsWindows11, 0, 0, 0, 2510));
    EXPECT_FALSE(outcome.supported);
    EXPECT_EQ(outcome.name, c.name);
  }

  // The text reading ignores the byte count: a short ReleaseId without a
  // terminator shows through what CurrentBuild left in the buffer.
  Fresh();
  Fake().SetRegistryText(u"CurrentBuild", u"19041");
  SetRegistryRaw(u"ReleaseId", u"20", 4);
  EXPECT_EQ(Judge10(Header(kSupportsWindows10)).name, u"Windows 10 20041");
}

// --- End to end through the refusal message -----------------------------------

const uint32_t kTextOffset = 200;

// A launcher file whose package text sits at kTextOffset.
PackageHeader WriteLauncherWithText(const std::u16string& text,
                                    uint64_t flags) {
  FakeFile& file = Fake().files[Fake().modulePath];
  file.bytes.assign(kTextOffset + text.size() * 2 + 16, 0xEE);
  std::memcpy(file.bytes.data() + kTextOffset, text.data(), text.size() * 2);
  PackageHeader header = Header(flags, 1507, 9999, 2110, 2510);
  header.unsupportedText = {kTextOffset, (uint16_t)text.size()};
  return header;
}

TEST_F(GateEndToEnd, RefusalShowsThePackageTextWithTheReleaseName) {
  const struct {
    OsVersion version;
    const char16_t* build;
    const char16_t* displayVersion;
    std::u16string name;
  } cases[] = {
      {{5, 1}, nullptr, nullptr, u"Windows XP"},
      {{10, 0}, u"26300", u"26H1", u"Windows 11 26H1"},
      // Placeholders the name brings are not searched again.
      {{10, 0}, u"26300", u"x%USER%", u"Windows 11 x%USER%"},
  };
  const std::u16string text = u"Needs newer Windows; %USER% (%user%) is not.";
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.name));
    Fresh();
    Fake().version = c.version;
    if (c.build) SetBuild(c.build, c.displayVersion);
    PackageHeader header = WriteLauncherWithText(text, kSupportsWindows7 | kWindows10And11);
    PlatformHandle own = PlatformOpenForReading(Fake().modulePath.c_str());
    ASSERT_NE(own, PLATFORM_INVALID_HANDLE);
    EXPECT_THROW(CheckWindowsCompatibility(own, header), FakeExit);
    ASSERT_EQ(Fake().boxes.size(), 1u);
    EXPECT_EQ(Fake().boxes[0].text,
              u"Needs newer Windows; " + c.name + u" (" + c.name + u") is not.");
    EXPECT_EQ(Fake().boxes[0].caption, Fake().modulePath);
    EXPECT_EQ(Fake().boxes[0].style, 0x10u);
    EXPECT_EQ(Fake().exitCode, 1654u);
  }
}

TEST_F(GateEndToEnd, SupportedReleaseReturnsTheVersion) {
  Fake().version = OsVersion{10, 0};
  SetBuild(u"26100", u"24H2");
  PackageHeader header = WriteLauncherWithText(u"%USER%", kSupportsWindows11);
  PlatformHandle own = PlatformOpenForReading(Fake().modulePath.c_str());
  WindowsVersionRecord record = CheckWindowsCompatibility(own, header);
  EXPECT_TRUE(record.known);
  EXPECT_EQ(record.version.majorVersion, 10u);
  EXPECT_EQ(record.version.minorVersion, 0u);
  EXPECT_TRUE(Fake().boxes.empty());
  EXPECT_FALSE(Fake().exitCode.has_value());
}

}  // namespace
