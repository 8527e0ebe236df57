// The few PE header fields the packer reads or writes: where the optional
// header keeps its CheckSum, and where a signature (the certificate table,
// data directory 4) sits in the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct PeLayout {
  uint32_t peOffset = 0;          // e_lfanew: "PE\0\0"
  uint16_t magic = 0;             // 0x10B (PE32) or 0x20B (PE32+)
  uint32_t checksumOffset = 0;    // file offset of the optional header CheckSum
  bool hasSecurityDirectory = false;
  uint32_t securityDirectoryOffset = 0;  // file offset of data directory 4
  uint32_t certificateOffset = 0;  // directory 4: a file offset, not an RVA
  uint32_t certificateSize = 0;
};

// Fills `layout` from an image's headers; a one-line reason when they are
// not a PE image's.
bool ReadPeLayout(const std::vector<uint8_t>& image, PeLayout* layout,
                  std::string* error);

// The image checksum Windows and signing tools compute: 16-bit words summed
// with end-around carry, the CheckSum field itself counted as zero, plus the
// file length.
uint32_t ComputePeChecksum(const std::vector<uint8_t>& image,
                           uint32_t checksumOffset);

// Stores ComputePeChecksum in the CheckSum field.
void UpdatePeChecksum(std::vector<uint8_t>& image, uint32_t checksumOffset);

}  // namespace packer
