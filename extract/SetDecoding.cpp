// SPDX-License-Identifier: 0BSD
// Decoding a file set's blocks, on one thread or several.
#include "extract/SetDecoding.h"

#include "core/Feedback.h"
#include "extract/SetBlockDecoder.h"

namespace {

// What the threads share. The counters change through atomic operations
// only; everything else is read-only while they run.
struct SharedWork {
  const SetDecodeJob* job;
  uint32_t nextBlock;
  uint32_t stop;         // set by the first failure or a cancel: all end
  uint32_t writeFailed;
  uint32_t outcome;      // an LzmaOutcome, Accepted until a block fails
  uint32_t cancelled;
  uint64_t decoded;      // bytes, for the progress window
};

bool Stopped(const SharedWork& work) {
  return __atomic_load_n(&work.stop, __ATOMIC_ACQUIRE) != 0;
}

// Where a block's bytes go: the file they start in and the offset there.
struct BlockWriter {
  SharedWork* work;
  uint32_t file;
  uint64_t offset;
  bool onMainThread;  // it reports its progress itself
};

void Cancel(SharedWork* work) {
  __atomic_store_n(&work->cancelled, 1, __ATOMIC_RELAXED);
  __atomic_store_n(&work->stop, 1, __ATOMIC_RELEASE);
}

// The file that holds offset `at` of the concatenation: the last file that
// starts at or before it (an empty file starts where the next one does).
uint32_t FileAt(const SetDecodeJob& job, uint64_t at) {
  uint32_t low = 0;
  uint32_t high = job.view->header->fileCount - 1;
  while (low < high) {
    const uint32_t middle = low + (high - low + 1) / 2;
    if (job.fileStarts[middle] <= at)
      low = middle;
    else
      high = middle - 1;
  }
  return low;
}

void WriteBlockPiece(void* context, const uint8_t* data, uint32_t count) {
  BlockWriter* writer = (BlockWriter*)context;
  const SetDecodeJob& job = *writer->work->job;
  if (writer->onMainThread) {
    if (!FeedbackProgress(count)) Cancel(writer->work);
  } else {
    __atomic_fetch_add(&writer->work->decoded, count, __ATOMIC_RELAXED);
  }
  const uint32_t files = job.view->header->fileCount;
  while (count > 0 && writer->file < files) {
    const uint64_t size = job.view->files[writer->file].size;
    if (writer->offset == size) {
      ++writer->file;
      writer->offset = 0;
      continue;
    }
    const uint64_t left = size - writer->offset;
    const uint32_t take = left < count ? (uint32_t)left : count;
    uint32_t* failed = &writer->work->writeFailed;
    if (job.writable && !__atomic_load_n(failed, __ATOMIC_RELAXED) &&
        PlatformWriteAt(job.outputs[writer->file], writer->offset, data,
                        take) != take)
      __atomic_store_n(failed, 1, __ATOMIC_RELAXED);
    writer->offset += take;
    data += take;
    count -= take;
  }
}

// Records the first failure and stops everyone. A block cut short because
// another thread had already stopped the work is no failure of its own.
void Fail(SharedWork* work, LzmaOutcome outcome) {
  uint32_t expected = (uint32_t)LzmaOutcome::Accepted;
  __atomic_compare_exchange_n(&work->outcome, &expected, (uint32_t)outcome,
                              false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  __atomic_store_n(&work->stop, 1, __ATOMIC_RELEASE);
}

struct Worker {
  SharedWork* work;
  DecodePieces pieces;
  bool onMainThread;
};

void RunWorker(void* context) {
  Worker* worker = (Worker*)context;
  SharedWork* work = worker->work;
  const SetDecodeJob& job = *work->job;
  const uint32_t blocks = job.view->header->blockCount;
  for (;;) {
    const uint32_t block =
        __atomic_fetch_add(&work->nextBlock, 1, __ATOMIC_RELAXED);
    if (block >= blocks || Stopped(*work)) return;
    const uint64_t start = block * job.view->header->blockSize;
    BlockWriter writer = {work, FileAt(job, start), 0, worker->onMainThread};
    writer.offset = start - job.fileStarts[writer.file];
    const LzmaOutcome outcome = DecodeSetBlock(
        job.file, *job.view, job.properties, block, worker->pieces.input,
        worker->pieces.output, LzmaOutput{WriteBlockPiece, &writer},
        &work->stop);
    if (outcome != LzmaOutcome::Accepted && !Stopped(*work))
      Fail(work, outcome);
    else if (outcome != LzmaOutcome::Accepted)
      return;
  }
}

}  // namespace

uint32_t ChooseDecodeThreads(uint32_t processors, uint32_t blocks,
                             uint64_t dictionary, uint64_t availableMemory) {
  uint32_t threads = processors;
  if (threads > kMaxDecodeThreads) threads = kMaxDecodeThreads;
  if (threads > blocks) threads = blocks;
  if (availableMemory != 0) {
    const uint64_t each = dictionary + kThreadOverheadBytes;
    const uint64_t fit = availableMemory / each;
    if (threads > fit) threads = (uint32_t)fit;
  }
  return threads ? threads : 1;
}

uint64_t SetDictionaryBytes(const FileSetView& view,
                            const LzmaProperties& properties) {
  uint64_t largest = 0;
  for (uint32_t i = 0; i < view.header->blockCount; ++i)
    if (view.blocks[i].unpackedSize > largest)
      largest = view.blocks[i].unpackedSize;
  return properties.dictionarySize < largest ? properties.dictionarySize
                                             : largest;
}

// The main thread while the workers decode: it keeps the progress window
// answering, and a cancel stops them at their next piece.
void AwaitWorkers(SharedWork* work, PlatformHandle* threads, uint32_t count) {
  uint64_t reported = 0;
  while (count > 0) {
    const uint32_t ended = FeedbackWait(threads, count);
    if (ended < count) {
      PlatformJoinThread(threads[ended]);
      threads[ended] = threads[--count];
    }
    const uint64_t decoded = __atomic_load_n(&work->decoded, __ATOMIC_RELAXED);
    if (!FeedbackProgress(decoded - reported)) Cancel(work);
    reported = decoded;
  }
}

SetDecodeResult DecodeSetBlocks(const SetDecodeJob& job) {
  SharedWork work = {&job, 0, 0, 0, (uint32_t)LzmaOutcome::Accepted, 0, 0};
  if (FeedbackCancelled()) Cancel(&work);  // while the files were made
  Worker workers[kMaxDecodeThreads];
  PlatformHandle threads[kMaxDecodeThreads];
  uint32_t started = 0;
  for (uint32_t i = 0; i < job.threads && job.threads > 1; ++i) {
    workers[started] = {&work, job.pieces[i], false};
    threads[started] = PlatformStartThread(RunWorker, &workers[started]);
    if (!threads[started]) break;
    ++started;
  }
  // One processor, or no thread could be made: the calling thread decodes.
  if (started == 0) {
    workers[0] = {&work, job.pieces[0], true};
    RunWorker(&workers[0]);
  }
  AwaitWorkers(&work, threads, started);
  return {(LzmaOutcome)work.outcome, work.writeFailed != 0, work.cancelled != 0};
}
