// SPDX-License-Identifier: 0BSD
// The packer library: file layout, refusals (the loader's among them),
// reproducibility, PE checksum, command-line words, the read-back used by
// `stubpack inspect`, and the output files that never replace an input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "core/CRC32.h"
#include "extract/LzmaDecoder.h"
#include "extract/LzmaProperties.h"
#include "packer/FileIO.h"
#include "packer/Options.h"
#include "packer/OutputFile.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/Sha256.h"
#include "tests/unit/TestPackages.h"

namespace {

using packer::Bytes;

const uint32_t kPeAt = 256;
const uint32_t kOptionalAt = kPeAt + 24;
const uint32_t kChecksumAt = kOptionalAt + 64;
const uint32_t kSecurityEntryAt = kOptionalAt + 112 + 4 * 8;
const uint32_t kSectionAt = kOptionalAt + 240;
// From the PE signature to the end of the one-entry section table.
const uint32_t kHeadersSize = 24 + 240 + 40;

// A PE32+ header with 16 data directories and nothing else.
Bytes BareHeaders(size_t size) {
  Bytes stub(size, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  stub[60] = kPeAt & 0xFF;
  stub[61] = kPeAt >> 8;
  stub[kPeAt] = 'P';
  stub[kPeAt + 1] = 'E';
  stub[kPeAt + 4] = 0x64;  // machine x86-64
  stub[kPeAt + 5] = 0x86;
  stub[kPeAt + 20] = 240;  // SizeOfOptionalHeader
  stub[kOptionalAt] = 0x0B;
  stub[kOptionalAt + 1] = 0x02;
  stub[kOptionalAt + 108] = 16;  // NumberOfRvaAndSizes
  for (size_t i = 600; i < size; ++i) stub[i] = (uint8_t)(i * 7);
  return stub;
}

// The same, with the section table and sizes a loader wants.
Bytes MakeStub(size_t size = 1024) {
  Bytes stub = BareHeaders(size);
  testpkg::MakeLoadable(stub);
  return stub;
}

Bytes MakeSetup(size_t size, uint32_t seed = 1) {
  Bytes setup(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    setup[i] = (state >> 24) % 3 == 0 ? (uint8_t)(state >> 16) : (uint8_t)"setup."[i % 6];
  }
  return setup;
}

void PutU32(Bytes& b, size_t at, uint32_t v);

// A 4096-byte stub whose .text holds bytes 1024-4095, with a second section
// .data at `address` whose 512 bytes of raw data start at `rawOffset`.
Bytes TwoSections(uint32_t address, uint32_t rawOffset) {
  Bytes stub = MakeStub(4096);
  stub[kPeAt + 6] = 2;
  PutU32(stub, kOptionalAt + 56, 0x3000);  // SizeOfImage
  const size_t entry = kSectionAt + 40;
  std::memcpy(stub.data() + entry, ".data", 5);
  PutU32(stub, entry + 8, 0x1000);
  PutU32(stub, entry + 12, address);
  PutU32(stub, entry + 16, 512);
  PutU32(stub, entry + 20, rawOffset);
  if (rawOffset >= 4096) stub.resize(rawOffset + 512, 0);
  return stub;
}

uint32_t U32At(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

void PutU32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

Bytes Decode(const Bytes& file, const PackageHeader& header) {
  LzmaProperties properties;
  EXPECT_TRUE(AcceptLzmaProperties(header.lzmaProperties, &properties));
  Bytes block(file.begin() + header.payloadOffset,
              file.begin() + header.payloadOffset + header.payloadPackedSize);
  Bytes out;
  EXPECT_EQ(testpkg::DecodeBlock(properties, block, header.payloadSize, &out),
            LzmaOutcome::Accepted);
  return out;
}

struct LayoutCase {
  const char* name;
  bool detached;
  size_t insideCrc;
  size_t afterCrc;
  std::u16string text;
};

TEST(PackerLayout, FieldsDescribeTheFileTheyAreIn) {
  const LayoutCase cases[] = {
      {"attached", false, 0, 0, u"Not on %USER%."},
      {"detached", true, 0, 0, u"Not on %USER%."},
      {"extra inside", false, 1000, 0, u"x"},
      {"extra after", false, 0, 777, u"x"},
      {"both extras, detached", true, 33, 44, u"\u00e9\U0001F600"},
      {"empty text", false, 0, 5, u""},
  };
  const Bytes stub = MakeStub();
  const Bytes setup = MakeSetup(50000);
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    packer::PackageOptions options;
    options.detached = c.detached;
    options.unsupportedText = c.text;
    options.extraInsideCrc.assign(c.insideCrc, 0xA5);
    options.extraAfterCrc.assign(c.afterCrc, 0x5A);
    options.supportFlags = 0x8000000000000260ull;
    options.win10MinCode = 1809;
    options.win11MaxCode = 2410;
    options.adminMode = 1;
    packer::BuildResult result = packer::BuildLauncherFile(stub, setup, options);
    ASSERT_TRUE(result.ok) << result.error;
    const Bytes& file = result.file;

    packer::PackageInfo info;
    std::string error;
    ASSERT_TRUE(packer::ReadPackageInfo(file, &info, &error)) << error;
    const PackageLocator& l = info.locator;
    const PackageHeader& h = info.header;
    EXPECT_EQ(l.packageOffset, stub.size());
    EXPECT_EQ(h.payloadOffset, l.packageOffset + sizeof(PackageHeader));
    EXPECT_EQ(h.unsupportedText.textOffset, h.payloadOffset + h.payloadPackedSize);
    EXPECT_EQ(l.crcLength, sizeof(PackageHeader) + h.payloadPackedSize +
                               2 * c.text.size() + c.insideCrc);
    EXPECT_EQ(l.crcValue, ComputeCrc32(file.data() + l.packageOffset,
                                       (int32_t)l.crcLength));
    EXPECT_EQ((uint64_t)l.expectedFileSize, file.size());
    EXPECT_EQ(l.detachedFileSize, c.detached ? file.size() : 0u);
    // Zero padding to 8 bytes, for Authenticode, ends the file.
    const size_t packageEnd = l.packageOffset + l.crcLength + c.afterCrc;
    EXPECT_EQ(file.size(), (packageEnd + 7) / 8 * 8);
    // The stub is carried unchanged, apart from the locator and checksum.
    for (size_t i = 0; i < stub.size(); ++i) {
      if (i >= 128 && i < 152) continue;
      if (i >= kChecksumAt && i < kChecksumAt + 4) continue;
      ASSERT_EQ(file[i], stub[i]) << "stub byte " << i;
    }
    // Extras sit where the CRC region ends and at the very end.
    const size_t crcEnd = l.packageOffset + l.crcLength;
    for (size_t i = crcEnd - c.insideCrc; i < crcEnd; ++i) ASSERT_EQ(file[i], 0xA5);
    for (size_t i = crcEnd; i < file.size(); ++i)
      ASSERT_EQ(file[i], i < packageEnd ? 0x5A : 0);

    EXPECT_EQ(h.supportFlags, options.supportFlags);
    EXPECT_EQ(h.win10MinCode, 1809);
    EXPECT_EQ(h.win10MaxCode, 9999);
    EXPECT_EQ(h.win11MinCode, 2110);
    EXPECT_EQ(h.win11MaxCode, 2410);
    EXPECT_EQ(h.adminMode, 1);
    EXPECT_TRUE(info.textInFile);
    EXPECT_EQ(info.text, c.text);
    EXPECT_EQ(h.lzmaProperties[0], 93);  // lc 3, lp 0, pb 2
    EXPECT_EQ(h.payloadSize, (int32_t)setup.size());
    EXPECT_EQ(Decode(file, h), setup);
    EXPECT_TRUE(info.crcMatches);
    EXPECT_TRUE(info.sizeSufficient);
    EXPECT_FALSE(info.signed_);
  }
}

TEST(PackerLayout, LzmaSettingsReachThePropertyBytes) {
  struct Case {
    uint32_t lc, lp, pb, dict;
    uint8_t byte0;
    uint32_t storedDict;
  };
  const Case cases[] = {
      {3, 0, 2, 1 << 20, 93, 1 << 20},
      {0, 4, 0, 65536, 36, 65536},
      {4, 0, 4, 4096, 184, 4096},
      // Automatic: the preset's 8 MiB shrunk to the program's size.
      {3, 0, 2, 0, 93, 30000},
  };
  for (const Case& c : cases) {
    packer::PackageOptions options;
    options.lzma.lc = c.lc;
    options.lzma.lp = c.lp;
    options.lzma.pb = c.pb;
    options.lzma.dictionarySize = c.dict;
    const Bytes setup = MakeSetup(30000, c.lc * 10 + c.pb);
    packer::BuildResult result = packer::BuildLauncherFile(MakeStub(), setup, options);
    ASSERT_TRUE(result.ok) << result.error;
    PackageHeader header;
    std::memcpy(&header, result.file.data() + 1024, sizeof header);
    EXPECT_EQ(header.lzmaProperties[0], c.byte0);
    EXPECT_EQ(U32At(result.file, 1024 + 1), c.storedDict);
    EXPECT_EQ(Decode(result.file, header), setup);
  }
}

TEST(PackerLayout, PrecompressedBlockIsStoredAsGiven) {
  packer::PackageOptions options;
  options.precompressed = packer::PrecompressedPayload{
      {1, 2, 3, 4, 5}, {0xE1, 0, 0, 0, 0x80}, -7};
  packer::BuildResult result = packer::BuildLauncherFile(MakeStub(), {}, options);
  ASSERT_TRUE(result.ok) << result.error;
  PackageHeader header;
  std::memcpy(&header, result.file.data() + 1024, sizeof header);
  EXPECT_EQ(0, std::memcmp(header.lzmaProperties, "\xE1\0\0\0\x80", 5));
  EXPECT_EQ(header.payloadPackedSize, 5u);
  EXPECT_EQ(header.payloadSize, -7);
  EXPECT_EQ(0, std::memcmp(result.file.data() + header.payloadOffset, "\1\2\3\4\5", 5));
}

TEST(PackerRefusals, EachBadInputGetsOneLineNamingIt) {
  struct Case {
    const char* name;
    std::function<void(Bytes& stub, packer::PackageOptions& options)> spoil;
    const char* expected;
  };
  const Case cases[] = {
      {"no MZ", [](Bytes& s, packer::PackageOptions&) { s[0] = 'X'; }, "no MZ header"},
      {"too short", [](Bytes& s, packer::PackageOptions&) { s.resize(40); }, "no MZ header"},
      {"no PE signature", [](Bytes& s, packer::PackageOptions&) { s[kPeAt] = 'Q'; },
       "no PE signature"},
      {"PE header past the end", [](Bytes& s, packer::PackageOptions&) { PutU32(s, 60, 5000); },
       "no PE signature"},
      {"PE header at 128",
       [](Bytes& s, packer::PackageOptions&) {
         Bytes moved(s.begin() + kPeAt, s.begin() + kPeAt + kHeadersSize);
         std::fill(s.begin() + kPeAt, s.begin() + kPeAt + kHeadersSize, 0);
         std::copy(moved.begin(), moved.end(), s.begin() + 128);
         PutU32(s, 60, 128);
       },
       "starts at byte 128"},
      {"bytes 128-151 used", [](Bytes& s, packer::PackageOptions&) { s[151] = 1; },
       "bytes 128-151 are in use"},
      {"unknown optional magic", [](Bytes& s, packer::PackageOptions&) { s[kOptionalAt] = 7; },
       "optional header magic"},
      {"already signed", [](Bytes& s, packer::PackageOptions&) { PutU32(s, kSecurityEntryAt, 900); PutU32(s, kSecurityEntryAt + 4, 16); },
       "already signed"},
      // What Windows' loader refuses (error 193): the launcher would never run.
      {"cut inside a section", [](Bytes& s, packer::PackageOptions&) { s = MakeStub(4096); s.resize(2048); },
       "section 1 (.text) has raw data at bytes 1024-4096, past the end of the file (2048 bytes)"},
      {"65535 sections", [](Bytes& s, packer::PackageOptions&) { s[kPeAt + 6] = 0xFF; s[kPeAt + 7] = 0xFF; },
       "section table (65535 sections) ends at byte 2621920, past SizeOfHeaders"},
      {"no sections", [](Bytes& s, packer::PackageOptions&) { s[kPeAt + 6] = 0; }, "has no sections"},
      {"headers past the end", [](Bytes& s, packer::PackageOptions&) { PutU32(s, kOptionalAt + 60, 2048); },
       "SizeOfHeaders 2048) run past the end"},
      {"SizeOfImage too small", [](Bytes& s, packer::PackageOptions&) { PutU32(s, kOptionalAt + 56, 0x1800); },
       "SizeOfImage (6144) is smaller than its sections need (8192)"},
      {"file alignment 300", [](Bytes& s, packer::PackageOptions&) { PutU32(s, kOptionalAt + 36, 300); },
       "alignments are invalid"},
      {"sections share raw data", [](Bytes& s, packer::PackageOptions&) { s = TwoSections(0x2000, 2048); },
       "section 1 (.text) and section 2 (.data) share raw data"},
      {"sections share addresses", [](Bytes& s, packer::PackageOptions&) { s = TwoSections(0x1000, 4096); },
       "section 2 (.data) starts at address 4096"},
      {"a launcher file as stub",
       [](Bytes& s, packer::PackageOptions&) { s = packer::BuildLauncherFile(MakeStub(), MakeSetup(100), {}).file; },
       "already carries a package (it is a launcher file); give the bare stub, Stub64.exe"},
      {"text too long", [](Bytes&, packer::PackageOptions& o) { o.unsupportedText.assign(65536, u'x'); },
       "at most 65535"},
      {"empty win10 range", [](Bytes&, packer::PackageOptions& o) { o.win10MinCode = 2000; o.win10MaxCode = 1999; },
       "Windows 10 code range 2000-1999"},
      {"empty win11 range", [](Bytes&, packer::PackageOptions& o) { o.win11MinCode = 3; o.win11MaxCode = 2; },
       "Windows 11 code range 3-2"},
      {"lc + lp > 4", [](Bytes&, packer::PackageOptions& o) { o.lzma.lc = 3; o.lzma.lp = 2; },
       "lc + lp must not exceed 4"},
      {"pb 5", [](Bytes&, packer::PackageOptions& o) { o.lzma.pb = 5; }, "must each be 0-4"},
      {"preset 10", [](Bytes&, packer::PackageOptions& o) { o.lzma.preset = 10; }, "preset 10"},
      {"dictionary 1 KiB", [](Bytes&, packer::PackageOptions& o) { o.lzma.dictionarySize = 1024; },
       "dictionary size 1024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stub = MakeStub();
    packer::PackageOptions options;
    c.spoil(stub, options);
    packer::BuildResult result = packer::BuildLauncherFile(stub, MakeSetup(1000), options);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.file.empty());
    EXPECT_NE(result.error.find(c.expected), std::string::npos) << result.error;
    EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
  }
}

TEST(PackerRefusals, StubWithHeaderAt152IsEnough) {
  Bytes stub = MakeStub();
  Bytes moved(stub.begin() + kPeAt, stub.begin() + kPeAt + kHeadersSize);
  std::fill(stub.begin() + kPeAt, stub.begin() + kPeAt + kHeadersSize, 0);
  std::copy(moved.begin(), moved.end(), stub.begin() + 152);
  PutU32(stub, 60, 152);
  EXPECT_EQ(packer::CheckStub(stub), "");
}

TEST(PackerReproducibility, SameInputsSameBytes) {
  const Bytes stub = MakeStub();
  const Bytes setup = MakeSetup(300000, 7);
  packer::PackageOptions options;
  options.extraInsideCrc = {1, 2, 3};
  const Bytes first = packer::BuildLauncherFile(stub, setup, options).file;
  const Bytes second = packer::BuildLauncherFile(stub, setup, options).file;
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  options.lzma.preset = 5;
  EXPECT_NE(packer::BuildLauncherFile(stub, setup, options).file, first);
}

TEST(PackerProgress, ReportsGrowingCountsUpToTheTotal) {
  const Bytes setup = MakeSetup(3u << 20, 3);
  std::vector<uint64_t> seen;
  packer::PackageOptions options;
  options.lzma.preset = 0;
  options.progress = [&](uint64_t done, uint64_t total) {
    EXPECT_EQ(total, setup.size());
    seen.push_back(done);
  };
  ASSERT_TRUE(packer::BuildLauncherFile(MakeStub(), setup, options).ok);
  ASSERT_GE(seen.size(), 3u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), setup.size());
}

// Written from the definition, not from PeImage.cpp: all words summed at
// once, folded at the end.
uint32_t ReferenceChecksum(const Bytes& image, size_t checksumAt) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i == checksumAt || i == checksumAt + 2) continue;
    sum += image[i] + (i + 1 < image.size() ? image[i + 1] << 8 : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint32_t)sum + (uint32_t)image.size();
}

