// SPDX-License-Identifier: 0BSD
// Host decode throughput of a file set on every core: the launcher's own
// DecodeSetBlocks (its threads, its block decoder, its positional writes)
// on 1, 2, ... threads, the thread counts alternated per round (order
// reversed every other round) so that other jobs' noise falls on all alike.
//
// Usage: set_decode_bench LAUNCHER_FILE ROUNDS THREADS[,THREADS...] [EXPECTED_FILE]
// Before timing, every thread count decodes the set once into memory; the
// bytes must be the same for all, and equal EXPECTED_FILE (the set's files
// concatenated in table order) when it is given. Timed rounds only count
// the bytes written: the launcher's writes go to the system's cache.
// Prints "key value" lines and, per round and thread count,
//   round R threads T used U wall_ms W cpu_ms C
// (U: the threads the launcher would use for T processors; C: CPU time of
// the whole process).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench/HostBench.h"
#include "bench/MemoryPlatform.h"
#include "core/StubTypes.h"
#include "extract/Decompress.h"
#include "extract/FileSetTable.h"
#include "extract/SetDecoding.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "set_decode_bench: %s\n", what);
  exit(1);
}

// A checked set, read in place from the launcher file held in memory.
struct LoadedSet {
  MemoryFile file;
  std::vector<uint16_t> table;  // 2-byte aligned: the paths are UTF-16
  FileSetView view;
  LzmaProperties properties;
  std::vector<uint64_t> fileStarts;
};

// The launcher's own checks of the header's table place and of the table.
void LoadSet(const std::vector<uint8_t>& image, LoadedSet* set) {
  set->file = {image.data(), image.size(), 0};
  PackageLocator locator;
  PackageHeader header;
  if (image.size() < kPackageLocatorEnd) Fail("file too short");
  memcpy(&locator, image.data() + kPackageLocatorOffset, sizeof(locator));
  if ((uint64_t)locator.packageOffset + sizeof(header) > image.size())
    Fail("no package header");
  memcpy(&header, image.data() + locator.packageOffset, sizeof(header));
  if (header.packageForm != kFileSetForm) Fail("the package is not a file set");
  if (!SetTablePlaceIsSound(header, locator)) Fail("the set table lies outside the CRC region");
  const uint32_t size = (uint32_t)header.setTableSize;
  if (header.setTableOffset + size > image.size()) Fail("the set table runs past the file");
  set->table.resize(size / 2 + 1);
  memcpy(set->table.data(), image.data() + header.setTableOffset, size);
  const SetTableCheck check = CheckSetTable((const uint8_t*)set->table.data(), size,
                                            header.setTableOffset, image.size(), &set->view);
  if (check.rule != SetTableRule::None) Fail("the launcher's checks refuse the set table");
  if (!AcceptLzmaProperties(header.lzmaProperties, &set->properties))
    Fail("the launcher refuses the LZMA properties");
  uint64_t start = 0;
  for (uint32_t i = 0; i < set->view.header->fileCount; ++i) {
    set->fileStarts.push_back(start);
    start += set->view.files[i].size;
  }
}

// Piece buffers as the launcher makes them: no larger than the largest
// block needs.
std::vector<DecodePieces> MakePieces(const FileSetView& view, uint32_t threads) {
  uint64_t packed = 1, unpacked = 1;
  for (uint32_t i = 0; i < view.header->blockCount; ++i) {
    if (view.blocks[i].packedSize > packed) packed = view.blocks[i].packedSize;
    if (view.blocks[i].unpackedSize > unpacked) unpacked = view.blocks[i].unpackedSize;
  }
  std::vector<DecodePieces> pieces(threads);
  for (DecodePieces& p : pieces) {
    p = {new TStream(), new TStream()};
    p.input->SetSize(packed < (uint64_t)kBlockPieceSize ? (int32_t)packed : kBlockPieceSize);
    p.output->SetSize(unpacked < (uint64_t)kOutputPieceSize ? (int32_t)unpacked
                                                            : kOutputPieceSize);
  }
  return pieces;
}

// One output per file: into `kept` at the file's place when given, else
// only counted.
std::vector<MemoryOutput> MakeOutputs(const LoadedSet& set, uint8_t* kept) {
  std::vector<MemoryOutput> outputs;
  for (uint32_t i = 0; i < set.view.header->fileCount; ++i)
    outputs.push_back({kept ? kept + set.fileStarts[i] : nullptr, set.view.files[i].size, 0});
  return outputs;
}

