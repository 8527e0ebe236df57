// SPDX-License-Identifier: 0BSD
// Decoding a launcher file's locator, header and surroundings.
#include "packer/PackageReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/CRC32.h"
#include "packer/FileIO.h"
#include "packer/Options.h"
#include "packer/PackageWriter.h"
#include "packer/Sha256.h"

namespace packer {
namespace {

std::string Hex(uint64_t value, int digits) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits,
                (unsigned long long)value);
  return buffer;
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string out;
  char buffer[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof buffer, "%02X", bytes[i]);
    if (i) out += ' ';
    out += buffer;
  }
  return out;
}

// The header's bytes from `offset` on, as stored: the one-program form
// reads the file set's fields as reserved bytes.
const uint8_t* HeaderBytes(const PackageHeader& header, size_t offset) {
  return (const uint8_t*)&header + offset;
}

bool InFile(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset + size <= fileSize;
}

std::string Join(const std::vector<std::string>& items,
                 const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
  return out;
}

std::string ReleaseList(const PackageInfo& info) {
  std::vector<std::string> names = ReleaseNames(info.header.supportFlags);
  uint64_t other = UnnamedSupportBits(info.header.supportFlags);
  if (other) names.push_back("other bits " + Hex(other, 16));
  return names.empty() ? "(none)" : Join(names, ", ");
}

// The CRC-32 of a region inside the file: from `head` when it holds the
// region, else read a piece at a time (a region that cannot be read gives
// a value that matches nothing the launcher computes).
uint32_t CrcOfRegion(const std::vector<uint8_t>& head, const FileReader& read, uint64_t offset,
                     uint64_t size) {
  if (offset + size <= head.size()) return UpdateCrc32(0, head.data() + offset, size);
  std::vector<uint8_t> piece((size_t)std::min<uint64_t>(size, 1u << 20));
  uint32_t crc = 0;
  for (uint64_t done = 0; done < size;) {
    const size_t count = (size_t)std::min<uint64_t>(piece.size(), size - done);
    if (!read(offset + done, piece.data(), count)) return ~crc;
    crc = UpdateCrc32(crc, piece.data(), count);
    done += count;
  }
  return crc;
}

}  // namespace

bool ReadPackageInfo(const std::vector<uint8_t>& file, PackageInfo* info,
                     std::string* error) {
  const FileReader read = [&file](uint64_t offset, uint8_t* into, size_t size) {
    if (offset > file.size() || size > file.size() - offset) return false;
    std::memcpy(into, file.data() + offset, size);
    return true;
  };
  return ReadPackageInfo(file, file.size(), read, info, error);
}