TEST(PackerPeChecksum, KnownValueOfTheBareStub) {
  // Words: "MZ" 0x5A4D, e_lfanew 0x0100, "PE" 0x4550, machine 0x8664,
  // 240, magic 0x020B, 16 directories: 0x12A0C, carry folded: 0x2A0D,
  // plus the 512-byte length.
  Bytes stub = BareHeaders(512);
  EXPECT_EQ(packer::ComputePeChecksum(stub, kChecksumAt), 0x2A0Du + 512);
}

TEST(PackerPeChecksum, MatchesReferenceAndIgnoresItsOwnField) {
  for (size_t size : {1024u, 1025u, 4099u}) {
    Bytes image = BareHeaders(size);
    for (size_t i = 400; i < size; ++i) image[i] = (uint8_t)(0xFF - i);
    const uint32_t expected = ReferenceChecksum(image, kChecksumAt);
    EXPECT_EQ(packer::ComputePeChecksum(image, kChecksumAt), expected) << size;
    PutU32(image, kChecksumAt, 0xDEADBEEF);
    EXPECT_EQ(packer::ComputePeChecksum(image, kChecksumAt), expected) << size;
  }
}

TEST(PackerPeChecksum, LauncherFileCarriesItsOwnChecksum) {
  packer::PackageOptions options;
  options.extraAfterCrc = {9};  // odd length: the last word is half a byte
  packer::BuildResult result = packer::BuildLauncherFile(MakeStub(), MakeSetup(20001), options);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(U32At(result.file, kChecksumAt), ReferenceChecksum(result.file, kChecksumAt));
}

