// SPDX-License-Identifier: 0BSD
// Building launcher files that carry a file set: the set's plan, the
// stream of its files cut into blocks, and the layout around them.
#include "packer/FileSetWriter.h"

#include <algorithm>
#include <cstring>

#include "core/CRC32.h"
#include "extract/FileSetNames.h"
#include "extract/FileSetTable.h"
#include "packer/BlockPipeline.h"
#include "packer/FileSetText.h"

namespace packer {
namespace {

// The launcher reads its CRC region, the header and the refusal text
// through signed 32-bit offsets.
const uint64_t kOffsetLimit = 0x7FFFFFFF;

bool SameSetPath(const std::u16string& a, const std::u16string& b) {
  return CompareSetPaths(a.data(), (uint32_t)a.size(), b.data(), (uint32_t)b.size()) == 0;
}

std::string PairProblem(NameProblem problem, const SetFile& previous, const SetFile& next) {
  switch (problem) {
    case NameProblem::Duplicate:
      return previous.name + " and " + next.name +
             " differ only in case; on Windows they are one file";
    case NameProblem::FileIsFolder:
      return next.name + " needs a folder where " + previous.name +
             " is a file (case ignored, as Windows does)";
    case NameProblem::FolderSpelling:
      return previous.name + " and " + next.name +
             " spell one folder in two ways; on Windows it is one folder";
    default:
      return next.name + ": " + DescribeNameProblem(problem);
  }
}

std::string CheckPaths(const std::vector<SetFile>& files) {
  for (size_t i = 0; i < files.size(); ++i) {
    const std::u16string& path = files[i].path;
    if (path.size() > UINT32_MAX)
      return files[i].name + ": " + DescribeNameProblem(NameProblem::TooLong);
    NameProblem problem = CheckSetPath(path.data(), (uint32_t)path.size());
    if (problem != NameProblem::None) return files[i].name + ": " + DescribeNameProblem(problem);
    if (i == 0) continue;
    const std::u16string& previous = files[i - 1].path;
    problem = CheckSetPathOrder(previous.data(), (uint32_t)previous.size(), path.data(),
                                (uint32_t)path.size());
    if (problem != NameProblem::None) return PairProblem(problem, files[i - 1], files[i]);
  }
  return "";
}

struct SetCounts {
  uint64_t totalSize = 0;
  uint64_t blockCount = 0;
  uint64_t nameUnits = 0;
  uint64_t tableSize = 0;
};

SetCounts CountSet(const FileSet& set) {
  SetCounts counts;
  for (const SetFile& file : set.files) {
    counts.totalSize += file.size;
    counts.nameUnits += file.path.size();
  }
  counts.blockCount = (counts.totalSize + set.blockSize - 1) / set.blockSize;
  counts.tableSize = sizeof(FileSetTableHeader) + set.files.size() * sizeof(FileSetEntry) +
                     counts.blockCount * sizeof(FileSetBlock) + counts.nameUnits * 2;
  return counts;
}

std::string CheckLimits(const FileSet& set) {
  if (set.files.empty()) return "the set holds no files";
  if (set.files.size() > kMaxSetFiles)
    return "the set holds " + std::to_string(set.files.size()) + " files; at most " +
           std::to_string(kMaxSetFiles) + " fit";
  if (set.blockSize < kMinSetBlockSize || set.blockSize > kMaxSetBlockSize)
    return "the block size " + std::to_string(set.blockSize) +
           " is out of range (4 KiB to 1 GiB)";
  // Counted without overflow: the blocks bound the total long before 2^64.
  const uint64_t most = (uint64_t)kMaxSetBlocks * set.blockSize;
  uint64_t total = 0;
  for (const SetFile& file : set.files) {
    total += std::min(file.size, most + 1);
    if (total > most)
      return "the set holds more than " + std::to_string(most) + " bytes, " +
             std::to_string(kMaxSetBlocks) + " blocks of " + std::to_string(set.blockSize) +
             " bytes: give a larger block size";
  }
  const SetCounts counts = CountSet(set);
  if (counts.tableSize > kMaxSetTableBytes)
    return "the set table would be " + std::to_string(counts.tableSize) +
           " bytes; at most 4 MiB fit (fewer files, shorter paths or a larger block size)";
  return "";
}

std::string CheckEntry(const FileSet& set) {
  const std::string entryName = Utf16ToUtf8(set.entry);
  const auto found = std::find_if(set.files.begin(), set.files.end(), [&](const SetFile& file) {
    return SameSetPath(file.path, set.entry);
  });
  if (found == set.files.end()) return "the entry " + entryName + " is not a file of the set";
  if (EntryKindOf(found->path.data(), (uint32_t)found->path.size()) == EntryKind::None)
    return "the entry " + found->name + " is neither an .exe nor an .msi";
  if (found->size == 0) return "the entry " + found->name + " is empty";
  const bool program =
      EntryKindOf(found->path.data(), (uint32_t)found->path.size()) == EntryKind::Program;
  if (program && found->size > kMaxProgramSize)
    return "the entry " + found->name + " is " + std::to_string(found->size) +
           " bytes; Windows starts no .exe of 4 GiB or more";
  if (set.entryTakesLauncherName && (set.files.size() != 1 || !program))
    return "internal error: only a set of one .exe may take the launcher's name";
  return "";
}

// The set's files, concatenated in table order, a piece at a time. Each
// file is opened when it is reached and read to its verified end before
// the next one is opened.
class SetStream {
 public:
  explicit SetStream(const std::vector<SetFile>& files) : files_(files) {}

