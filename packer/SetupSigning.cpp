// SPDX-License-Identifier: 0BSD
// Signing a private copy of the setup program, and the warning when only
// the launcher file is signed.
#include "packer/SetupSigning.h"

#include <vector>

#include "packer/FileIO.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/SetupSignature.h"

namespace packer {
namespace {

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// Takes the certificate table off the copy, so that the sign command gets
// an unsigned program and its result can be judged like any other: the
// table must end the file, as every signing tool writes it.
bool RemoveSignature(std::vector<uint8_t>* program, std::string* error) {
  PeLayout layout;
  std::string problem;
  if (!ReadPeLayout(*program, &layout, &problem)) return Fail(error, "it is " + problem);
  const uint64_t offset = layout.certificateOffset, end = offset + layout.certificateSize;
  if (end != program->size() || offset < layout.securityDirectoryOffset + 8)
    return Fail(error, "its certificate table (offset " + std::to_string(offset) + ", " +
                           std::to_string(layout.certificateSize) +
                           " bytes) does not end the file, so it cannot be taken off");
  program->resize((size_t)offset);
  for (uint32_t i = 0; i < 8; ++i) (*program)[layout.securityDirectoryOffset + i] = 0;
  UpdatePeChecksum(*program, layout.checksumOffset);
  return true;
}

std::string UnsignedSetupWarning(const std::string& path) {
  return "the setup program " + path +
         " carries no signature, while the launcher file is signed: Windows asks for "
         "elevation for the setup program, so the prompt shows \"Unknown publisher\", and "
         "publisher rules (AppLocker, Smart App Control) do not match it; sign it before "
         "packing, or add --sign-setup";
}

}  // namespace

bool PrepareSetupProgram(const SetupSigningOptions& options, SetupProgram* setup,
                         std::string* error) {
  const std::string& path = options.setupPath;
  setup->path_ = path;
  if (!CheckRegularFile(path, "setup program", error)) return false;
  const SetupSignature current = ReadSetupSignature(path);
  if (current.state == SignatureState::Broken && !options.resignSetup)
    return Fail(error, "setup program " + path + ": its signature block is broken (" +
                           current.detail +
                           "); Windows treats it as unsigned: sign it again, or pack a copy "
                           "without the signature");
  if (!options.signSetup) {
    if (!options.signCommand.empty() && current.state == SignatureState::None)
      setup->warning_ = UnsignedSetupWarning(path);
    return true;
  }

  const std::string prefix = "--sign-setup: setup program " + path;
  if (current.state == SignatureState::Unread)
    return Fail(error, prefix + ": " + current.detail);
  if (current.state == SignatureState::None && !current.detail.empty())
    return Fail(error, prefix + " is " + current.detail + "; only programs carry a signature");
  const bool isSigned = current.state != SignatureState::None;
  if (isSigned && !options.resignSetup)
    return Fail(error, prefix +
                           " is signed already; re-signing replaces a signature its vendor may "
                           "have made on purpose: add --resign-setup to replace it, or leave "
                           "out --sign-setup to pack it as it is");
  std::vector<uint8_t> program;
  if (!ReadWholeFile(path, "setup program", &program, error, kMaxProgramSize,
                     "Windows starts no .exe of 4 GiB or more"))
    return false;
  if (isSigned && !RemoveSignature(&program, error))
    return Fail(error, "--resign-setup: setup program " + path + ": " + *error);
  if (!SignCopy(options.signCommand, options.signTimeout, ViewOf(program), "setup program",
                options.outPath, &setup->signedCopy_, error))
    return Fail(error, "--sign-setup: " + *error);
  return true;
}

}  // namespace packer
