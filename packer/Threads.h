// SPDX-License-Identifier: 0BSD
// The few threading pieces the packer needs, on both of its systems: the
// MinGW toolchain's default thread model has no std::thread, so Windows
// gets Win32 threads, a slim reader/writer lock and a condition variable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace packer {

// A mutex with one condition to wait on.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  void Enter();
  void Leave();
  // Leaves, sleeps until WakeAll (or spuriously), enters again.
  void Wait();
  void WakeAll();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Holds a Monitor for one scope.
class Inside {
 public:
  explicit Inside(Monitor& monitor) : monitor_(monitor) { monitor_.Enter(); }
  ~Inside() { monitor_.Leave(); }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

 private:
  Monitor& monitor_;
};

// One thread running `run`; Join waits for it.
class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();  // joins
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // False when no thread could be made.
  bool Start(std::function<void()> run);
  void Join();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The processors this process may run on (its affinity, where the system
// says), at least 1.
uint32_t ProcessorCount();

}  // namespace packer