  // Up to `want` further bytes; none once every file has been read to its
  // end. False with `error` set.
  bool Next(size_t want, const uint8_t** data, size_t* size) {
    *size = 0;
    while (pieceLeft_ == 0) {
      if (!source_) {
        if (index_ == files_.size()) return true;
        if (!Open()) return false;
        continue;
      }
      size_t piece = 0;
      if (!source_->Next(&piece_, &piece)) return Fail(source_->error);
      if (piece == 0 && left_ != 0) return Fail(Changed(" (it is shorter)"));
      if (piece > left_) return Fail(Changed(" (it is longer)"));
      if (piece == 0) {  // its end, confirmed by the source
        source_.reset();
        ++index_;
      }
      pieceLeft_ = piece;
      left_ -= piece;
    }
    *size = std::min(want, pieceLeft_);
    *data = piece_;
    piece_ += *size;
    pieceLeft_ -= *size;
    return true;
  }

  std::string error;

 private:
  bool Open() {
    const SetFile& file = files_[index_];
    std::string problem;
    source_ = file.open(&problem);
    if (!source_) return Fail(problem);
    if (source_->Size() != file.size) return Fail(Changed(" (its size is not what it was)"));
    left_ = file.size;
    return true;
  }

  std::string Changed(const std::string& how) const {
    return files_[index_].name + " changed since the folder was read" + how;
  }

  bool Fail(const std::string& message) {
    error = message;
    return false;
  }

  const std::vector<SetFile>& files_;
  size_t index_ = 0;
  std::unique_ptr<ByteSource> source_;
  uint64_t left_ = 0;  // of the open file, not yet taken from its source
  const uint8_t* piece_ = nullptr;
  size_t pieceLeft_ = 0;
};

// The next `size` bytes of the stream, in memory, with their CRC-32.
bool ReadBlock(SetStream& stream, uint64_t size, Bytes* block, uint32_t* crc,
               const std::function<void(size_t)>& read, std::string* error) {
  block->clear();
  block->reserve((size_t)size);
  *crc = 0;
  while (block->size() < size) {
    const uint8_t* data;
    size_t piece;
    if (!stream.Next((size_t)std::min<uint64_t>(kSourcePiece, size - block->size()), &data,
                     &piece)) {
      *error = stream.error;
      return false;
    }
    if (piece == 0) {
      *error = "the set's files ended before their sizes said";
      return false;
    }
    *crc = UpdateCrc32(*crc, data, piece);
    block->insert(block->end(), data, data + piece);
    read(piece);
  }
  return true;
}

// Writes the launcher file in order: image and blank header, the reserved
// table, text and extras inside the CRC region, the blocks, the tail; then
// the table, the header, the locator and the checksum.
class FileSetLauncherWriter {
 public:
  FileSetLauncherWriter(FileSet& set, const PackageOptions& options, ByteSink& out)
      : set_(set), options_(options), out_(out), counts_(CountSet(set)) {}