TEST(PackerOptions, Releases) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t flags;
  };
  const Case cases[] = {
      {"7,8,8.1,10,11,unknown", true, 0x8000000000000F80ull},
      {"xp", true, 0x20},
      {" Vista , XP ", true, 0x60},
      {"10,10", true, 0x400},
      {"8.2", false, 0},
      {"7,,8", false, 0},
      {"", false, 0},
      {"win7", false, 0},
  };
  for (const Case& c : cases) {
    uint64_t flags = 0;
    std::string error;
    EXPECT_EQ(packer::ParseReleases(c.text, &flags, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(flags, c.flags) << c.text;
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_EQ(packer::ReleaseNames(0x8000000000000F80ull),
            (std::vector<std::string>{"7", "8", "8.1", "10", "11", "unknown"}));
  EXPECT_EQ(packer::UnnamedSupportBits(0x8000000000000F81ull), 1u);
}

TEST(PackerOptions, CodeRanges) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t min, max;
  };
  const Case cases[] = {
      {"1507-9999", true, 1507, 9999}, {"0-65535", true, 0, 65535},
      {"2110-2110", true, 2110, 2110}, {"2000-1999", false, 0, 0},
      {"1507-65536", false, 0, 0},     {"1507", false, 0, 0},
      {"-9999", false, 0, 0},          {"15a7-9999", false, 0, 0},
      {"1507-9999-1", false, 0, 0},    {"1507 - 9999", false, 0, 0},
  };
  for (const Case& c : cases) {
    uint16_t min = 1, max = 1;
    std::string error;
    EXPECT_EQ(packer::ParseCodeRange(c.text, &min, &max, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(min, c.min);
      EXPECT_EQ(max, c.max);
    }
  }
}

TEST(PackerOptions, AdminModesAndSizes) {
  const std::pair<const char*, int> modes[] = {
      {"runas", 1}, {"noadmin", 2}, {"none", 0}, {"NoAdmin", 2}, {"admin", -1}, {"1", -1}};
  for (const auto& m : modes) {
    uint8_t mode = 99;
    std::string error;
    EXPECT_EQ(packer::ParseAdminMode(m.first, &mode, &error), m.second >= 0) << m.first;
    if (m.second >= 0) {
      EXPECT_EQ(mode, m.second);
    }
  }
  EXPECT_EQ(packer::AdminModeName(7), "none (7)");

  const std::pair<const char*, int64_t> sizes[] = {
      {"4096", 4096}, {"64K", 65536}, {"8M", 8 << 20}, {"8MiB", 8 << 20},
      {"3k", 3072}, {"M", -1}, {"1.5M", -1}, {"4096M", -1}, {"-1", -1}};
  for (const auto& s : sizes) {
    uint32_t bytes = 0;
    std::string error;
    EXPECT_EQ(packer::ParseByteSize(s.first, &bytes, &error), s.second >= 0) << s.first;
    if (s.second >= 0) {
      EXPECT_EQ(bytes, (uint64_t)s.second);
    }
  }

  std::vector<uint8_t> props;
  std::string error;
  EXPECT_TRUE(packer::ParseHexBytes("5d00004000", 5, &props, &error));
  EXPECT_EQ(props, (std::vector<uint8_t>{0x5D, 0, 0, 0x40, 0}));
  EXPECT_FALSE(packer::ParseHexBytes("5d000040", 5, &props, &error));
  EXPECT_FALSE(packer::ParseHexBytes("5d0000400g", 5, &props, &error));

  int64_t value;
  EXPECT_TRUE(packer::ParseNumber("-2147483648", INT32_MIN, INT32_MAX, &value, &error));
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_FALSE(packer::ParseNumber("10", 0, 9, &value, &error));
  EXPECT_FALSE(packer::ParseNumber("", 0, 9, &value, &error));
  EXPECT_FALSE(packer::ParseNumber("+3", 0, 9, &value, &error));
}

TEST(PackerReader, RefusesFilesWithoutAPackage) {
  Bytes built = packer::BuildLauncherFile(MakeStub(), MakeSetup(1000), {}).file;
  struct Case {
    const char* name;
    Bytes file;
    const char* expected;
  };
  Bytes empty = built;
  PutU32(empty, 128, 0);  // packageOffset
  Bytes outside = built;
  PutU32(outside, 128, (uint32_t)built.size() - 73);
  const Case cases[] = {
      {"short", Bytes(151, 0), "too short"},
      {"empty locator", empty, "carries no package"},
      {"header outside", outside, "lies outside the file"},
  };
  for (const Case& c : cases) {
    packer::PackageInfo info;
    std::string error;
    EXPECT_FALSE(packer::ReadPackageInfo(c.file, &info, &error)) << c.name;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
  }
}

TEST(PackerReader, FindsTheSignatureBehindThePackage) {
  Bytes file = packer::BuildLauncherFile(MakeStub(), MakeSetup(5000), {}).file;
  const uint32_t packageEnd = (uint32_t)file.size();
  file.resize((file.size() + 7) / 8 * 8 + 64, 0);
  const uint32_t at = (uint32_t)file.size() - 64;
  PutU32(file, kSecurityEntryAt, at);
  PutU32(file, kSecurityEntryAt + 4, 64);
  packer::PackageInfo info;
  std::string error;
  ASSERT_TRUE(packer::ReadPackageInfo(file, &info, &error)) << error;
  EXPECT_TRUE(info.signed_);
  EXPECT_EQ(info.signatureOffset, at);
  EXPECT_EQ(info.signatureSize, 64u);
  EXPECT_TRUE(info.signatureInFile);
  EXPECT_TRUE(info.signatureAfterPackage);
  EXPECT_TRUE(info.crcMatches);
  EXPECT_TRUE(info.sizeSufficient);

  PutU32(file, kSecurityEntryAt, packageEnd - 100);  // inside the package
  ASSERT_TRUE(packer::ReadPackageInfo(file, &info, &error));
  EXPECT_FALSE(info.signatureAfterPackage);
  const std::string json = packer::FormatPackageInfoJson("x", info);
  EXPECT_NE(json.find("\"afterPackage\": false"), std::string::npos) << json;
}

TEST(PackerReader, JudgesTheTextPlaceAsTheLauncherReadsIt) {
  // Found by the packer fuzz target: inspect called an empty text far past
  // the end "outside the file", while the launcher reads it fine.
  const Bytes built = packer::BuildLauncherFile(MakeStub(), MakeSetup(1000), {}).file;
  const uint32_t size = (uint32_t)built.size();
  const struct {
    uint32_t offset;
    uint16_t length;
    bool inFile;
  } cases[] = {
      {size + 100, 0, true},     // nothing to read
      {0x80000000u, 0, false},   // the launcher reads nowhere past 2^31 - 1
      {size - 2, 1, true},
      {size - 1, 1, false},
  };
  for (const auto& c : cases) {
    Bytes file = built;
    PackageHeader header = testpkg::HeaderOf(file);
    header.unsupportedText = {c.offset, c.length};
    testpkg::StoreHeader(file, header);
    packer::PackageInfo info;
    std::string error;
    ASSERT_TRUE(packer::ReadPackageInfo(file, &info, &error)) << error;
    EXPECT_EQ(info.textInFile, c.inFile) << c.offset << " " << c.length;
  }
}

TEST(PackerReader, JsonStringsEscapeControlsAndQuotes) {
  EXPECT_EQ(packer::JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(PackerFiles, WriteIsAllOrNothing) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() /
                          ("packer_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string target = (folder / "out.exe").string();
  std::string error;
  ASSERT_TRUE(packer::WriteFileAtomically(target, {1, 2, 3}, &error)) << error;
  ASSERT_TRUE(packer::WriteFileAtomically(target, {4, 5}, &error)) << error;
  Bytes back;
  ASSERT_TRUE(packer::ReadWholeFile(target, "output", &back, &error)) << error;
  EXPECT_EQ(back, (Bytes{4, 5}));
  // A target that is a folder cannot be replaced: the old state stays and
  // no temporary is left behind.
  fs::create_directories(folder / "taken");
  EXPECT_FALSE(packer::WriteFileAtomically((folder / "taken").string(), {1}, &error));
  EXPECT_FALSE(packer::WriteFileAtomically((folder / "missing" / "x").string(), {1}, &error));
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);  // out.exe and taken
  EXPECT_FALSE(packer::ReadWholeFile(target, "output", &back, &error, 1, "too big"));
  EXPECT_NE(error.find("too big"), std::string::npos);
  fs::remove_all(folder);
}

// A fresh folder under the system's temporary folder, removed afterwards.
class Folder {
 public:
  explicit Folder(const char* name)
      : path_(std::filesystem::temp_directory_path() /
              (std::string(name) + "_" + std::to_string(getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~Folder() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  size_t Entries() const {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) (void)entry, ++count;
    return count;
  }

 private:
  std::filesystem::path path_;
};

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
}

TEST(PackerFiles, SameFileComparesIdentityNotSpelling) {
  Folder folder("packer_same");
  WriteBytes(folder / "a", {1});
  WriteBytes(folder / "b", {1});
  std::filesystem::create_directories(folder / "sub");
  std::filesystem::create_hard_link(folder / "a", folder / "hard");
  std::filesystem::create_symlink(folder / "a", folder / "link");
  const struct {
    std::string other;
    bool same;
  } cases[] = {
      {folder / "a", true},
      {folder / "sub/.././a", true},
      {folder / "hard", true},
      {folder / "link", true},
      {folder / "b", false},  // same bytes, another file
      {folder / "missing", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(packer::SameFile(folder / "a", c.other), c.same) << c.other;
  EXPECT_NE(packer::RefuseOutputOverInput(folder / "sub/../hard", {{"--stub", folder / "b"},
                                                                   {"--setup", folder / "a"}})
                .find("is the same file as --setup"),
            std::string::npos);
}

TEST(PackerFiles, TemporaryIsPrivateUnforeseeableAndNeverLeftBehind) {
  Folder folder("packer_temp");
  const std::string out = folder / "out.exe";
  std::string first;
  {
    packer::OutputFile file;
    ASSERT_TRUE(file.Open(out)) << file.error;
    first = file.TemporaryPath();
    struct stat status;
    ASSERT_EQ(lstat(first.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const std::string name = std::filesystem::path(first).filename().string();
    EXPECT_EQ(name.find(std::to_string(getpid())), std::string::npos) << name;
    ASSERT_TRUE(file.Append((const uint8_t*)"abc", 3));
  }  // not committed
  EXPECT_EQ(folder.Entries(), 0u);
  packer::OutputFile second;
  ASSERT_TRUE(second.Open(out));
  EXPECT_NE(second.TemporaryPath(), first);
}

TEST(PackerFiles, ReplacedOutputKeepsItsPermissionsAndLinksAreNotFollowed) {
  Folder folder("packer_mode");
  const std::string out = folder / "out.exe";
  std::string error;
  for (mode_t mode : {0600, 0640, 0755, 0444}) {
    WriteBytes(out, {0});
    ASSERT_EQ(chmod(out.c_str(), mode), 0);
    ASSERT_TRUE(packer::WriteFileAtomically(out, {1, 2}, &error)) << error;
    struct stat status;
    ASSERT_EQ(stat(out.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, mode);
  }
  // An output that is a link is replaced itself; what it pointed to stays.
  const std::string victim = folder / "victim";
  WriteBytes(victim, {7});
  std::filesystem::remove(out);
  std::filesystem::create_symlink(victim, out);
  ASSERT_TRUE(packer::WriteFileAtomically(out, {1, 2}, &error)) << error;
  Bytes back;
  ASSERT_TRUE(packer::ReadWholeFile(victim, "victim", &back, &error));
  EXPECT_EQ(back, Bytes{7});
  EXPECT_FALSE(std::filesystem::is_symlink(out));
  EXPECT_EQ(folder.Entries(), 2u);
}

const size_t kPiece = packer::kSourcePiece;

// Programs that end just before, on and just after a piece boundary, or
// span several pieces, must give the bytes the packer gave when it held
// the whole program (SHA-256 of each file, built before it streamed).
struct PinnedBuild {
  size_t size;
  uint32_t preset;
  const char* sha256;
};
const PinnedBuild kPinnedBuilds[] = {
    {kPiece - 1, 0,
     "429d301fd544eb06d0756738886fd357019136d6ad71ef84c10e369bb08ae5df"},
    {kPiece, 0,
     "7a359cc375df61b935f11a054d071a00f3217b453a13a79b781247ebde142376"},
    {kPiece + 1, 0,
     "e811b1069f0d8ac4fae742aed8fd2b6abb2456e9965baf7880ad312df2b9fea9"},
    {2 * kPiece + 1, 0,
     "ab284fb9ab4dea5cb12f4bd0001d05eb86d35768b5aaf0c331c35ab90d8ca0f8"},
    // The default preset, its dictionary shrunk to the program's size.
    {100000, 6,
     "337dfaae02ed9674dcfd17996f77810599aa745b803d8107d349873feee36d27"},
};

packer::PackageOptions PinnedOptions(const PinnedBuild& pinned) {
  packer::PackageOptions options;
  options.lzma.preset = pinned.preset;
  options.extraInsideCrc = {1, 2, 3};
  return options;
}

std::string Digest(const Bytes& bytes) { return packer::Sha256Hex(bytes.data(), bytes.size()); }

TEST(PackerStreaming, PieceBoundariesGiveThePinnedBytes) {
  Folder folder("packer_pinned");
  const std::string path = folder / "setup.exe";
  for (const PinnedBuild& pinned : kPinnedBuilds) {
    SCOPED_TRACE(pinned.size);
    const Bytes setup = MakeSetup(pinned.size, 11);
    const packer::BuildResult built =
        packer::BuildLauncherFile(MakeStub(), setup, PinnedOptions(pinned));
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(Digest(built.file), pinned.sha256);
    // From a file, as stubpack reads it.
    WriteBytes(path, setup);
    packer::FileSource file;
    ASSERT_TRUE(file.Open(path, "setup program")) << file.error;
    packer::MemorySink sink;
    ASSERT_EQ(packer::BuildLauncherFile(MakeStub(), file, PinnedOptions(pinned), sink), "");
    EXPECT_EQ(Digest(sink.bytes), pinned.sha256);
  }
}

// A launcher file built from a program that changed while it was read
// would describe none of its versions.
TEST(PackerStreaming, SetupChangedWhileReadIsRefused) {
  Folder folder("packer_changed");
  const std::string path = folder / "setup.exe";
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"grown", [&] { std::ofstream(path, std::ios::binary | std::ios::app).put('x'); }},
      {"cut", [&] { std::filesystem::resize_file(path, kPiece + 5); }},
      {"rewritten in place",
       [&] {
         std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(10);
         file.put('y');
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(path, MakeSetup(3 * kPiece));
    // As if written long ago: any write now leaves a newer time.
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
    packer::FileSource file;
    ASSERT_TRUE(file.Open(path, "setup program")) << file.error;
    packer::PackageOptions options;
    options.lzma.preset = 0;
    bool changed = false;
    options.progress = [&](uint64_t, uint64_t) {
      if (!changed) c.change();
      changed = true;
    };
    packer::MemorySink sink;
    EXPECT_EQ(packer::BuildLauncherFile(MakeStub(), file, options, sink),
              "cannot read setup program " + path + ": the file changed while it was read");
  }
}

}  // namespace