bool ReadPackageInfo(const std::vector<uint8_t>& head, uint64_t fileSize, const FileReader& read,
                     PackageInfo* info, std::string* error) {
  *info = PackageInfo();
  info->fileSize = fileSize;
  if (fileSize < kPackageLocatorEnd) {
    *error = "too short to hold a package locator (" +
             std::to_string(fileSize) + " bytes; it ends at byte 152)";
    return false;
  }
  // Without PE headers the bytes at 128 are no locator, just whatever that
  // kind of file keeps there.
  PeLayout pe;
  if (!ReadPeLayout(head, &pe, error)) return false;
  std::memcpy(&info->locator, head.data() + kPackageLocatorOffset,
              sizeof(PackageLocator));
  const PackageLocator& locator = info->locator;
  if (locator.packageOffset == 0) {
    *error = "carries no package (the locator at byte 128 says offset 0)";
    return false;
  }
  if (!InFile(locator.packageOffset, sizeof(PackageHeader), fileSize) ||
      !read(locator.packageOffset, (uint8_t*)&info->header, sizeof(PackageHeader))) {
    *error = "its package header at offset " +
             std::to_string(locator.packageOffset) + " lies outside the file";
    return false;
  }
  const PackageHeader& header = info->header;

  info->detached = locator.detachedFileSize != 0;
  info->minimumFileSize = info->detached
                              ? locator.detachedFileSize
                              : (locator.expectedFileSize < 0
                                     ? 0
                                     : (uint64_t)locator.expectedFileSize);
  // The launcher's own comparison: low 32 bits when detached.
  info->sizeSufficient = info->detached
                             ? (uint32_t)fileSize >= locator.detachedFileSize
                             : (int64_t)fileSize >= locator.expectedFileSize;
  info->crcRegionInFile = InFile(locator.packageOffset, locator.crcLength, fileSize);
  if (info->crcRegionInFile) {
    info->crcComputed = CrcOfRegion(head, read, locator.packageOffset, locator.crcLength);
    info->crcMatches = info->crcComputed == locator.crcValue;
  }
  // As the launcher judges them: it reads nowhere past byte 2^31 - 1, and
  // reading an empty text succeeds wherever it is said to start.
  const uint32_t kReadLimit = 0x7FFFFFFF;
  info->payloadInFile =
      header.payloadOffset <= kReadLimit &&
      InFile(header.payloadOffset, header.payloadPackedSize, fileSize);
  const PackageTextRef& text = header.unsupportedText;
  info->textInFile = text.textOffset <= kReadLimit &&
                     (text.textLength == 0 ||
                      InFile(text.textOffset, 2ull * text.textLength, fileSize));
  std::vector<uint8_t> textBytes(2u * text.textLength);
  if (info->textInFile && !textBytes.empty() &&
      !read(text.textOffset, textBytes.data(), textBytes.size()))
    info->textInFile = false;
  if (info->textInFile) {
    const uint8_t* at = textBytes.data();
    for (uint32_t i = 0; i < text.textLength; ++i)
      info->text.push_back((char16_t)(at[2 * i] | at[2 * i + 1] << 8));
  }
  if (header.packageForm == kFileSetForm)
    info->fileSet = ReadFileSetInfo(header, locator, fileSize, read);

  const uint8_t first = header.lzmaProperties[0];
  info->lzmaValid = first <= 224;
  info->lc = first % 9;
  info->lp = first / 9 % 5;
  info->pb = first / 45;
  std::memcpy(&info->dictionarySize, header.lzmaProperties + 1, 4);

  PeLayout layout;
  std::string unused;
  info->peValid = ReadPeLayout(head, &layout, &unused);
  if (info->peValid && layout.certificateOffset != 0 &&
      layout.certificateSize != 0) {
    info->signed_ = true;
    info->signatureOffset = layout.certificateOffset;
    info->signatureSize = layout.certificateSize;
    info->signatureInFile = InFile(layout.certificateOffset,
                                   layout.certificateSize, fileSize);
    const uint64_t packageEnd = std::max<uint64_t>(
        info->minimumFileSize, (uint64_t)locator.packageOffset + locator.crcLength);
    info->signatureAfterPackage = layout.certificateOffset >= packageEnd;
    if (info->signatureInFile)
      info->signer = ReadTableSigner(read, layout.certificateOffset, layout.certificateSize);
  }
  if (info->peValid) info->branding = ReadBranding(head);
  return true;
}

namespace {

// Reads of a file through one stream.
FileReader StreamReader(std::ifstream& file) {
  return [&file](uint64_t offset, uint8_t* into, size_t count) {
    file.clear();
    file.seekg((std::streamoff)offset);
    return (bool)file.read((char*)into, (std::streamsize)count);
  };
}

bool PeekFileSet(const FileReader& read, PackageLocator* locator, PackageHeader* header) {
  return read(kPackageLocatorOffset, (uint8_t*)locator, sizeof *locator) &&
         locator->packageOffset >= kPackageLocatorEnd &&
         read(locator->packageOffset, (uint8_t*)header, sizeof *header) &&
         header->packageForm == kFileSetForm;
}

}  // namespace

bool CarriesFileSet(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  PackageLocator locator;
  PackageHeader header;
  return file && PeekFileSet(StreamReader(file), &locator, &header);
}

bool ReadPackageInfoOfFile(const std::string& path, PackageInfo* info, std::string* error) {
  if (!CheckRegularFile(path, "launcher file", error)) return false;
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  std::error_code code;
  const uint64_t size = std::filesystem::file_size(std::filesystem::u8path(path), code);
  const FileReader read = StreamReader(file);
  // A file set may be far larger than what inspect reads of it: the image,
  // the header and the CRC region (which holds the set table). Any other
  // file is read whole, as before.
  PackageLocator locator = {};
  PackageHeader header = {};
  std::vector<uint8_t> head;
  if (!code && file && PeekFileSet(read, &locator, &header)) {
    const uint64_t end = std::min<uint64_t>(
        size, std::max<uint64_t>((uint64_t)locator.packageOffset + sizeof header,
                                 (uint64_t)locator.packageOffset + locator.crcLength));
    head.resize((size_t)end);
    if (read(0, head.data(), head.size())) {
      if (ReadPackageInfo(head, size, read, info, error)) return true;
      *error = path + " is not a launcher file: " + *error;
      return false;
    }
  }
  if (!ReadWholeFile(path, "launcher file", &head, error)) return false;
  if (ReadPackageInfo(head, info, error)) return true;
  *error = path + " is not a launcher file: " + *error;
  return false;
}

