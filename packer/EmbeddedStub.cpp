// SPDX-License-Identifier: 0BSD
// Reaches the stub bytes in the source the build generates from Stub64.exe
// (cmake/EmbedStub.cmake).
#include "packer/EmbeddedStub.h"

#include <cstddef>

#include "packer/Sha256.h"

#ifndef STUBPACK_VERSION
#error "the build defines STUBPACK_VERSION (the project's version)"
#endif

namespace packer_embedded {
extern const unsigned char kStub[];
extern const size_t kStubSize;
extern const char kStubLzmaVersion[];
}  // namespace packer_embedded

namespace packer {

std::vector<uint8_t> EmbeddedStub() {
  return std::vector<uint8_t>(packer_embedded::kStub,
                              packer_embedded::kStub + packer_embedded::kStubSize);
}

const char* EmbeddedStubLzmaVersion() { return packer_embedded::kStubLzmaVersion; }

std::string VersionText() {
  return std::string("stubpack ") + STUBPACK_VERSION + "\n" +
         "embedded stub: Stub64.exe, " + std::to_string(packer_embedded::kStubSize) +
         " bytes, SHA-256 " +
         Sha256Hex(packer_embedded::kStub, packer_embedded::kStubSize) + "\n" +
         "stub liblzma: " + packer_embedded::kStubLzmaVersion + "\n";
}

}  // namespace packer
