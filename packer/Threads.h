// SPDX-License-Identifier: 0BSD
// The few threading pieces the packer needs, on both of its systems: the
// MinGW toolchain's default thread model has no std::thread or std::mutex,
// so Windows gets Win32 threads, slim reader/writer locks and a condition
// variable.
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

// Runs work(0) .. work(count - 1) at once, work(0) on the calling thread,
// and returns when every one has ended. A thread the system refuses is
// left out: work that takes its tasks from a shared counter still gets
// done. `work` must not throw.
void RunOnThreads(uint32_t count, const std::function<void(uint32_t)>& work);

// A lock many may hold shared (readers) or one exclusively.
class SharedLock {
 public:
  SharedLock();
  ~SharedLock();
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

  void Lock();
  void Unlock();
  void LockShared();
  void UnlockShared();

 private:
  alignas(8) unsigned char state_[64];  // SRWLOCK or pthread_rwlock_t
};

// Holds `lock` exclusively for a scope.
class Exclusive {
 public:
  explicit Exclusive(SharedLock& lock) : lock_(lock) { lock_.Lock(); }
  ~Exclusive() { lock_.Unlock(); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  SharedLock& lock_;
};

// Holds `lock` shared for a scope.
class Shared {
 public:
  explicit Shared(SharedLock& lock) : lock_(lock) { lock_.LockShared(); }
  ~Shared() { lock_.UnlockShared(); }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

 private:
  SharedLock& lock_;
};

}  // namespace packer