  std::string WriteFront(const Bytes& stub) {
    std::string error = AppendLauncherImage(stub, options_.branding, out_, &image_);
    if (!error.empty()) return error;
    packageOffset_ = image_.size();
    tableOffset_ = packageOffset_ + sizeof(PackageHeader);
    textOffset_ = tableOffset_ + counts_.tableSize;
    const Bytes text = TextBytes(options_.unsupportedText);
    crcEnd_ = textOffset_ + text.size() + options_.extraInsideCrc.size();
    if (crcEnd_ - packageOffset_ > kOffsetLimit)
      return "the package's CRC region (header, set table, text and the extra bytes inside "
             "it) would be " + std::to_string(crcEnd_ - packageOffset_) +
             " bytes; it must stay below 2 GiB";
    const PackageHeader blank = {};
    const Bytes table(counts_.tableSize, 0);
    if (!out_.Append((const uint8_t*)&blank, sizeof blank) ||
        !out_.Append(table.data(), table.size()) || !out_.Append(text.data(), text.size()) ||
        !out_.Append(options_.extraInsideCrc.data(), options_.extraInsideCrc.size()))
      return out_.error;
    return "";
  }

  // One reader (this thread) cuts the files' bytes into blocks in order;
  // the pipeline's threads compress them; each is written as soon as every
  // block before it is.
  std::string WriteBlocks() {
    std::string error = ChooseLzmaSettings();
    if (!error.empty()) return error;
    const uint64_t threads = std::max<uint64_t>(
        1, std::min<uint64_t>(options_.threads, counts_.blockCount));
    BlockPipeline pipeline((uint32_t)threads, [this](const Bytes& input, PackedBlock* packed,
                                                     const std::atomic<bool>& stopping) {
      return CompressBlock(input, packed, stopping);
    });
    if (!pipeline.StartError().empty()) return pipeline.StartError();
    SetStream stream(set_.files);
    uint64_t read = 0;
    const auto progress = [&](size_t piece) {
      read += piece;
      if (options_.progress) options_.progress(read, counts_.totalSize);
    };
    at_ = crcEnd_;
    for (uint64_t index = 0; index < counts_.blockCount; ++index) {
      if (pipeline.Full() && !(error = WriteOldest(pipeline)).empty()) return error;
      const uint64_t start = index * set_.blockSize;
      Bytes block;
      uint32_t crc;
      if (!ReadBlock(stream, std::min<uint64_t>(set_.blockSize, counts_.totalSize - start),
                     &block, &crc, progress, &error))
        return error;
      blocks_.push_back({0, 0, block.size(), crc});
      pipeline.Submit(std::move(block));
    }
    // Past the last block: trailing empty files, and every file's end.
    const uint8_t* data;
    size_t size;
    if (!stream.Next(1, &data, &size)) return stream.error;
    if (size != 0) return "the set's files hold more bytes than their sizes said";
    while (!pipeline.Empty())
      if (!(error = WriteOldest(pipeline)).empty()) return error;
    blocksEnd_ = at_;
    return "";
  }

  std::string WriteTail() {
    packageEnd_ = blocksEnd_ + options_.extraAfterCrc.size();
    fileSize_ = PaddedFileSize(packageEnd_);
    // Detached mode keeps the size in 32 bits, and 0 there means attached.
    if (options_.detached && (uint32_t)fileSize_ == 0)
      return "the launcher file would be " + std::to_string(fileSize_) +
             " bytes, a multiple of 4 GiB, which detached mode cannot record; add 8 bytes "
             "with --extra-after-crc";
    const uint8_t padding[8] = {};
    if (!out_.Append(options_.extraAfterCrc.data(), options_.extraAfterCrc.size()) ||
        !out_.Append(padding, (size_t)(fileSize_ - packageEnd_)))
      return out_.error;
    return "";
  }

