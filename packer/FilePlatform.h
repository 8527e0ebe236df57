// The platform layer `stubpack verify` runs the launcher's own checks on:
// real reads of the file under test, no registry, no processes. Message
// boxes are recorded instead of shown, and ending the process throws
// PlatformExit so that verify can report where the launcher would stop.
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
  std::u16string caption;
};

// The path reported as the launcher's own (the caption of every box).
void SetFilePlatformModulePath(const std::u16string& path);
// Boxes shown so far, oldest first.
std::vector<CapturedMessage>& CapturedMessages();
