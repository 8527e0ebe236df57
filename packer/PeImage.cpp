// SPDX-License-Identifier: 0BSD
// PE header fields of the stub and of the finished launcher file, and the
// loader's layout checks.
#include "packer/PeImage.h"

#include <algorithm>
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

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint32_t value) { return value && !(value & (value - 1)); }

// "section 2 (.rsrc)", for messages.
std::string SectionName(const std::vector<uint8_t>& b, size_t at, uint32_t index) {
  std::string name;
  for (size_t i = 0; i < 8 && b[at + i]; ++i)
    name += (b[at + i] >= 0x20 && b[at + i] < 0x7F) ? (char)b[at + i] : '?';
  return "section " + std::to_string(index + 1) + " (" + name + ")";
}

struct Section {
  std::string name;
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset;
};

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

std::string CheckLoadableImage(const std::vector<uint8_t>& image,
                               uint64_t fileSize) {
  PeLayout layout;
  std::string problem;
  if (!ReadPeLayout(image, &layout, &problem)) return problem;
  const uint32_t pe = layout.peOffset;
  const uint32_t sectionCount = U16(image, pe + 6);
  const uint32_t optionalSize = U16(image, pe + 20);
  const uint64_t optional = (uint64_t)pe + 4 + kFileHeaderSize;
  const uint32_t fixedPart = layout.magic == 0x20B ? 112 : 96;
  if (optionalSize < fixedPart)
    return "its optional header is " + std::to_string(optionalSize) +
           " bytes, too short for the fields Windows reads (" +
           std::to_string(fixedPart) + ")";
  const uint32_t sectionAlignment = U32(image, optional + 32);
  const uint32_t fileAlignment = U32(image, optional + 36);
  const uint32_t sizeOfImage = U32(image, optional + 56);
  const uint32_t sizeOfHeaders = U32(image, optional + 60);
  // Below a page, sections are mapped as they lie in the file, so both
  // alignments must agree; otherwise the file alignment is 512 to 64 KiB.
  if (!PowerOfTwo(sectionAlignment) || !PowerOfTwo(fileAlignment) ||
      sectionAlignment < fileAlignment ||
      (sectionAlignment < 4096 ? fileAlignment != sectionAlignment
                               : fileAlignment < 512 || fileAlignment > 65536))
    return "its alignments are invalid (SectionAlignment " +
           std::to_string(sectionAlignment) + ", FileAlignment " +
           std::to_string(fileAlignment) + ")";
  if (sectionCount == 0) return "it has no sections";
  const uint64_t tableEnd = optional + optionalSize + 40ull * sectionCount;
  if (tableEnd > sizeOfHeaders)
    return "its section table (" + std::to_string(sectionCount) +
           " sections) ends at byte " + std::to_string(tableEnd) +
           ", past SizeOfHeaders (" + std::to_string(sizeOfHeaders) + ")";
  if (sizeOfHeaders > fileSize)
    return "its headers (SizeOfHeaders " + std::to_string(sizeOfHeaders) +
           ") run past the end of the file (" + std::to_string(fileSize) +
           " bytes)";
  if (tableEnd > image.size())
    return "its section table ends at byte " + std::to_string(tableEnd) +
           ", beyond the first " + std::to_string(image.size()) + " bytes read";

  std::vector<Section> sections;
  uint64_t nextAddress = AlignUp(sizeOfHeaders, sectionAlignment);
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const size_t at = (size_t)(optional + optionalSize + 40ull * i);
    Section section = {SectionName(image, at, i), U32(image, at + 8),
                       U32(image, at + 12), U32(image, at + 16),
                       U32(image, at + 20)};
    if (section.rawSize &&
        (uint64_t)section.rawOffset + section.rawSize > fileSize)
      return section.name + " has raw data at bytes " +
             std::to_string(section.rawOffset) + "-" +
             std::to_string((uint64_t)section.rawOffset + section.rawSize) +
             ", past the end of the file (" + std::to_string(fileSize) +
             " bytes): it is cut short";
    // Sections follow each other in memory, in table order, from the end of
    // the headers on.
    if (section.virtualAddress % sectionAlignment ||
        section.virtualAddress < nextAddress)
      return section.name + " starts at address " +
             std::to_string(section.virtualAddress) +
             ", overlapping what lies before it or off the section alignment";
    const uint32_t span = section.virtualSize ? section.virtualSize : section.rawSize;
    nextAddress = AlignUp((uint64_t)section.virtualAddress + span, sectionAlignment);
    if (section.rawSize) sections.push_back(section);
  }
  if (nextAddress > sizeOfImage)
    return "its SizeOfImage (" + std::to_string(sizeOfImage) +
           ") is smaller than its sections need (" +
           std::to_string(nextAddress) + ")";
  std::sort(sections.begin(), sections.end(),
            [](const Section& a, const Section& b) { return a.rawOffset < b.rawOffset; });
  for (size_t i = 1; i < sections.size(); ++i)
    if ((uint64_t)sections[i - 1].rawOffset + sections[i - 1].rawSize >
        sections[i].rawOffset)
      return sections[i - 1].name + " and " + sections[i].name +
             " share raw data in the file";
  return "";
}

