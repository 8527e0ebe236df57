// SPDX-License-Identifier: 0BSD
// Reading and showing a file set's table for inspect.
#include "packer/FileSetInfo.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "packer/FileSetText.h"
#include "packer/PackageWriter.h"
#include "packer/PrintableText.h"

namespace packer {
namespace {

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string out;
  char buffer[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof buffer, "%02X", bytes[i]);
    out += (i ? " " : "") + std::string(buffer);
  }
  return out;
}

std::string Crc(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

std::string FormName(uint32_t form) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = (char)(form >> (8 * i));
    name += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return name;
}

std::string CheckText(const FileSetInfo& info) {
  if (!info.tableRead)
    return "UNREADABLE: it is smaller than 64 bytes, larger than 4 MiB or runs past the end "
           "of the file";
  if (!info.placeSound)
    return "BROKEN: " + DescribeSetTableCheck({SetTableRule::Place, 0, NameProblem::None}) +
           " (the launcher: damaged)";
  if (info.check.rule == SetTableRule::None) return "ok";
  if (info.check.rule == SetTableRule::Truncated)
    return "ok, but the file ends before packageEnd (the launcher: truncated)";
  return "BROKEN: " + DescribeSetTableCheck(info.check) + " (the launcher: damaged)";
}

std::string EntryKindName(const std::u16string& path) {
  switch (EntryKindOf(path.data(), (uint32_t)path.size())) {
    case EntryKind::Program: return "program";
    case EntryKind::InstallerPackage: return "installer package";
    default: return "none";
  }
}

}  // namespace

FileSetInfo ReadFileSetInfo(const PackageHeader& header, const PackageLocator& locator,
                            uint64_t fileSize, const FileReader& read) {
  FileSetInfo info;
  info.placeSound = SetTablePlaceIsSound(header, locator);
  const uint64_t size = header.setTableSize;
  if (size < sizeof(FileSetTableHeader) || size > kMaxSetTableBytes ||
      header.setTableOffset > fileSize || size > fileSize - header.setTableOffset)
    return info;
  std::vector<uint16_t> words((size_t)(size + 1) / 2);
  const uint8_t* table = (const uint8_t*)words.data();
  if (!read(header.setTableOffset, (uint8_t*)words.data(), (size_t)size)) return info;
  info.tableRead = true;
  std::memcpy(&info.table, table, sizeof info.table);
  FileSetView view = {};
  info.check = CheckSetTable(table, (uint32_t)size, header.setTableOffset, fileSize, &view);
  // Files and blocks are listed only from a table whose every rule holds:
  // only then are its counts, paths and places known to agree.
  const bool whole = info.check.rule == SetTableRule::None ||
                     info.check.rule == SetTableRule::Truncated;
  if (!whole) return info;
  info.listed = true;
  SetPathCursor cursor(view);
  for (uint32_t i = 0; i < view.header->fileCount; ++i) {
    const WideChar* path;
    uint32_t length;
    cursor.Next(&path, &length);
    info.files.push_back({std::u16string(path, length), view.files[i].size});
  }
  info.blocks.assign(view.blocks, view.blocks + view.header->blockCount);
  return info;
}

std::string LaunchFlagsText(uint8_t flags) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", flags);
  return std::string(hex) + ((flags & kLaunchWithoutProgressWindow)
                                 ? "  (no progress window, however long unpacking takes)"
                                 : "  (a progress window when unpacking takes long)");
}

void FormatFileSetHeader(const PackageHeader& header,
                         const std::function<void(const std::string&, const std::string&)>& line) {
  const uint8_t* bytes = (const uint8_t*)&header;
  line("packageForm", FormName(header.packageForm) + "  (a file set)");
  line("launchFlags", LaunchFlagsText(header.launchFlags));
  line("reserved (27-33)", HexBytes(bytes + 27, 7));
  line("payload fields", std::to_string(header.payloadOffset) + ", " +
                             std::to_string(header.payloadPackedSize) + ", " +
                             std::to_string(header.payloadSize) + "  (not read in a file set)");
  line("setTableOffset", std::to_string(header.setTableOffset));
  line("setTableSize", std::to_string(header.setTableSize));
  line("reserved (62-67)", HexBytes(bytes + 62, 6));
}

