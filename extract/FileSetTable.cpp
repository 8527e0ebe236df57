// SPDX-License-Identifier: 0BSD
// Checks of a file set's table, in one pass over the bytes read.
#include "extract/FileSetTable.h"

namespace {

SetTableCheck Broken(SetTableRule rule, uint32_t index = 0,
                     NameProblem nameProblem = NameProblem::None) {
  return {rule, index, nameProblem};
}

// a + b, false when it would pass 2^64.
bool AddWithin(uint64_t a, uint64_t b, uint64_t* sum) {
  *sum = a + b;
  return *sum >= a;
}

bool ReservedIsZero(const FileSetTableHeader& header) {
  for (uint8_t byte : header.reserved)
    if (byte != 0) return false;
  return true;
}

// The counts decide the table's size; nothing may be left over or missing.
bool SizeMatchesCounts(const FileSetTableHeader& header, uint32_t size) {
  const uint64_t expected = sizeof(FileSetTableHeader) +
                            (uint64_t)header.fileCount * sizeof(FileSetEntry) +
                            (uint64_t)header.blockCount * sizeof(FileSetBlock) +
                            (uint64_t)header.nameUnits * sizeof(WideChar);
  return expected == size;
}

SetTableCheck CheckPaths(const FileSetView& view) {
  const FileSetTableHeader& header = *view.header;
  SetPathCursor cursor(view);
  const WideChar* previous = nullptr;
  uint32_t previousLength = 0;
  uint64_t sizes = 0;
  bool entryFound = false;
  for (uint32_t i = 0; i < header.fileCount; ++i) {
    const WideChar* path;
    uint32_t length;
    cursor.Next(&path, &length);
    NameProblem problem = CheckSetPath(path, length);
    if (problem == NameProblem::None && previous)
      problem = CheckSetPathOrder(previous, previousLength, path, length);
    if (problem != NameProblem::None)
      return Broken(SetTableRule::Name, i, problem);
    if (i == header.entryIndex)
      entryFound = EntryKindOf(path, length) != EntryKind::None;
    if (!AddWithin(sizes, view.files[i].size, &sizes))
      return Broken(SetTableRule::FileSizes, i);
    previous = path;
    previousLength = length;
  }
  if (!entryFound) return Broken(SetTableRule::Entry, header.entryIndex);
  if (sizes != header.totalSize) return Broken(SetTableRule::FileSizes);
  return Broken(SetTableRule::None);
}

SetTableCheck CheckBlocks(const FileSetView& view, uint64_t tableEnd) {
  const FileSetTableHeader& header = *view.header;
  if (header.blockSize < kMinSetBlockSize || header.blockSize > kMaxSetBlockSize)
    return Broken(SetTableRule::BlockSize);
  const uint64_t wholeBlocks = header.totalSize / header.blockSize;
  const uint64_t blocks = wholeBlocks + (header.totalSize % header.blockSize != 0);
  if (blocks != header.blockCount) return Broken(SetTableRule::BlockCount);
  uint64_t placed = tableEnd;  // where the previous block ended
  for (uint32_t i = 0; i < header.blockCount; ++i) {
    const FileSetBlock& block = view.blocks[i];
    const uint64_t slice = i < wholeBlocks
                               ? header.blockSize
                               : header.totalSize - wholeBlocks * header.blockSize;
    if (block.unpackedSize != slice) return Broken(SetTableRule::BlockCoverage, i);
    uint64_t end;
    if (block.packedOffset < placed || block.packedSize > kMaxSetPackedBlock ||
        !AddWithin(block.packedOffset, block.packedSize, &end) ||
        end > header.packageEnd)
      return Broken(SetTableRule::BlockPlace, i);
    placed = end;
  }
  return Broken(SetTableRule::None);
}

}  // namespace

bool SetTablePlaceIsSound(const PackageHeader& header,
                          const PackageLocator& locator) {
  const uint64_t regionEnd =
      (uint64_t)locator.packageOffset + locator.crcLength;
  const uint64_t tableStart = header.setTableOffset;
  return header.setTableSize >= sizeof(FileSetTableHeader) &&
         header.setTableSize <= kMaxSetTableBytes &&
         tableStart >= (uint64_t)locator.packageOffset + sizeof(PackageHeader) &&
         tableStart <= regionEnd && header.setTableSize <= regionEnd - tableStart;
}

SetTableCheck CheckSetTable(const uint8_t* table, uint32_t size,
                            uint64_t tableOffset, uint64_t fileSize,
                            FileSetView* view) {
  if (size < sizeof(FileSetTableHeader) || size > kMaxSetTableBytes)
    return Broken(SetTableRule::Place);
  const FileSetTableHeader& header = *(const FileSetTableHeader*)table;
  if (header.version != kFileSetVersion ||
      (header.flags & ~kSetEntryTakesLauncherName) != 0 ||
      !ReservedIsZero(header))
    return Broken(SetTableRule::Version);
  if (header.fileCount == 0 || header.fileCount > kMaxSetFiles)
    return Broken(SetTableRule::FileCount);
  if (header.blockCount > kMaxSetBlocks) return Broken(SetTableRule::BlockCount);
  if (!SizeMatchesCounts(header, size)) return Broken(SetTableRule::Size);

  const uint8_t* at = table + sizeof(FileSetTableHeader);
  view->header = &header;
  view->files = (const FileSetEntry*)at;
  at += (uint64_t)header.fileCount * sizeof(FileSetEntry);
  view->blocks = (const FileSetBlock*)at;
  at += (uint64_t)header.blockCount * sizeof(FileSetBlock);
  view->names = (const WideChar*)at;

  uint64_t units = 0;
  for (uint32_t i = 0; i < header.fileCount; ++i)
    units += view->files[i].nameUnits;  // at most 2^15 * 2^32: no overflow
  if (units != header.nameUnits) return Broken(SetTableRule::Size);

  // Only now does every path lie inside the table, so a caller may name the
  // file an Entry refusal gives; one that names no file gets an index past
  // the last.
  if ((header.flags & kSetEntryTakesLauncherName) && header.fileCount != 1)
    return Broken(SetTableRule::Entry, header.fileCount);
  if (header.entryIndex >= header.fileCount)
    return Broken(SetTableRule::Entry, header.entryIndex);

  SetTableCheck check = CheckPaths(*view);
  if (check.rule != SetTableRule::None) return check;
  check = CheckBlocks(*view, tableOffset + size);
  if (check.rule != SetTableRule::None) return check;
  // Every rule holds, so the table is the packer's: a file that ends before
  // the package does was cut short, not damaged.
  if (header.packageEnd > fileSize) return Broken(SetTableRule::Truncated);
  return Broken(SetTableRule::None);
}

uint32_t SetPathCursor::Next(const WideChar** path, uint32_t* length) {
  *length = view_.files[index_].nameUnits;
  *path = view_.names + offset_;
  offset_ += *length;
  return index_++;
}