  std::string WriteTableAndHeader() {
    const Bytes table = Table();
    FileSetView view;
    const SetTableCheck check = CheckSetTable(table.data(), (uint32_t)table.size(),
                                              tableOffset_, fileSize_, &view);
    if (check.rule != SetTableRule::None)
      return "internal error: the set table breaks its own rules (" +
             DescribeSetTableCheck(check) + ")";
    PackageHeader header = {};
    std::memcpy(header.lzmaProperties, properties_, 5);
    SetSharedHeaderFields(options_, &header);
    header.packageForm = kFileSetForm;
    // A launcher that knows only one program refuses this as damaged.
    header.payloadSize = -1;
    header.setTableOffset = tableOffset_;
    header.setTableSize = table.size();
    header.unsupportedText.textOffset = (uint32_t)textOffset_;
    header.unsupportedText.textLength = (uint16_t)options_.unsupportedText.size();
    if (!out_.WriteAt(tableOffset_, table.data(), table.size()) ||
        !out_.WriteAt(packageOffset_, (const uint8_t*)&header, sizeof header))
      return out_.error;
    return "";
  }

  std::string WriteLocatorAndChecksum() {
    return packer::WriteLocatorAndChecksum(
        image_, {packageOffset_, crcEnd_, fileSize_, options_.detached}, out_);
  }

 private:
  // One set of LZMA properties for every block, stored once in the header.
  std::string ChooseLzmaSettings() {
    settings_ = options_.lzma;
    std::string error;
    const uint64_t longest = std::min(set_.blockSize, counts_.totalSize);
    if (!EffectiveDictionary(settings_, longest, &settings_.dictionarySize, &error))
      return error;
    properties_[0] = (uint8_t)((settings_.pb * 5 + settings_.lp) * 9 + settings_.lc);
    for (int i = 0; i < 4; ++i)
      properties_[1 + i] = (uint8_t)(settings_.dictionarySize >> (8 * i));
    return "";
  }

  // On a pipeline thread: everything it reads was fixed before it started.
  // A build that failed elsewhere need not wait for the block to finish.
  std::string CompressBlock(const Bytes& input, PackedBlock* packed,
                            const std::atomic<bool>& stopping) const {
    std::string error, sinkError;
    const auto consume = [&](const uint8_t* data, size_t size) {
      if (stopping) {
        sinkError = "stopped";
        return false;
      }
      packed->size += size;
      if (packed->size > kMaxSetPackedBlock) {
        sinkError = "a block compressed to 2 GiB or more; give a smaller block size";
        return false;
      }
      packed->pieces.emplace_back(data, data + size);
      return true;
    };
    MemorySource source(input);
    uint8_t properties[5];
    if (!CompressPayload(source, settings_, consume, properties, &error))
      return sinkError.empty() ? error : sinkError;
    if (std::memcmp(properties, properties_, 5) != 0)
      return "internal error: the blocks' LZMA properties differ";
    return "";
  }

  // The oldest block in flight, written behind the ones before it.
  std::string WriteOldest(BlockPipeline& pipeline) {
    PackedBlock packed;
    std::string error = pipeline.TakeOldest(&packed);
    if (!error.empty()) return error;
    const uint64_t fileSize =
        PaddedFileSize(at_ + packed.size + options_.extraAfterCrc.size());
    if (fileSize > MaxLauncherFileSize(options_))
      return TooLargeMessage(options_);
    for (const Bytes& piece : packed.pieces)
      if (!out_.Append(piece.data(), piece.size())) return out_.error;
    FileSetBlock& block = blocks_[written_++];
    block.packedOffset = at_;
    block.packedSize = packed.size;
    at_ += packed.size;
    return "";
  }

