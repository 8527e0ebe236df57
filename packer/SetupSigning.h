// SPDX-License-Identifier: 0BSD
// build's care for the setup program's own signature. The launcher runs as
// the invoker, so Windows asks for elevation for the setup program, and
// publisher rules judge it, not the launcher file: a signed launcher file
// around an unsigned setup program still shows "Unknown publisher".
// --sign-setup signs a private copy of the setup program with the sign
// command before it is compressed; without it, build warns when only the
// launcher file gets signed.
#pragma once

#include <cstdint>
#include <string>

#include "packer/SignCommand.h"

namespace packer {

struct SetupSigningOptions {
  std::string setupPath;    // the vendor's file: read, never written
  std::string outPath;      // the private folder for signing lies beside it
  std::string signCommand;  // empty: the launcher file is not signed
  uint32_t signTimeout = kDefaultSignTimeout;
  bool signSetup = false;    // --sign-setup
  bool resignSetup = false;  // --resign-setup
};

// The setup program build compresses: the vendor's file, or the signed
// private copy, which goes when this does.
class SetupProgram {
 public:
  const std::string& Path() const { return signedCopy_.Path().empty() ? path_ : signedCopy_.Path(); }
  // One line for standard error once the launcher file is written, or "".
  const std::string& Warning() const { return warning_; }

 private:
  friend bool PrepareSetupProgram(const SetupSigningOptions&, SetupProgram*, std::string*);
  std::string path_;
  std::string warning_;
  SignedCopy signedCopy_;
};

// Reads the setup program's signature and, with --sign-setup, signs a copy
// (an existing signature is removed from the copy first, with
// --resign-setup only). A setup program whose certificate table Windows
// would not take is refused: the launcher file would fail verify. False
// with one line.
bool PrepareSetupProgram(const SetupSigningOptions& options, SetupProgram* setup,
                         std::string* error);

}  // namespace packer
