// SPDX-License-Identifier: 0BSD
// verify's steps for a file set: the table's place, every rule and the
// LZMA properties with the launcher's own code, then every block in order,
// its size and CRC-32 checked, its bytes handed to the files they belong
// to as they come.
#include "packer/VerifyFileSet.h"

#include <algorithm>
#include <new>

#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "extract/Decompress.h"
#include "extract/FileSetTable.h"
#include "extract/SetBlockDecoder.h"
#include "packer/FilePlatform.h"
#include "packer/FileSetText.h"
#include "packer/PackageWriter.h"
#include "packer/PrintableText.h"
#include "packer/SetupSignature.h"

namespace packer {
namespace {

// The table, read whole (the place check bounds it by 4 MiB) into memory
// aligned for its UTF-16 paths.
struct SetTable {
  std::vector<uint16_t> words;
  FileSetView view = {};
  SetTableCheck check = {SetTableRule::None, 0, NameProblem::None};
  LzmaProperties properties = {};  // every block's, once the table passed
  bool propertiesRefused = false;
  const uint8_t* Bytes() const { return (const uint8_t*)words.data(); }
};

// "1 block", "2 blocks".
std::string Count(uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Printable(const WideChar* path, uint32_t length) {
  return TerminalText(Utf16ToUtf8(std::u16string(path, length)));
}

// The path of file `index` of a view whose paths have been checked.
std::string PathAt(const FileSetView& view, uint32_t index) {
  SetPathCursor cursor(view);
  const WideChar* path = nullptr;
  uint32_t length = 0;
  for (uint32_t i = 0; i <= index; ++i) cursor.Next(&path, &length);
  return Printable(path, length);
}

// What broke, naming the file for a path (the view is whole once the
// rules about names are reached).
std::string TableDetail(const SetTable& table) {
  if (table.propertiesRefused) return "the LZMA properties are refused";
  const SetTableCheck& check = table.check;
  const bool named = (check.rule == SetTableRule::Name || check.rule == SetTableRule::Entry) &&
                     table.view.header && check.index < table.view.header->fileCount;
  return DescribeSetTableCheck(check, named ? PathAt(table.view, check.index) : "");
}

void ReadTable(VerifyRun& run, SetTable* table) {
  const PackageHeader& header = gPackageHeader;
  if (!SetTablePlaceIsSound(header, gPackageLocator)) {
    table->check.rule = SetTableRule::Place;
    FatalPackageDamaged();
  }
  const uint32_t size = (uint32_t)header.setTableSize;
  table->words.resize((size + 1) / 2);
  if (PlatformReadAt(run.file, header.setTableOffset, table->words.data(), size) != size)
    FatalPackageDamaged();  // inside the CRC region, so the file changed
  table->check = CheckSetTable(table->Bytes(), size, header.setTableOffset, run.fileSize,
                               &table->view);
  if (table->check.rule == SetTableRule::Truncated) FatalPackageTruncated();
  if (table->check.rule != SetTableRule::None) FatalPackageDamaged();
  // Judged with the table, before anything is made, blocks or none.
  table->propertiesRefused = !AcceptLzmaProperties(header.lzmaProperties, &table->properties);
  if (table->propertiesRefused) FatalPackageDamaged();
}

bool CheckTable(VerifyRun& run, SetTable* table) {
  const StepResult result = RunStep([&] { ReadTable(run, table); });
  if (!result.ok) return Failed(run, "set table", result, TableDetail(*table));
  const FileSetTableHeader& header = *table->view.header;
  SetPathCursor cursor(table->view);
  for (uint32_t i = 0; i < header.fileCount; ++i) {
    const WideChar* path;
    uint32_t length;
    cursor.Next(&path, &length);
    run.set.longestPath = std::max(run.set.longestPath, length);
    if (i != header.entryIndex) continue;
    run.set.entry = Printable(path, length);
    run.set.entryIsProgram = EntryKindOf(path, length) == EntryKind::Program;
  }
  run.set.files = header.fileCount;
  run.set.takesLauncherName = (header.flags & kSetEntryTakesLauncherName) != 0;
  run.set.blocks = header.blockCount;
  run.set.totalSize = header.totalSize;
  for (uint32_t i = 0; i < header.blockCount; ++i)
    run.set.packedSize += table->view.blocks[i].packedSize;
  run.report.lines.push_back(VerifyLine(
      "set table", "ok: " + Count(header.fileCount, "file") + ", " +
                       Count(header.totalSize, "byte") + " in " +
                       Count(header.blockCount, "block") + " of at most " +
                       std::to_string(header.blockSize) + "; entry " + run.set.entry +
                       (run.set.entryIsProgram ? " (a program)" : " (an installer package)") +
                       "; longest path " + std::to_string(run.set.longestPath) +
                       " UTF-16 units"));
  return true;
}

// The concatenated files as they are decoded, cut back into files.
struct SetOutput {
  SetOutput(const FileSetView& setView, SetSink* sink, SetupSignatureReader* entryReader,
            const std::function<void(uint64_t, uint64_t)>* report)
      : view(&setView), cursor(setView), files(sink), entry(entryReader), progress(report) {}

  const FileSetView* view;
  SetPathCursor cursor;
  SetSink* files;                // may be null
  SetupSignatureReader* entry;   // the entry's, when it is a program
  const std::function<void(uint64_t, uint64_t)>* progress;
  bool writeFailed = false;
  uint32_t next = 0;      // files begun so far
  uint32_t current = 0;   // the file being filled
  uint64_t left = 0;      // of its bytes
  uint64_t decoded = 0;   // of all files
  uint64_t entryStart = 0;

  // The next file; false once every file has begun.
  bool BeginNext() {
    if (next == view->header->fileCount) return false;
    const WideChar* path;
    uint32_t length;
    current = cursor.Next(&path, &length);
    ++next;
    left = view->files[current].size;
    if (current == view->header->entryIndex) entryStart = decoded;
    if (files && !writeFailed)
      writeFailed = !files->Begin(std::u16string(path, length), left);
    return true;
  }

  void Take(const uint8_t* data, uint32_t count) {
    while (count) {
      // A refused block may hand on fewer bytes, never more than the
      // files hold: the table's checks saw to that.
      while (left == 0)
        if (!BeginNext()) return;
      const uint32_t piece = (uint32_t)std::min<uint64_t>(count, left);
      if (entry && current == view->header->entryIndex)
        entry->Take(decoded - entryStart, data, piece);
      if (files && !writeFailed) writeFailed = !files->Append(data, piece);
      data += piece;
      count -= piece;
      left -= piece;
      decoded += piece;
    }
    if (*progress) (*progress)(decoded, view->header->totalSize);
  }
};

void TakeSetPiece(void* context, const uint8_t* data, uint32_t count) {
  ((SetOutput*)context)->Take(data, count);
}

// Every block in order, as the launcher decodes them into the files.
void DecodeBlocks(VerifyRun& run, const SetTable& table, SetOutput* output,
                  uint32_t* failedBlock) {
  const FileSetView& view = table.view;
  if (view.header->blockCount == 0) return;
  // Pieces no larger than the largest block needs, as the launcher takes.
  uint64_t packed = 0, unpacked = 0;
  for (uint32_t i = 0; i < view.header->blockCount; ++i) {
    const FileSetBlock block = view.blocks[i];  // packed: copied, never bound
    packed = std::max(packed, block.packedSize);
    unpacked = std::max(unpacked, block.unpackedSize);
  }
  TStream* input = new TStream();
  TStream* decoded = new TStream();
  input->SetSize((int32_t)std::min<uint64_t>(packed, kBlockPieceSize));
  decoded->SetSize((int32_t)std::min<uint64_t>(unpacked, kOutputPieceSize));
  for (uint32_t i = 0; i < view.header->blockCount; ++i) {
    const LzmaOutcome outcome = DecodeSetBlock(run.file, view, table.properties, i, input, decoded,
                                               LzmaOutput{TakeSetPiece, output});
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) {
      *failedBlock = i;
      FatalPackageDamaged();
    }
  }
  delete decoded;
  delete input;
}

std::string BlockDetail(const FileSetView& view, uint32_t index) {
  if (index == UINT32_MAX) return "";
  const FileSetBlock& block = view.blocks[index];
  return "block " + std::to_string(index) + " at " + std::to_string(block.packedOffset) + ", " +
         std::to_string(block.packedSize) + " bytes, does not decode to its " +
         std::to_string(block.unpackedSize) + " bytes with CRC-32 " + Hex32(block.crc32);
}

bool CheckBlocks(VerifyRun& run, const SetTable& table, SetSink* files) {
  const FileSetView& view = table.view;
  std::optional<SetupSignatureReader> entry;
  const uint64_t entrySize = view.files[view.header->entryIndex].size;  // packed: copied
  if (run.set.entryIsProgram) entry.emplace(entrySize);
  SetOutput output(view, files, entry ? &*entry : nullptr, &run.progress);
  uint32_t failedBlock = UINT32_MAX;
  const StepResult result = RunStep([&] { DecodeBlocks(run, table, &output, &failedBlock); });
  if (!result.ok) return Failed(run, "blocks", result, BlockDetail(view, failedBlock));
  while (output.BeginNext()) {
  }  // the empty files after the last byte
  if (output.writeFailed) {
    run.Close();
    run.report.failure = files->error;
    return false;
  }
  if (entry) run.report.setupSignature = entry->Finish();
  return true;
}

}  // namespace

bool VerifyFileSetContents(VerifyRun& run, SetSink* files) {
  SetTable table;
  return CheckTable(run, &table) && CheckBlocks(run, table, files);
}

void ReportFileSet(VerifyRun& run) {
  run.report.lines.push_back(VerifyLine(
      "blocks", "ok: " + Count(run.set.blocks, "block") + ", " +
                    Count(run.set.totalSize, "byte") + " decoded from " +
                    std::to_string(run.set.packedSize) + ", each to its size and CRC-32"));
  if (!run.set.entryIsProgram)
    run.report.lines.push_back(VerifyLine(
        "entry", run.set.entry + ": an installer package, started through msiexec (its "
                 "signature is not read here)"));
}

}  // namespace packer