// The launcher's decode of every block on `threads` threads; the seconds
// of wall and process CPU time it took.
void DecodeOnce(LoadedSet* set, uint32_t threads, std::vector<DecodePieces>& pieces,
                uint8_t* kept, double* wall, double* cpu) {
  std::vector<MemoryOutput> outputs = MakeOutputs(*set, kept);
  std::vector<PlatformHandle> handles;
  for (MemoryOutput& o : outputs) handles.push_back(MemoryOutputHandle(&o));
  const SetDecodeJob job = {MemoryFileHandle(&set->file), &set->view, set->properties,
                            handles.data(), set->fileStarts.data(), true, pieces.data(),
                            threads};
  const double cpuStart = ProcessCpu();
  const double start = Now();
  const SetDecodeResult result = DecodeSetBlocks(job);
  *wall = Now() - start;
  *cpu = ProcessCpu() - cpuStart;
  if (result.outcome != LzmaOutcome::Accepted) Fail("the launcher refused a block");
  if (result.writeFailed) Fail("a write fell outside its file");
  uint64_t written = 0;
  for (const MemoryOutput& o : outputs) written += o.written;
  if (written != set->view.header->totalSize) Fail("the blocks did not write every byte once");
}

std::vector<uint32_t> ParseThreads(const char* list) {
  std::vector<uint32_t> threads;
  for (const char* at = list; *at;) {
    char* end = nullptr;
    const long n = strtol(at, &end, 10);
    if (end == at || n < 1 || n > (long)kMaxDecodeThreads) Fail("bad thread count");
    threads.push_back((uint32_t)n);
    at = *end == ',' ? end + 1 : end;
    if (*end && *end != ',') Fail("bad thread list");
  }
  if (threads.empty()) Fail("no thread count");
  return threads;
}

// Every thread count must give the same bytes, and EXPECTED_FILE's.
void CheckOutputs(LoadedSet* set, const std::vector<uint32_t>& used,
                  std::vector<DecodePieces>& pieces, const char* expectedPath) {
  const uint64_t total = set->view.header->totalSize;
  std::vector<uint8_t> reference;
  if (expectedPath) {
    reference = ReadWholeFile(expectedPath);
    if (reference.size() != total) Fail("the expected file's size is not the set's");
  }
  std::vector<uint8_t> kept(total);
  for (uint32_t threads : used) {
    memset(kept.data(), 0xA5, kept.size());
    double wall, cpu;
    DecodeOnce(set, threads, pieces, kept.data(), &wall, &cpu);
    if (reference.empty()) reference = kept;
    if (kept != reference) Fail("decoded bytes differ from the expected ones");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    fprintf(stderr, "usage: set_decode_bench LAUNCHER_FILE ROUNDS THREADS[,THREADS...] "
                    "[EXPECTED_FILE]\n");
    return 1;
  }
  const int rounds = atoi(argv[2]) < 1 ? 1 : atoi(argv[2]);
  const std::vector<uint32_t> requested = ParseThreads(argv[3]);
  const std::vector<uint8_t> image = ReadWholeFile(argv[1]);
  LoadedSet set;
  LoadSet(image, &set);
  const FileSetTableHeader& table = *set.view.header;
  const uint64_t dictionary = SetDictionaryBytes(set.view, set.properties);

  // What the launcher would run for that many processors (no memory limit).
  std::vector<uint32_t> used;
  uint32_t most = 1;
  for (uint32_t t : requested) {
    used.push_back(ChooseDecodeThreads(t, table.blockCount, dictionary, 0));
    if (used.back() > most) most = used.back();
  }
  std::vector<DecodePieces> pieces = MakePieces(set.view, most);
  CheckOutputs(&set, used, pieces, argc > 4 ? argv[4] : nullptr);

  printf("decoded_bytes %llu\n", (unsigned long long)table.totalSize);
  printf("files %u\n", table.fileCount);
  printf("blocks %u\n", table.blockCount);
  printf("block_size %llu\n", (unsigned long long)table.blockSize);
  printf("dictionary %llu\n", (unsigned long long)dictionary);
  printf("rounds %d\n", rounds);
  fflush(stdout);
  const size_t n = requested.size();
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < n; ++k) {
      const size_t i = r % 2 ? n - 1 - k : k;
      double wall, cpu;
      DecodeOnce(&set, used[i], pieces, nullptr, &wall, &cpu);
      printf("round %d threads %u used %u wall_ms %.1f cpu_ms %.1f\n", r + 1, requested[i],
             used[i], wall * 1e3, cpu * 1e3);
      fflush(stdout);
    }
  }
  for (DecodePieces& p : pieces) {
    delete p.output;
    delete p.input;
  }
  return 0;
}
