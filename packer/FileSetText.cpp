// SPDX-License-Identifier: 0BSD
// Phrases for path problems and broken table rules.
#include "packer/FileSetText.h"

namespace packer {

std::string DescribeNameProblem(NameProblem problem) {
  switch (problem) {
    case NameProblem::None: return "no problem";
    case NameProblem::Empty: return "an empty path";
    case NameProblem::Absolute:
      return "an absolute path (it starts with a backslash: a root, UNC or \\\\?\\ path)";
    case NameProblem::EmptyComponent:
      return "an empty name (two backslashes in a row, or one at the end)";
    case NameProblem::DotComponent: return "a \".\" or \"..\" name";
    case NameProblem::Colon:
      return "a colon, which names drives and alternate data streams on Windows";
    case NameProblem::ControlCharacter: return "a control character (U+0000-U+001F)";
    case NameProblem::ReservedCharacter:
      return "one of < > \" / | ? *, which Windows refuses in names";
    case NameProblem::UnpairedSurrogate:
      return "an unpaired surrogate, which is no character";
    case NameProblem::TrailingDotOrSpace:
      return "a name ending in a dot or a space, which Windows drops";
    case NameProblem::DeviceName:
      return "a Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$), "
             "with or without an extension";
    case NameProblem::ShortNameAlias:
      return "the shape of an 8.3 short name (~ and digits), which may name another file";
    case NameProblem::TooLong:
      return "a path longer than " + std::to_string(kMaxSetPathUnits) + " UTF-16 units";
    case NameProblem::ComponentTooLong:
      return "a name longer than " + std::to_string(kMaxSetComponentUnits) + " UTF-16 units";
    case NameProblem::TooDeep:
      return "more than " + std::to_string(kMaxSetDepth) + " names deep";
    case NameProblem::Duplicate:
      return "the same path as the one before it when case is ignored, as Windows does";
    case NameProblem::OutOfOrder: return "out of order: it sorts before the one before it";
    case NameProblem::FileIsFolder:
      return "a path inside the one before it, which is a file";
    case NameProblem::FolderSpelling:
      return "a folder the one before it spells in another case";
  }
  return "an unknown problem";
}

std::string DescribeSetTableCheck(const SetTableCheck& check, const std::string& path) {
  const std::string index = std::to_string(check.index);
  const std::string file = "file " + index + (path.empty() ? "" : " (" + path + ")");
  switch (check.rule) {
    case SetTableRule::None: return "every rule holds";
    case SetTableRule::Place:
      return "the set table lies outside the CRC region, or is larger than 4 MiB";
    case SetTableRule::Size: return "the set table's size is not what its counts make";
    case SetTableRule::Version:
      return "an unknown table version, a flag, or a reserved byte that is not zero";
    case SetTableRule::FileCount:
      return "no files, or more than " + std::to_string(kMaxSetFiles);
    case SetTableRule::Entry:
      return "the entry, " + file +
             ", is missing, no .exe or .msi, or not alone where it takes the launcher's name";
    case SetTableRule::Name: return file + ": " + DescribeNameProblem(check.nameProblem);
    case SetTableRule::FileSizes: return "the files' sizes do not add up to totalSize";
    case SetTableRule::BlockSize: return "blockSize is outside 4 KiB to 1 GiB";
    case SetTableRule::BlockCount:
      return "blockCount is not what totalSize and blockSize make, or above " +
             std::to_string(kMaxSetBlocks);
    case SetTableRule::BlockCoverage:
      return "block " + index + " does not decode to its slice of the files";
    case SetTableRule::BlockPlace:
      return "block " + index +
             " overlaps the table or the block before it, is 2 GiB or larger, or runs past "
             "packageEnd";
    case SetTableRule::Truncated: return "the file ends before packageEnd";
  }
  return "an unknown rule";
}

}  // namespace packer
