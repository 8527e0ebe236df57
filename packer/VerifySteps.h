// SPDX-License-Identifier: 0BSD
// What verify's steps share (Verify.cpp for every launcher file,
// VerifyFileSet.cpp for the contents of a file set): the file under test,
// the report being written, and the running of one launcher step whose
// fatal end arrives as PlatformExit, told as the launcher's outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/StubTypes.h"
#include "packer/VerifyReport.h"
#include "platform/Platform.h"

namespace packer {

struct VerifyRun {
  explicit VerifyRun(const std::string& filePath) : path(filePath) {}
  VerifyRun(const VerifyRun&) = delete;
  VerifyRun& operator=(const VerifyRun&) = delete;
  ~VerifyRun() { Close(); }
  void Close() {
    if (file != PLATFORM_INVALID_HANDLE) PlatformCloseHandle(file);
    file = PLATFORM_INVALID_HANDLE;
  }

  const std::string path;
  PlatformHandle file = PLATFORM_INVALID_HANDLE;
  uint64_t fileSize = 0;
  std::vector<uint8_t> head;  // the file's start, for the loader's checks
  VerifyReport report;
  std::function<void(uint64_t, uint64_t)> progress;
  uint32_t threads = 1;  // a file set's blocks are decoded on this many
  // What a file set that passed its checks holds, for the report.
  struct {
    uint32_t files = 0, blocks = 0, longestPath = 0;
    uint64_t totalSize = 0, packedSize = 0;
    std::string entry;  // printable
    bool entryIsProgram = false;
    bool takesLauncherName = false;  // one program in blocks
  } set;
};

struct StepResult {
  bool ok;
  std::string outcome;  // what the launcher would do instead, when !ok
};

// Runs one launcher step; a fatal operation inside it arrives as
// PlatformExit, with the box it would have shown already captured.
StepResult RunStep(const std::function<void()>& step);

// "step          result": the report's columns.
std::string VerifyLine(const std::string& step, const std::string& result);

// Records that `step` fails with `result` (and `detail`, what broke, when
// known): the FAILED line, the outcome line and the one-line failure.
// Always false, for `return Failed(...)`.
bool Failed(VerifyRun& run, const std::string& step, const StepResult& result,
            const std::string& detail = "");

std::string Hex32(uint32_t value);

// "Application-log event N where no box can be shown".
std::string EventNote(uint32_t eventId);

}  // namespace packer
