// SPDX-License-Identifier: 0BSD
// The threads of BlockPipeline and the window of blocks they share.
#include "packer/BlockPipeline.h"

namespace packer {

BlockPipeline::BlockPipeline(uint32_t threads, Compress compress)
    : threads_(threads ? threads : 1), compress_(std::move(compress)) {
  for (uint32_t i = 0; i < threads_; ++i) {
    workers_.push_back(std::make_unique<WorkerThread>());
    if (!workers_.back()->Start([this] { Work(); })) {
      workers_.pop_back();
      startError_ = "could not start " + std::to_string(threads_) +
                    " compressing threads (--threads)";
      break;
    }
  }
}

BlockPipeline::~BlockPipeline() {
  {
    Inside inside(monitor_);
    stopping_ = true;
    monitor_.WakeAll();
  }
  for (auto& worker : workers_) worker->Join();
}

void BlockPipeline::Submit(Bytes input) {
  window_.push_back(std::make_unique<Job>());
  Job* job = window_.back().get();
  job->input = std::move(input);
  Inside inside(monitor_);
  waiting_.push_back(job);
  monitor_.WakeAll();
}

std::string BlockPipeline::TakeOldest(PackedBlock* packed) {
  Job* job = window_.front().get();
  {
    Inside inside(monitor_);
    while (!job->done) monitor_.Wait();
  }
  std::string error = std::move(job->error);
  *packed = std::move(job->packed);
  window_.pop_front();
  return error;
}

void BlockPipeline::Work() {
  for (;;) {
    Job* job;
    {
      Inside inside(monitor_);
      while (waiting_.empty() && !stopping_) monitor_.Wait();
      if (stopping_) return;
      job = waiting_.front();
      waiting_.pop_front();
    }
    PackedBlock packed;
    std::string error = compress_(job->input, &packed, stopping_);
    Bytes().swap(job->input);  // the block's bytes are no longer needed
    Inside inside(monitor_);
    job->packed = std::move(packed);
    job->error = std::move(error);
    job->done = true;
    monitor_.WakeAll();
  }
}

}  // namespace packer
