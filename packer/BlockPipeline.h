// SPDX-License-Identifier: 0BSD
// Compresses a file set's blocks on several threads and gives them back in
// the order they came. Blocks are independent LZMA streams, so which thread
// compresses which block never shows in the bytes. The caller reads the
// blocks, one at a time, and keeps at most threads + 1 of them in flight
// (Full()), which bounds memory: at most that many blocks, each with its
// compressed bytes, and one encoder per thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packer/Threads.h"

namespace packer {

using Bytes = std::vector<uint8_t>;

// A compressed block, in the pieces the encoder gave: no piece is copied
// again when the block grows.
struct PackedBlock {
  std::vector<Bytes> pieces;
  uint64_t size = 0;
};

class BlockPipeline {
 public:
  // Turns one block's bytes into its compressed form: "" or one line. Runs
  // on the pipeline's threads, several at once; may give up early once
  // `stopping` is set (the result is then dropped).
  using Compress = std::function<std::string(const Bytes& input, PackedBlock* packed,
                                             const std::atomic<bool>& stopping)>;

  BlockPipeline(uint32_t threads, Compress compress);
  ~BlockPipeline();  // stops the threads; blocks not taken are dropped
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // "" once the threads run, or why they do not.
  const std::string& StartError() const { return startError_; }
  bool Full() const { return window_.size() > threads_; }
  bool Empty() const { return window_.empty(); }
  // Queues the next block; its bytes are released once compressed.
  void Submit(Bytes input);
  // Waits for the oldest block queued: "" with its compressed form, or the
  // one line that stopped it.
  std::string TakeOldest(PackedBlock* packed);

 private:
  struct Job {
    Bytes input;
    PackedBlock packed;
    std::string error;
    bool done = false;
  };
  void Work();

  const uint32_t threads_;
  const Compress compress_;
  Monitor monitor_;
  std::deque<std::unique_ptr<Job>> window_;  // queued, in order; owned here
  std::deque<Job*> waiting_;                 // not yet taken by a thread
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<WorkerThread>> workers_;
  std::string startError_;
};

}  // namespace packer
