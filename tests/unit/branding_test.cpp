// SPDX-License-Identifier: 0BSD
// The resource reader behind `stubpack verify` and `inspect`: damaged
// resource sections are reported, never read out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "packer/Branding.h"
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

}  // namespace