std::string CheckCertificateTable(const PeLayout& layout, uint64_t packageEnd,
                                  uint64_t fileSize, const FileReader& read,
                                  const std::string& packageName) {
  const uint64_t offset = layout.certificateOffset, size = layout.certificateSize;
  if (offset == 0 && size == 0) return "";
  const std::string table = "the certificate table (offset " + std::to_string(offset) +
                            ", " + std::to_string(size) + " bytes)";
  if (offset == 0 || size == 0) return table + " has a zero offset or size";
  if (offset < packageEnd)
    return table + " overlaps " + packageName + ", which ends at " + std::to_string(packageEnd);
  if (offset % 8) return table + " is not on an 8-byte boundary";
  if (offset + size > fileSize)
    return table + " runs past the end of the file (" + std::to_string(fileSize) + " bytes)";
  if (offset + size < fileSize)
    return table + " is followed by " + std::to_string(fileSize - offset - size) +
           " bytes; it must end the file";
  const uint32_t kRevision1 = 0x0100, kRevision2 = 0x0200, kPkcsSignedData = 2;
  const uint64_t end = offset + size;
  for (uint64_t at = offset; at < end;) {
    const std::string entry = table + ": the entry at " + std::to_string(at);
    uint8_t head[8];
    if (end - at < sizeof head)
      return entry + " is " + std::to_string(end - at) + " bytes, too short for an entry";
    if (!read(at, head, sizeof head)) return entry + " cannot be read";
    const uint32_t length = head[0] | head[1] << 8 | head[2] << 16 | (uint32_t)head[3] << 24;
    const uint32_t revision = head[4] | head[5] << 8, type = head[6] | head[7] << 8;
    if (length < sizeof head || length > end - at)
      return entry + " gives a length of " + std::to_string(length) +
             (length < sizeof head ? "" : ", past the table's end");
    if (revision != kRevision2 && revision != kRevision1)
      return entry + " has revision " + std::to_string(revision >> 8) + "." +
             std::to_string(revision & 0xFF) + ", not 2.0";
    if (type != kPkcsSignedData)
      return entry + " is of type " + std::to_string(type) + ", not PKCS#7 signed data (2)";
    // The last entry may end the file unpadded.
    at = at + length == end ? end : AlignUp(at + length, 8);
    if (at > end) return entry + " lacks the padding to 8 bytes before the table's end";
  }
  return "";
}

void PeChecksum::Add(uint64_t offset, const uint8_t* data, size_t size) {
  // Words are summed as they lie in the file: a byte at an odd offset is the
  // high half of its word, whatever piece it arrives in.
  uint64_t sum = 0;
  size_t i = 0;
  const bool touchesField = offset < checksumOffset_ + 4 && checksumOffset_ < offset + size;
  if (touchesField) {
    for (; i < size; ++i)
      if (offset + i - checksumOffset_ >= 4)
        sum += (uint64_t)data[i] << (8 * ((offset + i) & 1));
  } else {
    if (size && (offset & 1)) sum += (uint64_t)data[i++] << 8;
    for (; i + 1 < size; i += 2) sum += data[i] | (uint32_t)data[i + 1] << 8;
    if (i < size) sum += data[i];
  }
  sum_ += sum;
}

uint32_t PeChecksum::Finish(uint64_t fileSize) const {
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint32_t)(sum + fileSize);
}

uint32_t ComputePeChecksum(const std::vector<uint8_t>& image,
                           uint32_t checksumOffset) {
  PeChecksum checksum(checksumOffset);
  checksum.Add(0, image.data(), image.size());
  return checksum.Finish(image.size());
}

void UpdatePeChecksum(std::vector<uint8_t>& image, uint32_t checksumOffset) {
  const uint32_t checksum = ComputePeChecksum(image, checksumOffset);
  for (int i = 0; i < 4; ++i)
    image[checksumOffset + i] = (uint8_t)(checksum >> (8 * i));
}

}  // namespace packer