std::string FormatFileSetTable(const PackageHeader& header, const FileSetInfo& info,
                               uint64_t fileSize) {
  std::string out = "set table (at " + std::to_string(header.setTableOffset) + ", " +
                    std::to_string(header.setTableSize) + " bytes)\n";
  auto line = [&out](const std::string& name, const std::string& value) {
    out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') + value + "\n";
  };
  line("check", CheckText(info));
  if (!info.tableRead) return out;
  const FileSetTableHeader& t = info.table;
  line("version", std::to_string(t.version));
  line("flags", std::to_string(t.flags));
  line("fileCount", std::to_string(t.fileCount));
  line("blockCount", std::to_string(t.blockCount));
  std::string entry = std::to_string(t.entryIndex);
  if (info.listed)
    entry += "  (" + TerminalText(Utf16ToUtf8(info.files[t.entryIndex].path)) + ", " +
             EntryKindName(info.files[t.entryIndex].path) + ")";
  line("entryIndex", entry);
  line("blockSize", std::to_string(t.blockSize));
  line("totalSize", std::to_string(t.totalSize));
  line("packageEnd", std::to_string(t.packageEnd) +
                         (t.packageEnd > fileSize ? "  (THE FILE IS SHORTER)" : ""));
  line("nameUnits", std::to_string(t.nameUnits));
  line("reserved", HexBytes(t.reserved, sizeof t.reserved));
  if (!info.listed) return out;
  out += "files (" + std::to_string(info.files.size()) + ", in table order: size, path)\n";
  char size[32];
  for (size_t i = 0; i < info.files.size(); ++i) {
    std::snprintf(size, sizeof size, "%14llu", (unsigned long long)info.files[i].size);
    out += "  " + std::string(size) + "  " + TerminalText(Utf16ToUtf8(info.files[i].path)) +
           (i == t.entryIndex ? "  (entry)" : "") + "\n";
  }
  out += "blocks (" + std::to_string(info.blocks.size()) + ": offset, packed, unpacked, CRC-32)\n";
  char row[96];
  for (size_t i = 0; i < info.blocks.size(); ++i) {
    const FileSetBlock& b = info.blocks[i];
    std::snprintf(row, sizeof row, "  %5u  %14llu  %10llu  %10llu  %s\n", (unsigned)i,
                  (unsigned long long)b.packedOffset, (unsigned long long)b.packedSize,
                  (unsigned long long)b.unpackedSize, Crc(b.crc32).c_str());
    out += row;
  }
  return out;
}

std::string FileSetJson(const PackageHeader& header, const FileSetInfo& info) {
  auto n = [](uint64_t v) { return std::to_string(v); };
  auto b = [](bool v) { return std::string(v ? "true" : "false"); };
  const FileSetTableHeader& t = info.table;
  std::string out = "  \"form\": \"fileSet\",\n";
  out += "  \"setTable\": {\"offset\": " + n(header.setTableOffset) +
         ", \"size\": " + n(header.setTableSize) + ", \"placeSound\": " + b(info.placeSound) +
         ", \"read\": " + b(info.tableRead) + ", \"check\": " +
         JsonString(info.tableRead ? CheckText(info) : "unreadable");
  if (info.tableRead)
    out += ",\n    \"version\": " + n(t.version) + ", \"flags\": " + n(t.flags) +
           ", \"fileCount\": " + n(t.fileCount) + ", \"blockCount\": " + n(t.blockCount) +
           ", \"entryIndex\": " + n(t.entryIndex) + ", \"blockSize\": " + n(t.blockSize) +
           ", \"totalSize\": " + n(t.totalSize) + ", \"packageEnd\": " + n(t.packageEnd) +
           ", \"nameUnits\": " + n(t.nameUnits);
  out += "},\n";
  if (!info.listed)
    return out + "  \"files\": null,\n  \"entry\": null,\n  \"blocks\": null,\n";
  out += "  \"files\": [";
  for (size_t i = 0; i < info.files.size(); ++i)
    out += std::string(i ? ",\n    " : "\n    ") + "{\"path\": " +
           JsonString(Utf16ToUtf8(info.files[i].path)) + ", \"size\": " +
           n(info.files[i].size) + "}";
  out += "],\n";
  const std::u16string& entry = info.files[t.entryIndex].path;
  out += "  \"entry\": {\"index\": " + n(t.entryIndex) + ", \"path\": " +
         JsonString(Utf16ToUtf8(entry)) + ", \"kind\": " + JsonString(EntryKindName(entry)) +
         "},\n";
  out += "  \"blocks\": [";
  for (size_t i = 0; i < info.blocks.size(); ++i) {
    const FileSetBlock& block = info.blocks[i];
    out += std::string(i ? ",\n    " : "\n    ") + "{\"offset\": " + n(block.packedOffset) +
           ", \"packedSize\": " + n(block.packedSize) +
           ", \"unpackedSize\": " + n(block.unpackedSize) + ", \"crc32\": " + n(block.crc32) +
           "}";
  }
  return out + "],\n";
}

}  // namespace packer
