// SPDX-License-Identifier: 0BSD
// What the host benchmark programs share: reading a whole file, the clocks
// they time with, and the median they report.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <vector>

inline std::vector<uint8_t> ReadWholeFile(const char* path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path, "rb");
  if (!f) { perror(path); exit(1); }
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(f);
  return bytes;
}

inline double ClockSeconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

inline double Now() { return ClockSeconds(CLOCK_MONOTONIC); }

// CPU time of this thread: unlike wall time it does not grow while other
// jobs hold the processor, so it is the steadier figure on a busy machine.
inline double ThreadCpu() { return ClockSeconds(CLOCK_THREAD_CPUTIME_ID); }

// CPU time of every thread of the process, for work spread over threads.
inline double ProcessCpu() { return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
