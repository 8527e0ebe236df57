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

namespace {

// The IHDR colour type and bit depth pairs PNG allows.
bool ValidPngDepth(uint32_t colourType, uint32_t depth) {
  switch (colourType) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2: case 4: case 6: return depth == 8 || depth == 16;
    default: return false;
  }
}

// A PNG as far as Windows' decoder relies on it: IHDR first and well
// formed, every chunk within the image, image data, and IEND.
bool DescribePng(const uint8_t* data, size_t size, IconImage* image, std::string* error) {
  static const uint32_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  if (size < 8 + 12 + 13 || B32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0)
    return Fail(error, "a PNG image without its IHDR header");
  const uint32_t depth = data[24], colourType = data[25];
  if (!ValidPngDepth(colourType, depth))
    return Fail(error, "a PNG image of bit depth " + std::to_string(depth) +
                           " with colour type " + std::to_string(colourType) +
                           ", which PNG does not allow");
  if (data[26] != 0 || data[27] != 0 || data[28] > 1)
    return Fail(error, "a PNG image of unknown compression, filter or interlace method");
  bool palette = false, imageData = false;
  for (size_t at = 8;;) {
    if (size - at < 12) return Fail(error, "a PNG image cut short before its IEND chunk");
    const uint32_t length = B32(data + at);
    if (length > size - at - 12)
      return Fail(error, "a PNG image whose chunk at byte " + std::to_string(at) +
                             " runs past the image's end");
    const uint8_t* type = data + at + 4;
    if (std::memcmp(type, "IEND", 4) == 0) break;
    palette = palette || std::memcmp(type, "PLTE", 4) == 0;
    imageData = imageData || std::memcmp(type, "IDAT", 4) == 0;
    at += 12 + (size_t)length;
  }
  if (!imageData) return Fail(error, "a PNG image without image data (IDAT)");
  if (colourType == 3 && !palette) return Fail(error, "a PNG image without its palette");
  image->png = true;
  image->width = B32(data + 16);
  image->height = B32(data + 20);
  image->bitCount = depth * kChannels[colourType];
  return true;
}

// A DIB: BITMAPINFOHEADER (or its V4 and V5 successors), the colour table,
// the XOR image and the AND mask; biHeight counts both.
bool DescribeBitmap(const uint8_t* data, size_t size, IconImage* image, std::string* error) {
  const uint32_t kBitFields = 3;
  const uint32_t headerSize = size >= 4 ? LoadLe32(data) : 0;
  if (size < 40 || (headerSize != 40 && headerSize != 108 && headerSize != 124) ||
      headerSize > size)
    return Fail(error, "an image that is neither PNG nor a bitmap");
  const int32_t width = (int32_t)LoadLe32(data + 4), height = (int32_t)LoadLe32(data + 8);
  const uint32_t planes = LoadLe16(data + 12), bits = LoadLe16(data + 14);
  const uint32_t compression = LoadLe32(data + 16), used = LoadLe32(data + 32);
  if (planes != 1)
    return Fail(error, "a bitmap image of " + std::to_string(planes) + " planes, not 1");
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return Fail(error, "a bitmap image of " + std::to_string(bits) + " bits per pixel");
  if (compression != 0 && !(compression == kBitFields && (bits == 16 || bits == 32)))
    return Fail(error, "a compressed bitmap image (compression " + std::to_string(compression) +
                           ")");
  if (width <= 0 || height <= 0 || height % 2 != 0 || (uint32_t)width > kMaxIconSide ||
      (uint32_t)height / 2 > kMaxIconSide)
    return Fail(error, "a bitmap image of " + std::to_string(width) + "x" +
                           std::to_string(height) +
                           " (XOR and AND halves); icon images are 1 to 256 pixels a side");
  if (bits <= 8 && used > (1u << bits))
    return Fail(error, "a bitmap image with " + std::to_string(used) + " colours in " +
                           std::to_string(bits) + " bits per pixel");
  image->png = false;
  image->width = (uint32_t)width;
  image->height = (uint32_t)height / 2;
  image->bitCount = bits;
  const uint64_t colours = bits <= 8 ? (used ? used : 1u << bits) : 0;
  const uint64_t masks = headerSize == 40 && compression == kBitFields ? 12 : 0;
  const uint64_t xorRow = ((uint64_t)image->width * bits + 31) / 32 * 4;
  const uint64_t andRow = ((uint64_t)image->width + 31) / 32 * 4;
  const uint64_t needed = headerSize + masks + 4 * colours + (xorRow + andRow) * image->height;
  if (needed > size)
    return Fail(error, "a bitmap image cut short (" + std::to_string(size) + " bytes, " +
                           std::to_string(needed) + " needed)");
  return true;
}

}  // namespace

bool DescribeIconImage(const uint8_t* data, size_t size, IconImage* image,
                       std::string* error) {
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const bool png = size >= 8 && std::memcmp(data, kPngSignature, 8) == 0;
  if (!(png ? DescribePng : DescribeBitmap)(data, size, image, error)) return false;
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
  if (count > kMaxIconImages)
    return Fail(error, "holds " + std::to_string(count) + " images; at most " +
                           std::to_string(kMaxIconImages) +
                           " are taken (Windows picks from a few dozen)");
  if (kIconDirSize + (uint64_t)count * kIconFileEntrySize > file.size())
    return Fail(error, "is cut short: its directory lists " + std::to_string(count) +
                           " images");
  uint64_t total = kIconDirSize + (uint64_t)count * kIconFileEntrySize;
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
    // Images that share bytes would each be stored whole in the launcher.
    total += bytes;
    if (total > file.size())
      return Fail(error, "has images that overlap one another (image " +
                             std::to_string(i + 1) + " reuses bytes of another)");
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
