// SPDX-License-Identifier: 0BSD
// The platform layer `stubpack verify` runs the launcher's own checks on:
// real reads of the file under test, no registry, no processes. The window
// station is one nobody sees, as under a deployment tool: the launcher then
// writes an event instead of showing its box, with the box's text and the
// event's ID, and that is recorded. Ending the process throws PlatformExit
// so that verify can report where the launcher would stop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"

struct PlatformExit {
  uint32_t exitCode;
};

struct CapturedMessage {
  std::u16string text;
  uint32_t eventId;
};

// The path reported as the launcher's own.
void SetFilePlatformModulePath(const std::u16string& path);
// Allocations above `bytes` fail, as on a machine short of memory (for the
// fuzz target; unlimited by default).
void SetFilePlatformAllocationLimit(size_t bytes);
// Frees every block the launcher's code still holds, as the process exit
// that PlatformExit stands for would.
void ReleaseFilePlatformAllocations();
// Messages reported so far, oldest first.
std::vector<CapturedMessage>& CapturedMessages();
