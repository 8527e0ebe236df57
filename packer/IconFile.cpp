// SPDX-License-Identifier: 0BSD
// .ico files and icon-group resources.
#include "packer/IconFile.h"

#include <cstring>

#include "packer/LittleEndian.h"

namespace packer {
namespace {

const size_t kIconDirSize = 6;
const size_t kIconFileEntrySize = 16;
const size_t kGroupEntrySize = 14;
const uint32_t kMaxIconSide = 256;

uint32_t B32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}


bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

}  // namespace

bool DescribeIconImage(const uint8_t* data, size_t size, IconImage* image,
                       std::string* error) {
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) {
    // The IHDR chunk must come first: length 13, then width, height,
    // bit depth and colour type.
    if (size < 8 + 8 + 13 || B32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0)
      return Fail(error, "a PNG image without its IHDR header");
    static const uint32_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const uint32_t depth = data[24], colourType = data[25];
    if (colourType > 6 || kChannels[colourType] == 0)
      return Fail(error, "a PNG image of unknown colour type " + std::to_string(colourType));
    image->png = true;
    image->width = B32(data + 16);
    image->height = B32(data + 20);
    image->bitCount = depth * kChannels[colourType];
  } else {
    // A DIB: BITMAPINFOHEADER (or a later, longer version of it), the
    // colour table, the XOR image and the AND mask; biHeight counts both.
    if (size < 40 || LoadLe32(data) < 40 || LoadLe32(data) > size)
      return Fail(error, "an image that is neither PNG nor a bitmap");
    const int32_t width = (int32_t)LoadLe32(data + 4), height = (int32_t)LoadLe32(data + 8);
    const uint32_t planes = LoadLe16(data + 12), bits = LoadLe16(data + 14);
    if (width <= 0 || height <= 0 || height % 2 != 0 || planes != 1 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
      return Fail(error, "a bitmap image with an implausible header");
    image->png = false;
    image->width = (uint32_t)width;
    image->height = (uint32_t)height / 2;
    image->bitCount = bits;
    if (image->width <= kMaxIconSide && image->height <= kMaxIconSide) {
      const uint32_t colours = bits <= 8 ? (LoadLe32(data + 32) ? LoadLe32(data + 32) : 1u << bits) : 0;
      const uint64_t xorRow = ((uint64_t)image->width * bits + 31) / 32 * 4;
      const uint64_t andRow = ((uint64_t)image->width + 31) / 32 * 4;
      const uint64_t needed = LoadLe32(data) + 4ull * colours + (xorRow + andRow) * image->height;
      if (needed > size)
        return Fail(error, "a bitmap image cut short (" + std::to_string(size) +
                               " bytes, " + std::to_string(needed) + " needed)");
    }
  }
  if (image->width == 0 || image->height == 0 || image->width > kMaxIconSide ||
      image->height > kMaxIconSide)
    return Fail(error, "an image of " + std::to_string(image->width) + "x" +
                           std::to_string(image->height) +
                           " pixels; icon images are 1 to 256 pixels a side");
  return true;
}

bool ParseIconFile(const std::vector<uint8_t>& file,
                   std::vector<IconImage>* images, std::string* error) {
  images->clear();
  if (file.size() < kIconDirSize || LoadLe16(file.data()) != 0 || LoadLe16(file.data() + 2) != 1)
    return Fail(error, "is not an icon file (.ico)");
  const uint32_t count = LoadLe16(file.data() + 4);
  if (count == 0) return Fail(error, "holds no images");
  if (kIconDirSize + (uint64_t)count * kIconFileEntrySize > file.size())
    return Fail(error, "is cut short: its directory lists " + std::to_string(count) +
                           " images");
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = file.data() + kIconDirSize + i * kIconFileEntrySize;
    const uint32_t bytes = LoadLe32(entry + 8), offset = LoadLe32(entry + 12);
    const std::string which = "image " + std::to_string(i + 1);
    if (bytes == 0 || (uint64_t)offset + bytes > file.size())
      return Fail(error, which + " lies outside the file");
    IconImage image;
    std::string problem;
    if (!DescribeIconImage(file.data() + offset, bytes, &image, &problem))
      return Fail(error, which + " is " + problem);
    image.data.assign(file.begin() + offset, file.begin() + offset + bytes);
    images->push_back(std::move(image));
  }
  return true;
}

std::vector<uint8_t> MakeIconGroup(const std::vector<IconImage>& images,
                                   uint16_t firstId) {
  std::vector<uint8_t> out;
  AppendLe16(out, 0);
  AppendLe16(out, 1);
  AppendLe16(out, (uint32_t)images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    // 256 is written as 0; the colour count only means something below 8
    // bits per pixel.
    out.push_back((uint8_t)(image.width == kMaxIconSide ? 0 : image.width));
    out.push_back((uint8_t)(image.height == kMaxIconSide ? 0 : image.height));
    out.push_back((uint8_t)(image.bitCount < 8 ? 1u << image.bitCount : 0));
    out.push_back(0);
    AppendLe16(out, 1);
    AppendLe16(out, image.bitCount);
    AppendLe32(out, (uint32_t)image.data.size());
    AppendLe16(out, (uint32_t)(firstId + i));
  }
  return out;
}

bool ParseIconGroup(const uint8_t* data, size_t size,
                    std::vector<IconGroupEntry>* entries, std::string* error) {
  entries->clear();
  if (size < kIconDirSize || LoadLe16(data) != 0 || LoadLe16(data + 2) != 1)
    return Fail(error, "the icon group has no icon directory");
  const uint32_t count = LoadLe16(data + 4);
  if (kIconDirSize + (uint64_t)count * kGroupEntrySize > size)
    return Fail(error, "the icon group is cut short");
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* at = data + kIconDirSize + i * kGroupEntrySize;
    IconGroupEntry entry;
    entry.width = at[0] ? at[0] : kMaxIconSide;
    entry.height = at[1] ? at[1] : kMaxIconSide;
    entry.bitCount = LoadLe16(at + 6);
    entry.bytes = LoadLe32(at + 8);
    entry.id = (uint16_t)LoadLe16(at + 12);
    entries->push_back(entry);
  }
  return true;
}

}  // namespace packer
