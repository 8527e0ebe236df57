// SPDX-License-Identifier: 0BSD
// build --setup-dir: the folder read into a file set, the entry found in
// it, and the entry's care for its own signature, as SetupSigning gives one
// setup program: the launcher starts the entry as the invoker, so Windows
// asks for elevation for the entry. An .exe entry is signed on a private
// copy with --sign-setup; an .msi has its own signing tools and is refused
// there.
#pragma once

#include <cstdint>
#include <string>

#include "packer/FileSetWriter.h"
#include "packer/SetupSigning.h"

namespace packer {

struct SetupFolderOptions {
  std::string folder;  // --setup-dir
  std::string entry;   // --entry: relative to the folder, / or \ between names
  uint64_t blockSize = kDefaultSetBlockSize;
  std::string outPath;
  std::string signCommand;  // empty: the launcher file is not signed
  uint32_t signTimeout = kDefaultSignTimeout;
  bool signSetup = false;
  bool resignSetup = false;
};

// The set build compresses, its entry read from the signed copy when one
// was made (which goes when this does).
struct SetupFolder {
  FileSet set;
  SetupProgram entry;
};

// Reads the folder, checks the set as PlanFileSet does, and signs the
// entry when asked. False with one line.
bool PrepareSetupFolder(const SetupFolderOptions& options, SetupFolder* folder,
                        std::string* error);

}  // namespace packer