static std::string SignerText(const Signer& signer) {
  if (signer.certificate.empty()) return "not found: " + signer.problem;
  return "certificate of " + std::to_string(signer.certificate.size()) + " bytes, SHA-256 " +
         Sha256Hex(signer.certificate.data(), signer.certificate.size());
}

// "signer": {...} or null, and "signerProblem".
static std::string SignerJson(const Signer& signer) {
  const std::string certificate =
      signer.certificate.empty()
          ? "null"
          : "{\"size\": " + std::to_string(signer.certificate.size()) + ", \"sha256\": \"" +
                Sha256Hex(signer.certificate.data(), signer.certificate.size()) + "\"}";
  return "\"signer\": " + certificate + ", \"signerProblem\": " +
         (signer.problem.empty() ? "null" : JsonString(signer.problem));
}

static std::string IconText(const IconSummary& icon) {
  return std::to_string(icon.width) + "x" + std::to_string(icon.height) + " " +
         std::to_string(icon.bitCount) + "-bit" + (icon.png ? " PNG" : "");
}

static std::string TranslationText(uint32_t translation) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04X%04X", translation & 0xFFFF, translation >> 16);
  return buffer;
}

std::string FormatPackageInfo(const std::string& path, const PackageInfo& info) {
  const PackageLocator& l = info.locator;
  const PackageHeader& h = info.header;
  std::string out;
  auto line = [&out](const std::string& name, const std::string& value) {
    out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') +
           value + "\n";
  };
  out += path + ": " + std::to_string(info.fileSize) + " bytes\n";
  out += "locator (bytes 128-151)\n";
  line("packageOffset", std::to_string(l.packageOffset));
  line("crcLength", std::to_string(l.crcLength) +
                        (info.crcRegionInFile ? "" : "  (runs past the end of the file)"));
  line("crcValue", Hex(l.crcValue, 8) +
                       (!info.crcRegionInFile ? ""
                        : info.crcMatches ? "  (matches)"
                                          : "  (DOES NOT MATCH: computed " +
                                                Hex(info.crcComputed, 8) + ")"));
  line("expectedFileSize", std::to_string(l.expectedFileSize));
  line("detachedFileSize", std::to_string(l.detachedFileSize));
  line("mode", info.detached ? "detached (no wait, temporary copy kept)"
                             : "attached (waits, then deletes the temporary copy)");
  line("minimum file size", std::to_string(info.minimumFileSize) +
                                (info.sizeSufficient ? "" : "  (THE FILE IS SHORTER)"));
  out += "header (at " + std::to_string(l.packageOffset) + ")\n";
  line("lzmaProperties", HexBytes(h.lzmaProperties, 5) + "  (" +
                             (info.lzmaValid ? "" : "INVALID: first byte above 224; ") +
                             "lc " + std::to_string(info.lc) + ", lp " +
                             std::to_string(info.lp) + ", pb " + std::to_string(info.pb) +
                             ", dictionary " + std::to_string(info.dictionarySize) +
                             " bytes)");
  line("supportFlags", Hex(h.supportFlags, 16) + "  (" + ReleaseList(info) + ")");
  line("win10 codes", std::to_string(h.win10MinCode) + "-" + std::to_string(h.win10MaxCode));
  line("win11 codes", std::to_string(h.win11MinCode) + "-" + std::to_string(h.win11MaxCode));
  line("adminMode", std::to_string(h.adminMode) + "  (" + AdminModeName(h.adminMode) + ")");
  if (info.fileSet) {
    FormatFileSetHeader(h, line);
  } else {
    line("reserved (22-33)", HexBytes(HeaderBytes(h, 22), 12));
    line("launchFlags", LaunchFlagsText(h.launchFlags));
    line("payloadOffset", std::to_string(h.payloadOffset));
    line("payloadPackedSize", std::to_string(h.payloadPackedSize) +
                                  (info.payloadInFile ? "" : "  (runs past the end of the file)"));
    line("payloadSize", std::to_string(h.payloadSize));
    line("reserved (46-67)", HexBytes(HeaderBytes(h, 46), 22));
  }
  line("unsupportedText", "offset " + std::to_string(h.unsupportedText.textOffset) +
                              ", " + std::to_string(h.unsupportedText.textLength) +
                              " UTF-16 units" +
                              (info.textInFile ? "" : "  (runs past the end of the file)"));
  if (info.textInFile) line("text", TerminalText(JsonString(Utf16ToUtf8(info.text))));
  if (info.fileSet) out += FormatFileSetTable(h, *info.fileSet, info.fileSize);
  const BrandingInfo& brand = info.branding;
  if (info.peValid) {
    out += "branding\n";
    if (!brand.problem.empty()) line("resources", "DAMAGED: " + TerminalText(brand.problem));
    std::vector<std::string> icons;
    for (const IconSummary& icon : brand.icons) icons.push_back(IconText(icon));
    line("icon", brand.hasIcon ? Join(icons, ", ") : "none");
    if (brand.hasVersion) {
      line("file version", brand.version.fileVersion.Text());
      line("product version", brand.version.productVersion.Text());
      std::vector<std::string> translations;
      for (uint32_t t : brand.version.translations) translations.push_back(TranslationText(t));
      line("translation", translations.empty() ? "none" : Join(translations, ", "));
      for (const VersionStringTable& table : brand.version.tables)
        for (const auto& entry : table.strings)
          line(TerminalText(Utf16ToUtf8(entry.first)),
               TerminalText(JsonString(Utf16ToUtf8(entry.second))) +
                   (table.key == kNeutralUnicodeKey
                        ? ""
                        : "  (block " + TerminalText(Utf16ToUtf8(table.key)) + ")"));
    } else {
      line("version", "none");
    }
    line("manifest", brand.hasManifest ? "present" : "none");
  }
  out += "signature\n";
  if (!info.peValid) line("certificate table", "unknown (the file is not a PE image)");
  else if (!info.signed_) line("certificate table", "none (unsigned)");
  else
    line("certificate table",
         "offset " + std::to_string(info.signatureOffset) + ", " +
             std::to_string(info.signatureSize) + " bytes" +
             (info.signatureInFile ? "" : "  (RUNS PAST THE END OF THE FILE)") +
             (info.signatureAfterPackage ? ", after the package"
                                         : "  (OVERLAPS THE PACKAGE)"));
  if (info.signed_ && info.signatureInFile) line("signer", SignerText(info.signer));
  if (info.setupSignature) {
    // A file set's entry, when it is a program, is what the setup program
    // is to one program.
    const bool entry = info.fileSet.has_value();
    const SetupSignature& setup = *info.setupSignature;
    line(entry ? "entry" : "setup program",
         DescribeSetupSignature(setup, info.signed_ ? &info.signer : nullptr));
    if (setup.state == SignatureState::Ok)
      line(entry ? "entry signer" : "setup signer", SignerText(setup.signer));
  }
  return out;
}

