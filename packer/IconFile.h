// SPDX-License-Identifier: 0BSD
// Icons for the launcher file: reading an .ico file into its images, and the
// icon-group resource (RT_GROUP_ICON) that lists them by resource ID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct IconImage {
  uint32_t width = 0;   // pixels, 1-256
  uint32_t height = 0;
  uint32_t bitCount = 0;  // bits per pixel of the image itself
  bool png = false;       // PNG-compressed (else a DIB with an AND mask)
  std::vector<uint8_t> data;  // the image as the .ico holds it (RT_ICON)
};

// Size and depth from the image's own header (PNG IHDR or BITMAPINFOHEADER),
// not from a directory entry, which tools often leave zero. False, with a
// reason, for data that is neither, is cut short, or is not an image as
// Windows decodes it (PNG: IHDR, chunks within the image, IDAT, IEND;
// bitmap: header size, one plane, bit count, dimensions, both masks).
bool DescribeIconImage(const uint8_t* data, size_t size, IconImage* image,
                       std::string* error);

// Windows picks an icon's image from a few dozen at most.
const uint32_t kMaxIconImages = 128;

// Every image of an .ico file, in file order. Refuses anything that is not
// an icon file (cursors included), an empty one, one of more than
// kMaxIconImages images, images that lie outside the file, overlap one
// another or do not describe themselves.
bool ParseIconFile(const std::vector<uint8_t>& file,
                   std::vector<IconImage>* images, std::string* error);

// The RT_GROUP_ICON data for `images`, stored as RT_ICON resources with IDs
// firstId, firstId + 1, ...
std::vector<uint8_t> MakeIconGroup(const std::vector<IconImage>& images,
                                   uint16_t firstId);

struct IconGroupEntry {
  uint32_t width = 0, height = 0, bitCount = 0;
  uint32_t bytes = 0;
  uint16_t id = 0;
};

// Reads an RT_GROUP_ICON; false when it is malformed.
bool ParseIconGroup(const uint8_t* data, size_t size,
                    std::vector<IconGroupEntry>* entries, std::string* error);

}  // namespace packer
