// SPDX-License-Identifier: 0BSD
// verify's steps for a file set: the table's place, every rule and the
// LZMA properties with the launcher's own code, then every block, on
// several threads, its size and CRC-32 checked, its bytes written into the
// files they belong to as they come.
#include "packer/VerifyFileSet.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "extract/FileSetTable.h"
#include "packer/FilePlatform.h"
#include "packer/FileSetText.h"
#include "packer/PackageWriter.h"
#include "packer/ParallelBlocks.h"
#include "packer/PrintableText.h"
#include "packer/SetupSignature.h"
#include "packer/Threads.h"

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

// Where the decoded pieces go, from several threads at once: cut back
// into the files they belong to (for extract), the entry's bytes its
// signature reader needs kept aside, and the progress counted.
class SetPieces {
 public:
  SetPieces(const FileSetView& view, SetSink* files, bool entryIsProgram,
            const std::function<void(uint64_t, uint64_t)>* progress)
      : view_(view), files_(files), progress_(progress) {
    const uint32_t count = view.header->fileCount;
    uint64_t start = 0;
    for (uint32_t i = 0; i < count; ++i) {
      starts_.push_back(start);
      start += view.files[i].size;
    }
    if (!entryIsProgram) return;
    const uint32_t entry = view.header->entryIndex;
    entryStart_ = starts_[entry];
    entrySize_ = view.files[entry].size;
    head_.resize((size_t)SetupSignatureReader::HeadBytes(entrySize_));
    tail_.resize((size_t)SetupSignatureReader::TailBytes(entrySize_));
  }

  // Every file, in the table's order, before the first byte is decoded. A
  // file that cannot be made stops the writing, not the decoding: a
  // damaged block is still reported first.
  void CreateFiles() {
    SetPathCursor cursor(view_);
    for (uint32_t i = 0; i < view_.header->fileCount; ++i) {
      const WideChar* path;
      uint32_t length;
      const uint32_t index = cursor.Next(&path, &length);
      if (!files_->Create(std::u16string(path, length), view_.files[index].size)) {
        writeProblem_ = files_->error;
        writeStop_ = 0;
        return;
      }
    }
  }

  void Take(const DecodedPiece& piece) {
    if (!head_.empty()) {
      Keep(piece, entryStart_, &head_);
      Keep(piece, entryStart_ + entrySize_ - tail_.size(), &tail_);
    }
    if (files_ && piece.block < writeStop_.load(std::memory_order_relaxed)) Write(piece);
    decoded_ += piece.count;
    if (!*progress_) return;
    // The count as it stands once the lock is held, not this piece's: so
    // the progress shown never goes back.
    Exclusive held(lock_);
    (*progress_)(decoded_.load(), view_.header->totalSize);
  }

  bool WriteFailed() const { return !writeProblem_.empty(); }
  const std::string& WriteProblem() const { return writeProblem_; }

  // Read from the entry's kept bytes, handed over in order.
  SetupSignature EntrySignature() {
    SetupSignatureReader reader(entrySize_);
    reader.Take(0, head_.data(), head_.size());
    reader.Take(entrySize_ - tail_.size(), tail_.data(), tail_.size());
    return reader.Finish();
  }

 private:
  // Copies what of `piece` falls into the bytes from `start` on that
  // `buffer` keeps. Threads copy different bytes.
  static void Keep(const DecodedPiece& piece, uint64_t start, std::vector<uint8_t>* buffer) {
    const uint64_t from = std::max(piece.at, start);
    const uint64_t to = std::min(piece.at + piece.count, start + buffer->size());
    if (from < to)
      std::copy(piece.data + (from - piece.at), piece.data + (to - piece.at),
                buffer->data() + (from - start));
  }

  // The file that holds byte `at` of the concatenation: the last one that
  // starts at or before it (an empty file starts where the next one does).
  uint32_t FileAt(uint64_t at) const {
    return (uint32_t)(std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin() - 1);
  }

  void Write(const DecodedPiece& piece) {
    uint64_t at = piece.at;
    const uint8_t* data = piece.data;
    uint32_t left = piece.count;
    // A refused block may hand on fewer bytes, never more than the files
    // hold: the table's checks saw to that.
    for (uint32_t file = FileAt(at); left > 0 && file < starts_.size(); ++file) {
      const uint64_t offset = at - starts_[file];
      const uint64_t size = view_.files[file].size;  // packed: copied
      if (offset >= size) continue;
      const uint32_t count = (uint32_t)std::min<uint64_t>(left, size - offset);
      std::string problem;
      if (!files_->WriteAt(file, offset, data, count, &problem))
        return RecordWriteFailure(piece, problem);
      at += count;
      data += count;
      left -= count;
    }
  }

  // The lowest block whose writing failed is the one named, as writing in
  // order would find it; the blocks above it write no more.
  void RecordWriteFailure(const DecodedPiece& piece, const std::string& problem) {
    Exclusive held(lock_);
    if (piece.block >= writeStop_) return;
    writeStop_ = piece.block;
    writeProblem_ = problem;
  }

  const FileSetView& view_;
  SetSink* files_;  // may be null
  const std::function<void(uint64_t, uint64_t)>* progress_;
  std::vector<uint64_t> starts_;  // each file's offset in the concatenation
  uint64_t entryStart_ = 0;
  uint64_t entrySize_ = 0;
  std::vector<uint8_t> head_, tail_;  // empty unless the entry is a program
  std::atomic<uint64_t> decoded_{0};
  std::atomic<uint32_t> writeStop_{UINT32_MAX};
  std::string writeProblem_;  // under the lock while blocks are decoded
  SharedLock lock_;
};

std::string BlockDetail(const FileSetView& view, const BlocksVerdict& verdict) {
  if (verdict.outcome != LzmaOutcome::Refused) return "";
  const FileSetBlock& block = view.blocks[verdict.block];
  return "block " + std::to_string(verdict.block) + " at " + std::to_string(block.packedOffset) +
         ", " + std::to_string(block.packedSize) + " bytes, does not decode to its " +
         std::to_string(block.unpackedSize) + " bytes with CRC-32 " + Hex32(block.crc32);
}

// Every block, as the launcher decodes them into the files, on the
// threads asked for; the verdict is the one decoding in order reaches.
bool CheckBlocks(VerifyRun& run, const SetTable& table, SetSink* files) {
  const FileSetView& view = table.view;
  SetPieces pieces(view, files, run.set.entryIsProgram, &run.progress);
  if (files) pieces.CreateFiles();
  BlocksVerdict verdict = {LzmaOutcome::Accepted, UINT32_MAX};
  const StepResult result = RunStep([&] {
    verdict = DecodeBlocksOnThreads(run.file, view, table.properties, run.threads,
                                    [&pieces](const DecodedPiece& piece) { pieces.Take(piece); });
    if (verdict.outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (verdict.outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
  });
  if (!result.ok) return Failed(run, "blocks", result, BlockDetail(view, verdict));
  if (pieces.WriteFailed()) {
    run.Close();
    run.report.failure = pieces.WriteProblem();
    return false;
  }
  if (run.set.entryIsProgram) run.report.setupSignature = pieces.EntrySignature();
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
