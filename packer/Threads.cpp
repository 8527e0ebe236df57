// SPDX-License-Identifier: 0BSD
// Threads, locks and the processor count, per system.
#include "packer/Threads.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace packer {

#ifdef _WIN32

struct Monitor::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

void Monitor::Enter() { AcquireSRWLockExclusive(&state_->lock); }
void Monitor::Leave() { ReleaseSRWLockExclusive(&state_->lock); }
void Monitor::Wait() { SleepConditionVariableSRW(&state_->condition, &state_->lock, INFINITE, 0); }
void Monitor::WakeAll() { WakeAllConditionVariable(&state_->condition); }

struct WorkerThread::State {
  HANDLE handle = nullptr;
  std::function<void()> run;
};

namespace {
DWORD WINAPI RunWorker(void* context) {
  (*(std::function<void()>*)context)();
  return 0;
}
}  // namespace

bool WorkerThread::Start(std::function<void()> run) {
  state_->run = std::move(run);
  state_->handle = CreateThread(nullptr, 0, RunWorker, &state_->run, 0, nullptr);
  return state_->handle != nullptr;
}

void WorkerThread::Join() {
  if (!state_->handle) return;
  WaitForSingleObject(state_->handle, INFINITE);
  CloseHandle(state_->handle);
  state_->handle = nullptr;
}

uint32_t ProcessorCount() {
  const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return count ? (uint32_t)count : 1;
}

typedef SRWLOCK NativeLock;
SharedLock::SharedLock() { InitializeSRWLock((NativeLock*)state_); }
SharedLock::~SharedLock() {}
void SharedLock::Lock() { AcquireSRWLockExclusive((NativeLock*)state_); }
void SharedLock::Unlock() { ReleaseSRWLockExclusive((NativeLock*)state_); }
void SharedLock::LockShared() { AcquireSRWLockShared((NativeLock*)state_); }
void SharedLock::UnlockShared() { ReleaseSRWLockShared((NativeLock*)state_); }

#else

struct Monitor::State {
  std::mutex mutex;
  std::condition_variable condition;
};

void Monitor::Enter() { state_->mutex.lock(); }
void Monitor::Leave() { state_->mutex.unlock(); }
void Monitor::Wait() {
  std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
  state_->condition.wait(held);
  held.release();  // still held: the caller leaves
}
void Monitor::WakeAll() { state_->condition.notify_all(); }

struct WorkerThread::State {
  std::thread thread;
};

bool WorkerThread::Start(std::function<void()> run) {
  try {
    state_->thread = std::thread(std::move(run));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void WorkerThread::Join() {
  if (state_->thread.joinable()) state_->thread.join();
}

uint32_t ProcessorCount() {
  // taskset and container limits narrow the affinity, not the machine.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return (uint32_t)CPU_COUNT(&set);
  const unsigned count = std::thread::hardware_concurrency();
  return count ? count : 1;
}

typedef pthread_rwlock_t NativeLock;
SharedLock::SharedLock() { pthread_rwlock_init((NativeLock*)state_, nullptr); }
SharedLock::~SharedLock() { pthread_rwlock_destroy((NativeLock*)state_); }
void SharedLock::Lock() { pthread_rwlock_wrlock((NativeLock*)state_); }
void SharedLock::Unlock() { pthread_rwlock_unlock((NativeLock*)state_); }
void SharedLock::LockShared() { pthread_rwlock_rdlock((NativeLock*)state_); }
void SharedLock::UnlockShared() { pthread_rwlock_unlock((NativeLock*)state_); }

#endif

static_assert(sizeof(NativeLock) <= 64, "SharedLock's room holds the native lock");

void RunOnThreads(uint32_t count, const std::function<void(uint32_t)>& work) {
  std::vector<WorkerThread> threads(count > 1 ? count - 1 : 0);
  for (uint32_t i = 1; i < count; ++i) threads[i - 1].Start([&work, i] { work(i); });
  work(0);
  for (WorkerThread& thread : threads) thread.Join();
}

Monitor::Monitor() : state_(new State) {}
Monitor::~Monitor() = default;
WorkerThread::WorkerThread() : state_(new State) {}
WorkerThread::~WorkerThread() { Join(); }

}  // namespace packer
