// PE header fields of the stub and of the finished launcher file.
#include "packer/PeImage.h"

#include <cstring>

namespace packer {
namespace {

const uint32_t kFileHeaderSize = 20;
const uint32_t kOptionalChecksumAt = 64;  // same in PE32 and PE32+
const uint32_t kSecurityDirectory = 4;

uint32_t U16(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return U16(b, at) | U16(b, at + 2) << 16;
}

}  // namespace

bool ReadPeLayout(const std::vector<uint8_t>& image, PeLayout* layout,
                  std::string* error) {
  *layout = PeLayout();
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') {
    *error = "not a PE image (no MZ header)";
    return false;
  }
  const uint32_t pe = U32(image, 60);
  if ((uint64_t)pe + 4 + kFileHeaderSize > image.size() ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) {
    *error = "not a PE image (no PE signature where byte 60 points)";
    return false;
  }
  const uint32_t optionalSize = U16(image, pe + 4 + 16);
  const uint64_t optional = (uint64_t)pe + 4 + kFileHeaderSize;
  if (optionalSize < 2 || optional + optionalSize > image.size()) {
    *error = "not a PE image (optional header missing or cut short)";
    return false;
  }
  layout->peOffset = pe;
  layout->magic = (uint16_t)U16(image, optional);
  uint32_t directoriesAt;
  if (layout->magic == 0x20B) directoriesAt = 108;       // PE32+
  else if (layout->magic == 0x10B) directoriesAt = 92;   // PE32
  else {
    *error = "not a PE image (unknown optional header magic)";
    return false;
  }
  if (optionalSize < kOptionalChecksumAt + 4) {
    *error = "not a PE image (optional header too short for a checksum)";
    return false;
  }
  layout->checksumOffset = (uint32_t)optional + kOptionalChecksumAt;
  // NumberOfRvaAndSizes precedes the directories; entries are 8 bytes.
  if (optionalSize >= directoriesAt + 4) {
    const uint32_t count = U32(image, optional + directoriesAt);
    const uint32_t entry = directoriesAt + 4 + 8 * kSecurityDirectory;
    if (count > kSecurityDirectory && optionalSize >= entry + 8) {
      layout->hasSecurityDirectory = true;
      layout->securityDirectoryOffset = (uint32_t)optional + entry;
      layout->certificateOffset = U32(image, optional + entry);
      layout->certificateSize = U32(image, optional + entry + 4);
    }
  }
  return true;
}

uint32_t ComputePeChecksum(const std::vector<uint8_t>& image,
                           uint32_t checksumOffset) {
  uint64_t sum = 0;
  const size_t size = image.size();
  for (size_t at = 0; at < size; at += 2) {
    if (at >= checksumOffset && at < (size_t)checksumOffset + 4) continue;
    uint32_t word = image[at];
    if (at + 1 < size) word |= (uint32_t)image[at + 1] << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint32_t)(sum + size);
}

void UpdatePeChecksum(std::vector<uint8_t>& image, uint32_t checksumOffset) {
  const uint32_t checksum = ComputePeChecksum(image, checksumOffset);
  for (int i = 0; i < 4; ++i)
    image[checksumOffset + i] = (uint8_t)(checksum >> (8 * i));
}

}  // namespace packer
