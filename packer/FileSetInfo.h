// SPDX-License-Identifier: 0BSD
// inspect's view of a file set: the header's set-table fields, the table's
// own fields as stored, the verdict of the launcher's table checks, and,
// for a table that passes them, its files, entry and blocks. Like the rest
// of inspect it never stops at a broken field: it shows what is there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/StubTypes.h"
#include "extract/FileSetTable.h"
#include "packer/PeImage.h"

namespace packer {

struct FileSetInfo {
  bool placeSound = false;  // SetTablePlaceIsSound: the launcher reads it
  bool tableRead = false;   // 64 bytes to 4 MiB, inside the file: read here
  FileSetTableHeader table = {};  // when tableRead
  SetTableCheck check = {SetTableRule::Place, 0, NameProblem::None};
  // A table that passes the launcher's checks (the file may be cut short):
  struct File {
    std::u16string path;
    uint64_t size;
  };
  bool listed = false;
  std::vector<File> files;
  std::vector<FileSetBlock> blocks;
};

// Reads the set table the header names through `read`.
FileSetInfo ReadFileSetInfo(const PackageHeader& header, const PackageLocator& locator,
                            uint64_t fileSize, const FileReader& read);

// Header byte 26 for people: its value and what the launcher makes of it.
std::string LaunchFlagsText(uint8_t flags);

// The header lines of a file set, in place of the one-program payload and
// reserved fields, then the table, the files and the blocks; `line` writes
// one "  name  value" line.
void FormatFileSetHeader(const PackageHeader& header,
                         const std::function<void(const std::string&, const std::string&)>& line);
std::string FormatFileSetTable(const PackageHeader& header, const FileSetInfo& info,
                               uint64_t fileSize);

// The JSON members for a file set ("form", "setTable", "files", "entry",
// "blocks"), each line ending with ",\n".
std::string FileSetJson(const PackageHeader& header, const FileSetInfo& info);

}  // namespace packer