  Bytes Table() const {
    FileSetTableHeader header = {};
    header.version = kFileSetVersion;
    header.flags = set_.entryTakesLauncherName ? kSetEntryTakesLauncherName : 0;
    header.fileCount = (uint32_t)set_.files.size();
    header.blockCount = (uint32_t)counts_.blockCount;
    header.entryIndex = (uint32_t)(&EntryOf(set_) - set_.files.data());
    header.blockSize = set_.blockSize;
    header.totalSize = counts_.totalSize;
    header.packageEnd = packageEnd_;
    header.nameUnits = (uint32_t)counts_.nameUnits;
    Bytes table;
    table.reserve(counts_.tableSize);
    const auto append = [&table](const void* data, size_t size) {
      table.insert(table.end(), (const uint8_t*)data, (const uint8_t*)data + size);
    };
    append(&header, sizeof header);
    for (const SetFile& file : set_.files) {
      const FileSetEntry entry = {file.size, (uint32_t)file.path.size()};
      append(&entry, sizeof entry);
    }
    append(blocks_.data(), blocks_.size() * sizeof(FileSetBlock));
    for (const SetFile& file : set_.files) {
      const Bytes name = TextBytes(file.path);
      append(name.data(), name.size());
    }
    return table;
  }

  FileSet& set_;
  const PackageOptions& options_;
  ByteSink& out_;
  const SetCounts counts_;
  Bytes image_;
  LzmaSettings settings_;
  uint8_t properties_[5] = {};
  std::vector<FileSetBlock> blocks_;
  uint64_t packageOffset_ = 0, tableOffset_ = 0, textOffset_ = 0, crcEnd_ = 0;
  uint64_t blocksEnd_ = 0, packageEnd_ = 0, fileSize_ = 0;
  uint64_t at_ = 0;       // where the next block goes
  size_t written_ = 0;    // blocks written so far
};

}  // namespace

std::string PlanFileSet(FileSet* set) {
  std::vector<SetFile>& files = set->files;
  // Stable: two paths one on Windows are named in the order they came.
  std::stable_sort(files.begin(), files.end(), [](const SetFile& a, const SetFile& b) {
    return CompareSetPaths(a.path.data(), (uint32_t)a.path.size(), b.path.data(),
                           (uint32_t)b.path.size()) < 0;
  });
  std::string problem = CheckLimits(*set);
  if (problem.empty()) problem = CheckPaths(files);
  if (problem.empty()) problem = CheckEntry(*set);
  return problem;
}

const SetFile& EntryOf(const FileSet& set) {
  return *std::find_if(set.files.begin(), set.files.end(),
                       [&](const SetFile& file) { return SameSetPath(file.path, set.entry); });
}

FileSet ProgramInBlocks(SetFile program, uint64_t blockSize) {
  FileSet set;
  set.entry = program.path;
  set.blockSize = blockSize;
  set.entryTakesLauncherName = true;
  set.files.push_back(std::move(program));
  return set;
}

SetFile& EntryOf(FileSet& set) { return const_cast<SetFile&>(EntryOf((const FileSet&)set)); }

std::string BuildFileSetLauncher(const Bytes& stub, FileSet& set, const PackageOptions& options,
                                 ByteSink& out) {
  std::string problem = CheckStub(stub);
  if (problem.empty()) problem = CheckPackageOptions(options);
  if (problem.empty() && options.precompressed)
    problem = "a precompressed block carries one program, not a file set";
  if (problem.empty()) problem = PlanFileSet(&set);
  if (!problem.empty()) return problem;
  FileSetLauncherWriter writer(set, options, out);
  problem = writer.WriteFront(stub);
  if (problem.empty()) problem = writer.WriteBlocks();
  if (problem.empty()) problem = writer.WriteTail();
  if (problem.empty()) problem = writer.WriteTableAndHeader();
  if (problem.empty()) problem = writer.WriteLocatorAndChecksum();
  return problem;
}

}  // namespace packer
