// SPDX-License-Identifier: 0BSD
// The resource reader behind `stubpack verify` and `inspect`: damaged
// resource sections are reported, never read out of bounds, and no file
// makes the work grow faster than the file; icon images are checked as far
// as Windows relies on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "packer/Branding.h"
#include "packer/PackageReader.h"
#include "packer/ResourceSection.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kPeAt = 256;
const uint32_t kOptionalAt = kPeAt + 24;
const uint32_t kSectionTableAt = kOptionalAt + 240;
const uint32_t kRsrcRaw = 0x400;
const uint32_t kRsrcRva = 0x1000;

void Set32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
uint32_t Get32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// A PE32+ image whose one section is `section`, as the resource section.
Bytes ImageWith(const Bytes& section) {
  Bytes image(kRsrcRaw, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Set32(image, 60, kPeAt);
  Set32(image, kPeAt, 0x4550);
  image[kPeAt + 6] = 1;      // one section
  image[kPeAt + 20] = 240;   // SizeOfOptionalHeader
  image[kOptionalAt] = 0x0B;
  image[kOptionalAt + 1] = 0x02;
  Set32(image, kOptionalAt + 32, 0x1000);
  Set32(image, kOptionalAt + 36, 0x200);
  Set32(image, kOptionalAt + 108, 16);
  Set32(image, kOptionalAt + 112 + 16, kRsrcRva);
  Set32(image, kOptionalAt + 112 + 20, (uint32_t)section.size());
  const uint32_t raw = ((uint32_t)section.size() + 0x1FF) & ~0x1FFu;
  std::memcpy(image.data() + kSectionTableAt, ".rsrc", 5);
  Set32(image, kSectionTableAt + 8, (uint32_t)section.size());
  Set32(image, kSectionTableAt + 12, kRsrcRva);
  Set32(image, kSectionTableAt + 16, raw);
  Set32(image, kSectionTableAt + 20, kRsrcRaw);
  image.resize(kRsrcRaw + raw, 0);
  std::copy(section.begin(), section.end(), image.begin() + kRsrcRaw);
  return image;
}

Bytes Bitmap(uint32_t side) {
  Bytes dib(40 + side * side * 4 + (side + 31) / 32 * 4 * side, 0);
  Set32(dib, 0, 40);
  Set32(dib, 4, side);
  Set32(dib, 8, 2 * side);
  dib[12] = 1;
  dib[14] = 32;
  return dib;
}

TEST(ResourceReader, DamagedSectionsAreReportedNotRead) {
  packer::BrandingOptions options;
  options.product = u"Product";
  std::vector<packer::IconImage> images(1);
  images[0].width = images[0].height = 16;
  images[0].bitCount = 32;
  images[0].data = Bitmap(16);
  std::vector<packer::Resource> resources(3);
  resources[0].type.id = packer::kResourceIcon;
  resources[0].name.id = 1;
  resources[0].data = images[0].data;
  resources[1].type.id = packer::kResourceGroupIcon;
  resources[1].name.id = 1;
  resources[1].data = packer::MakeIconGroup(images, 1);
  resources[2].type.id = packer::kResourceVersion;
  resources[2].name.id = 1;
  std::string error;
  ASSERT_TRUE(packer::EncodeVersionResource(packer::BrandedVersionInfo(options),
                                            &resources[2].data, &error));
  const Bytes section = packer::BuildResourceSection(resources, kRsrcRva);
  const Bytes good = ImageWith(section);
  packer::BrandingInfo info = packer::ReadBranding(good);
  ASSERT_TRUE(info.readable && info.problem.empty()) << info.problem;
  ASSERT_EQ(info.icons.size(), 1u);

  // Section-relative places in the layout BuildResourceSection writes:
  // root (3 entries), 3 type tables, 3 name tables, then the data entries.
  const uint32_t entries = 40 + 3 * 24 + 3 * 24;
  const uint32_t groupData = Get32(section, entries + 16) - kRsrcRva;
  const uint32_t versionData = Get32(section, entries + 32) - kRsrcRva;
  struct Damage {
    const char* name;
    uint32_t at;
    uint32_t value;
    uint32_t width;  // bytes written
  };
  const Damage cases[] = {
      {"root claims 65535 entries", 14, 0xFFFF, 2},
      {"type directory outside the section", 20, 0x800FFFF0u, 4},
      {"data entry one level too high", 40 + 20, entries, 4},
      {"language entry loops to the root", 112 + 20, 0x80000000u, 4},
      {"named type outside the section", 16, 0x8FFFFFF0u, 4},
      {"data before the section", entries, 0x10, 4},
      {"data size past the section", entries + 4, 0x7FFFFFFF, 4},
      {"group names a missing icon", groupData + 6 + 12, 9, 2},
      {"group claims 1000 images", groupData + 4, 1000, 2},
      {"version block longer than its data", versionData, 0xFFFF, 2},
      {"version cut short", entries + 32 + 4, 40, 4},
      {"icon image header garbage", Get32(section, entries) - kRsrcRva, 0x12345678, 4},
      {"two types share one branch", 28, Get32(section, 20), 4},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = good;
    std::memcpy(image.data() + kRsrcRaw + c.at, &c.value, c.width);
    info = packer::ReadBranding(image);
    EXPECT_TRUE(!info.readable || !info.problem.empty());
    std::vector<packer::Resource> unused;
    if (!info.readable) {
      EXPECT_FALSE(packer::ReadResources(image, &unused, &error));
    }
  }
}

// Another tool's file: one icon group of 65535 entries, all naming the same
// image. Read in one pass, each image described once.
TEST(ResourceReader, HugeIconGroupIsReadWhole) {
  std::vector<packer::IconImage> images(0xFFFF);
  for (packer::IconImage& image : images) {
    image.width = image.height = 16;
    image.bitCount = 32;
    image.data = Bitmap(16);
  }
  std::vector<packer::Resource> resources(2);
  resources[0].type.id = packer::kResourceIcon;
  resources[0].name.id = 1;
  resources[0].data = Bitmap(16);
  resources[1].type.id = packer::kResourceGroupIcon;
  resources[1].name.id = 1;
  resources[1].data = packer::MakeIconGroup(images, 1);
  for (size_t i = 0; i < images.size(); ++i)  // every entry names icon 1
    resources[1].data[6 + 14 * i + 12] = 1, resources[1].data[6 + 14 * i + 13] = 0;
  const packer::BrandingInfo info =
      packer::ReadBranding(ImageWith(packer::BuildResourceSection(resources, kRsrcRva)));
  EXPECT_EQ(info.problem, "");
  EXPECT_EQ(info.icons.size(), 0xFFFFu);
}

// .reloc before .rsrc: nothing moves it, but stubpack says what it cannot
// brand instead of blaming the relocations' place.
TEST(ResourceWriter, RelocationsBeforeResourcesAreNamed) {
  Bytes image = ImageWith(packer::BuildResourceSection({}, kRsrcRva));
  image[kPeAt + 6] = 2;
  const uint32_t reloc = kSectionTableAt + 40;
  std::memcpy(image.data() + reloc, ".reloc", 6);
  Set32(image, reloc + 8, 0x200);
  Set32(image, reloc + 12, 0x800);
  Set32(image, reloc + 16, 0x200);
  Set32(image, reloc + 20, 0x200);
  Set32(image, kOptionalAt + 112 + 40, 0x800);
  Set32(image, kOptionalAt + 112 + 44, 8);
  std::string error;
  EXPECT_FALSE(packer::ReplaceResources(image, {}, &error));
  EXPECT_NE(error.find("(.reloc) lie before its resources (.rsrc)"), std::string::npos) << error;
}

Bytes Png(uint8_t depth, uint8_t colourType, const std::vector<std::string>& chunks) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&png](const std::string& type, const Bytes& data) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back((uint8_t)(data.size() >> shift));
    png.insert(png.end(), type.begin(), type.end());
    png.insert(png.end(), data.begin(), data.end());
    png.insert(png.end(), 4, 0);  // CRC: Windows' decoder does not insist
  };
  chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, depth, colourType, 0, 0, 0});
  for (const std::string& type : chunks) chunk(type, Bytes(type == "PLTE" ? 12 : 5, 1));
  return png;
}

