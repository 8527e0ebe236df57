// SPDX-License-Identifier: 0BSD
// The few PE header fields the packer reads or writes: where the optional
// header keeps its CheckSum, and where a signature (the certificate table,
// data directory 4) sits in the file; and the layout checks Windows' loader
// makes before it maps an image.
#pragma once

#include <cstdint>
#include <functional>
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

// The certificate table as Windows reads it: the entry gives both an offset
// and a size or neither; the table lies at or behind `packageEnd` (the end
// of what `packageName` names), starts on
// an 8-byte boundary and ends the file; it is a run of WIN_CERTIFICATE
// entries (length at least 8, revision 2.0 or 1.0, type PKCS#7 signed data),
// each padded to 8 bytes. Windows treats a file that fails this as unsigned.
// `read` fetches bytes of the file. Empty when the table is well formed or
// absent; else one line. The certificates themselves are not judged.
using FileReader = std::function<bool(uint64_t offset, uint8_t* into, size_t size)>;
// What signing may add to a file, the certificate table, and so the most of
// a table stubpack reads.
const uint64_t kSignatureAllowance = 16u << 20;
std::string CheckCertificateTable(const PeLayout& layout, uint64_t packageEnd,
                                  uint64_t fileSize, const FileReader& read,
                                  const std::string& packageName = "the package");

// The checks Windows makes before it maps an image, on the headers and the
// section table: a file that fails them is refused with "not a valid Win32
// application" (error 193), so a launcher built on it never runs. `head` is
// the file's start (at least its headers), `fileSize` its whole length.
// Empty when the image passes; else one line saying what is wrong.
std::string CheckLoadableImage(const std::vector<uint8_t>& head,
                               uint64_t fileSize);
// The most of a file's start CheckLoadableImage reads: a section table of
// 65535 entries, and room before it.
const uint32_t kLoaderHeadBytes = (4u << 20) + (64u << 10);

// The image checksum Windows and signing tools compute: 16-bit words summed
// with end-around carry, the CheckSum field itself counted as zero, plus the
// file length.
uint32_t ComputePeChecksum(const std::vector<uint8_t>& image,
                           uint32_t checksumOffset);

// The same sum over pieces given in any order, each at its file offset;
// bytes in the CheckSum field are skipped.
class PeChecksum {
 public:
  explicit PeChecksum(uint32_t checksumOffset) : checksumOffset_(checksumOffset) {}
  void Add(uint64_t offset, const uint8_t* data, size_t size);
  uint32_t Finish(uint64_t fileSize) const;

 private:
  uint64_t checksumOffset_;
  uint64_t sum_ = 0;  // 16-bit words, folded only at the end
};

// Stores ComputePeChecksum in the CheckSum field.
void UpdatePeChecksum(std::vector<uint8_t>& image, uint32_t checksumOffset);

}  // namespace packer
