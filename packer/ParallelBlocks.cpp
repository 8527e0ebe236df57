// SPDX-License-Identifier: 0BSD
// A file set's blocks decoded on several threads: each thread takes the
// next block from a shared counter; the lowest refusal stops what lies
// above it.
#include "packer/ParallelBlocks.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "extract/Decompress.h"
#include "extract/SetBlockDecoder.h"
#include "packer/Threads.h"

namespace packer {
namespace {

struct Worker {
  TStream* input = nullptr;
  TStream* output = nullptr;
  uint32_t block = UINT32_MAX;  // the block it decodes; changed under the lock
  uint32_t stop = 0;            // DecodeSetBlock reads it between pieces
  uint64_t at = 0;              // where its next byte lies in the files
};

struct Run {
  PlatformHandle file;
  const FileSetView* view;
  LzmaProperties properties;
  const std::function<void(const DecodedPiece&)>* take;
  std::vector<Worker> workers;
  std::atomic<uint32_t> next{0};
  SharedLock lock;
  BlocksVerdict verdict = {LzmaOutcome::Accepted, UINT32_MAX};  // under the lock
};

struct PieceContext {
  Run* run;
  Worker* worker;
};

void TakePiece(void* context, const uint8_t* data, uint32_t count) {
  PieceContext* piece = (PieceContext*)context;
  (*piece->run->take)({piece->worker->block, piece->worker->at, data, count});
  piece->worker->at += count;
}

// A block refused: the lowest so far decides, and every block above it
// stops. A block stopped so is above the verdict already and changes
// nothing.
void Refuse(Run& run, uint32_t block, LzmaOutcome outcome) {
  Exclusive held(run.lock);
  if (block >= run.verdict.block) return;
  run.verdict = {outcome, block};
  for (Worker& worker : run.workers)
    if (worker.block != UINT32_MAX && worker.block > block)
      __atomic_store_n(&worker.stop, 1, __ATOMIC_RELEASE);
}

// Starts `block` unless a lower one has been refused.
bool Begin(Run& run, Worker& worker, uint32_t block) {
  Exclusive held(run.lock);
  if (block > run.verdict.block) return false;
  worker.block = block;
  __atomic_store_n(&worker.stop, 0, __ATOMIC_RELAXED);
  return true;
}

void Work(Run& run, Worker& worker) {
  const FileSetTableHeader& header = *run.view->header;
  PieceContext context = {&run, &worker};
  for (;;) {
    const uint32_t block = run.next.fetch_add(1);
    if (block >= header.blockCount || !Begin(run, worker, block)) return;
    worker.at = block * header.blockSize;
    const LzmaOutcome outcome =
        DecodeSetBlock(run.file, *run.view, run.properties, block, worker.input, worker.output,
                       LzmaOutput{TakePiece, &context}, &worker.stop);
    if (outcome != LzmaOutcome::Accepted) Refuse(run, block, outcome);
  }
}

}  // namespace

uint32_t DecodeThreadsFor(uint32_t requested, uint32_t blocks) {
  return std::max<uint32_t>(1, std::min(requested, blocks));
}

BlocksVerdict DecodeBlocksOnThreads(PlatformHandle file, const FileSetView& view,
                                    const LzmaProperties& properties, uint32_t threads,
                                    const std::function<void(const DecodedPiece&)>& take) {
  Run run;
  run.file = file;
  run.view = &view;
  run.properties = properties;
  run.take = &take;
  const uint32_t blocks = view.header->blockCount;
  if (blocks == 0) return run.verdict;
  // Pieces no larger than the largest block needs, as the launcher takes.
  uint64_t packed = 0, unpacked = 0;
  for (uint32_t i = 0; i < blocks; ++i) {
    const FileSetBlock block = view.blocks[i];  // packed: copied, never bound
    packed = std::max(packed, block.packedSize);
    unpacked = std::max(unpacked, block.unpackedSize);
  }
  run.workers.resize(DecodeThreadsFor(threads, blocks));
  for (Worker& worker : run.workers) {
    worker.input = new TStream();
    worker.output = new TStream();
    worker.input->SetSize((int32_t)std::min<uint64_t>(packed, kBlockPieceSize));
    worker.output->SetSize((int32_t)std::min<uint64_t>(unpacked, kOutputPieceSize));
  }
  RunOnThreads((uint32_t)run.workers.size(),
               [&run](uint32_t index) { Work(run, run.workers[index]); });
  for (Worker& worker : run.workers) {
    delete worker.output;
    delete worker.input;
  }
  return run.verdict;
}

}  // namespace packer
