// SPDX-License-Identifier: 0BSD
// What extraction hands to the start: the file to start, what kind it is,
// and how to let go of what was written, whichever form the package had.
#pragma once

#include "core/WideText.h"
#include "extract/FileSetNames.h"

struct ExtractedSetup {
  WideText path;   // full path of the program or the installer package
  EntryKind kind;  // Program, or InstallerPackage (started through msiexec)
  // Closes the locks; everything written stays (detached mode).
  void (*release)(void* owner);
  // Closes the locks and removes everything written (attached mode).
  void (*remove)(void* owner);
  void* owner;
};