std::string FormatPackageInfoJson(const std::string& path,
                                  const PackageInfo& info) {
  const PackageLocator& l = info.locator;
  const PackageHeader& h = info.header;
  auto n = [](uint64_t v) { return std::to_string(v); };
  auto b = [](bool v) { return std::string(v ? "true" : "false"); };
  std::vector<std::string> releases;
  for (const std::string& name : ReleaseNames(h.supportFlags))
    releases.push_back(JsonString(name));
  std::string out = "{\n";
  out += "  \"file\": " + JsonString(path) + ",\n";
  out += "  \"fileSize\": " + n(info.fileSize) + ",\n";
  out += "  \"locator\": {\"packageOffset\": " + n(l.packageOffset) +
         ", \"crcLength\": " + n(l.crcLength) + ", \"crcValue\": " + n(l.crcValue) +
         ", \"expectedFileSize\": " + std::to_string(l.expectedFileSize) +
         ", \"detachedFileSize\": " + n(l.detachedFileSize) + "},\n";
  out += "  \"mode\": \"" + std::string(info.detached ? "detached" : "attached") + "\",\n";
  out += "  \"minimumFileSize\": " + n(info.minimumFileSize) +
         ", \"sizeSufficient\": " + b(info.sizeSufficient) + ",\n";
  out += "  \"crcRegionInFile\": " + b(info.crcRegionInFile) +
         ", \"crcMatches\": " + b(info.crcMatches) + ",\n";
  out += "  \"lzma\": {\"properties\": " + JsonString(HexBytes(h.lzmaProperties, 5)) +
         ", \"valid\": " + b(info.lzmaValid) + ", \"lc\": " + n(info.lc) +
         ", \"lp\": " + n(info.lp) + ", \"pb\": " + n(info.pb) +
         ", \"dictionarySize\": " + n(info.dictionarySize) + "},\n";
  out += "  \"supportFlags\": " + n(h.supportFlags) + ",\n";
  out += "  \"releases\": [" + Join(releases, ", ") + "],\n";
  out += "  \"otherSupportBits\": " + n(UnnamedSupportBits(h.supportFlags)) + ",\n";
  out += "  \"win10Range\": [" + n(h.win10MinCode) + ", " + n(h.win10MaxCode) + "],\n";
  out += "  \"win11Range\": [" + n(h.win11MinCode) + ", " + n(h.win11MaxCode) + "],\n";
  out += "  \"adminMode\": " + n(h.adminMode) + ", \"adminModeName\": " +
         JsonString(AdminModeName(h.adminMode)) + ",\n";
  out += "  \"launchFlags\": " + n(h.launchFlags) + ", \"progressWindow\": " +
         b((h.launchFlags & kLaunchWithoutProgressWindow) == 0) + ",\n";
  out += "  \"reserved1\": " + JsonString(HexBytes(HeaderBytes(h, 22), 12)) +
         ", \"reserved2\": " + JsonString(HexBytes(HeaderBytes(h, 46), 22)) + ",\n";
  out += "  \"payload\": {\"offset\": " + n(h.payloadOffset) +
         ", \"packedSize\": " + n(h.payloadPackedSize) +
         ", \"size\": " + std::to_string(h.payloadSize) +
         ", \"inFile\": " + b(info.payloadInFile) + "},\n";
  out += "  \"unsupportedText\": {\"offset\": " + n(h.unsupportedText.textOffset) +
         ", \"length\": " + n(h.unsupportedText.textLength) +
         ", \"inFile\": " + b(info.textInFile) + ", \"text\": " +
         (info.textInFile ? JsonString(Utf16ToUtf8(info.text)) : "null") + "},\n";
  if (info.fileSet) out += FileSetJson(h, *info.fileSet);
  const BrandingInfo& brand = info.branding;
  out += "  \"branding\": ";
  if (!info.peValid) {
    out += "null,\n";
  } else {
    std::vector<std::string> icons, tables, translations;
    for (const IconSummary& icon : brand.icons)
      icons.push_back("{\"width\": " + n(icon.width) + ", \"height\": " + n(icon.height) +
                      ", \"bitCount\": " + n(icon.bitCount) + ", \"png\": " + b(icon.png) +
                      ", \"bytes\": " + n(icon.bytes) + "}");
    for (const VersionStringTable& table : brand.version.tables) {
      std::vector<std::string> strings;
      for (const auto& entry : table.strings)
        strings.push_back(JsonString(Utf16ToUtf8(entry.first)) + ": " +
                          JsonString(Utf16ToUtf8(entry.second)));
      tables.push_back(JsonString(Utf16ToUtf8(table.key)) + ": {" + Join(strings, ", ") + "}");
    }
    for (uint32_t t : brand.version.translations)
      translations.push_back(JsonString(TranslationText(t)));
    out += "{\"problem\": " + (brand.problem.empty() ? "null" : JsonString(brand.problem)) +
           ", \"icons\": " + (brand.hasIcon ? "[" + Join(icons, ", ") + "]" : "null") +
           ",\n    \"version\": ";
    if (!brand.hasVersion)
      out += "null";
    else
      out += "{\"fileVersion\": " + JsonString(brand.version.fileVersion.Text()) +
             ", \"productVersion\": " + JsonString(brand.version.productVersion.Text()) +
             ", \"translations\": [" + Join(translations, ", ") + "],\n      \"strings\": {" +
             Join(tables, ", ") + "}}";
    out += ", \"manifest\": " + b(brand.hasManifest) + "},\n";
  }
  out += "  \"signature\": ";
  if (!info.signed_) {
    out += "null,\n";
  } else {
    out += "{\"offset\": " + n(info.signatureOffset) + ", \"size\": " +
           n(info.signatureSize) + ", \"inFile\": " + b(info.signatureInFile) +
           ", \"afterPackage\": " + b(info.signatureAfterPackage) + ",\n    " +
           SignerJson(info.signer) + "},\n";
  }
  out += "  \"setupSignature\": ";
  if (!info.setupSignature) return out + "null\n}\n";
  const SetupSignature& setup = *info.setupSignature;
  const bool ok = setup.state == SignatureState::Ok;
  const bool hasTable = setup.tableOffset || setup.tableSize;
  const SignerMatch match = CompareSigners(setup, info.signed_ ? &info.signer : nullptr);
  out += "{\"state\": " + JsonString(SignatureStateName(setup.state)) + ", \"detail\": " +
         (setup.detail.empty() ? "null" : JsonString(setup.detail)) + ", \"offset\": " +
         (hasTable ? n(setup.tableOffset) : "null") + ", \"size\": " +
         (hasTable ? n(setup.tableSize) : "null") + ",\n    " +
         (ok ? SignerJson(setup.signer) : "\"signer\": null, \"signerProblem\": null") +
         ", \"sameSignerAsLauncher\": " +
         (match == SignerMatch::NotCompared ? "null" : b(match == SignerMatch::Same)) + "}\n";
  return out + "}\n";
}

}  // namespace packer