TEST(IconImages, WindowsDecodesWhatIsAccepted) {
  const std::vector<std::string> whole = {"IDAT", "IEND"};
  Bytes cutPng = Png(8, 6, whole);
  cutPng.resize(cutPng.size() - 8);
  Bytes longChunk = Png(8, 6, whole);
  longChunk[33 + 3] = 0x7F;  // IDAT's length
  auto bitmap = [](size_t at, uint32_t value) {
    Bytes dib = Bitmap(16);
    std::memcpy(dib.data() + at, &value, at == 12 || at == 14 ? 2 : 4);
    return dib;
  };
  Bytes shortDib = Bitmap(16);
  shortDib.pop_back();
  struct Case {
    const char* name;
    Bytes image;
    const char* problem;  // "" for an accepted image
  };
  const Case cases[] = {
      {"PNG", Png(8, 6, whole), ""},
      {"palette PNG", Png(4, 3, {"PLTE", "IDAT", "IEND"}), ""},
      {"PNG of 39 bytes", Png(8, 6, {}), "cut short before its IEND"},
      {"PNG without IDAT", Png(8, 6, {"IEND"}), "without image data"},
      {"PNG without IEND", cutPng, "cut short before its IEND"},
      {"PNG depth 0", Png(0, 6, whole), "bit depth 0 with colour type 6"},
      {"PNG depth 4, RGBA", Png(4, 6, whole), "bit depth 4 with colour type 6"},
      {"PNG chunk past the end", longChunk, "runs past the image's end"},
      {"PNG palette missing", Png(8, 3, whole), "without its palette"},
      {"bitmap", Bitmap(16), ""},
      {"bitmap header of 12 bytes", bitmap(0, 12), "neither PNG nor a bitmap"},
      {"bitmap of 2 planes", bitmap(12, 2), "2 planes"},
      {"bitmap of 3 bits", bitmap(14, 3), "3 bits per pixel"},
      {"bitmap width 0", bitmap(4, 0), "0x32"},
      {"bitmap width 300", bitmap(4, 300), "300x32"},
      {"bitmap odd height", bitmap(8, 31), "16x31"},
      {"bitmap RLE", bitmap(16, 1), "compression 1"},
      {"bitmap without its AND mask", shortDib, "cut short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    packer::IconImage image;
    std::string problem;
    const bool accepted = packer::DescribeIconImage(c.image.data(), c.image.size(), &image, &problem);
    EXPECT_EQ(accepted, *c.problem == 0) << problem;
    if (!accepted) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

TEST(TerminalText, ControlsFromFilesAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xC3\xA9t\xC3\xA9 \xE2\x80\x93", "plain \xC3\xA9t\xC3\xA9 \xE2\x80\x93"},
      {"\x1B[2J", "\\x1B[2J"},
      {"a\n  forged: b", "a\\x0A  forged: b"},
      {"del\x7F", "del\\x7F"},
      {"csi\xC2\x9B" "2J", "csi\\u009B2J"},
      {"\xE2\x80\xAE" "evil", "\\u202Eevil"},
      {"\xE2\x81\xA6isolate\xE2\x81\xA9", "\\u2066isolate\\u2069"},
  };
  for (const auto& c : cases) EXPECT_EQ(packer::TerminalText(c.first), c.second);
}

TEST(TerminalText, InspectEscapesVersionKeysValuesAndBlocks) {
  packer::PackageInfo info;
  info.peValid = info.branding.hasVersion = info.branding.readable = true;
  packer::VersionStringTable table;
  table.key = u"0409\x1B[2J";
  table.strings = {{u"Key\n  forged: yes", u"\u202E\u009B\x7F"}, {u"\u2066", u"\x1B]0;t\x07"}};
  info.branding.version.tables = {table};
  const std::string text = packer::FormatPackageInfo("launcher.exe", info);
  for (const char* raw : {"\x1B", "\x07", "\x7F", "\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA6",
                          "\n  forged"})
    EXPECT_EQ(text.find(raw), std::string::npos) << raw << " in\n" << text;
}

}  // namespace
